#pragma once

#include "SmtpComponent.h"
#include "SmtpErrors.h"

#include <QMap>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>

// The SMTP component on libcurl.
//
// Server: the SMTP setting is "host" or "host:port" ("[IPv6]:port"); an
// international name goes out in its IDNA form; "localhost" is 127.0.0.1
// whatever the resolver says. Anything else (a character no host name has,
// a second ":") fails with InvalidValue before any connection. EHLO names
// the address literal of this end of the connection ("[192.0.2.7]",
// "[IPv6:...]"), never the machine's name, which strict servers refuse. Without a port, 587 with STARTTLS; port 465
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
// Threads: connectToServer() and sendFile() start the operation and return
// at once. The libcurl work runs on a worker thread the component owns, one
// job at a time in the order asked; every signal is emitted on the
// component's own thread, always after the call has returned, a failure
// known at once included. isBusy() is true from the call until the outcome
// signal: connected() or connectFailed(), or sendFinished(); lastErrorCode()
// and lastErrorText() tell about that outcome from then on. While sendFile()
// runs, progress() gives the share of the message that the server's end has
// acknowledged (100 only once the server has accepted it), and
// waitingForAcceptance() comes once all of it is acknowledged and only the
// server's answer is due. cancel() ends the running operation within a
// second (Cancelled), unless it has already ended. Starting an operation
// while another runs fails (NoSession) and leaves that one be.
//
// The envelope: setSender() names the sender, setRecipient() adds a
// recipient, clearEnvelope() forgets the recipients. sendFile() sends from
// its sender argument (or the set sender when empty) to the recipients added
// plus its recipient argument. resetSession() forgets sender and recipients
// and tells whether the session is still open; it asks the server nothing,
// as curl ends every transaction itself. The message file is read only
// when it is a regular file, never through a symbolic link at its name
// (FileUnreadable). disconnectFromServer() returns at once; QUIT goes out
// after the running operation, if any, and its answer is awaited two seconds
// at most: the message has gone by then. A connectToServer() that follows
// begins once the QUIT is done. The destructor ends the running operation
// and drops those that wait, gives a QUIT already asked for half a second,
// hangs up and returns within a second; no signal follows.
// Values with line breaks or other control characters, and addresses that
// whyNotSendable() (MailAddress.h) refuses, fail with InvalidValue.
//
// lastErrorCode(): 0 after a successful operation; the server's reply code
// (400 to 599) when it refused something, or 552 for a message larger than
// the SIZE it announced, which then is not sent (the session ends with QUIT);
// else one of smtp::ErrorCode.
// lastErrorText() says the same in words, the cause first where the reply
// tells it (a message too large, with both sizes when the server announced
// its own; mail not passed on for this sender; a refused user name or
// password), then the server's reply as it came. Only the reply to the end of
// the message decides a delivery: a reply before it is a ProtocolError. After
// a refusal curl says QUIT, awaited two seconds at most; a login refused
// while connecting is the exception, where curl hangs up without it. A
// session survives a refusal the server put in words and a message file it
// would not send (missing, empty, no regular file); after anything else it is
// closed (NoSession).
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
    void connectToServer() override;
    void setSender(const QString &address) override;
    void clearEnvelope() override;
    void setRecipient(const QString &address) override;
    void sendFile(const QString &sender, const QString &recipient, const QString &path) override;
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
    class Worker;
    enum class Operation { Connect, Send };

    struct Outcome
    {
        int32_t code = 0;
        QString text;
    };

    template <typename Task> void start(Task task);
    [[nodiscard]] bool begin(Operation operation);
    void failLater(const Outcome &outcome);
    void finish(quint64 job, const Outcome &outcome);
    void watch();
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

    std::unique_ptr<Worker> m_worker;
    QTimer m_watch;
    quint64 m_lastJob = 0;
    bool m_busy = false;
    Operation m_operation = Operation::Connect;
    quint64 m_job = 0;            // the running operation's
    bool m_onWorker = false;      // ... and it runs there, not failed at once
    quint64 m_sessionSerial = 0;  // a connect or disconnect since makes an outcome stale
    bool m_sessionOpen = false;
    bool m_encrypted = false;
    qint64 m_deliverySize = 0;
    int16_t m_lastPercent = -1;
    bool m_acceptanceAnnounced = false;
    Outcome m_last;
};
