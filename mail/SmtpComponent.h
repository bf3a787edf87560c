#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

// The SMTP component: delivers a message file. Operations that talk to the
// server start and return at once; their outcome follows as a signal, always
// later and never from within the call. Statuses are 0 for success;
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
    // connected(), or connectFailed() with the status.
    virtual void connectToServer() = 0;
    virtual void setSender(const QString &address) = 0;
    virtual void clearEnvelope() = 0;
    virtual void setRecipient(const QString &address) = 0;
    // progress() meanwhile, then sendFinished() with the status.
    virtual void sendFile(const QString &sender, const QString &recipient, const QString &path) = 0;
    [[nodiscard]] virtual int32_t lastErrorCode() const = 0;
    // Why the last operation failed, in words, without the code; empty after a success.
    [[nodiscard]] virtual QString lastErrorText() const = 0;
    virtual int16_t resetSession() = 0;
    // Ends the session; returns at once.
    virtual void disconnectFromServer() = 0;

    // True from the start of connectToServer() or sendFile() until its signal.
    [[nodiscard]] virtual bool isBusy() const = 0;
    // Ends the running operation within a second; it fails with smtp::Cancelled.
    virtual void cancel() = 0;

signals:
    void connected();
    void connectFailed(int16_t status);
    void progress(qint64 bytesSent, qint64 bytesTotal, int16_t percent);
    // The whole message has reached the server, which has yet to accept it.
    void waitingForAcceptance();
    void sendFinished(int16_t status);
};
