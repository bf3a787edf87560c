#pragma once

#include "SmtpComponent.h"
#include "SmtpErrors.h"

#include <QMap>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>

class CurlSession;

// The SMTP component on libcurl.
//
// Server: the SMTP setting is "host" or "host:port" ("[IPv6]:port"); an
// international name goes out in its IDNA form; "localhost" is 127.0.0.1
// whatever the resolver says. Without a port, 587 with STARTTLS; port 465
// speaks TLS from the start. TLS is required unless the host is a loopback
// name or address (localhost, 127.0.0.0/8, ::1), where STARTTLS is used when
// the server offers it. The server's name goes out as SNI; its certificate is
// checked against /etc/ssl/certs/ca-certificates.crt, plus those given to
// addTrustedCertificates(), and against the host name as typed. Login (SASL)
// only when a user name is set, and then it must happen: a server that
// offers none fails the connection (LoginRefused).
//
// Time: every reply must come within 60 s (setTimeout) of the command that
// asked for it, and the message must move on at least once in that time; the
// reply to the end of the message gets 10 minutes (setAcceptanceTimeout),
// since a server that delivers after the client gave up makes a duplicate of
// the next attempt. A reply that is no SMTP, endless or oversized ends the
// operation with ProtocolError.
//
// Operations that talk to the server run on a worker thread; meanwhile the
// caller waits in a local event loop that repaints and takes no user input
// but the Escape key, and cancel() ends the operation within a second
// (Cancelled). Signals are emitted on the component's thread: connected()
// after connectToServer() has returned 0; progress() while sendFile() runs,
// the share of the message that the server's end has acknowledged (100 only
// once the server has accepted it); waitingForAcceptance() once all of it is
// acknowledged and only the server's answer is due.
//
// The envelope: setSender() names the sender, setRecipient() adds a
// recipient, clearEnvelope() forgets the recipients. sendFile() sends from
// its sender argument (or the set sender when empty) to the recipients added
// plus its recipient argument. resetSession() forgets sender and recipients
// and tells whether the session is still open; it asks the server nothing,
// as curl ends every transaction itself. disconnectFromServer() says QUIT
// and waits two seconds at most for the answer: the message has gone by then.
// Values with line breaks or other control characters, and addresses with
// non-ASCII before the "@", are refused: the operation fails with InvalidValue.
//
// lastErrorCode(): 0 after a successful operation; the server's reply code
// (400 to 599) when it refused something; else one of smtp::ErrorCode.
// lastErrorText() says the same in words. A session survives a refusal the
// server put in words; after anything else it is closed (NoSession).
class CurlSmtpComponent final : public SmtpComponent
{
    Q_OBJECT
public:
    using ErrorCode = smtp::ErrorCode;

    explicit CurlSmtpComponent(QObject *parent = nullptr);
    ~CurlSmtpComponent() override;

    void setHost(const QString &host) override;
    void setUserName(const QString &userName) override;
    void setPassword(const QString &password) override;
    [[nodiscard]] int16_t connectToServer() override;
    void setSender(const QString &address) override;
    void clearEnvelope() override;
    void setRecipient(const QString &address) override;
    [[nodiscard]] int16_t sendFile(const QString &sender, const QString &recipient,
                                   const QString &path) override;
    [[nodiscard]] int32_t lastErrorCode() const override;
    [[nodiscard]] QString lastErrorText() const override;
    int16_t resetSession() override;
    void disconnectFromServer() override;
    [[nodiscard]] bool isBusy() const override { return m_busy; }
    void cancel() override;

    // True while a session is open and encrypted.
    [[nodiscard]] bool isEncrypted() const;

    void setTimeout(std::chrono::milliseconds timeout);
    void setAcceptanceTimeout(std::chrono::milliseconds timeout);
    // More certificates to trust (PEM text: authorities or servers' own).
    void addTrustedCertificates(const QByteArray &pem);
    // The port that speaks TLS from the start; 465 unless set.
    void setTlsFromStartPort(quint16 port);
    // For tests: connect to address (numeric) whenever the server is
    // hostName; TLS, SNI and the certificate check still go by hostName.
    void routeHost(const QString &hostName, const QString &address);

private:
    struct Outcome
    {
        int32_t code = 0;
        QString text;
    };

    template <typename Job> Outcome runOffThread(Job job, bool delivering = false);
    int16_t finish(const Outcome &outcome);
    void emitProgress(qint64 sent, qint64 total, bool accepted = false);

    QString m_host;
    QString m_userName;
    QString m_password;
    QString m_sender;
    QStringList m_recipients;
    std::chrono::milliseconds m_timeout{60000};
    std::chrono::milliseconds m_acceptanceTimeout{600000};
    QByteArrayList m_trustedPem;
    quint16 m_tlsFromStartPort = 465;
    QMap<QString, QString> m_routes;

    std::unique_ptr<CurlSession> m_session;
    bool m_busy = false;
    quint64 m_sessionSerial = 0;
    int16_t m_lastPercent = -1;
    bool m_acceptanceAnnounced = false;
    Outcome m_last;
};
