#include "VmimeSmtpComponent.h"

#include "SmtpSession.h"
#include "MailAddress.h"
#include "VmimeSupport.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

using vmimesupport::utf8;

namespace {

// Swallows the user's clicks and keys while installed: held back instead,
// they would all run once the operation is over (a second Send, say).
class InputSwallower : public QObject
{
public:
    InputSwallower() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputSwallower() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
        }
    }
};

const char *const kCaBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr quint16 kSubmissionPort = 587;

struct Server
{
    QString host;
    quint16 port = kSubmissionPort;
};

// "host", "host:port", "[IPv6]", "[IPv6]:port" or a bare IPv6 address;
// an international name in its ASCII form, as DNS and certificates hold it.
std::optional<Server> parseServer(const QString &setting)
{
    if (vmimesupport::hasControlCharacter(setting))
        return std::nullopt;
    const QString s = setting.trimmed();
    Server server;
    QString port;
    if (s.startsWith(QLatin1Char('['))) {
        const qsizetype close = s.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        server.host = s.mid(1, close - 1);
        const QString rest = s.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return std::nullopt;
        port = rest.mid(1);
        if (rest.startsWith(QLatin1Char(':')) && port.isEmpty())
            return std::nullopt;
    } else if (s.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = s.indexOf(QLatin1Char(':'));
        server.host = s.left(colon);
        port = s.mid(colon + 1);
        if (port.isEmpty())
            return std::nullopt;
    } else {
        server.host = s;
    }
    for (const QChar c : std::as_const(server.host)) {
        if (c.isSpace() || QStringLiteral("/@[]").contains(c))
            return std::nullopt;
    }
    const auto isAscii = [](QChar c) { return c.unicode() < 0x80; };
    if (!std::all_of(server.host.cbegin(), server.host.cend(), isAscii))
        server.host = QString::fromLatin1(QUrl::toAce(server.host));
    if (server.host.isEmpty())
        return std::nullopt;
    if (!port.isEmpty()) {
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number == 0 || number > 65535 || !port.front().isDigit())
            return std::nullopt;
        server.port = static_cast<quint16>(number);
    }
    return server;
}

// Goes by the name as typed: a name that merely resolves to 127.0.0.1 does
// not make a server local.
bool isLoopback(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host.compare(QLatin1String("localhost."), Qt::CaseInsensitive) == 0)
        return true;
    const QByteArray text = host.toLatin1();
    in_addr v4{};
    if (inet_pton(AF_INET, text.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.constData(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

int16_t asStatus(int32_t code)
{
    return static_cast<int16_t>(std::clamp<int32_t>(code, INT16_MIN, INT16_MAX));
}

} // namespace

VmimeSmtpComponent::VmimeSmtpComponent(QObject *parent)
    : SmtpComponent(parent)
{
}

VmimeSmtpComponent::~VmimeSmtpComponent()
{
    if (m_session) {
        m_session->cancel();
        m_session->close();
    }
}

void VmimeSmtpComponent::setHost(const QString &host)
{
    m_host = host;
}

void VmimeSmtpComponent::setUserName(const QString &userName)
{
    m_userName = userName;
}

void VmimeSmtpComponent::setPassword(const QString &password)
{
    m_password = password;
}

void VmimeSmtpComponent::setSender(const QString &address)
{
    m_sender = address;
}

void VmimeSmtpComponent::clearEnvelope()
{
    m_recipients.clear();
}

void VmimeSmtpComponent::setRecipient(const QString &address)
{
    if (!m_recipients.contains(address))
        m_recipients.append(address);
}

int32_t VmimeSmtpComponent::lastErrorCode() const
{
    return m_last.code;
}

QString VmimeSmtpComponent::lastErrorText() const
{
    return m_last.text;
}

bool VmimeSmtpComponent::isEncrypted() const
{
    return !m_busy && m_session && m_session->isEncrypted();
}

void VmimeSmtpComponent::setTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
}

void VmimeSmtpComponent::addTrustedCertificates(const QByteArray &pem)
{
    m_trustedPem.append(pem);
}

void VmimeSmtpComponent::setTlsFromStartPort(quint16 port)
{
    m_tlsFromStartPort = port;
}

void VmimeSmtpComponent::routeHost(const QString &hostName, const QString &address)
{
    m_routes.insert(hostName.toLower(), address);
}

int16_t VmimeSmtpComponent::connectToServer()
{
    if (m_busy)
        return finish({smtp::NoSession, QStringLiteral("Another operation on the connection is still running.")});
    const std::optional<Server> server = parseServer(m_host);
    if (!server) {
        return finish({smtp::InvalidValue, QStringLiteral("The SMTP server \"%1\" is not a host name with an "
                                                    "optional :port.")
                                         .arg(vmimesupport::oneLine(m_host))});
    }
    if (vmimesupport::hasControlCharacter(m_userName))
        return finish({smtp::InvalidValue, QStringLiteral("The user name holds a line break or another control character.")});
    if (vmimesupport::hasControlCharacter(m_password))
        return finish({smtp::InvalidValue, QStringLiteral("The password holds a line break or another control character.")});

    SmtpSession::Config config;
    config.host = utf8(server->host);
    const auto route = m_routes.constFind(server->host.toLower());
    if (route != m_routes.constEnd())
        config.address = utf8(*route);
    else if (server->host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        config.address = "127.0.0.1";   // whether or not /etc/hosts says so
    config.port = server->port;
    config.tlsFromStart = server->port == m_tlsFromStartPort;
    config.tlsOptional = isLoopback(server->host);
    config.user = utf8(m_userName);
    config.password = utf8(m_password);
    config.caBundle = kCaBundle;
    for (const QByteArray &pem : std::as_const(m_trustedPem))
        config.trustedPem.emplace_back(pem.constData(), static_cast<size_t>(pem.size()));
    config.timeout = m_timeout;

    ++m_sessionSerial;
    if (!m_session)
        m_session = std::make_unique<SmtpSession>();
    SmtpSession *session = m_session.get();
    const Outcome outcome = runOffThread([session, config] { return session->open(config); });
    if (outcome.code == 0) {
        // The caller's handler ends before the sending starts in connected().
        QMetaObject::invokeMethod(
            this,
            [this, serial = m_sessionSerial] {
                if (serial == m_sessionSerial && !m_busy && m_session && m_session->isOpen())
                    emit connected();
            },
            Qt::QueuedConnection);
    }
    return finish(outcome);
}

int16_t VmimeSmtpComponent::sendFile(const QString &sender, const QString &recipient,
                                     const QString &path)
{
    if (m_busy)
        return finish({smtp::NoSession, QStringLiteral("Another operation on the connection is still running.")});
    const QString from = sender.isEmpty() ? m_sender : sender;
    QStringList to = m_recipients;
    if (!recipient.isEmpty() && !to.contains(recipient))
        to.append(recipient);
    if (!isPlainMailAddress(from)) {
        return finish({smtp::InvalidValue, QStringLiteral("The sender address \"%1\" is not one plain e-mail address.")
                                         .arg(vmimesupport::oneLine(from))});
    }
    if (to.isEmpty())
        return finish({smtp::InvalidValue, QStringLiteral("The message has no recipient.")});
    std::vector<std::string> recipients;
    for (const QString &address : std::as_const(to)) {
        if (!isPlainMailAddress(address)) {
            return finish({smtp::InvalidValue, QStringLiteral("The recipient address \"%1\" is not one plain "
                                                        "e-mail address.")
                                             .arg(vmimesupport::oneLine(address))});
        }
        recipients.push_back(utf8(address));
    }
    if (!m_session || !m_session->isOpen())
        return finish({smtp::NoSession, QStringLiteral("There is no open connection to the server.")});

    m_lastPercent = -1;
    if (const qint64 size = QFileInfo(path).size(); size > 0)
        emitProgress(0, size);
    SmtpSession *session = m_session.get();
    const Outcome outcome = runOffThread([this, session, from = utf8(from), recipients, path] {
        int lastPosted = 0;
        return session->send(from, recipients, path, [this, &lastPosted](uint64_t sent, uint64_t total) {
            const int percent = total == 0 ? 100 : static_cast<int>(sent * 100 / total);
            if (percent == lastPosted)
                return;
            lastPosted = percent;
            QMetaObject::invokeMethod(
                this, [this, sent, total] { emitProgress(qint64(sent), qint64(total)); },
                Qt::QueuedConnection);
        });
    });
    return finish(outcome);
}

int16_t VmimeSmtpComponent::resetSession()
{
    m_sender.clear();
    m_recipients.clear();
    if (m_busy)
        return finish({smtp::NoSession, QStringLiteral("Another operation on the connection is still running.")});
    if (!m_session || !m_session->isOpen())
        return finish({smtp::NoSession, QStringLiteral("There is no open connection to the server.")});
    SmtpSession *session = m_session.get();
    return finish(runOffThread([session] { return session->noop(); }));
}

void VmimeSmtpComponent::disconnectFromServer()
{
    if (m_busy || !m_session)
        return;
    ++m_sessionSerial;
    SmtpSession *session = m_session.get();
    runOffThread([session] {
        session->close();
        return SmtpSession::Outcome{};
    });
    m_last = {};
}

template <typename Job> VmimeSmtpComponent::Outcome VmimeSmtpComponent::runOffThread(Job job)
{
    struct Busy
    {
        bool &flag;
        explicit Busy(bool &f) : flag(f) { flag = true; }
        ~Busy() { flag = false; }
    } busy(m_busy);

    SmtpSession::Outcome result;
    std::atomic<bool> done = false;
    QEventLoop loop;
    std::jthread worker([&] {
        try {
            result = job();
        } catch (const std::exception &e) {
            result = {smtp::ProtocolError, QString::fromUtf8(e.what())};
        } catch (...) {
            result = {smtp::ProtocolError, QStringLiteral("Unexpected failure.")};
        }
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    // Repaints and timers go on; clicks and keys are not taken meanwhile.
    if (!done) {
        InputSwallower noInput;
        loop.exec();
    }
    worker.join();
    return {result.code, result.text};
}

int16_t VmimeSmtpComponent::finish(const Outcome &outcome)
{
    m_last = outcome;
    return asStatus(outcome.code);
}

void VmimeSmtpComponent::emitProgress(qint64 sent, qint64 total)
{
    const auto percent = static_cast<int16_t>(total <= 0 ? 100 : sent * 100 / total);
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    emit progress(sent, total, percent);
}
