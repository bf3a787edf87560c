// The window's handlers for recording, playback, compression and sending.
#include "frmMain.h"

#include "CaptureComponent.h"
#include "ClipSummary.h"
#include "Dialogs.h"
#include "DropUserInput.h"
#include "FlatButton.h"
#include "GradientProgressBar.h"
#include "HandlerSupport.h"
#include "Lamp.h"
#include "MailAddress.h"
#include "MailMessage.h"
#include "MediaPlayer.h"
#include "Module1.h"
#include "RecentRecipients.h"
#include "SettingNames.h"
#include "SettingsStore.h"
#include "SmtpComponent.h"
#include "VideoMessage.h"
#include "WorkFiles.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringListModel>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using handler::disable;
using handler::skipOnError;

namespace {

const QString kStep5Text = QStringLiteral(
    "You can now Play back the video to check it, and Re-Record it if needed, but you must "
    "Compress the Video before sending it out");

const QString kRecordAgain
    = QStringLiteral("Record the video again, then click Compress Video once more.");

// Enough for any line avi2mpg1 prints; a program in its place may say more.
constexpr qsizetype kMaxReasonLength = 300;

// The working files are regular files the program wrote itself. A symbolic
// link at such a name is removed, never followed; anything else that is not
// a regular file is left alone.
enum class Entry { None, RegularFile, Link, Other };

Entry entryAt(const QString &path, off_t *size = nullptr)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Entry::None;
    if (size)
        *size = st.st_size;
    if (S_ISREG(st.st_mode))
        return Entry::RegularFile;
    return S_ISLNK(st.st_mode) ? Entry::Link : Entry::Other;
}

bool isNonEmptyFile(const QString &path)
{
    off_t size = 0;
    return entryAt(path, &size) == Entry::RegularFile && size > 0;
}

void removeRegularFile(const QString &path)
{
    if (entryAt(path) == Entry::RegularFile)
        ::unlink(QFile::encodeName(path).constData());
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

// What the SMTP component said went wrong, and its code, in the status line;
// a reason too long for it is cut short there and shown whole as its tip.
void showFailure(QLabel *line, const SmtpComponent &smtp, int16_t code)
{
    const QString suffix = QStringLiteral(" (%1)").arg(code);
    const QString reason = smtp.lastErrorText().isEmpty() ? QStringLiteral("Error") : smtp.lastErrorText();
    const QFontMetrics metrics(line->font());
    const int room = line->contentsRect().width() - metrics.horizontalAdvance(suffix);
    line->setText(metrics.elidedText(reason, Qt::ElideRight, room) + suffix);
    line->setToolTip(reason + suffix);
}

} // namespace

// ---- Steps the handlers share ---------------------------------------------

// The player lets go of the old clip, so that it can be deleted, and takes
// the size the window gives it.
void frmMain::resetPlayer()
{
    skipOnError([&] { Player.setFileName(QString()); });
    skipOnError([&] { Player.setAutoStart(false); });
    skipOnError([&] { Player.setAutoSize(false); });
    skipOnError([&] { Player.setDisplaySize(4); });
    skipOnError([&] { Player.setHeight(2970.0f); });
    skipOnError([&] { Player.setWidth(3885.0f); });
}

void frmMain::applyCaptureSettings()
{
    int32_t preparation = 0;
    skipOnError([&] { LiveVideo.setTimeLimitEnabled(false); });
    skipOnError([&] { LiveVideo.setCaptureAudio(true); });
    skipOnError([&] { LiveVideo.setYieldDuringCapture(true); });
    skipOnError([&] { LiveVideo.setPreviewDuringCapture(true); });
    skipOnError([&] { LiveVideo.setCaptureFrameRate(25); });
    skipOnError([&] { LiveVideo.setConfirmBeforeCapture(false); });
    skipOnError([&] { LiveVideo.setBufferSeconds(5); });
    skipOnError([&] { LiveVideo.prepareCapture(preparation); });
}

void frmMain::showOnAir(const QString &caption, int16_t lampState)
{
    for (Lamp *lamp : LEDONAIR) {
        lamp->setVisible(true);
        lamp->setState(lampState);
    }
    lblONAIR->setText(caption);
    lblONAIR->setVisible(true);
}

void frmMain::hideOnAir()
{
    for (Lamp *lamp : LEDONAIR)
        lamp->setVisible(false);
    lblONAIR->setVisible(false);
}

void frmMain::showClipRecorded()
{
    // The keyboard goes on from Stop to Play; Record's got-focus stays quiet.
    const bool focusOnStop = !focusWidget() || BUTstopRecord->hasFocus();
    disable(BUTstopRecord);
    BUTRecord->setEnabled(true);
    BUTplay->setEnabled(true);
    BUTcompress->setEnabled(true);
    if (focusOnStop)
        BUTplay->setFocus(Qt::OtherFocusReason);
    LEDsteps[3]->setState(Lamp::Done);
    LEDsteps[4]->setState(Lamp::Current);
    hideOnAir();
    lblInstructions->setText(kStep5Text);
    lblStatus->setText(QString());
}

// A clip that broke off is not offered for playing or compressing. It is
// removed, since a full disk wants its space back, and step 4 is current
// again.
void frmMain::showRecordingBroken()
{
    skipOnError([&] { Player.setFileName(QString()); });
    removeRegularFile(workFile(workfiles::Clip));
    // The keyboard goes back from Stop to Record, whose guidance is set below.
    const bool focusOnStop = !focusWidget() || BUTstopRecord->hasFocus();
    disable(BUTstopRecord);
    BUTRecord->setEnabled(true);
    if (focusOnStop)
        BUTRecord->setFocus(Qt::OtherFocusReason);
    disable(BUTplay);
    disable(BUTcompress);
    BUTRecord_GotFocus();
    LEDsteps[4]->setState(Lamp::Unlit);
    LEDsteps[5]->setState(Lamp::Unlit);
    hideOnAir();
    lblStatus->setText(QString());
}

// Only a delivery that succeeded makes an address worth offering again.
void frmMain::rememberRecipient(const QString &address)
{
    const QString stored = recentrecipients::remember(
        m_store.read(settingnames::RecentRecipients), address);
    m_store.save(settingnames::RecentRecipients, stored);
    m_recentRecipients->setStringList(recentrecipients::parse(stored));
}

// Only what the program wrote goes: a link put at a working file's name
// since then stays, and so does its target.
void frmMain::removeWorkFiles()
{
    for (const QString &name : {workfiles::Message, workfiles::Compressed, workfiles::Clip})
        removeRegularFile(workFile(name));
}

// ---- Recording ------------------------------------------------------------

void frmMain::BUTRecord_Click()
{
    resetPlayer();
    skipOnError([&] {
        const QString clip = workFile(workfiles::Clip);
        const Entry old = entryAt(clip);
        if (old == Entry::RegularFile || old == Entry::Link)
            ::unlink(QFile::encodeName(clip).constData());
    });
    applyCaptureSettings();

    BUTstopRecord->setEnabled(true);
    BUTstopRecord->setFocus(Qt::OtherFocusReason);
    disable(BUTRecord);
    // A new clip has to be compressed before it can be sent.
    ++m_recordings;
    disable(BUTsend);
    showOnAir(QStringLiteral("RECORDING"), Lamp::Done);
    QCoreApplication::processEvents();

    bool started = false;
    skipOnError([&] { started = LiveVideo.capture(); });
    if (!started)
        m_dialogs.message(QStringLiteral("Could not start Video Capture"));
    QString broken;
    if (started)
        skipOnError([&] { broken = LiveVideo.recordingProblem(); });
    if (!broken.isEmpty())
        m_dialogs.message(QStringLiteral("The recording stopped: ") + broken);
    skipOnError([&] { LiveVideo.stop(); });

    // A Play or Compress click that ended the recording has set the window
    // already, and Compress has moved it on: that stands.
    if (!broken.isEmpty())
        showRecordingBroken();
    else if (BUTstopRecord->isEnabled())
        showClipRecorded();
    else
        lblStatus->setText(BUTsend->isEnabled()
                               ? compressedClipSummary(workFile(workfiles::Compressed))
                               : QString());
    QCoreApplication::processEvents();
    skipOnError([&] { LiveVideo.stop(); });
}

void frmMain::BUTstopRecord_Click()
{
    LiveVideo.stop();
}

void frmMain::LiveVideo_StatusText(int32_t, const QString &text)
{
    lblStatus->setText(text);
}

void frmMain::LiveVideo_Yield()
{
    QCoreApplication::processEvents();
}

// ---- Playback -------------------------------------------------------------

void frmMain::BUTplay_Click()
{
    LiveVideo.stop();
    showClipRecorded();
    skipOnError([&] { Player.setFileName(workFile(workfiles::Clip)); });
    skipOnError([&] { Player.play(); });
}

// ---- Compression ----------------------------------------------------------

void frmMain::BUTcompress_Click()
{
    DropUserInput noInputUntilDone(this);
    // The encoder reads a finished clip: a recording still running ends
    // first, as Play ends it.
    if (BUTstopRecord->isEnabled()) {
        LiveVideo.stop();
        showClipRecorded();
    }
    const int recording = m_recordings;

    lblInstructions->setText(QStringLiteral(
        "Please wait while the encoder compresses your video, this can take a while, the "
        "encoding lights on the right will go off when its complete, and then you can go ahead "
        "and send it."));
    showOnAir(QStringLiteral("ENCODING..."), Lamp::Current);
    QCoreApplication::processEvents();

    QDir::setCurrent(m_workDir);
    // The program part is quoted: a program directory may hold spaces.
    const QString commandLine = QLatin1Char('"') + QDir(m_programDir).filePath(workfiles::Encoder)
                                + QStringLiteral("\" -e -s 600 ") + workfiles::Clip
                                + QLatin1Char(' ') + workfiles::Compressed;
    QString reason;
    const int status = Module1::RunAndWait(commandLine, &reason);
    QCoreApplication::processEvents();
    hideOnAir();

    if (reason.startsWith(QLatin1String("avi2mpg1: ")))
        reason.remove(0, 10);
    reason.truncate(kMaxReasonLength);
    const QString output = workFile(workfiles::Compressed);
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
        advice = compressAdvice(reason, QFileInfo(output).absolutePath());
    } else if (!isNonEmptyFile(output)) {
        failure = QStringLiteral("the encoder wrote no compressed video");
    }
    if (!failure.isEmpty()) {
        m_dialogs.message(
            QStringLiteral("The video could not be compressed: %1. %2").arg(failure, advice));
        lblInstructions->setText(kStep5Text);
        return;
    }

    LEDsteps[4]->setState(Lamp::Done);
    LEDsteps[5]->setState(Lamp::Current);
    // Only the clip that was compressed may be sent.
    m_compressedRecording = recording;
    BUTsend->setEnabled(m_compressedRecording == m_recordings);
    lblInstructions->setText(
        QStringLiteral("The Video was compressed, and can now be sent, click the Send button."));
    lblStatus->setText(compressedClipSummary(workFile(workfiles::Compressed)));
}

// ---- Sending --------------------------------------------------------------

void frmMain::BUTsend_Click()
{
    DropUserInput noInputUntilDone(this);
    lblStatus->clear();
    lblStatus->setToolTip(QString());
    const QString recipient = txtEmailTo->text();
    if (!isPlainMailAddress(recipient)) {
        m_dialogs.message(QStringLiteral(
            "Please type the e-mail address of the person you are sending to as one plain "
            "address, such as friend@example.com: no spaces, no line breaks, only one address."));
        return;
    }
    if (!isPlainMailAddress(m_current.EmailAddress)) {
        m_dialogs.message(QStringLiteral(
            "Your own e-mail address under Settings, Show Email Settings, must be one plain "
            "address, such as you@example.com: no name, no spaces, no line breaks, only one "
            "address."));
        return;
    }
    for (const QString &address : {m_current.EmailAddress, recipient}) {
        if (!hasAsciiLocalPart(address)) {
            m_dialogs.message(QStringLiteral("The address %1 has letters outside plain A to Z before "
                                             "the \"@\": such addresses cannot be sent to or from "
                                             "yet. Please use another address.")
                                  .arg(address));
            return;
        }
    }
    const QString attachment = workFile(workfiles::Compressed);
    if (!isNonEmptyFile(attachment)) {
        m_dialogs.message(QStringLiteral("There is no compressed video to send yet. Please click "
                                         "Compress Video first, then send it."));
        return;
    }

    // An error before the connection is asked for puts the window back as it
    // was before the click.
    const int16_t step6 = LEDsteps[5]->state(), step7 = LEDsteps[6]->state();
    const QString instruction = lblInstructions->text();
    const int32_t progress = PROsending->value();
    try {
        LEDsteps[5]->setState(Lamp::Done);
        LEDsteps[6]->setState(Lamp::Current);
        lblInstructions->setText(QStringLiteral("Sending your Video email to ") + recipient);
        PROsending->setValue(0);

        // The header names international domains in IDNA form, as the envelope does.
        CurrentSettings sending = m_current;
        sending.EmailAddress = withAsciiDomain(m_current.EmailAddress);
        composeVideoMessage(Mime, sending, withAsciiDomain(recipient), txtEmailSubject->text(),
                            attachment);
        Mime.saveToFile(workFile(workfiles::Message));
        QCoreApplication::processEvents();

        SmtpClient.setHost(m_current.SMTP);
        SmtpClient.setUserName(m_current.UserName);
        SmtpClient.setPassword(m_current.Password);
    } catch (...) {
        LEDsteps[5]->setState(step6);
        LEDsteps[6]->setState(step7);
        lblInstructions->setText(instruction);
        PROsending->setValue(progress);
        throw;
    }
    lblStatus->setText(QStringLiteral("Press Esc to cancel"));
    if (const int16_t status = SmtpClient.connectToServer(); status != 0) {
        showFailure(lblStatus, SmtpClient, status);
        m_dialogs.message(QStringLiteral("Could not connect to your SMTP Mail Server, check the "
                                         "name is correct, then try again"));
        return;
    }
    // The connected event, if it waits in the queue, is taken now: the
    // delivery belongs to this click, with no input slipping in between.
    QCoreApplication::sendPostedEvents(&SmtpClient, QEvent::MetaCall);
}

void frmMain::SmtpClient_Connected()
{
    DropUserInput noInputUntilDone(this);
    const QString message = workFile(workfiles::Message);
    Mime.verifyFile(message);
    SmtpClient.setSender(m_current.EmailAddress);
    SmtpClient.clearEnvelope();
    SmtpClient.setRecipient(txtEmailTo->text());
    const int16_t status = SmtpClient.sendFile(m_current.EmailAddress, txtEmailTo->text(), message);
    if (status != 0) {
        const auto code = static_cast<int16_t>(SmtpClient.lastErrorCode());
        showFailure(lblStatus, SmtpClient, code);
        m_dialogs.message(QStringLiteral("Could not Send Video Message - Error ")
                          + QString::number(code));
        return;
    }
    (void)SmtpClient.resetSession();

    // From here on a step that fails is passed over.
    skipOnError([&] { rememberRecipient(txtEmailTo->text()); });
    removeWorkFiles();
    skipOnError([&] { SmtpClient.disconnectFromServer(); });
    lblInstructions->setText(QStringLiteral("Video Email Sent Successfully"));
    lblStatus->clear();
    lblStatus->setToolTip(QString());
    resetStepLamps();
    txtEmailTo->clear();
    txtEmailSubject->clear();
    PROsending->setValue(0);
    txtEmailTo->setFocus(Qt::OtherFocusReason);
}

void frmMain::SmtpClient_Progress(int16_t percent)
{
    PROsending->setValue(percent);
}

void frmMain::SmtpClient_WaitingForAcceptance()
{
    lblStatus->setText(QStringLiteral("Waiting for the server to accept the message\u2026"));
}

// Escape and closing the window end a connection or delivery under way; the
// SMTP component lets no other input through meanwhile.
void frmMain::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && SmtpClient.isBusy()) {
        SmtpClient.cancel();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (SmtpClient.isBusy())
        SmtpClient.cancel();
    QMainWindow::closeEvent(event);
}
