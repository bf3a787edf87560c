#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

// The SMTP component: delivers a message file. Statuses are 0 for success;
// lastErrorCode() then tells why an operation failed.
class SmtpComponent : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SmtpComponent() override = default;

    virtual void setHost(const QString &host) = 0;
    virtual void setUserName(const QString &userName) = 0;
    virtual void setPassword(const QString &password) = 0;
    // 0 when connected; connected() follows.
    [[nodiscard]] virtual int16_t connectToServer() = 0;
    virtual void setSender(const QString &address) = 0;
    virtual void clearEnvelope() = 0;
    virtual void setRecipient(const QString &address) = 0;
    // Returns when the delivery has ended; progress() is raised meanwhile.
    [[nodiscard]] virtual int16_t sendFile(const QString &sender, const QString &recipient,
                                           const QString &path) = 0;
    [[nodiscard]] virtual int32_t lastErrorCode() const = 0;
    // Why the last operation failed, in words, without the code; empty after a success.
    [[nodiscard]] virtual QString lastErrorText() const = 0;
    virtual int16_t resetSession() = 0;
    virtual void disconnectFromServer() = 0;

    // True while an operation runs (the caller waits in it, events go on).
    [[nodiscard]] virtual bool isBusy() const = 0;
    // Ends the running operation within a second; it fails with smtp::Cancelled.
    virtual void cancel() = 0;

signals:
    void connected();
    void progress(qint64 bytesSent, qint64 bytesTotal, int16_t percent);
    // The whole message has reached the server, which has yet to accept it.
    void waitingForAcceptance();
};
