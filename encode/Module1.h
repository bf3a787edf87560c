#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <memory>

namespace Module1 {

// The status when the program could not be started at all; any other value
// is the program's exit status (128 + signal if it was killed).
inline constexpr int kCouldNotStart = -1;

// One run of an outside program, as RunAndWait starts it. finished() comes
// exactly once, and never from within RunAndWait() or cancel().
class ProgramRun : public QObject
{
    Q_OBJECT
public:
    ~ProgramRun() override;
    [[nodiscard]] bool isRunning() const { return !m_finished; }
    // Asks the program to end (SIGTERM, SIGKILL two seconds later).
    void cancel();

signals:
    // lastErrorLine: the last line that is not empty of what the program
    // wrote on its error output (its last few kB are kept).
    void finished(int status, const QString &lastErrorLine);

private:
    friend std::unique_ptr<ProgramRun> RunAndWait(const QString &, const QString &);
    ProgramRun() = default;
    void start(const QString &commandLine, const QString &workingDirectory);
    void finish(int status);

    QProcess m_process;
    QByteArray m_errors;
    QTimer m_killTimer;
    bool m_finished = false;
};

// Starts the program named by the first word of commandLine (words split as
// a shell would split double-quoted words, but with no shell and no
// expansion; a bare name is looked up on PATH) in workingDirectory, with the
// program's own environment, and returns at once. Its standard output goes
// where ours goes; its error output is read for the last line.
[[nodiscard]] std::unique_ptr<ProgramRun> RunAndWait(const QString &commandLine,
                                                     const QString &workingDirectory);

} // namespace Module1
