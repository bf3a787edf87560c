#include "SmtpSession.h"

#include "CertificateVerifier.h"
#include "SmtpErrors.h"
#include "VmimeSupport.h"

#include <QFile>

#include <vmime/net/smtp/SMTPExceptions.hpp>
#include <vmime/platform.hpp>
#include <vmime/security/cert/certificateException.hpp>
#include <vmime/vmime.hpp>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

using Code = smtp::ErrorCode;

struct SmtpSession::Probe
{
    // Set once, from any thread.
    std::atomic<bool> cancelled{false};
    std::atomic<int64_t> timeoutMs{60000};

    // What vmime's hooks saw during the current call (worker thread only).
    bool timedOut = false;
    enum class SocketFault { None, UnknownHost, Unreachable, Broken } socketFault = SocketFault::None;
    std::string lastReply;

    void startCall()
    {
        timedOut = false;
        socketFault = SocketFault::None;
        lastReply.clear();
    }
};

namespace {

using Probe = SmtpSession::Probe;
using Clock = std::chrono::steady_clock;

// vmime aborts a wait when the server has said nothing for the time-out.
class IdleTimeout final : public vmime::net::timeoutHandler
{
public:
    explicit IdleTimeout(std::shared_ptr<Probe> probe)
        : m_probe(std::move(probe))
    {
    }

    bool isTimeOut() override
    {
        return m_probe->cancelled
               || Clock::now() - m_start >= std::chrono::milliseconds(m_probe->timeoutMs.load());
    }
    void resetTimeOut() override { m_start = Clock::now(); }
    bool handleTimeOut() override
    {
        m_probe->timedOut = !m_probe->cancelled;
        return false;
    }

private:
    std::shared_ptr<Probe> m_probe;
    Clock::time_point m_start = Clock::now();
};

class IdleTimeoutFactory final : public vmime::net::timeoutHandlerFactory
{
public:
    explicit IdleTimeoutFactory(std::shared_ptr<Probe> probe)
        : m_probe(std::move(probe))
    {
    }
    vmime::shared_ptr<vmime::net::timeoutHandler> create() override
    {
        return vmime::make_shared<IdleTimeout>(m_probe);
    }

private:
    std::shared_ptr<Probe> m_probe;
};

// Keeps the server's last reply line: vmime drops the code of a refused login.
class ReplyTracer final : public vmime::net::tracer
{
public:
    explicit ReplyTracer(std::shared_ptr<Probe> probe)
        : m_probe(std::move(probe))
    {
    }
    void traceSend(const vmime::string &) override {}
    void traceReceive(const vmime::string &line) override { m_probe->lastReply = line; }

private:
    std::shared_ptr<Probe> m_probe;
};

class ReplyTracerFactory final : public vmime::net::tracerFactory
{
public:
    explicit ReplyTracerFactory(std::shared_ptr<Probe> probe)
        : m_probe(std::move(probe))
    {
    }
    vmime::shared_ptr<vmime::net::tracer> create(vmime::shared_ptr<vmime::net::service>, const int) override
    {
        return vmime::make_shared<ReplyTracer>(m_probe);
    }

private:
    std::shared_ptr<Probe> m_probe;
};

bool resolves(const std::string &host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

// vmime's own socket, connected to the configured address, named by the host
// as typed (vmime checks the certificate against the peer name), and telling
// the session what broke.
class ObservedSocket final : public vmime::net::socket
{
public:
    ObservedSocket(vmime::shared_ptr<vmime::net::socket> inner, std::string address,
                   std::shared_ptr<Probe> probe)
        : m_inner(std::move(inner))
        , m_address(std::move(address))
        , m_probe(std::move(probe))
    {
    }

    void connect(const vmime::string &host, const vmime::port_t port) override
    {
        m_peerName = host;
        const std::string target = m_address.empty() ? host : m_address;
        try {
            m_inner->connect(target, port);
        } catch (...) {
            if (!m_probe->timedOut) {
                m_probe->socketFault = resolves(target) ? Probe::SocketFault::Unreachable
                                                        : Probe::SocketFault::UnknownHost;
            }
            throw;
        }
    }

    bool isConnected() const override { return m_inner->isConnected(); }
    void disconnect() override
    {
        try {
            flush();
        } catch (...) {
            // Hanging up anyway.
        }
        m_inner->disconnect();
    }
    bool waitForRead(const int msecs) override
    {
        flush();
        return io([&] { return m_inner->waitForRead(msecs); });
    }
    bool waitForWrite(const int msecs) override
    {
        flush();
        return io([&] { return m_inner->waitForWrite(msecs); });
    }
    void receive(vmime::string &buffer) override
    {
        flush();
        io([&] { m_inner->receive(buffer); });
    }
    size_t receiveRaw(vmime::byte_t *buffer, const size_t count) override
    {
        flush();
        return io([&] { return m_inner->receiveRaw(buffer, count); });
    }
    void send(const vmime::string &buffer) override { queue(buffer.data(), buffer.size()); }
    void send(const char *str) override { queue(str, std::strlen(str)); }
    void sendRaw(const vmime::byte_t *buffer, const size_t count) override { queue(buffer, count); }
    size_t sendRawNonBlocking(const vmime::byte_t *buffer, const size_t count) override
    {
        queue(buffer, count);
        return count;
    }
    // vmime copies a message in blocks of this size: 16 KiB by default, four
    // times the system calls of 64 KiB for a multi-megabyte message.
    size_t getBlockSize() const override { return kBlock; }
    unsigned int getStatus() const override { return m_inner->getStatus(); }
    const vmime::string getPeerName() const override { return m_peerName; }
    const vmime::string getPeerAddress() const override { return m_inner->getPeerAddress(); }
    vmime::shared_ptr<vmime::net::timeoutHandler> getTimeoutHandler() override
    {
        return m_inner->getTimeoutHandler();
    }
    void setTracer(vmime::shared_ptr<vmime::net::tracer> tracer) override { m_inner->setTracer(tracer); }
    vmime::shared_ptr<vmime::net::tracer> getTracer() override { return m_inner->getTracer(); }

private:
    static constexpr size_t kBlock = 64 * 1024;

    // vmime sends the end of a message ("CR LF . CR LF") and each command as
    // pieces of their own, and cannot set TCP_NODELAY: the last small piece
    // then waits for the server's delayed ACK, 40 ms a message on Linux.
    // Writes are gathered until the next read, wait or hang-up instead.
    void queue(const void *data, size_t count)
    {
        if (m_pending.empty() && count >= kBlock) {
            io([&] { m_inner->sendRaw(static_cast<const vmime::byte_t *>(data), count); });
            return;
        }
        m_pending.append(static_cast<const char *>(data), count);
        if (m_pending.size() >= kBlock)
            flush();
    }
    void flush()
    {
        if (m_pending.empty())
            return;
        std::string out;
        out.swap(m_pending);
        io([&] { m_inner->sendRaw(reinterpret_cast<const vmime::byte_t *>(out.data()), out.size()); });
    }

    // vmime's TLS layer rethrows socket errors as plain vmime::exception, so
    // the cause is noted here, where it is still known.
    template <typename Call> auto io(Call call) -> decltype(call())
    {
        try {
            return call();
        } catch (...) {
            if (m_probe->socketFault == Probe::SocketFault::None)
                m_probe->socketFault = Probe::SocketFault::Broken;
            throw;
        }
    }

    vmime::shared_ptr<vmime::net::socket> m_inner;
    std::string m_address;
    std::string m_peerName;
    std::string m_pending;
    std::shared_ptr<Probe> m_probe;
};

class ObservedSocketFactory final : public vmime::net::socketFactory
{
public:
    ObservedSocketFactory(std::string address, std::shared_ptr<Probe> probe)
        : m_platform(vmime::platform::getHandler()->getSocketFactory())
        , m_address(std::move(address))
        , m_probe(std::move(probe))
    {
    }
    vmime::shared_ptr<vmime::net::socket> create() override { return create(nullptr); }
    vmime::shared_ptr<vmime::net::socket> create(vmime::shared_ptr<vmime::net::timeoutHandler> th) override
    {
        return vmime::make_shared<ObservedSocket>(m_platform->create(th), m_address, m_probe);
    }

private:
    vmime::shared_ptr<vmime::net::socketFactory> m_platform;
    std::string m_address;
    std::shared_ptr<Probe> m_probe;
};

class ProgressRelay final : public vmime::utility::progressListener
{
public:
    ProgressRelay(const SmtpSession::Progress &progress, uint64_t total)
        : m_progress(progress)
        , m_total(total)
    {
    }
    void start(const size_t) override {}
    void progress(const size_t current, const size_t) override
    {
        if (m_progress)
            m_progress(std::min<uint64_t>(current, m_total), m_total);
    }
    void stop(const size_t) override {}

private:
    const SmtpSession::Progress &m_progress;
    uint64_t m_total;
};

QString text(const std::string &s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size())).trimmed();
}

int replyCode(const std::string &line)
{
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0]))
        || !std::isdigit(static_cast<unsigned char>(line[1]))
        || !std::isdigit(static_cast<unsigned char>(line[2])))
        return 0;
    const int code = std::stoi(line.substr(0, 3));
    return code >= 400 && code < 600 ? code : 0;
}

QString commandName(const std::string &command)
{
    const std::string verb = command.substr(0, command.find_first_of(" :"));
    if (verb == "MAIL")
        return QStringLiteral("the sender");
    if (verb == "RCPT")
        return QStringLiteral("the recipient");
    if (verb == "DATA" || verb == "BDAT")
        return QStringLiteral("the message");
    return QStringLiteral("the command %1").arg(text(verb));
}

} // namespace

SmtpSession::SmtpSession()
    : m_probe(std::make_shared<Probe>())
{
    vmimesupport::initialise();
}

SmtpSession::~SmtpSession()
{
    close();
}

SmtpSession::Outcome SmtpSession::open(const Config &config)
{
    close();
    m_probe->startCall();
    m_probe->timeoutMs = config.timeout.count();
    try {
        m_session = vmime::net::session::create();
        const vmime::utility::url url(config.tlsFromStart ? "smtps" : "smtp", config.host,
                                      config.port);
        auto transport = m_session->getTransport(url);
        transport->setProperty("connection.tls", true);
        transport->setProperty("connection.tls.required", !config.tlsOptional);
        const bool login = !config.user.empty();
        transport->setProperty("options.need-authentication", login);
        if (login) {
            transport->setProperty("auth.username", config.user);
            transport->setProperty("auth.password", config.password);
        }
        transport->setCertificateVerifier(
            vmime::make_shared<CertificateVerifier>(config.caBundle, config.trustedPem));
        transport->setSocketFactory(vmime::make_shared<ObservedSocketFactory>(config.address, m_probe));
        transport->setTimeoutHandlerFactory(vmime::make_shared<IdleTimeoutFactory>(m_probe));
        transport->setTracerFactory(vmime::make_shared<ReplyTracerFactory>(m_probe));
        transport->connect();
        m_transport = transport;
        return {};
    } catch (...) {
        const Outcome outcome = outcomeOfCurrentException();
        m_session.reset();
        return outcome;
    }
}

SmtpSession::Outcome SmtpSession::send(const std::string &from, const std::vector<std::string> &to,
                                       const QString &path, const Progress &progress)
{
    if (!isOpen())
        return {Code::NoSession, QStringLiteral("There is no open connection to the server.")};
    m_probe->startCall();

    // vmime writes CR LF before the final dot itself: the file's own last CR
    // LF stays behind, or the server would store one line more than the file.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Code::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, file.errorString())};
    const qint64 size = file.size();
    if (size == 0)
        return {Code::FileUnreadable, QStringLiteral("The message file %1 is empty.").arg(path)};
    file.seek(std::max<qint64>(0, size - 2));
    const qint64 toSend = file.read(2) == "\r\n" ? size - 2 : size;
    file.close();

    try {
        vmimesupport::FileInputStream in(path, toSend,
                                         vmimesupport::FileInputStream::BlockEnd::NotAfterDot);
        vmime::mailboxList recipients;
        for (const std::string &address : to)
            recipients.appendMailbox(vmime::make_shared<vmime::mailbox>(address));
        ProgressRelay relay(progress, static_cast<uint64_t>(size));
        m_transport->send(vmime::mailbox(from), recipients, in, static_cast<size_t>(toSend), &relay);
        if (progress)
            progress(static_cast<uint64_t>(size), static_cast<uint64_t>(size));
        return {};
    } catch (...) {
        const Outcome outcome = outcomeOfCurrentException();
        closeUnlessAnswered(outcome);
        return outcome;
    }
}

SmtpSession::Outcome SmtpSession::noop()
{
    if (!isOpen())
        return {Code::NoSession, QStringLiteral("There is no open connection to the server.")};
    m_probe->startCall();
    try {
        m_transport->noop();
        return {};
    } catch (...) {
        const Outcome outcome = outcomeOfCurrentException();
        closeUnlessAnswered(outcome);
        return outcome;
    }
}

void SmtpSession::close()
{
    if (m_transport) {
        try {
            if (m_transport->isConnected())
                m_transport->disconnect();
        } catch (...) {
            // The line is gone either way.
        }
    }
    m_transport.reset();
    m_session.reset();
}

bool SmtpSession::isOpen() const
{
    return m_transport && m_transport->isConnected();
}

bool SmtpSession::isEncrypted() const
{
    return isOpen() && m_transport->isSecuredConnection();
}

void SmtpSession::cancel()
{
    m_probe->cancelled = true;
}

// A session survives a refusal the server put in words; after anything
// else (time-out, broken line, half-sent message) it is closed.
void SmtpSession::closeUnlessAnswered(const Outcome &outcome)
{
    if (outcome.code <= 0 || !isOpen())
        close();
}

SmtpSession::Outcome SmtpSession::outcomeOfCurrentException()
{
    const Probe &probe = *m_probe;
    const QString lastReply = text(probe.lastReply);
    try {
        throw;
    } catch (const vmime::net::smtp::SMTPCommandError &e) {
        if (e.command().rfind("STARTTLS", 0) == 0) {
            return {Code::TlsFailure,
                    QStringLiteral("The server cannot encrypt the connection (it answered \"%1 %2\" "
                                   "to STARTTLS).")
                        .arg(e.statusCode())
                        .arg(text(e.response()))};
        }
        const QString refused = QStringLiteral("The server refused %1: %2 %3")
                                    .arg(commandName(e.command()))
                                    .arg(e.statusCode())
                                    .arg(text(e.response()));
        return {e.statusCode() >= 400 ? e.statusCode() : int32_t(Code::ProtocolError), refused};
    } catch (const vmime::security::cert::certificateException &e) {
        return {Code::TlsFailure, text(e.what())};
    } catch (const vmime::exceptions::authentication_error &e) {
        if (const int code = replyCode(probe.lastReply))
            return {code, QStringLiteral("The server refused the login: %1").arg(lastReply)};
        return {Code::LoginRefused, QStringLiteral("The login failed: %1")
                                        .arg(text(e.response().empty() ? e.what() : e.response()))};
    } catch (const vmime::exception &e) {
        const QString what = text(e.what());
        if (probe.timedOut) {
            return {Code::TimedOut,
                    QStringLiteral("The server stopped answering for %1 s.").arg(probe.timeoutMs / 1000.0)};
        }
        switch (probe.socketFault) {
        case Probe::SocketFault::UnknownHost:
            return {Code::UnknownHost, QStringLiteral("The server's name is unknown: %1").arg(what)};
        case Probe::SocketFault::Unreachable:
            return {Code::ConnectionRefused, QStringLiteral("The server cannot be reached: %1").arg(what)};
        case Probe::SocketFault::Broken:
            return {Code::ConnectionLost, QStringLiteral("The connection to the server broke: %1").arg(what)};
        case Probe::SocketFault::None:
            break;
        }
        if (dynamic_cast<const vmime::exceptions::tls_exception *>(&e))
            return {Code::TlsFailure, QStringLiteral("TLS failed: %1").arg(what)};
        if (dynamic_cast<const vmime::exceptions::operation_timed_out *>(&e))
            return {Code::TimedOut, QStringLiteral("The server stopped answering.")};
        if (const int code = replyCode(probe.lastReply))
            return {code, QStringLiteral("The server answered: %1").arg(lastReply)};
        return {Code::ProtocolError, what};
    } catch (const vmimesupport::FileError &e) {
        return {Code::FileUnreadable, text(e.what())};
    } catch (const std::exception &e) {
        return {Code::ProtocolError, text(e.what())};
    }
}
