#include "MailTestSupport.h"

#include "SmtpComponent.h"
#include "TestPaths.h"
#include "VmimeMailMessage.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

namespace mailtest {

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

QString scriptPath(const QString &relative)
{
    return QDir(testpaths::testsSourceDir()).filePath(relative);
}

} // namespace

int16_t awaitOutcome(SmtpComponent &smtp, const std::function<void()> &start, int timeoutMs)
{
    int16_t status = kNoOutcome;
    bool returned = false;
    QString fault;
    const auto outcome = [&](int16_t s) {
        if (!returned)
            fault = QStringLiteral("the outcome signal came from within the call");
        else if (smtp.isBusy())
            fault = QStringLiteral("still busy at the outcome signal");
        status = s;
    };
    QObject context;
    QObject::connect(&smtp, &SmtpComponent::connected, &context, [&] { outcome(0); });
    QObject::connect(&smtp, &SmtpComponent::connectFailed, &context, outcome);
    QObject::connect(&smtp, &SmtpComponent::sendFinished, &context, outcome);
    start();
    returned = true;
    if (!smtp.isBusy() && fault.isEmpty())
        fault = QStringLiteral("not busy right after the call");
    if (!QTest::qWaitFor([&] { return status != kNoOutcome; }, timeoutMs))
        fault = QStringLiteral("no outcome signal within %1 ms").arg(timeoutMs);
    if (fault.isEmpty())
        return status;
    qWarning("%s", qPrintable(fault));
    return kNoOutcome;
}

int16_t connectAndWait(SmtpComponent &smtp, int timeoutMs)
{
    return awaitOutcome(smtp, [&] { smtp.connectToServer(); }, timeoutMs);
}

int16_t sendAndWait(SmtpComponent &smtp, const QString &from, const QString &to, const QString &path, int timeoutMs)
{
    return awaitOutcome(smtp, [&] { smtp.sendFile(from, to, path); }, timeoutMs);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("Cannot write %s", qPrintable(path));
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QJsonObject inspect(const QString &messagePath, const QString &saveAttachmentTo)
{
    QProcess python;
    QStringList arguments{scriptPath(QStringLiteral("mail/inspect_message.py")), messagePath};
    if (!saveAttachmentTo.isEmpty())
        arguments << saveAttachmentTo;
    python.start(kPython, arguments);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        python.kill();
        return {{QStringLiteral("error"), QString::fromUtf8(python.readAllStandardError())}};
    }
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20240607);
    for (char &b : bytes)
        b = static_cast<char>(generator.bounded(256));
    return bytes;
}

QString windowBody(const QString &fullName)
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("There is a MPEG Video attachment to this email from ") + fullName
           + QStringLiteral(", double-click / open it to play it") + crlf
           + QStringLiteral("If you have a webcam or other video input device, download a free "
                            "copy of 'Mirabo' today at https://mirabo.example.org/download")
           + crlf + crlf + QStringLiteral("This email was sent using Mirabo v1.00") + crlf
           + QStringLiteral("Freeware Video Emailer") + crlf;
}

void composeLikeTheWindow(VmimeMailMessage &message, const QString &from, const QString &to,
                          const QString &subject, const QString &fullName,
                          const QString &attachment, const QString &messagePath)
{
    message.reset();
    message.setFrom(from);
    message.setTo(to);
    message.setMailer(QStringLiteral("Mirabo v1.00 By Dorvale"));
    message.setSubject(QStringLiteral("Mirabo: ") + subject);
    message.setBody(windowBody(fullName));
    message.attachFile(attachment);
    message.saveToFile(messagePath);
}

Certificates::Certificates()
{
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes")};
    const QString names = QStringLiteral("subjectAltName=DNS:mail.test.example,DNS:localhost,IP:127.0.0.1");
    const auto selfSigned = [&](const QString &name, const QString &subject, const QStringList &more) {
        return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                       + QStringList{QStringLiteral("-keyout"), path(name + QStringLiteral(".key")),
                                     QStringLiteral("-out"), path(name + QStringLiteral(".pem")),
                                     QStringLiteral("-days"), QStringLiteral("2"),
                                     QStringLiteral("-subj"), subject}
                       + more);
    };
    const auto issued = [&](const QString &name, const QString &issuer, const QString &extensions) {
        writeFile(path(name + QStringLiteral(".ext")), extensions.toLatin1());
        return openssl(QStringList{QStringLiteral("req")} + ec
                       + QStringList{QStringLiteral("-keyout"), path(name + QStringLiteral(".key")),
                                     QStringLiteral("-out"), path(name + QStringLiteral(".csr")),
                                     QStringLiteral("-subj"), QStringLiteral("/CN=mail.test.example")})
               && openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                           path(name + QStringLiteral(".csr")), QStringLiteral("-CA"),
                           path(issuer + QStringLiteral(".pem")), QStringLiteral("-CAkey"),
                           path(issuer + QStringLiteral(".key")), QStringLiteral("-CAcreateserial"),
                           QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                           path(name + QStringLiteral(".ext")), QStringLiteral("-out"),
                           path(name + QStringLiteral(".pem"))});
    };
    // openssl ca, the one command that sets the dates of the past.
    const auto expired = [&] {
        QDir(m_dir.path()).mkpath(QStringLiteral("db"));
        writeFile(path(QStringLiteral("db/index.txt")), {});
        writeFile(path(QStringLiteral("db/serial")), "01\n");
        writeFile(path(QStringLiteral("ca.cnf")),
                  QStringLiteral("[ca]\ndefault_ca=c\n[c]\ndatabase=%1/index.txt\nnew_certs_dir=%1\nserial=%1/serial\n"
                                 "default_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n[x]\n"
                                 "basicConstraints=CA:FALSE\n%2\n")
                      .arg(path(QStringLiteral("db")), names)
                      .toUtf8());
        return openssl(QStringList{QStringLiteral("req")} + ec
                       + QStringList{QStringLiteral("-keyout"), path(QStringLiteral("expired.key")), QStringLiteral("-out"),
                                     path(QStringLiteral("expired.csr")), QStringLiteral("-subj"),
                                     QStringLiteral("/CN=mail.test.example")})
               && openssl({QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"), path(QStringLiteral("ca.cnf")),
                           QStringLiteral("-cert"), path(QStringLiteral("ca.pem")), QStringLiteral("-keyfile"),
                           path(QStringLiteral("ca.key")), QStringLiteral("-in"), path(QStringLiteral("expired.csr")),
                           QStringLiteral("-out"), path(QStringLiteral("expired.pem")), QStringLiteral("-extensions"),
                           QStringLiteral("x"), QStringLiteral("-startdate"), QStringLiteral("20200101000000Z"),
                           QStringLiteral("-enddate"), QStringLiteral("20200201000000Z")});
    };
    const QString leafExtensions = names + QStringLiteral("\nbasicConstraints=CA:FALSE\n");
    m_valid = m_dir.isValid()
              && selfSigned(QStringLiteral("server"), QStringLiteral("/CN=mail.test.example"),
                            {QStringLiteral("-addext"), names})
              && selfSigned(QStringLiteral("stranger"), QStringLiteral("/CN=mail.test.example"),
                            {QStringLiteral("-addext"), names})
              && selfSigned(QStringLiteral("ca"), QStringLiteral("/CN=Mirabo Test CA"), {})
              && selfSigned(QStringLiteral("impostor-ca"), QStringLiteral("/CN=Mirabo Test CA"), {})
              && issued(QStringLiteral("leaf"), QStringLiteral("ca"), leafExtensions)
              // No key identifiers: only the name links it to ca.pem.
              && issued(QStringLiteral("forged"), QStringLiteral("impostor-ca"),
                        leafExtensions
                            + QStringLiteral("subjectKeyIdentifier=none\nauthorityKeyIdentifier=none\n"))
              && expired();
    if (m_valid) {
        writeFile(path(QStringLiteral("leaf-chain.pem")), pem(QStringLiteral("leaf.pem")) + pem(QStringLiteral("ca.pem")));
        writeFile(path(QStringLiteral("forged-chain.pem")),
                  pem(QStringLiteral("forged.pem")) + pem(QStringLiteral("ca.pem")));
        writeFile(path(QStringLiteral("expired-chain.pem")),
                  pem(QStringLiteral("expired.pem")) + pem(QStringLiteral("ca.pem")));
    }
}

bool Certificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("openssl %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                 process.readAllStandardError().constData());
        return false;
    }
    return true;
}

ScriptServer::ScriptServer(const QString &script, const QStringList &arguments)
{
    m_process.setProgram(kPython);
    m_process.setArguments(QStringList{scriptPath(QStringLiteral("../scripts/") + script), QStringLiteral("--port"),
                                       QStringLiteral("0")}
                           + arguments);
    m_process.start();
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(100))
            continue;
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("LISTENING ")) {
            m_port = static_cast<quint16>(line.mid(10).toUInt());
            break;
        }
    }
    if (m_port == 0) {
        stop();
        qWarning("%s did not start: %s", qPrintable(script), qPrintable(m_errors));
    }
}

ScriptServer::~ScriptServer()
{
    stop();
}

QString ScriptServer::hostAndPort(const QString &host) const
{
    return host + QLatin1Char(':') + QString::number(m_port);
}

QStringList ScriptServer::lines(const QString &kind)
{
    while (m_process.state() == QProcess::Running
           && (m_process.canReadLine() || m_process.waitForReadyRead(50)))
        takeLines();
    return m_lines.value(kind);
}

void ScriptServer::takeLines()
{
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        m_lines[space < 0 ? line : line.left(space)].append(space < 0 ? QString() : line.mid(space + 1));
    }
}

void ScriptServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        takeLines();
    }
    m_errors += QString::fromUtf8(m_process.readAllStandardError());
    m_port = 0;
}

LocalSmtpServer::LocalSmtpServer(QStringList options)
    : m_server(QStringLiteral("local_smtp_server.py"), QStringList{QStringLiteral("--store"), m_store.path()} + options)
{
}

QStringList LocalSmtpServer::received()
{
    QStringList paths;
    for (const QString &entry : receivedLines())
        paths.append(entry.section(QLatin1Char(' '), 0, 0));
    return paths;
}

QStringList LocalSmtpServer::receivedLines()
{
    // The server names a message before it answers 250, so anything the
    // client saw accepted is already in the pipe.
    return m_server.lines(QStringLiteral("RECEIVED"));
}

namespace {

// A "Vm...:   1234 kB" figure of /proc/self/status, in bytes.
qint64 statusFigure(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qsizetype(qstrlen(name))).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

} // namespace

PeakMemory::PeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly) && clear.write("5") == 1) // the peak starts again from here
        m_start = statusFigure("VmRSS:");
}

qint64 PeakMemory::growth() const
{
    const qint64 peak = statusFigure("VmHWM:");
    return m_start < 0 || peak < 0 ? -1 : peak - m_start;
}

} // namespace mailtest
