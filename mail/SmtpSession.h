#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vmime::net {
class session;
class transport;
} // namespace vmime::net

// One SMTP session on vmime, driven synchronously: VmimeSmtpComponent runs
// each call on a worker thread, one at a time. Outcomes carry 0, the
// server's reply code or one of the negative codes of SmtpErrors.h.
class SmtpSession
{
public:
    struct Outcome
    {
        int32_t code = 0;
        QString text;
    };

    struct Config
    {
        std::string host;           // as typed: the TLS policy and certificate go by it
        std::string address;        // where to connect; empty: host
        uint16_t port = 587;
        bool tlsFromStart = false;
        bool tlsOptional = false;   // loopback: STARTTLS when offered
        std::string user;           // empty: no login
        std::string password;
        std::string caBundle;
        std::vector<std::string> trustedPem;
        std::chrono::milliseconds timeout{60000};
    };

    using Progress = std::function<void(uint64_t sent, uint64_t total)>;

    SmtpSession();
    ~SmtpSession();
    SmtpSession(const SmtpSession &) = delete;
    SmtpSession &operator=(const SmtpSession &) = delete;

    [[nodiscard]] Outcome open(const Config &config);
    // Sends the file as it is, its last CR LF being the one before the final dot.
    [[nodiscard]] Outcome send(const std::string &from, const std::vector<std::string> &to,
                               const QString &path, const Progress &progress);
    [[nodiscard]] Outcome noop();
    void close();

    [[nodiscard]] bool isOpen() const;
    [[nodiscard]] bool isEncrypted() const;

    // From any thread: the running call fails at its next wait, and so do
    // all later ones.
    void cancel();

    struct Probe;

private:
    Outcome outcomeOfCurrentException();
    void closeUnlessAnswered(const Outcome &outcome);

    std::shared_ptr<Probe> m_probe;
    std::shared_ptr<vmime::net::session> m_session;
    std::shared_ptr<vmime::net::transport> m_transport;
};
