#include "CurlSmtpComponent.h"

#include "CurlSession.h"
#include "MailAddress.h"
#include "MailText.h"

#include <QFileInfo>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

using mailtext::utf8;

namespace {

const char *const kCaBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr quint16 kSubmissionPort = 587;
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr auto kQuitGrace = std::chrono::milliseconds(500);

struct Server
{
    QString host;
    quint16 port = kSubmissionPort;
};

bool isIpv6(const QString &host)
{
    in6_addr v6{};
    return inet_pton(AF_INET6, host.toLatin1().constData(), &v6) == 1;
}

// Letters, digits, "-" and "_" in dot-separated labels, as curl and DNS take
// them; an IPv4 address is such a name too.
bool isHostName(const QString &host)
{
    if (host.isEmpty() || host.size() > 254)
        return false;
    const QStringList labels = (host.endsWith(QLatin1Char('.')) ? host.chopped(1) : host).split(QLatin1Char('.'));
    return std::all_of(labels.cbegin(), labels.cend(), [](const QString &label) {
        return !label.isEmpty() && label.size() <= 63 && std::all_of(label.cbegin(), label.cend(), [](QChar c) {
            return c.unicode() < 0x80 && (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_'));
        });
    });
}

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
    if (!isIpv6(server.host)) {
        server.host = asciiDomain(server.host);
        if (!isHostName(server.host))
            return std::nullopt;
    }
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

QString bracketed(const QString &host)
{
    return isIpv6(host) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

int16_t asStatus(int32_t code)
{
    return static_cast<int16_t>(std::clamp<int32_t>(code, INT16_MIN, INT16_MAX));
}

const QString kBusy = QStringLiteral("Another operation on the connection is still running");
const QString kNoSession = QStringLiteral("There is no open connection to the server");
const QString kCancelled = QStringLiteral("Sending was cancelled");

} // namespace

// The one thread that talks to the server. Jobs run one at a time in the
// order given; a job's outcome is handed to its done() on this thread, never
// once the worker is being destroyed. A job without done() is a QUIT, which
// nobody waits for.
class CurlSmtpComponent::Worker
{
public:
    using Task = std::function<Outcome(CurlSession &)>;
    // The outcome, and whether the session is open and encrypted after it.
    using Done = std::function<void(quint64 job, const Outcome &, bool open, bool encrypted)>;

    Worker()
        : m_thread([this] { run(); })
    {
    }

    // Ends what a caller waits for at once; a QUIT already asked for gets a
    // moment to go out, as it did when the program waited for it.
    ~Worker()
    {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        std::erase_if(m_queue, [](const Job &job) { return bool(job.done); });
        if (m_running != 0 && m_runningAwaited)
            m_session.abort(smtp::Cancelled, kCancelled);
        m_wake.notify_one();
        if (!m_idle.wait_for(lock, kQuitGrace, [this] { return m_running == 0 && m_queue.empty(); })) {
            m_queue.clear();
            if (m_running != 0)
                m_session.abort(smtp::Cancelled, kCancelled);
        }
        lock.unlock();
        m_thread.join();
    }

    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void post(quint64 job, Task task, Done done = {})
    {
        {
            const std::lock_guard lock(m_mutex);
            m_queue.push_back({job, std::move(task), std::move(done)});
        }
        m_wake.notify_one();
    }

    // A job still waiting ends at once, without waiting for those before it.
    void cancel(quint64 job)
    {
        const std::lock_guard lock(m_mutex);
        if (m_running == job) {
            m_session.abort(smtp::Cancelled, kCancelled);
            return;
        }
        const auto waiting = std::find_if(m_queue.begin(), m_queue.end(),
                                          [job](const Job &j) { return j.id == job; });
        if (waiting == m_queue.end())
            return;
        if (waiting->done)
            waiting->done(job, {smtp::Cancelled, kCancelled}, false, false);
        m_queue.erase(waiting);
    }

    // While the job runs: enforces its time limits and tells how far it got.
    CurlSession::Progress watch(quint64 job)
    {
        const std::lock_guard lock(m_mutex);
        return m_running == job ? m_session.watch() : CurlSession::Progress{};
    }

private:
    struct Job
    {
        quint64 id = 0;
        Task task;
        Done done;
    };

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            // Under the lock: a cancel() from now on is not lost.
            m_session.prepare();
            m_running = job.id;
            m_runningAwaited = bool(job.done);
            lock.unlock();

            Outcome outcome;
            try {
                outcome = job.task(m_session);
            } catch (const std::exception &e) {
                outcome = {smtp::ProtocolError, QString::fromUtf8(e.what())};
            } catch (...) {
                outcome = {smtp::ProtocolError, QStringLiteral("Unexpected failure")};
            }
            const bool open = m_session.isOpen();
            const bool encrypted = m_session.isEncrypted();

            lock.lock();
            m_running = 0;
            m_idle.notify_all();
            if (job.done && !m_stopping)
                job.done(job.id, outcome, open, encrypted);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_queue;
    quint64 m_running = 0;
    bool m_runningAwaited = false;
    bool m_stopping = false;
    CurlSession m_session;
    std::thread m_thread;   // last: it starts once the rest is there
};

CurlSmtpComponent::CurlSmtpComponent(QObject *parent)
    : SmtpComponent(parent)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_worker = std::make_unique<Worker>();
    m_watch.setInterval(kTick);
    connect(&m_watch, &QTimer::timeout, this, &CurlSmtpComponent::watch);
}

// Joins the worker before QObject's destructor drops the outcomes it posted.
CurlSmtpComponent::~CurlSmtpComponent()
{
    m_worker.reset();
}

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
    return !m_busy && m_sessionOpen && m_encrypted;
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
    if (m_busy && m_onWorker)
        m_worker->cancel(m_job);
}

bool CurlSmtpComponent::begin(Operation operation)
{
    if (m_busy) {
        const Outcome busy{smtp::NoSession, kBusy};
        QMetaObject::invokeMethod(
            this,
            [this, operation, busy] {
                m_last = busy;
                if (operation == Operation::Connect)
                    emit connectFailed(asStatus(busy.code));
                else
                    emit sendFinished(asStatus(busy.code));
            },
            Qt::QueuedConnection);
        return false;
    }
    m_busy = true;
    m_operation = operation;
    m_job = ++m_lastJob;
    m_onWorker = false;
    return true;
}

void CurlSmtpComponent::failLater(const Outcome &outcome)
{
    QMetaObject::invokeMethod(this, [this, job = m_job, outcome] { finish(job, outcome); }, Qt::QueuedConnection);
}

template <typename Task> void CurlSmtpComponent::start(Task task)
{
    m_onWorker = true;
    const quint64 serial = m_sessionSerial;
    m_worker->post(m_job, std::move(task), [this, serial](quint64 job, const Outcome &outcome, bool open,
                                                           bool encrypted) {
        QMetaObject::invokeMethod(
            this,
            [=, this] {
                if (serial == m_sessionSerial) {
                    m_sessionOpen = open;
                    m_encrypted = open && encrypted;
                }
                finish(job, outcome);
            },
            Qt::QueuedConnection);
    });
    m_watch.start();
}

void CurlSmtpComponent::connectToServer()
{
    if (!begin(Operation::Connect))
        return;
    const std::optional<Server> server = parseServer(m_host);
    if (!server) {
        return failLater({smtp::InvalidValue, QStringLiteral("The SMTP server \"%1\" is not a host name with an "
                                                             "optional :port")
                                                  .arg(mailtext::oneLine(m_host))});
    }
    if (mailtext::hasControlCharacter(m_userName))
        return failLater({smtp::InvalidValue, QStringLiteral("The user name holds a line break or another control character")});
    if (mailtext::hasControlCharacter(m_password))
        return failLater({smtp::InvalidValue, QStringLiteral("The password holds a line break or another control character")});

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

    // The new session replaces the open one, whatever comes of it.
    ++m_sessionSerial;
    m_sessionOpen = false;
    start([config](CurlSession &session) {
        const CurlSession::Outcome o = session.open(config);
        return Outcome{o.code, o.text};
    });
}

void CurlSmtpComponent::sendFile(const QString &sender, const QString &recipient, const QString &path)
{
    if (!begin(Operation::Send))
        return;
    const QString from = sender.isEmpty() ? m_sender : sender;
    QStringList to = m_recipients;
    if (!recipient.isEmpty() && !to.contains(recipient))
        to.append(recipient);
    const auto envelopeAddress = [](const QString &address, const QString &role, std::string &out) -> Outcome {
        if (const QString why = whyNotSendable(address); !why.isEmpty()) {
            return {smtp::InvalidValue,
                    QStringLiteral("The %1 address \"%2\" %3").arg(role, mailtext::oneLine(address), why)};
        }
        out = utf8(withAsciiDomain(address));
        return {};
    };
    std::string envelopeFrom;
    if (Outcome bad = envelopeAddress(from, QStringLiteral("sender"), envelopeFrom); bad.code != 0)
        return failLater(bad);
    if (to.isEmpty())
        return failLater({smtp::InvalidValue, QStringLiteral("The message has no recipient")});
    std::vector<std::string> recipients;
    for (const QString &address : std::as_const(to)) {
        std::string ascii;
        if (Outcome bad = envelopeAddress(address, QStringLiteral("recipient"), ascii); bad.code != 0)
            return failLater(bad);
        recipients.push_back(ascii);
    }
    if (!m_sessionOpen)
        return failLater({smtp::NoSession, kNoSession});

    m_lastPercent = -1;
    m_acceptanceAnnounced = false;
    const QFileInfo file(path);
    m_deliverySize = file.isFile() && !file.isSymLink() ? file.size() : 0;
    // The bar starts from 0 before the first byte, as every signal after the call.
    if (m_deliverySize > 0) {
        QMetaObject::invokeMethod(
            this,
            [this, job = m_job] {
                if (m_busy && m_job == job)
                    emitProgress(0, m_deliverySize);
            },
            Qt::QueuedConnection);
    }
    start([envelopeFrom, recipients, path](CurlSession &session) {
        const CurlSession::Outcome o = session.send(envelopeFrom, recipients, path);
        return Outcome{o.code, o.text};
    });
}

int16_t CurlSmtpComponent::resetSession()
{
    m_sender.clear();
    m_recipients.clear();
    if (m_busy)
        m_last = {smtp::NoSession, kBusy};
    else if (!m_sessionOpen)
        m_last = {smtp::NoSession, kNoSession};
    else
        m_last = {};
    return asStatus(m_last.code);
}

void CurlSmtpComponent::disconnectFromServer()
{
    const bool mayBeOpen = m_sessionOpen || m_busy;
    ++m_sessionSerial;
    m_sessionOpen = false;
    m_encrypted = false;
    if (!m_busy)
        m_last = {};
    if (mayBeOpen) {
        m_worker->post(++m_lastJob, [](CurlSession &session) {
            session.quit();
            return Outcome{};
        });
    }
}

void CurlSmtpComponent::finish(quint64 job, const Outcome &outcome)
{
    if (!m_busy || job != m_job)
        return;
    m_watch.stop();
    const int16_t status = asStatus(outcome.code);
    if (m_operation == Operation::Send && status == 0)
        emitProgress(m_deliverySize, m_deliverySize, true);
    m_busy = false;
    m_onWorker = false;
    m_last = outcome;
    if (m_operation == Operation::Connect) {
        if (status == 0)
            emit connected();
        else
            emit connectFailed(status);
    } else {
        emit sendFinished(status);
    }
}

void CurlSmtpComponent::watch()
{
    const CurlSession::Progress p = m_worker->watch(m_job);
    if (m_operation != Operation::Send || p.total <= 0)
        return;
    emitProgress(p.acknowledged, p.total);
    if (p.awaitingAcceptance && !m_acceptanceAnnounced) {
        m_acceptanceAnnounced = true;
        emit waitingForAcceptance();
    }
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
