#include "CurlSession.h"

#include "SmtpErrors.h"
#include "MailText.h"
#include "RegularFile.h"

#include <QFile>
#include <QLocale>
#include <QUrl>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using Clock = std::chrono::steady_clock;
using Code = smtp::ErrorCode;

namespace {

constexpr size_t kMaxLine = 2048;        // RFC 5321 allows 512
constexpr size_t kMaxReply = 64 * 1024;  // a generous EHLO reply is 1 kB
constexpr size_t kKeptLine = 240;
constexpr auto kQuitWait = std::chrono::seconds(2);

enum class Phase { Idle, Connecting, AwaitingReply, Body, Accepting };

QString seconds(std::chrono::milliseconds ms)
{
    return QString::number(double(ms.count()) / 1000.0);
}

// What a server wrote, fit for one line of the window.
QString shown(const std::string &text)
{
    QString line = mailtext::oneLine(QString::fromUtf8(text.data(), qsizetype(text.size()))).trimmed();
    if (line.size() > 160)
        line = line.left(160) + QChar(0x2026);
    return line;
}

std::string verbOf(const char *data, size_t size)
{
    static const char *const known[] = {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA",
                                        "NOOP", "RSET", "QUIT", "VRFY", "EXPN", "HELP"};
    std::string verb;
    for (size_t i = 0; i < size && i < 8 && data[i] != ' ' && data[i] != '\r' && data[i] != '\n'; ++i)
        verb.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(data[i]))));
    for (const char *k : known) {
        if (verb == k)
            return verb;
    }
    return "AUTH";   // a line of a login dialogue: never kept, it holds secrets
}

QString commandName(const std::string &verb)
{
    if (verb == "MAIL")
        return QStringLiteral("MAIL FROM");
    if (verb == "RCPT")
        return QStringLiteral("RCPT TO");
    return QString::fromLatin1(verb.c_str());
}

// The enhanced status code ("5.7.1" in "554 5.7.1 Relay access denied")
// starts with prefix.
bool hasEnhancedCode(const std::string &line, const char *prefix)
{
    return line.size() > 4 && line.compare(4, std::strlen(prefix), prefix) == 0;
}

QString dataSize(int64_t bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

// An address literal of the address this machine would use towards the
// server: the kernel picks it for a connected UDP socket, which sends nothing.
std::string localAddressLiteral(const curl_sockaddr &server)
{
    const int fd = ::socket(server.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    const bool found = ::connect(fd, &server.addr, server.addrlen) == 0
                       && ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0;
    ::close(fd);
    char text[INET6_ADDRSTRLEN] = {};
    if (!found)
        return {};
    if (local.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(local).sin_addr, text, sizeof text);
        return std::string("[") + text + "]";
    }
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(local).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        return std::string("[") + text + "]";
    }
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string("[IPv6:") + text + "]";
}

QString refusedWhat(const std::string &answered)
{
    if (answered == "MAIL")
        return QStringLiteral("the sender");
    if (answered == "RCPT")
        return QStringLiteral("the recipient");
    if (answered == "DATA" || answered == "END")
        return QStringLiteral("the message");
    if (answered == "AUTH")
        return QStringLiteral("the login");
    if (answered == "GREETING")
        return QStringLiteral("the connection");
    return commandName(answered);
}

} // namespace

struct CurlSession::State
{
    std::mutex mutex;
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    Server server;

    // Sockets curl has opened and not yet closed; the one the transfer uses.
    std::vector<int> sockets;
    int activeSocket = -1;

    // Where the dialogue stands.
    Phase phase = Phase::Idle;
    Clock::time_point since;
    std::string lastCommand;
    bool midCommand = false;
    size_t replyBytes = 0;
    std::string finalLine;
    int finalCode = 0;
    std::string answered;      // the command the last final reply answered
    bool lastAnswered = false; // ... and it was the last one sent
    bool loggedIn = false;
    bool encrypted = false;
    bool heardServer = false;  // during this operation, or it reuses a connection
    bool closing = false;      // curl's QUIT after a refusal
    int64_t announcedSize = 0; // the EHLO reply's SIZE; 0: none
    int64_t linesIn = 0;       // bytes of the reply lines curl passed on in this transfer
    bool earlyReply = false;   // then no reply decides the delivery

    // open() first finds the address curl connects to, without connecting.
    bool probing = false;
    std::string helloLiteral;

    // The message.
    int64_t total = 0;
    int64_t written = 0;
    int64_t acknowledged = 0;
    bool endOfFile = false;
    bool bodySent = false;     // all of it is curl's to send: the end may follow
    Clock::time_point lastMove;

    std::chrono::milliseconds replyLimit{60000};   // this operation's

    // Ending early: the first reason wins.
    int32_t abortCode = 0;
    QString abortText;

    char errorBuffer[CURL_ERROR_SIZE] = {};

    QString where() const { return server.host + QStringLiteral(" port ") + QString::number(server.port); }

    // Once a refusal is known, it stays the outcome: the QUIT after it is
    // only hung up on.
    void abortLocked(int32_t code, const QString &text)
    {
        if (abortCode != 0)
            return;
        if (!closing) {
            abortCode = code;
            abortText = text;
        }
        // Wakes curl from a wait that is not ours (the reply to the end of
        // the message); the descriptors stay curl's to close.
        for (const int fd : sockets)
            ::shutdown(fd, SHUT_RDWR);
        if (multi)
            curl_multi_wakeup(multi);
    }

    bool isConnected() const
    {
        for (const int fd : sockets) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0)
                return true;
        }
        return false;
    }

    int transferSocket() const
    {
        if (std::find(sockets.cbegin(), sockets.cend(), activeSocket) != sockets.cend())
            return activeSocket;
        return sockets.size() == 1 ? sockets.front() : -1;
    }

    int64_t unacknowledged() const
    {
        const int fd = transferSocket();
        int queued = 0;
        if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &queued) != 0)
            return 0;
        return queued;
    }

    // On the worker only, as it asks curl. A line without end is read on
    // and dropped by curl up to a limit far beyond ours, and passed on as no
    // line: only the count of what it read shows it.
    void checkLineLength()
    {
        long read = 0;
        curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &read);
        if (read - linesIn > int64_t(kMaxReply))
            abortLocked(Code::ProtocolError, QStringLiteral("%1 sent a reply line without end").arg(server.host));
    }

    // A reply comes only after the end of the message: before, while the
    // message goes out, nothing may wait to be read, and the reply must come
    // from a server that had all of the message, so it acknowledges all.
    void replyBeforeTheEnd()
    {
        earlyReply = true;
        abortLocked(Code::ProtocolError, QStringLiteral("%1 replied before the end of the message").arg(server.host));
    }

    bool anythingToRead() const
    {
        const int fd = transferSocket();
        int waiting = 0;
        return fd >= 0 && ::ioctl(fd, SIOCINQ, &waiting) == 0 && waiting > 0;
    }

    // Why the operation is overdue where it stands.
    QString overdueText() const
    {
        switch (phase) {
        case Phase::Connecting:
            return QStringLiteral("%1 did not greet within %2 s").arg(server.host, seconds(server.replyTimeout));
        case Phase::Body:
            return QStringLiteral("%1 took nothing of the message for %2 s").arg(server.host, seconds(server.replyTimeout));
        case Phase::Accepting:
            return QStringLiteral("%1 did not accept the message within %2 s")
                .arg(server.host, seconds(server.acceptanceTimeout));
        case Phase::AwaitingReply:
        case Phase::Idle:
            break;
        }
        return QStringLiteral("%1 did not answer %2 within %3 s")
            .arg(server.host, commandName(lastCommand), seconds(server.replyTimeout));
    }

    void tickLocked()
    {
        if (abortCode != 0)
            return;
        const Clock::time_point now = Clock::now();
        const auto limit = replyLimit;
        switch (phase) {
        case Phase::Idle:
            break;
        case Phase::Connecting:
            if (now - since >= limit) {
                if (isConnected())
                    abortLocked(Code::TimedOut, overdueText());
                else
                    abortLocked(Code::ConnectionRefused, QStringLiteral("Nothing answered at %1").arg(where()));
            }
            break;
        case Phase::AwaitingReply:
            if (now - since >= (closing ? std::min<std::chrono::milliseconds>(limit, kQuitWait) : limit))
                abortLocked(Code::TimedOut, overdueText());
            break;
        case Phase::Body: {
            const int64_t queued = unacknowledged();
            const int64_t taken = std::clamp<int64_t>(written - queued, 0, total);
            if (taken > acknowledged) {
                acknowledged = taken;
                lastMove = now;
            }
            if (endOfFile && queued == 0) {
                acknowledged = total;
                phase = Phase::Accepting;
                since = now;
            } else if (now - lastMove >= limit) {
                abortLocked(Code::TimedOut, overdueText());
            }
            break;
        }
        case Phase::Accepting:
            if (now - since >= server.acceptanceTimeout)
                abortLocked(Code::TimedOut, overdueText());
            break;
        }
    }

    void startRequest(bool reusing)
    {
        heardServer = reusing;
        phase = Phase::Idle;
        lastCommand.clear();
        midCommand = false;
        replyBytes = 0;
        finalLine.clear();
        finalCode = 0;
        answered.clear();
        lastAnswered = false;
        closing = false;
        earlyReply = false;
        linesIn = 0;
        total = written = acknowledged = 0;
        endOfFile = bodySent = false;
        errorBuffer[0] = '\0';
    }

    void socketOpened(int fd)
    {
        sockets.push_back(fd);
        phase = Phase::Connecting;
        since = Clock::now();
        loggedIn = false;
        encrypted = server.url.rfind("smtps:", 0) == 0;
        replyBytes = 0;
        announcedSize = 0;
    }

    void commandSent(const char *data, size_t size)
    {
        const bool starts = !midCommand;
        midCommand = size == 0 || data[size - 1] != '\n';
        if (starts) {
            const std::string verb = verbOf(data, size);
            // curl says QUIT after its own time-out: the command left
            // unanswered is the one that counts.
            if (verb == "QUIT" && phase != Phase::Idle)
                return;
            lastCommand = verb;
            phase = Phase::AwaitingReply;
            since = Clock::now();
            replyBytes = 0;
            // curl says QUIT after a refusal: the refusal is what counts,
            // and the answer is awaited no longer than after a delivery.
            if (lastCommand != "QUIT") {
                lastAnswered = false;
                finalCode = 0;
            } else {
                closing = lastAnswered && finalCode >= 400;
            }
            if (lastCommand == "EHLO")
                announcedSize = 0;
            const bool carriesMail = lastCommand == "MAIL" || lastCommand == "NOOP";
            if (carriesMail && !server.user.empty() && !loggedIn) {
                abortLocked(Code::LoginRefused, QStringLiteral("%1 offers no login, but a user name is set")
                                                    .arg(server.host));
            }
        }
    }

    void replyLine(const char *data, size_t size)
    {
        heardServer = true;
        replyBytes += size;
        linesIn += int64_t(size);
        std::string line(data, std::min(size, kKeptLine));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        const auto digit = [&](size_t i) { return i < size && data[i] >= '0' && data[i] <= '9'; };
        const bool smtp = digit(0) && digit(1) && digit(2)
                          && (size == 3 || data[3] == ' ' || data[3] == '-' || data[3] == '\r' || data[3] == '\n');
        if (size > kMaxLine) {
            abortLocked(Code::ProtocolError, QStringLiteral("%1 sent a reply line of %2 bytes").arg(server.host).arg(size));
            return;
        }
        if (replyBytes > kMaxReply) {
            abortLocked(Code::ProtocolError, QStringLiteral("%1 sent a reply without end").arg(server.host));
            return;
        }
        if (!smtp) {
            abortLocked(Code::ProtocolError, QStringLiteral("%1 sent something that is no SMTP reply: \u201c%2\u201d")
                                                 .arg(server.host, shown(line)));
            return;
        }
        const int code = (data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0');
        if (code < 200 || code > 599) {
            abortLocked(Code::ProtocolError, QStringLiteral("%1 answered with the code %2, which SMTP does not have: \u201c%3\u201d")
                                                 .arg(server.host)
                                                 .arg(code)
                                                 .arg(shown(line)));
            return;
        }
        if (lastCommand == "EHLO" && code == 250 && line.size() >= 8
            && QByteArray::fromStdString(line.substr(4, 4)).toUpper() == "SIZE" && (line.size() == 8 || line[8] == ' '))
            announcedSize = QByteArray::fromStdString(line.substr(8)).trimmed().toLongLong();
        if (size > 3 && data[3] == '-')
            return;

        replyBytes = 0;
        if (lastCommand == "QUIT" && phase == Phase::AwaitingReply) {
            phase = Phase::Idle;
            return;
        }
        finalCode = code;
        finalLine = line;
        lastAnswered = true;
        if (phase == Phase::Body || phase == Phase::Accepting) {
            answered = "END";
            phase = Phase::Idle;
            if (unacknowledged() > 0)
                replyBeforeTheEnd();
        } else if (phase == Phase::Connecting) {
            answered = "GREETING";
            phase = Phase::Idle;
        } else {
            answered = lastCommand;
            phase = Phase::Idle;
            if (lastCommand == "AUTH" && code == 235) {
                loggedIn = true;
            } else if (lastCommand == "STARTTLS" && code == 220) {
                encrypted = true;
                phase = Phase::AwaitingReply;   // the handshake
                since = Clock::now();
            } else if (lastCommand == "DATA" && code == 354) {
                phase = Phase::Body;
                lastMove = Clock::now();
            }
        }
    }
};

namespace {

using State = CurlSession::State;

// The cause in plain words where the reply tells it, with the reply itself.
QString refusalText(const State &s, const QString &reply)
{
    const QString host = s.server.host;
    if (s.answered == "AUTH")
        return QStringLiteral("%1 refused the user name or password: %2").arg(host, reply);
    if (s.answered == "MAIL" && s.finalCode == 530)
        return QStringLiteral("%1 wants a login before it takes mail: set the user name and password: %2")
            .arg(host, reply);
    const bool relay = hasEnhancedCode(s.finalLine, "5.7.")
                       || QString::fromStdString(s.finalLine).contains(QLatin1String("relay"), Qt::CaseInsensitive);
    if (s.answered == "RCPT" && relay) {
        return QStringLiteral("%1 does not pass mail on for this sender: check the user name and password: %2")
            .arg(host, reply);
    }
    const bool tooLarge = s.finalCode == 552 || hasEnhancedCode(s.finalLine, "5.3.4 ");
    if ((s.answered == "MAIL" || s.answered == "DATA" || s.answered == "END") && tooLarge) {
        const QString limit = s.announcedSize > 0 ? QStringLiteral(" (it announces %1)").arg(dataSize(s.announcedSize))
                                                  : QString();
        return QStringLiteral("The message (%1) is larger than %2 accepts%3: %4")
            .arg(dataSize(s.total), host, limit, reply);
    }
    return QStringLiteral("%1 refused %2: %3").arg(host, refusedWhat(s.answered), reply);
}

int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *state = static_cast<State *>(user);
    const std::lock_guard lock(state->mutex);
    if (type == CURLINFO_HEADER_OUT)
        state->commandSent(data, size);
    else if (type == CURLINFO_HEADER_IN)
        state->replyLine(data, size);
    return 0;
}

int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto *state = static_cast<State *>(user);
    const std::lock_guard lock(state->mutex);
    state->written = uploaded;
    // Only here is it sure that the end of the message has not gone out yet:
    // curl sends it after the last progress with the whole body.
    if (state->phase == Phase::Body && !state->bodySent) {
        if (state->anythingToRead())
            state->replyBeforeTheEnd();
        state->bodySent = state->total > 0 && uploaded >= state->total;
    }
    state->tickLocked();
    state->checkLineLength();
    return state->abortCode != 0 ? 1 : 0;
}

curl_socket_t onOpenSocket(void *user, curlsocktype, curl_sockaddr *address)
{
    auto *state = static_cast<State *>(user);
    {
        const std::lock_guard lock(state->mutex);
        if (state->probing) {
            if (state->helloLiteral.empty())
                state->helloLiteral = localAddressLiteral(*address);
            return CURL_SOCKET_BAD;
        }
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    const std::lock_guard lock(state->mutex);
    state->socketOpened(fd);
    return fd;
}

int onCloseSocket(void *user, curl_socket_t fd)
{
    auto *state = static_cast<State *>(user);
    {
        const std::lock_guard lock(state->mutex);
        std::erase(state->sockets, fd);
        if (state->activeSocket == fd)
            state->activeSocket = -1;
    }
    return ::close(fd);
}

size_t onReplyText(char *, size_t size, size_t count, void *)
{
    return size * count;   // what NOOP and QUIT answer is of no use
}

struct Upload
{
    QFile *file = nullptr;
    QString path;
    int64_t left = 0;
    State *state = nullptr;
};

size_t onRead(char *buffer, size_t size, size_t count, void *user)
{
    auto *upload = static_cast<Upload *>(user);
    const int64_t wanted = std::min<int64_t>(int64_t(size * count), upload->left);
    const qint64 got = wanted > 0 ? upload->file->read(buffer, wanted) : 0;
    const std::lock_guard lock(upload->state->mutex);
    if (got != wanted) {
        upload->state->abortLocked(Code::FileUnreadable, QStringLiteral("The file %1 changed while it was sent")
                                                             .arg(upload->path));
        return CURL_READFUNC_ABORT;
    }
    upload->left -= got;
    // curl asks no more once it has the size it was told.
    upload->state->endOfFile = upload->left == 0;
    return size_t(got);
}

long wholeSeconds(std::chrono::milliseconds ms)
{
    return long((ms.count() + 999) / 1000);
}

} // namespace

CurlSession::CurlSession()
    : m_state(std::make_unique<State>())
{
}

CurlSession::~CurlSession()
{
    drop();
}

bool CurlSession::isEncrypted() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_open && m_state->encrypted;
}

void CurlSession::createHandles()
{
    m_easy = curl_easy_init();
    m_multi = curl_multi_init();
    if (!m_easy || !m_multi)
        throw std::bad_alloc();
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, 1L);
    const std::lock_guard lock(m_state->mutex);
    m_state->multi = static_cast<CURLM *>(m_multi);
    m_state->easy = static_cast<CURL *>(m_easy);
}

void CurlSession::destroyHandles()
{
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->multi = nullptr;
        m_state->easy = nullptr;
    }
    if (m_multi)
        curl_multi_cleanup(static_cast<CURLM *>(m_multi));
    if (m_easy)
        curl_easy_cleanup(static_cast<CURL *>(m_easy));
    curl_slist_free_all(static_cast<curl_slist *>(m_resolve));
    m_multi = nullptr;
    m_easy = nullptr;
    m_resolve = nullptr;
}

void CurlSession::drop()
{
    {
        const std::lock_guard lock(m_state->mutex);
        for (const int fd : m_state->sockets)
            ::shutdown(fd, SHUT_RDWR);   // curl's QUIT then fails at once
    }
    destroyHandles();
    m_open = false;
}

CurlSession::Outcome CurlSession::open(const Server &server)
{
    drop();
    createHandles();
    m_server = server;
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->server = server;
    }
    CURL *e = static_cast<CURL *>(m_easy);
    State *state = m_state.get();

    for (const std::string &entry : server.resolve)
        m_resolve = curl_slist_append(static_cast<curl_slist *>(m_resolve), entry.c_str());
    std::string authorities;
    if (!server.trustedPem.empty()) {
        QFile bundle(QString::fromStdString(server.caBundle));
        if (bundle.open(QIODevice::ReadOnly))
            authorities = bundle.readAll().toStdString();
        authorities += "\n" + server.trustedPem;
    }

    curl_easy_setopt(e, CURLOPT_URL, server.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(e, CURLOPT_USE_SSL, long(server.tlsRequired ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(e, CURLOPT_RESOLVE, m_resolve);
    if (!server.user.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, server.user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, server.password.c_str());
    }
    curl_easy_setopt(e, CURLOPT_CAINFO, server.caBundle.c_str());
    if (!authorities.empty()) {
        curl_blob blob{authorities.data(), authorities.size(), CURL_BLOB_COPY};
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(server.replyTimeout.count()));
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(server.replyTimeout));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // A cancel while the name is looked up must not wait for the resolver.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, state);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, state);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, onOpenSocket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, state);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, onCloseSocket);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, state);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onReplyText);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, state->errorBuffer);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);

    // curl's EHLO names the URL's path, or else the machine. The address
    // this end of the connection will have is known once curl has found the
    // server: a first pass stops there, before connecting, and the DNS cache
    // hands the second the same answer.
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->probing = true;
        m_state->helloLiteral.clear();
    }
    Outcome outcome = perform();
    std::string literal;
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->probing = false;
        literal = m_state->helloLiteral;
    }
    if (!literal.empty()) {
        const std::string url = server.url + "/" + QUrl::toPercentEncoding(QString::fromStdString(literal)).toStdString();
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        outcome = perform();
    }
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 0L);
    if (outcome.code == 0)
        m_open = true;
    else
        drop();
    return outcome;
}

CurlSession::Outcome CurlSession::send(const std::string &from, const std::vector<std::string> &to,
                                       const QString &path)
{
    if (!m_open)
        return {Code::NoSession, QStringLiteral("There is no open connection to the server")};
    QFile file(path);
    if (QString why; !openRegularFile(file, why))
        return {Code::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, why)};
    const qint64 size = file.size();
    if (size == 0)
        return {Code::FileUnreadable, QStringLiteral("The message file %1 is empty").arg(path)};
    int64_t limit = 0;
    {
        const std::lock_guard lock(m_state->mutex);
        limit = m_state->announcedSize;
    }
    if (limit > 0 && size > limit) {
        quit();
        return {552, QStringLiteral("The message (%1) is larger than %2 accepts (it announces %3); nothing was sent")
                         .arg(dataSize(size), m_server.host, dataSize(limit))};
    }

    CURL *e = static_cast<CURL *>(m_easy);
    const std::string sender = "<" + from + ">";
    curl_slist *recipients = nullptr;
    for (const std::string &address : to)
        recipients = curl_slist_append(recipients, ("<" + address + ">").c_str());
    Upload upload{&file, path, size, m_state.get()};
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_MAIL_FROM, sender.c_str());
    curl_easy_setopt(e, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(e, CURLOPT_READDATA, &upload);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
    // curl's own limit then only guards the reply to the end of the message;
    // the watch holds every other reply to replyTimeout.
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(m_server.acceptanceTimeout));

    const Outcome outcome = perform(size);

    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(m_server.replyTimeout));
    curl_easy_setopt(e, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(e, CURLOPT_MAIL_FROM, nullptr);
    curl_easy_setopt(e, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(e, CURLOPT_READDATA, nullptr);
    curl_slist_free_all(recipients);
    if (outcome.code < 0)
        drop();
    return outcome;
}

void CurlSession::quit()
{
    if (m_open) {
        curl_easy_setopt(static_cast<CURL *>(m_easy), CURLOPT_CUSTOMREQUEST, "QUIT");
        (void)perform(0, std::min<std::chrono::milliseconds>(m_server.replyTimeout, kQuitWait));
    }
    drop();
}

void CurlSession::prepare()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->abortCode = 0;
    m_state->abortText.clear();
    m_state->phase = Phase::Idle;
    m_state->total = m_state->written = m_state->acknowledged = 0;
}

void CurlSession::abort(int32_t code, const QString &text)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->abortLocked(code, text);
}

CurlSession::Progress CurlSession::watch()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->tickLocked();
    return {m_state->acknowledged, m_state->total, m_state->phase == Phase::Accepting};
}

CurlSession::Outcome CurlSession::perform(int64_t total, std::chrono::milliseconds replyLimit)
{
    CURL *e = static_cast<CURL *>(m_easy);
    CURLM *m = static_cast<CURLM *>(m_multi);
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->startRequest(m_open);
        m_state->total = total;
        m_state->replyLimit = replyLimit.count() > 0 ? replyLimit : m_server.replyTimeout;
        if (m_state->abortCode != 0)   // before it began: not a byte goes out
            return {m_state->abortCode, m_state->abortText};
    }

    bool finished = false;
    CURLcode result = CURLE_OK;
    curl_multi_add_handle(m, e);
    for (;;) {
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK)
            break;
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(m, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                finished = true;
                result = message->data.result;
            }
        }
        if (finished || running == 0)
            break;
        {
            const std::lock_guard lock(m_state->mutex);
            curl_socket_t active = CURL_SOCKET_BAD;
            if (curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &active) == CURLE_OK)
                m_state->activeSocket = active;
            m_state->tickLocked();
            m_state->checkLineLength();
            if (m_state->abortCode != 0)
                break;
        }
        curl_multi_poll(m, nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(m, e);
    const Outcome outcome = outcomeOf(finished, result);
    const std::lock_guard lock(m_state->mutex);
    m_state->phase = Phase::Idle;
    return outcome;
}

CurlSession::Outcome CurlSession::outcomeOf(bool finished, int code)
{
    const auto result = static_cast<CURLcode>(code);
    CURL *e = static_cast<CURL *>(m_easy);
    long osError = 0;
    curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &osError);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &connectTime);

    const std::lock_guard lock(m_state->mutex);
    const State &s = *m_state;
    // A message the server has accepted is delivered, whatever came after.
    if (finished && result == CURLE_OK && s.abortCode != Code::LoginRefused && !s.earlyReply)
        return {};
    if (s.abortCode != 0)
        return {s.abortCode, s.abortText};

    const QString host = s.server.host;
    const QString detail = QString::fromUtf8(s.errorBuffer[0] ? s.errorBuffer : curl_easy_strerror(result));
    if (s.lastAnswered && s.finalCode >= 400 && s.finalCode <= 599) {
        const QString reply = shown(s.finalLine);
        if (s.answered == "STARTTLS")
            return {Code::TlsFailure, QStringLiteral("%1 refused to encrypt the connection: %2").arg(host, reply)};
        return {s.finalCode, refusalText(s, reply)};
    }
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return {Code::UnknownHost, QStringLiteral("The server name %1 could not be found").arg(host)};
    case CURLE_COULDNT_CONNECT:
        if (osError == ECONNREFUSED)
            return {Code::ConnectionRefused, QStringLiteral("%1 refused the connection").arg(s.where())};
        return {Code::ConnectionRefused, QStringLiteral("%1 cannot be reached: %2").arg(s.where(), detail)};
    case CURLE_OPERATION_TIMEDOUT:
        if (connectTime == 0 && !s.heardServer)
            return {Code::ConnectionRefused, QStringLiteral("Nothing answered at %1").arg(s.where())};
        return {Code::TimedOut, s.overdueText()};
    case CURLE_USE_SSL_FAILED:
        return {Code::TlsFailure, QStringLiteral("%1 offers no encrypted connection (STARTTLS)").arg(host)};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
        return {Code::TlsFailure, QStringLiteral("The certificate of %1 is not trusted: %2").arg(host, detail)};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
        return {Code::TlsFailure, QStringLiteral("No encrypted connection to %1 could be made: %2").arg(host, detail)};
    case CURLE_LOGIN_DENIED:
        return {Code::LoginRefused, QStringLiteral("%1 refused the user name or password: %2").arg(host, detail)};
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return {Code::ConnectionLost, QStringLiteral("The connection to %1 broke: %2").arg(host, detail)};
    case CURLE_READ_ERROR:
        return {Code::FileUnreadable, QStringLiteral("The message file could not be read: %1").arg(detail)};
    case CURLE_WEIRD_SERVER_REPLY:
        return {Code::ProtocolError, QStringLiteral("%1 answered in a way SMTP does not allow: %2").arg(host, detail)};
    default:
        return {Code::ProtocolError, QStringLiteral("Unexpected answer from %1: %2").arg(host, detail)};
    }
}
