#include "MessageSession.h"

#include "CaptureComponent.h"
#include "MailMessage.h"
#include "MediaPlayer.h"
#include "Module1.h"
#include "SmtpComponent.h"
#include "SmtpErrors.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

using Stage = MessageSession::Stage;
using Action = MessageSession::Action;

namespace {

const QString kRecordAgain
    = QStringLiteral("Record the video again, then click Compress Video once more.");
// Enough for any line avi2mpg1 prints; a program in its place may say more.
constexpr qsizetype kMaxReasonLength = 300;

template <typename Step> void skipOnError(Step &&step)
{
    try {
        step();
    } catch (...) {
    }
}

// avi2mpg1 ends its one line of reason with the system's words for what
// failed; the advice follows from them.
QString compressAdvice(const QString &reason, const QString &folder)
{
    const auto mentions = [&](std::initializer_list<const char *> words) {
        return std::any_of(words.begin(), words.end(),
                           [&](const char *w) { return reason.contains(QLatin1String(w)); });
    };
    if (mentions({"No space left on device", "File too large", "Disk quota exceeded"}))
        return QStringLiteral("The disk is full: free some space on the disk that holds %1, then "
                              "click Compress Video once more.")
            .arg(QDir::toNativeSeparators(folder));
    if (reason.startsWith(QLatin1String("cannot write"))
        && mentions({"Permission denied", "Read-only file system", "Operation not permitted"}))
        return QStringLiteral("Mirabo cannot write in its folder %1: make the folder writable for "
                              "you, then click Compress Video once more.")
            .arg(QDir::toNativeSeparators(folder));
    return kRecordAgain;
}

} // namespace

MessageSession::MessageSession(const SessionParts &parts, QObject *parent)
    : QObject(parent)
    , m_capture(parts.capture)
    , m_player(parts.player)
    , m_message(parts.message)
    , m_smtp(parts.smtp)
    , m_folder(parts.folder)
    , m_programDir(parts.programDir)
{
    connect(&m_capture, &CaptureComponent::captureEnded, this, &MessageSession::onCaptureEnded);
    connect(&m_smtp, &SmtpComponent::connected, this, &MessageSession::onConnected);
    connect(&m_smtp, &SmtpComponent::connectFailed, this, [this](int16_t status) {
        if (m_stage == Stage::Sending)
            failSending(status, m_smtp.lastErrorText(), true);
    });
    connect(&m_smtp, &SmtpComponent::sendFinished, this, &MessageSession::onSendFinished);
    connect(&m_smtp, &SmtpComponent::progress, this, [this](qint64, qint64, int16_t percent) {
        if (m_stage == Stage::Sending || m_stage == Stage::AwaitingAcceptance)
            emit progress(percent);
    });
    connect(&m_smtp, &SmtpComponent::waitingForAcceptance, this, [this] {
        if (m_stage != Stage::Sending)
            return;
        setStage(Stage::AwaitingAcceptance);
        emit waitingForAcceptance();
    });
}

MessageSession::~MessageSession() = default;

bool MessageSession::allows(Action action) const
{
    switch (m_stage) {
    case Stage::Addressing:
        return action == Action::Record;
    case Stage::Recording:
        if (m_stopping)
            return false;
        return action == Action::Stop
               || (m_again && (action == Action::Play || action == Action::Compress));
    case Stage::Recorded:
        return action == Action::Record || action == Action::Play || action == Action::Compress;
    case Stage::Compressed:
        return action != Action::Stop && action != Action::Cancel;
    case Stage::Compressing:
    case Stage::Sending:
    case Stage::AwaitingAcceptance:
        return action == Action::Cancel && !m_closing;
    }
    return false;
}

bool MessageSession::busy() const
{
    return m_stage == Stage::Compressing || m_stage == Stage::Sending
           || m_stage == Stage::AwaitingAcceptance;
}

bool MessageSession::clipIsOurs() const
{
    const workfiles::Identity clip = m_folder.record().clip;
    return clip.valid() && workfiles::identityOf(file(workfiles::Clip)) == clip;
}

bool MessageSession::compressedIsOurs() const
{
    const WorkFolder::Record r = m_folder.record();
    return clipIsOurs() && r.compressed.valid() && r.compressedFrom == r.clip
           && workfiles::identityOf(file(r.compressedName)) == r.compressed;
}

QString MessageSession::attachment() const
{
    return compressedIsOurs() ? file(m_folder.record().compressedName) : QString();
}

void MessageSession::updateRecord(const std::function<void(WorkFolder::Record &)> &change)
{
    WorkFolder::Record r = m_folder.record();
    change(r);
    m_folder.setRecord(r);
}

void MessageSession::removeEncoderLeftovers()
{
    // The encoder writes mirabo.mpg.XXXXXX and renames it when done; one
    // that was killed may leave it.
    static const QRegularExpression temp(QStringLiteral("^(%1|%2)\\.[A-Za-z0-9]{6}$")
                                             .arg(QRegularExpression::escape(workfiles::Compressed),
                                                  QRegularExpression::escape(workfiles::CompressedForPhones)));
    const QStringList names = QDir(m_folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (temp.match(name).hasMatch())
            workfiles::removeRegularFile(file(name));
    }
}

MessageSession::Restored MessageSession::restore()
{
    Restored found;
    WorkFolder::Record r = m_folder.record();
    const bool clip = clipIsOurs();
    const bool compressedToo = compressedIsOurs();
    if (!clip) {
        workfiles::removeRegularFile(file(workfiles::Clip));
        r.clip = {};
        r.recordedAt = {};
    }
    if (!compressedToo) {
        workfiles::removeRegularFile(file(workfiles::Compressed));
        workfiles::removeRegularFile(file(workfiles::CompressedForPhones));
        workfiles::removeRegularFile(file(workfiles::Message));
        r.compressed = r.compressedFrom = {};
    }
    removeEncoderLeftovers();
    found.stage = compressedToo ? Stage::Compressed : clip ? Stage::Recorded : Stage::Addressing;
    found.recordedAt = r.recordedAt;
    found.unconfirmedTo = r.unconfirmedTo;
    found.unconfirmedAt = r.unconfirmedAt;
    // Told once.
    r.unconfirmedTo.clear();
    r.unconfirmedAt = {};
    m_folder.setRecord(r);
    setStage(found.stage);
    return found;
}

// ---- Recording ----------------------------------------------------------------

bool MessageSession::record()
{
    if (!allows(Action::Record))
        return false;
    m_again = m_stage == Stage::Recorded || m_stage == Stage::Compressed;
    // The player lets go of the old clip, so that it can be deleted, and
    // takes the size the window gives it.
    skipOnError([&] { m_player.setFileName(QString()); });
    skipOnError([&] { m_player.setAutoStart(false); });
    skipOnError([&] { m_player.setAutoSize(false); });
    skipOnError([&] { m_player.setDisplaySize(4); });
    skipOnError([&] { m_player.setHeight(2970.0f); });
    skipOnError([&] { m_player.setWidth(3885.0f); });

    const QString clip = file(workfiles::Clip);
    workfiles::removeRegularFile(clip);
    workfiles::removeLink(clip);
    updateRecord([](WorkFolder::Record &r) {
        r.clip = r.compressed = r.compressedFrom = {};
        r.recordedAt = {};
    });

    int32_t preparation = 0;
    skipOnError([&] { m_capture.setTimeLimitEnabled(false); });
    skipOnError([&] { m_capture.setCaptureAudio(true); });
    skipOnError([&] { m_capture.setYieldDuringCapture(true); });
    skipOnError([&] { m_capture.setPreviewDuringCapture(true); });
    skipOnError([&] { m_capture.setCaptureFrameRate(25); });
    skipOnError([&] { m_capture.setConfirmBeforeCapture(false); });
    skipOnError([&] { m_capture.setBufferSeconds(5); });
    skipOnError([&] { m_capture.prepareCapture(preparation); });

    setStage(Stage::Recording);
    m_stopping = false;
    m_then = Then::Nothing;
    try {
        m_capture.startCapture();
    } catch (...) {
        QMetaObject::invokeMethod(this, [this] { onCaptureEnded(false); }, Qt::QueuedConnection);
    }
    return true;
}

bool MessageSession::stopRecording()
{
    return allows(Action::Stop) && endRecordingThen(Then::Nothing);
}

bool MessageSession::endRecordingThen(Then then)
{
    m_then = then;
    m_stopping = true;
    m_capture.stop();
    return true;
}

void MessageSession::onCaptureEnded(bool started)
{
    if (m_stage != Stage::Recording)
        return;
    skipOnError([&] { m_capture.stop(); });
    QString problem;
    if (started) {
        skipOnError([&] { problem = m_capture.recordingProblem(); });
        if (problem.isEmpty() && !workfiles::identityOf(file(workfiles::Clip)).valid())
            problem = QStringLiteral("the capture file %1 is missing").arg(file(workfiles::Clip));
    }
    const Then then = std::exchange(m_then, Then::Nothing);
    m_stopping = false;
    m_again = false;
    if (started && problem.isEmpty()) {
        updateRecord([&](WorkFolder::Record &r) {
            r.clip = workfiles::identityOf(file(workfiles::Clip));
            r.recordedAt = QDateTime::currentDateTime();
        });
        setStage(Stage::Recorded);
    } else if (started) {
        // What broke off is no clip; a full disk wants its space back.
        letPlayerGo();
        workfiles::removeRegularFile(file(workfiles::Clip));
        setStage(Stage::Addressing);
    } else {
        // As after a recording, although there is no clip to play or compress.
        setStage(Stage::Recorded);
    }
    if (std::exchange(m_closing, false)) {
        emit readyToClose();
        return;
    }
    emit recordingEnded(started, problem);
    skipOnError([&] { m_capture.stop(); });
    if (m_stage != Stage::Recorded || !started)
        return;
    if (then == Then::Play)
        playClip();
    else if (then == Then::Compress)
        startCompressing();
}

// ---- Playback -------------------------------------------------------------------

bool MessageSession::play()
{
    if (!allows(Action::Play))
        return false;
    if (m_stage == Stage::Recording)
        return endRecordingThen(Then::Play);
    skipOnError([&] { m_capture.stop(); });
    playClip();
    return true;
}

void MessageSession::playClip()
{
    if (!clipIsOurs())
        return;
    skipOnError([&] { m_player.setFileName(file(workfiles::Clip)); });
    skipOnError([&] { m_player.play(); });
}

void MessageSession::letPlayerGo()
{
    skipOnError([&] { m_player.setFileName(QString()); });
}

// ---- Compression -----------------------------------------------------------------

bool MessageSession::compress()
{
    if (!allows(Action::Compress))
        return false;
    if (m_stage == Stage::Recording)
        return endRecordingThen(Then::Compress);
    startCompressing();
    return true;
}

void MessageSession::startCompressing()
{
    m_cancelled = false;
    setStage(Stage::Compressing);
    emit compressStarted();
    if (!clipIsOurs()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                endCompressing(QStringLiteral("The video could not be compressed: the recording %1 "
                                              "is missing or is not the one Mirabo made. %2")
                                   .arg(workfiles::Clip, kRecordAgain));
            },
            Qt::QueuedConnection);
        return;
    }
    m_output = m_forPhones ? workfiles::CompressedForPhones : workfiles::Compressed;
    workfiles::removeLink(file(m_output));
    // The program part is quoted: a program directory may hold spaces. The
    // encoder writes the format that the output's name ends in.
    const QString commandLine = QLatin1Char('"') + QDir(m_programDir).filePath(workfiles::Encoder)
                                + QStringLiteral("\" -e -s 600 ") + workfiles::Clip
                                + QLatin1Char(' ') + m_output;
    // The program's own current directory has always followed the encoder
    // there; the run itself does not need it.
    QDir::setCurrent(m_folder.path());
    m_encoder = Module1::RunAndWait(commandLine, m_folder.path());
    connect(m_encoder.get(), &Module1::ProgramRun::finished, this, &MessageSession::onEncoderFinished);
}

bool MessageSession::cancel()
{
    if (!allows(Action::Cancel))
        return false;
    if (m_stage == Stage::Compressing) {
        m_cancelled = true;
        if (m_encoder)
            m_encoder->cancel();
    } else {
        m_smtp.cancel();
    }
    return true;
}

void MessageSession::onEncoderFinished(int status, const QString &lastErrorLine)
{
    if (m_encoder)
        m_encoder.release()->deleteLater();
    removeEncoderLeftovers();
    const QString output = file(m_output);
    if (status == 0 && !m_cancelled && clipIsOurs() && workfiles::identityOf(output).size > 0) {
        updateRecord([&](WorkFolder::Record &r) {
            // One compressed clip at a time: the other format's goes.
            if (r.compressedName != m_output)
                workfiles::removeRegularFile(file(r.compressedName));
            r.compressed = workfiles::identityOf(output);
            r.compressedName = m_output;
            r.compressedFrom = r.clip;
        });
        endCompressing(QString());
        return;
    }

    QString reason = lastErrorLine;
    if (reason.startsWith(QLatin1String("avi2mpg1: ")))
        reason.remove(0, 10);
    reason.truncate(kMaxReasonLength);
    QString failure;
    QString advice = kRecordAgain;
    if (status == Module1::kCouldNotStart) {
        failure = QStringLiteral("the encoder program avi2mpg1 could not be started");
        advice = QStringLiteral("It belongs in %1, beside Mirabo: install Mirabo again, then click "
                                "Compress Video once more.")
                     .arg(QDir::toNativeSeparators(m_programDir));
    } else if (status != 0) {
        failure = QStringLiteral("the encoder stopped with error %1").arg(status);
        if (!reason.isEmpty())
            failure += QStringLiteral(" (%1)").arg(reason);
        advice = compressAdvice(reason, m_folder.path());
    } else {
        failure = QStringLiteral("the encoder wrote no compressed video");
    }
    endCompressing(QStringLiteral("The video could not be compressed: %1. %2").arg(failure, advice));
}

void MessageSession::endCompressing(const QString &failure)
{
    // An earlier compressed clip still counts when this run left it alone.
    setStage(compressedIsOurs() ? Stage::Compressed : Stage::Recorded);
    if (std::exchange(m_closing, false))
        emit readyToClose();
    else if (m_cancelled)
        emit compressCancelled();
    else if (failure.isEmpty())
        emit compressed();
    else
        emit compressFailed(failure);
}

// ---- Sending ------------------------------------------------------------------------

bool MessageSession::send(const Envelope &envelope)
{
    if (!allows(Action::Send))
        return false;
    const QString path = file(workfiles::Message);
    workfiles::removeLink(path);
    m_message.saveToFile(path);
    m_messageFile = workfiles::identityOf(path);
    m_envelope = envelope;
    m_smtp.setHost(envelope.host);
    m_smtp.setUserName(envelope.userName);
    m_smtp.setPassword(envelope.password);
    setStage(Stage::Sending);
    m_smtp.connectToServer();
    return true;
}

void MessageSession::onConnected()
{
    if (m_stage != Stage::Sending)
        return;
    const QString path = file(workfiles::Message);
    try {
        if (!m_messageFile.valid() || workfiles::identityOf(path) != m_messageFile)
            throw std::runtime_error(QStringLiteral("The message %1 is no longer the one Mirabo wrote; "
                                                    "click Send again to write it anew.")
                                         .arg(QDir::toNativeSeparators(path))
                                         .toStdString());
        m_message.verifyFile(path);
    } catch (const std::exception &e) {
        failSending(smtp::FileUnreadable, QString::fromUtf8(e.what()), false);
        return;
    }
    m_smtp.setSender(m_envelope.sender);
    m_smtp.clearEnvelope();
    m_smtp.setRecipient(m_envelope.recipient);
    m_smtp.sendFile(m_envelope.sender, m_envelope.recipient, path);
}

void MessageSession::failSending(int16_t code, const QString &reason, bool connecting)
{
    setStage(compressedIsOurs() ? Stage::Compressed : Stage::Recorded);
    if (std::exchange(m_closing, false)) {
        emit readyToClose();
        return;
    }
    if (connecting && code != smtp::Cancelled)
        emit connectFailed(code, reason);
    else
        emit sendFailed(code, reason);
}

void MessageSession::onSendFinished(int16_t status)
{
    if (m_stage != Stage::Sending && m_stage != Stage::AwaitingAcceptance)
        return;
    if (status != 0) {
        failSending(static_cast<int16_t>(m_smtp.lastErrorCode()), m_smtp.lastErrorText(), false);
        return;
    }
    (void)m_smtp.resetSession();
    // From here on a step that fails is passed over.
    letPlayerGo();
    for (const QString &name : {workfiles::Message, workfiles::Compressed, workfiles::CompressedForPhones,
                                workfiles::Clip})
        workfiles::removeRegularFile(file(name));
    m_messageFile = {};
    m_folder.setRecord({});
    skipOnError([&] { m_smtp.disconnectFromServer(); });
    setStage(Stage::Addressing);
    if (std::exchange(m_closing, false))
        emit readyToClose();
    else
        emit delivered();
}

// ---- Closing ---------------------------------------------------------------------------

MessageSession::Closing MessageSession::requestClose()
{
    if (m_closing)
        return Closing::Later;
    switch (m_stage) {
    case Stage::Addressing:
    case Stage::Recorded:
    case Stage::Compressed:
        return Closing::Now;
    case Stage::AwaitingAcceptance:
        return Closing::Ask;
    case Stage::Recording:
        // The clip is finished and kept.
        m_closing = true;
        if (!m_stopping)
            endRecordingThen(Then::Nothing);
        return Closing::Later;
    case Stage::Compressing:
        m_closing = true;
        m_cancelled = true;
        if (m_encoder)
            m_encoder->cancel();
        return Closing::Later;
    case Stage::Sending:
        m_closing = true;
        m_smtp.cancel();
        return Closing::Later;
    }
    return Closing::Now;
}

void MessageSession::closeAnyway()
{
    if (m_stage != Stage::AwaitingAcceptance || m_closing)
        return;
    updateRecord([&](WorkFolder::Record &r) {
        r.unconfirmedTo = m_envelope.recipient;
        r.unconfirmedAt = QDateTime::currentDateTime();
    });
    m_closing = true;
    m_smtp.cancel();
}
