#include "CurlSmtpComponent.h"

#include "CurlSession.h"
#include "MailAddress.h"
#include "MailText.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QTimer>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

using mailtext::utf8;

namespace {

// Drops the user's clicks and keys while installed: held back instead, they
// would all run once the operation is over (a second Send, say). Escape goes
// through, for the window to cancel with.
class InputSwallower : public QObject
{
public:
    InputSwallower() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputSwallower() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
            return static_cast<QKeyEvent *>(event)->key() != Qt::Key_Escape;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
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
constexpr auto kTick = std::chrono::milliseconds(50);

struct Server
{
    QString host;
    quint16 port = kSubmissionPort;
};

// "host", "host:port", "[IPv6]", "[IPv6]:port" or a bare IPv6 address;
// an international name in its ASCII form, as DNS and certificates hold it.
std::optional<Server> parseServer(const QString &setting)
{
    if (mailtext::hasControlCharacter(setting))
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
        if (c.isSpace() || QStringLiteral("/@[]?#%").contains(c))
            return std::nullopt;
    }
    server.host = asciiDomain(server.host);
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

bool isIpv6(const QString &host)
{
    in6_addr v6{};
    return inet_pton(AF_INET6, host.toLatin1().constData(), &v6) == 1;
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

QString bracketed(const QString &host)
{
    return isIpv6(host) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

int16_t asStatus(int32_t code)
{
    return static_cast<int16_t>(std::clamp<int32_t>(code, INT16_MIN, INT16_MAX));
}

const QString kBusy = QStringLiteral("Another operation on the connection is still running");

} // namespace

CurlSmtpComponent::CurlSmtpComponent(QObject *parent)
    : SmtpComponent(parent)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlSmtpComponent::~CurlSmtpComponent() = default;

void CurlSmtpComponent::setHost(const QString &host)
{
    m_host = host;
}

void CurlSmtpComponent::setUserName(const QString &userName)
{
    m_userName = userName;
}

void CurlSmtpComponent::setPassword(const QString &password)
{
    m_password = password;
}

void CurlSmtpComponent::setSender(const QString &address)
{
    m_sender = address;
}

void CurlSmtpComponent::clearEnvelope()
{
    m_recipients.clear();
}

void CurlSmtpComponent::setRecipient(const QString &address)
{
    if (!m_recipients.contains(address))
        m_recipients.append(address);
}

int32_t CurlSmtpComponent::lastErrorCode() const
{
    return m_last.code;
}

QString CurlSmtpComponent::lastErrorText() const
{
    return m_last.text;
}

bool CurlSmtpComponent::isEncrypted() const
{
    return !m_busy && m_session && m_session->isEncrypted();
}

void CurlSmtpComponent::setTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
}

void CurlSmtpComponent::setAcceptanceTimeout(std::chrono::milliseconds timeout)
{
    m_acceptanceTimeout = timeout;
}

void CurlSmtpComponent::addTrustedCertificates(const QByteArray &pem)
{
    m_trustedPem.append(pem);
}

void CurlSmtpComponent::setTlsFromStartPort(quint16 port)
{
    m_tlsFromStartPort = port;
}

void CurlSmtpComponent::routeHost(const QString &hostName, const QString &address)
{
    m_routes.insert(hostName.toLower(), address);
}

void CurlSmtpComponent::cancel()
{
    if (m_busy && m_session)
        m_session->abort(smtp::Cancelled, QStringLiteral("Sending was cancelled"));
}

int16_t CurlSmtpComponent::connectToServer()
{
    if (m_busy)
        return finish({smtp::NoSession, kBusy});
    const std::optional<Server> server = parseServer(m_host);
    if (!server) {
        return finish({smtp::InvalidValue, QStringLiteral("The SMTP server \"%1\" is not a host name with an "
                                                          "optional :port")
                                               .arg(mailtext::oneLine(m_host))});
    }
    if (mailtext::hasControlCharacter(m_userName))
        return finish({smtp::InvalidValue, QStringLiteral("The user name holds a line break or another control character")});
    if (mailtext::hasControlCharacter(m_password))
        return finish({smtp::InvalidValue, QStringLiteral("The password holds a line break or another control character")});

    CurlSession::Server config;
    config.host = server->host;
    config.port = server->port;
    const QString scheme = server->port == m_tlsFromStartPort ? QStringLiteral("smtps") : QStringLiteral("smtp");
    config.url = utf8(QStringLiteral("%1://%2:%3").arg(scheme, bracketed(server->host)).arg(server->port));
    config.tlsRequired = !isLoopback(server->host);
    QString address = m_routes.value(server->host.toLower());
    if (address.isEmpty() && server->host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        address = QStringLiteral("127.0.0.1");   // whether or not /etc/hosts says so
    if (!address.isEmpty())
        config.resolve.push_back(utf8(QStringLiteral("%1:%2:%3").arg(server->host).arg(server->port).arg(bracketed(address))));
    config.user = utf8(m_userName);
    config.password = utf8(m_password);
    config.caBundle = kCaBundle;
    for (const QByteArray &pem : std::as_const(m_trustedPem))
        config.trustedPem += pem.toStdString() + "\n";
    config.replyTimeout = m_timeout;
    config.acceptanceTimeout = m_acceptanceTimeout;

    ++m_sessionSerial;
    if (!m_session)
        m_session = std::make_unique<CurlSession>();
    CurlSession *session = m_session.get();
    const Outcome outcome = runOffThread([session, config] {
        const CurlSession::Outcome o = session->open(config);
        return Outcome{o.code, o.text};
    });
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

int16_t CurlSmtpComponent::sendFile(const QString &sender, const QString &recipient, const QString &path)
{
    if (m_busy)
        return finish({smtp::NoSession, kBusy});
    const QString from = sender.isEmpty() ? m_sender : sender;
    QStringList to = m_recipients;
    if (!recipient.isEmpty() && !to.contains(recipient))
        to.append(recipient);
    const auto envelopeAddress = [](const QString &address, const QString &role, std::string &out) -> Outcome {
        if (!isPlainMailAddress(address)) {
            return {smtp::InvalidValue, QStringLiteral("The %1 address \"%2\" is not one plain e-mail address")
                                            .arg(role, mailtext::oneLine(address))};
        }
        const QString ascii = hasAsciiLocalPart(address) ? withAsciiDomain(address) : QString();
        if (ascii.isEmpty()) {
            return {smtp::InvalidValue, QStringLiteral("The %1 address \"%2\" cannot be sent to yet: it has "
                                                       "letters outside ASCII before the \"@\"")
                                            .arg(role, address)};
        }
        out = utf8(ascii);
        return {};
    };
    std::string envelopeFrom;
    if (Outcome bad = envelopeAddress(from, QStringLiteral("sender"), envelopeFrom); bad.code != 0)
        return finish(bad);
    if (to.isEmpty())
        return finish({smtp::InvalidValue, QStringLiteral("The message has no recipient")});
    std::vector<std::string> recipients;
    for (const QString &address : std::as_const(to)) {
        std::string ascii;
        if (Outcome bad = envelopeAddress(address, QStringLiteral("recipient"), ascii); bad.code != 0)
            return finish(bad);
        recipients.push_back(ascii);
    }
    if (!m_session || !m_session->isOpen())
        return finish({smtp::NoSession, QStringLiteral("There is no open connection to the server")});

    m_lastPercent = -1;
    m_acceptanceAnnounced = false;
    const qint64 size = QFileInfo(path).size();
    if (size > 0)
        emitProgress(0, size);
    CurlSession *session = m_session.get();
    const Outcome outcome = runOffThread(
        [session, envelopeFrom, recipients, path] {
            const CurlSession::Outcome o = session->send(envelopeFrom, recipients, path);
            return Outcome{o.code, o.text};
        },
        true);
    if (outcome.code == 0)
        emitProgress(size, size, true);
    return finish(outcome);
}

int16_t CurlSmtpComponent::resetSession()
{
    m_sender.clear();
    m_recipients.clear();
    if (m_busy)
        return finish({smtp::NoSession, kBusy});
    if (!m_session || !m_session->isOpen())
        return finish({smtp::NoSession, QStringLiteral("There is no open connection to the server")});
    return finish({});
}

void CurlSmtpComponent::disconnectFromServer()
{
    if (m_busy || !m_session)
        return;
    ++m_sessionSerial;
    CurlSession *session = m_session.get();
    runOffThread([session] {
        session->quit();
        return Outcome{};
    });
    m_last = {};
}

template <typename Job> CurlSmtpComponent::Outcome CurlSmtpComponent::runOffThread(Job job, bool delivering)
{
    struct Busy
    {
        bool &flag;
        explicit Busy(bool &f) : flag(f) { flag = true; }
        ~Busy() { flag = false; }
    } busy(m_busy);

    Outcome result;
    std::atomic<bool> done = false;
    QEventLoop loop;
    CurlSession *session = m_session.get();
    QTimer watch;
    watch.setInterval(kTick);
    connect(&watch, &QTimer::timeout, this, [&] {
        const CurlSession::Progress p = session->watch();
        if (!delivering || p.total <= 0)
            return;
        emitProgress(p.acknowledged, p.total);
        if (p.awaitingAcceptance && !m_acceptanceAnnounced) {
            m_acceptanceAnnounced = true;
            emit waitingForAcceptance();
        }
    });
    std::jthread worker([&] {
        try {
            result = job();
        } catch (const std::exception &e) {
            result = {smtp::ProtocolError, QString::fromUtf8(e.what())};
        } catch (...) {
            result = {smtp::ProtocolError, QStringLiteral("Unexpected failure")};
        }
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    // Repaints and timers go on; clicks and keys but Escape are dropped.
    if (!done) {
        InputSwallower noInput;
        watch.start();
        loop.exec();
        if (!done) // the application is quitting under us
            session->abort(smtp::Cancelled, QStringLiteral("Sending was cancelled"));
    }
    worker.join();
    return result;
}

int16_t CurlSmtpComponent::finish(const Outcome &outcome)
{
    m_last = outcome;
    return asStatus(outcome.code);
}

// 100 only once the server has accepted the message: until then at most 99.
void CurlSmtpComponent::emitProgress(qint64 sent, qint64 total, bool accepted)
{
    auto percent = static_cast<int16_t>(total <= 0 ? 100 : sent * 100 / total);
    if (!accepted)
        percent = std::min<int16_t>(percent, 99);
    if (percent <= m_lastPercent)
        return;
    m_lastPercent = percent;
    emit progress(sent, total, percent);
}
