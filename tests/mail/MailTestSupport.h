#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <memory>

class SmtpComponent;
class VmimeMailMessage;

namespace mailtest {

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);
QString sha256Hex(const QByteArray &bytes);

// What Python's email package reads in a message file (inspect_message.py);
// the attachment is written to saveAttachmentTo when that is given.
QJsonObject inspect(const QString &messagePath, const QString &saveAttachmentTo = QString());

// A clip-sized file of random bytes to attach.
QByteArray randomBytes(qsizetype size);

// The window's body text for a sender's full name, lines ended by CR LF.
QString windowBody(const QString &fullName);

// Composes and saves a message the way the window's Send click does.
void composeLikeTheWindow(VmimeMailMessage &message, const QString &from, const QString &to,
                          const QString &subject, const QString &fullName,
                          const QString &attachment, const QString &messagePath);

// Start one operation of the SMTP component and wait, bounded, for its
// outcome signal; the status it gave. What every operation owes is checked on
// the way: busy from the call until the signal, which never comes from
// within the call. kNoOutcome, with a warning that says why, when it fails.
constexpr int16_t kNoOutcome = INT16_MIN;
int16_t awaitOutcome(SmtpComponent &smtp, const std::function<void()> &start, int timeoutMs = 60000);
int16_t connectAndWait(SmtpComponent &smtp, int timeoutMs = 60000);
int16_t sendAndWait(SmtpComponent &smtp, const QString &from, const QString &to, const QString &path,
                    int timeoutMs = 60000);

// Certificates made with openssl for this test run.
class Certificates
{
public:
    Certificates();
    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QByteArray pem(const QString &name) const { return readFile(path(name)); }

    // server.pem/.key: self-signed for mail.test.example, localhost, 127.0.0.1.
    // stranger.pem/.key: the same names, self-signed, never trusted.
    // ca.pem; forged-chain.pem/forged.key: a server certificate that claims
    // ca.pem as its issuer but was signed by another key, sent with ca.pem;
    // expired-chain.pem/expired.key: signed by ca.pem, valid in January 2020.
private:
    bool openssl(const QStringList &arguments);
    QTemporaryDir m_dir;
    bool m_valid = false;
};

// A script from scripts/ that serves on 127.0.0.1 at a free port and says
// "LISTENING <port>" on stdout; stopped on destruction.
class ScriptServer
{
public:
    ScriptServer(const QString &script, const QStringList &arguments);
    ~ScriptServer();
    ScriptServer(const ScriptServer &) = delete;
    ScriptServer &operator=(const ScriptServer &) = delete;

    [[nodiscard]] bool isRunning() const { return m_port != 0; }
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString hostAndPort(const QString &host = QStringLiteral("localhost")) const;
    [[nodiscard]] QString errors() const { return m_errors; }
    // What followed kind on the lines it printed so far ("RECEIVED <what>").
    [[nodiscard]] QStringList lines(const QString &kind);
    void stop();

private:
    void takeLines();

    QProcess m_process;
    quint16 m_port = 0;
    QString m_errors;
    QMap<QString, QStringList> m_lines;
};

// scripts/local_smtp_server.py, keeping what it receives in a folder of its own.
class LocalSmtpServer
{
public:
    explicit LocalSmtpServer(QStringList options = {});

    [[nodiscard]] bool isRunning() const { return m_server.isRunning(); }
    [[nodiscard]] quint16 port() const { return m_server.port(); }
    [[nodiscard]] QString hostAndPort(const QString &host = QStringLiteral("localhost")) const
    {
        return m_server.hostAndPort(host);
    }
    [[nodiscard]] QString errors() const { return m_server.errors(); }
    // Paths of the messages stored so far, oldest first, and the server's
    // "<path> <subject>" lines about them.
    [[nodiscard]] QStringList received();
    [[nodiscard]] QStringList receivedLines();
    // "<from> <to,...>" of each message (with --show-envelope).
    [[nodiscard]] QStringList envelopes() { return m_server.lines(QStringLiteral("ENVELOPE")); }
    // The name given with each EHLO or HELO.
    [[nodiscard]] QStringList helloNames() { return m_server.lines(QStringLiteral("HELLO")); }
    void stop() { m_server.stop(); }

private:
    QTemporaryDir m_store;
    ScriptServer m_server;
};

// scripts/hostile_smtp_server.py playing one scenario; commands() are the
// verbs it received.
class HostileSmtpServer : public ScriptServer
{
public:
    explicit HostileSmtpServer(const QString &scenario, const QStringList &more = {})
        : ScriptServer(QStringLiteral("hostile_smtp_server.py"), QStringList{QStringLiteral("--scenario"), scenario} + more)
    {
    }
    [[nodiscard]] QStringList commands() { return lines(QStringLiteral("COMMAND")); }
};

// Peak resident memory of this process from now on, as the kernel counts it.
class PeakMemory
{
public:
    PeakMemory();
    // Growth over the resident size at construction, in bytes; -1 when unknown.
    [[nodiscard]] qint64 growth() const;

private:
    qint64 m_start = -1;
};

} // namespace mailtest
