#pragma once

#include "WorkFolder.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class CaptureComponent;
class MailMessage;
class MediaPlayer;
class SmtpComponent;
namespace Module1 {
class ProgramRun;
}

struct SessionParts
{
    CaptureComponent &capture;
    MediaPlayer &player;
    MailMessage &message;
    SmtpComponent &smtp;
    WorkFolder &folder;
    QString programDir;   // holds the encoder
};

// One video message on its way through the steps: which stage it has
// reached, which files belong to it, and the long jobs (recording,
// compressing, delivering) that start here and report later through
// signals. Nothing here waits: every outcome arrives as a signal from the
// event loop, never from within the call that started the job.
//
// An action the stage does not allow does nothing and returns false, so a
// click that comes at the wrong moment is dropped, never kept for later.
// Play and Compress during a recording that followed an earlier clip end the
// recording first and go on with the new clip once it is finished; if it
// broke off instead, they are dropped.
//
// Files are checked by identity before each use: the clip is compressed or
// played, and the compressed clip attached, only while each is still the
// file this session wrote (a link or another file put at the name is never
// used). Only a delivery removes them.
class MessageSession : public QObject
{
    Q_OBJECT
public:
    enum class Stage { Addressing, Recording, Recorded, Compressing, Compressed, Sending, AwaitingAcceptance };
    Q_ENUM(Stage)
    enum class Action { Record, Stop, Play, Compress, Send, Cancel };
    Q_ENUM(Action)
    // What closing the window means now: it may close at once; it closes
    // once the job under way has been ended (readyToClose); or the user must
    // say whether to give up a message the server may be accepting.
    enum class Closing { Now, Later, Ask };

    struct Restored
    {
        Stage stage = Stage::Addressing;
        QDateTime recordedAt;
        QString unconfirmedTo;   // a delivery that may have been accepted unseen
        QDateTime unconfirmedAt;
    };
    struct Envelope
    {
        QString sender, recipient, host, userName, password;
    };

    explicit MessageSession(const SessionParts &parts, QObject *parent = nullptr);
    ~MessageSession() override;

    [[nodiscard]] Stage stage() const { return m_stage; }
    [[nodiscard]] bool allows(Action action) const;
    // The window takes no input now but Escape and closing.
    [[nodiscard]] bool busy() const;
    // A recording under way replaces a clip that was there before it.
    [[nodiscard]] bool recordingAgain() const { return m_again; }
    [[nodiscard]] QString file(const QString &name) const { return m_folder.file(name); }
    // The compressed clip to attach, while it is the one made from the clip;
    // empty otherwise.
    [[nodiscard]] QString attachment() const;
    // Compressions from now on make an MP4 for phones and web mail, or the
    // MPEG-1 clip.
    void setForPhones(bool on) { m_forPhones = on; }

    // What an earlier run left: files it finished are taken up again, half
    // written ones and the encoder's leftovers are removed. Once, at start-up.
    Restored restore();

    bool record();
    bool stopRecording();
    bool play();
    bool compress();
    // Writes the message the message component holds (its error is thrown)
    // and asks for the connection.
    bool send(const Envelope &envelope);
    bool cancel();
    [[nodiscard]] Closing requestClose();
    // Closes although the server may be accepting the message; the next
    // start is told.
    void closeAnyway();

signals:
    // started false: the capture could not start. problem: why a recording
    // that started broke off; its clip is gone.
    void recordingEnded(bool started, const QString &problem);
    void compressStarted();
    void compressed();
    void compressFailed(const QString &message);
    void compressCancelled();
    void connectFailed(int16_t code, const QString &reason);
    void progress(int16_t percent);
    void waitingForAcceptance();
    void sendFailed(int16_t code, const QString &reason);
    // The working files are gone and the session is ready for the next message.
    void delivered();
    void readyToClose();

private:
    enum class Then { Nothing, Play, Compress };

    bool endRecordingThen(Then then);
    void onCaptureEnded(bool started);
    void startCompressing();
    void onEncoderFinished(int status, const QString &lastErrorLine);
    // failure: the message for the user; empty when the clip was compressed.
    void endCompressing(const QString &failure);
    void onConnected();
    void onSendFinished(int16_t status);
    void failSending(int16_t code, const QString &reason, bool connecting);
    void playClip();
    void letPlayerGo();
    [[nodiscard]] bool clipIsOurs() const;
    [[nodiscard]] bool compressedIsOurs() const;
    void removeEncoderLeftovers();
    void setStage(Stage stage) { m_stage = stage; }
    void updateRecord(const std::function<void(WorkFolder::Record &)> &change);

    CaptureComponent &m_capture;
    MediaPlayer &m_player;
    MailMessage &m_message;
    SmtpComponent &m_smtp;
    WorkFolder &m_folder;
    const QString m_programDir;

    Stage m_stage = Stage::Addressing;
    bool m_again = false;
    bool m_forPhones = false;
    bool m_stopping = false;
    Then m_then = Then::Nothing;
    bool m_closing = false;
    bool m_cancelled = false;
    QString m_output;   // the compressed clip's name while the encoder runs
    std::unique_ptr<Module1::ProgramRun> m_encoder;
    Envelope m_envelope;
    workfiles::Identity m_messageFile;
};
