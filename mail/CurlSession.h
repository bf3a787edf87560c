#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One SMTP connection on libcurl's easy handle, driven through a multi handle
// so that it can be woken and ended at once. open(), send() and quit()
// run on a worker thread, one at a time, each after prepare(), and return
// when the server has answered; abort() and watch() may be called from any
// other thread meanwhile.
//
// Every reply must come within replyTimeout of the command that asked for it
// (the greeting: of opening the socket), the reply to the end of the message
// within acceptanceTimeout; a message whose acknowledged bytes do not grow for
// replyTimeout has stalled. A reply that is no SMTP, has a code outside 200 to
// 599, a line longer than 2 kB or more than 64 kB in all, or comes before the
// end of the message ends the operation. The QUIT curl says after a refusal
// is awaited two seconds at most, and the refusal stays the outcome.
//
// What is known of the dialogue comes from curl's result codes and the
// protocol lines it passes on (CURLINFO_HEADER_IN/OUT), never its messages.
// EHLO names an address literal of this end of the connection, never the
// machine.
class CurlSession
{
public:
    struct Outcome
    {
        int32_t code = 0;   // 0, a reply code of 400 to 599, or an smtp::ErrorCode
        QString text;
    };

    struct Server
    {
        QString host;                     // as typed, for the texts
        uint16_t port = 587;
        std::string url;                  // smtp://host:port or smtps://host:port
        bool tlsRequired = true;          // else STARTTLS only when offered
        std::vector<std::string> resolve; // CURLOPT_RESOLVE entries
        std::string user;                 // empty: no login
        std::string password;
        std::string caBundle;             // the system's trusted authorities
        std::string trustedPem;           // more trusted certificates
        std::chrono::milliseconds replyTimeout{60000};
        std::chrono::milliseconds acceptanceTimeout{600000};
    };

    // What a watcher sees of a running delivery.
    struct Progress
    {
        int64_t acknowledged = 0;   // message bytes the server's end has taken
        int64_t total = 0;
        bool awaitingAcceptance = false;   // all taken, the final reply still due
    };

    CurlSession();
    ~CurlSession();
    CurlSession(const CurlSession &) = delete;
    CurlSession &operator=(const CurlSession &) = delete;

    // Connects, says EHLO, starts TLS and logs in, then asks NOOP.
    [[nodiscard]] Outcome open(const Server &server);
    // Sends the file as it is over the open connection (or a new one to the
    // same server); the server stores exactly its bytes. A symbolic link at
    // path, or anything but a regular file, is not read (FileUnreadable). A
    // file larger than the SIZE the server announced is not sent: 552, and
    // the session ends with QUIT.
    [[nodiscard]] Outcome send(const std::string &from, const std::vector<std::string> &to,
                               const QString &path);
    // Says QUIT, waits two seconds at most for the answer and hangs up.
    void quit();
    // Hangs up without a word; never waits for the server.
    void drop();

    [[nodiscard]] bool isOpen() const { return m_open; }
    [[nodiscard]] bool isEncrypted() const;

    // Before each operation, on the thread that runs it: forgets the last
    // operation's progress and an abort meant for it.
    void prepare();
    // From any thread: the running operation ends within a moment with this
    // outcome, unless it has already ended well; called between prepare()
    // and the operation, the operation ends before it begins.
    void abort(int32_t code, const QString &text);
    // From any thread, while an operation runs: enforces the time limits and
    // tells how far the message has got.
    [[nodiscard]] Progress watch();

    struct State;

private:
    // replyLimit 0: the server's replyTimeout.
    Outcome perform(int64_t messageSize = 0, std::chrono::milliseconds replyLimit = {});
    Outcome outcomeOf(bool finished, int result);
    void createHandles();
    void destroyHandles();

    std::unique_ptr<State> m_state;
    void *m_easy = nullptr;
    void *m_multi = nullptr;
    void *m_resolve = nullptr;   // the easy handle's CURLOPT_RESOLVE list
    Server m_server;
    bool m_open = false;
};
