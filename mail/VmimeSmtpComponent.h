#pragma once

#include "SmtpComponent.h"
#include "SmtpErrors.h"

#include <QMap>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>

class SmtpSession;

// The SMTP component on vmime.
//
// Server: the SMTP setting is "host" or "host:port" ("[IPv6]:port"); "localhost"
// is 127.0.0.1 whatever the resolver says. Without
// a port, 587 with STARTTLS; port 465 speaks TLS from the start. TLS is
// required unless the host is a loopback name or address (localhost,
// 127.0.0.0/8, ::1), where STARTTLS is used when the server offers it: a
// server that cannot encrypt fails the connection. Certificates are checked
// against every certificate in /etc/ssl/certs/ca-certificates.crt, plus those
// given to addTrustedCertificates(), and against the host name as typed.
// Login (SASL) only when a user name is set; the password therefore never
// travels in clear to a host that is not on this machine.
// A server that stays silent for 60 s (setTimeout) fails the operation.
//
// Operations that talk to the server run on a worker thread; meanwhile the
// caller waits in a local event loop that repaints but takes no user input.
// Signals are emitted on the thread the component lives on: connected()
// after connectToServer() has returned 0, progress() while sendFile() runs,
// from 0 to 100, which comes only once the server has accepted the message.
//
// The envelope: setSender() names the sender, setRecipient() adds a
// recipient, clearEnvelope() forgets the recipients. sendFile() sends from
// its sender argument (or the set sender when empty) to the recipients added
// plus its recipient argument. resetSession() forgets sender and recipients
// and has the server confirm the session is still usable (NOOP); vmime
// starts every further message on the session with RSET.
// Values with line breaks or other control characters are refused: the
// operation that would use them fails with InvalidValue.
//
// lastErrorCode(): 0 after a successful operation; the server's reply code
// when it refused something (550 recipient, 552 message, 554, 535 login ...);
// else one of smtp::ErrorCode. An operation's status is the same code (0 = success).
class VmimeSmtpComponent final : public SmtpComponent
{
    Q_OBJECT
public:
    using ErrorCode = smtp::ErrorCode;

    explicit VmimeSmtpComponent(QObject *parent = nullptr);
    ~VmimeSmtpComponent() override;

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
    int16_t resetSession() override;
    void disconnectFromServer() override;

    // What went wrong last, in words; empty after a success.
    [[nodiscard]] QString lastErrorText() const;
    // True while a session is open and encrypted.
    [[nodiscard]] bool isEncrypted() const;

    void setTimeout(std::chrono::milliseconds timeout);
    // More certificates to trust (PEM text: authorities or servers' own).
    void addTrustedCertificates(const QByteArray &pem);
    // The port that speaks TLS from the start; 465 unless set.
    void setTlsFromStartPort(quint16 port);
    // For tests: connect to address (numeric) whenever the server is
    // hostName; the TLS policy and the certificate check still go by hostName.
    void routeHost(const QString &hostName, const QString &address);

private:
    struct Outcome
    {
        int32_t code = 0;
        QString text;
    };

    template <typename Job> Outcome runOffThread(Job job);
    int16_t finish(const Outcome &outcome);
    void emitProgress(qint64 sent, qint64 total);

    QString m_host;
    QString m_userName;
    QString m_password;
    QString m_sender;
    QStringList m_recipients;
    std::chrono::milliseconds m_timeout{60000};
    QByteArrayList m_trustedPem;
    quint16 m_tlsFromStartPort = 465;
    QMap<QString, QString> m_routes;

    std::unique_ptr<SmtpSession> m_session;
    bool m_busy = false;
    quint64 m_sessionSerial = 0;
    int16_t m_lastPercent = -1;
    Outcome m_last;
};
