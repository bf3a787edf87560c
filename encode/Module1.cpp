#include "Module1.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace {

constexpr int kKillAfterMs = 2000;
constexpr qsizetype kErrorsKept = 8192;

// Words are separated by white space; double quotes group a word (and are
// dropped); \" stands for a quote character. Nothing else is special.
QStringList splitCommandLine(const QString &line)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == QLatin1Char('\\') && i + 1 < line.size() && line[i + 1] == QLatin1Char('"')) {
            word += QLatin1Char('"');
            inWord = true;
            ++i;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
                               || c == QLatin1Char('\r'))) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

QString lastLine(const QByteArray &text)
{
    const QList<QByteArray> lines = text.split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = QString::fromLocal8Bit(*it).trimmed();
        if (!line.isEmpty())
            return line;
    }
    return {};
}

} // namespace

namespace Module1 {

std::unique_ptr<ProgramRun> RunAndWait(const QString &commandLine, const QString &workingDirectory)
{
    std::unique_ptr<ProgramRun> run(new ProgramRun);
    run->start(commandLine, workingDirectory);
    return run;
}

void ProgramRun::start(const QString &commandLine, const QString &workingDirectory)
{
    QStringList words = splitCommandLine(commandLine);
    if (words.isEmpty()) {
        QMetaObject::invokeMethod(this, [this] { finish(kCouldNotStart); }, Qt::QueuedConnection);
        return;
    }
    // Qt 6.4's QProcess leaks a descriptor on each program it fails to start:
    // one that is plainly missing is not tried.
    const QString program = words.takeFirst();
    const QString found = program.contains(QLatin1Char('/'))
                              ? QDir(workingDirectory).absoluteFilePath(program)
                              : QStandardPaths::findExecutable(program);
    const QFileInfo file(found);
    if (found.isEmpty() || !file.isFile() || !file.isExecutable()) {
        QMetaObject::invokeMethod(this, [this] { finish(kCouldNotStart); }, Qt::QueuedConnection);
        return;
    }
    m_process.setProgram(program);
    m_process.setArguments(words);
    m_process.setWorkingDirectory(workingDirectory);
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_process.setInputChannelMode(QProcess::ForwardedInputChannel);
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, &m_process, &QProcess::kill);
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        m_errors += m_process.readAllStandardError();
        if (m_errors.size() > 2 * kErrorsKept)
            m_errors.remove(0, m_errors.size() - kErrorsKept);
    });
    connect(&m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus how) {
        m_errors += m_process.readAllStandardError();
        // A crash's code is the signal that ended the program.
        finish(how == QProcess::NormalExit ? code : 128 + code);
    });
    // Raised from within start() too: the caller hears of it later all the same.
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            QMetaObject::invokeMethod(this, [this] { finish(kCouldNotStart); }, Qt::QueuedConnection);
    });
    m_process.start(QIODevice::ReadOnly);
}

ProgramRun::~ProgramRun()
{
    // Nobody waits for the result any more; the program is not left behind.
    disconnect(&m_process, nullptr, this, nullptr);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kKillAfterMs);
    }
}

void ProgramRun::cancel()
{
    if (m_finished || m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    m_killTimer.start(kKillAfterMs);
}

void ProgramRun::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    m_killTimer.stop();
    emit finished(status, lastLine(m_errors));
}

} // namespace Module1
