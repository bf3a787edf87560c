// The window's handlers for recording, playback, compression and sending.
#include "frmMain.h"

#include "CaptureComponent.h"
#include "ClipSummary.h"
#include "Dialogs.h"
#include "FlatButton.h"
#include "GradientProgressBar.h"
#include "HandlerSupport.h"
#include "Lamp.h"
#include "MailAddress.h"
#include "RecentRecipients.h"
#include "VideoMessage.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

using handler::disable;
using Stage = MessageSession::Stage;

namespace {

const QString kStep5Text = QStringLiteral(
    "You can now Play back the video to check it, and Re-Record it if needed, but you must "
    "Compress the Video before sending it out");

void enable(FlatButton *button, bool on)
{
    if (on)
        button->setEnabled(true);
    else
        disable(button);
}

} // namespace

// ---- The stage, drawn ------------------------------------------------------

// The buttons and the on-air indicator as the session's stage has them.
// While a job runs that takes no input, the buttons stay as they were.
void frmMain::showStage()
{
    const Stage stage = m_session.stage();
    if (!m_session.busy()) {
        const bool recording = stage == Stage::Recording;
        const bool clip = stage == Stage::Recorded || stage == Stage::Compressed;
        const bool again = recording && m_session.recordingAgain();
        enable(BUTstopRecord, recording);
        enable(BUTRecord, !recording);
        enable(BUTplay, clip || again);
        enable(BUTcompress, clip || again);
        enable(BUTsend, stage == Stage::Compressed);
    }
    const bool onAir = stage == Stage::Recording || stage == Stage::Compressing;
    if (onAir) {
        for (Lamp *lamp : LEDONAIR) {
            lamp->setVisible(true);
            lamp->setState(stage == Stage::Recording ? Lamp::Done : Lamp::Current);
        }
        lblONAIR->setText(stage == Stage::Recording ? QStringLiteral("RECORDING")
                                                    : QStringLiteral("ENCODING..."));
    }
    lblONAIR->setVisible(onAir);
    for (Lamp *lamp : LEDONAIR)
        lamp->setVisible(onAir);
}

// After a recording the keyboard goes on from Stop to Play. A clip that
// broke off is not offered for playing or compressing: the keyboard goes
// back to Record, and step 4 is current again.
void frmMain::showRecordingEnded(bool broken)
{
    const bool focusOnStop = !focusWidget() || BUTstopRecord->hasFocus();
    showStage();
    if (focusOnStop)
        (broken ? BUTRecord : BUTplay)->setFocus(Qt::OtherFocusReason);
    if (broken) {
        BUTRecord_GotFocus();
        LEDsteps[4]->setState(Lamp::Unlit);
        LEDsteps[5]->setState(Lamp::Unlit);
    } else {
        LEDsteps[3]->setState(Lamp::Done);
        LEDsteps[4]->setState(Lamp::Current);
        lblInstructions->setText(kStep5Text);
    }
    lblStatus->setText(LiveVideo.recordingNotice());
}

// ---- Recording ------------------------------------------------------------

void frmMain::BUTRecord_Click()
{
    if (!m_session.record())
        return;
    BUTstopRecord->setEnabled(true);
    BUTstopRecord->setFocus(Qt::OtherFocusReason);
    showStage();
}

void frmMain::BUTstopRecord_Click()
{
    m_session.stopRecording();
}

void frmMain::LiveVideo_StatusText(int32_t, const QString &text)
{
    lblStatus->setText(text);
}

void frmMain::LiveVideo_CaptureEnded(bool started, const QString &problem)
{
    if (!started)
        m_dialogs.message(QStringLiteral("Could not start Video Capture"));
    if (!problem.isEmpty())
        m_dialogs.message(QStringLiteral("The recording stopped: ") + problem);
    showRecordingEnded(!problem.isEmpty());
}

// ---- Playback -------------------------------------------------------------

void frmMain::BUTplay_Click()
{
    const bool recording = m_session.stage() == Stage::Recording;
    // A recording that Play ends is drawn as ended once its file is finished.
    if (m_session.play() && !recording)
        showRecordingEnded(false);
}

// ---- Compression ----------------------------------------------------------

void frmMain::BUTcompress_Click()
{
    m_session.compress();
}

void frmMain::Encoder_Started()
{
    lblInstructions->setText(QStringLiteral(
        "Please wait while the encoder compresses your video, this can take a while, the "
        "encoding lights on the right will go off when its complete, and then you can go ahead "
        "and send it."));
    showStage();
}

void frmMain::Encoder_Finished()
{
    showStage();
    LEDsteps[4]->setState(Lamp::Done);
    LEDsteps[5]->setState(Lamp::Current);
    lblInstructions->setText(
        QStringLiteral("The Video was compressed, and can now be sent, click the Send button."));
    lblStatus->setText(compressedClipSummary(m_session.attachment()));
}

// No message: the user cancelled it.
void frmMain::Encoder_Failed(const QString &message)
{
    showStage();
    if (message.isEmpty())
        lblStatus->setText(QStringLiteral("Compressing was cancelled"));
    else
        m_dialogs.message(message);
    lblInstructions->setText(kStep5Text);
}

// ---- Sending --------------------------------------------------------------

void frmMain::BUTsend_Click()
{
    if (!m_session.allows(MessageSession::Action::Send))
        return;
    lblStatus->clear();
    lblStatus->setToolTip(QString());
    const QString recipient = txtEmailTo->text();
    if (const QString problem = addressProblem(m_current.EmailAddress, recipient); !problem.isEmpty()) {
        m_dialogs.message(problem);
        return;
    }
    const QString attachment = m_session.attachment();
    if (attachment.isEmpty()) {
        m_dialogs.message(QStringLiteral("There is no compressed video to send yet. Please click "
                                         "Compress Video first, then send it."));
        return;
    }

    // The header names international domains in IDNA form, as the envelope
    // does. A message that cannot be written leaves the window as it was.
    CurrentSettings sending = m_current;
    sending.EmailAddress = withAsciiDomain(m_current.EmailAddress);
    composeVideoMessage(Mime, sending, withAsciiDomain(recipient), txtEmailSubject->text(), attachment);
    m_session.send({m_current.EmailAddress, recipient, m_current.SMTP, m_current.UserName,
                    m_current.Password});
    LEDsteps[5]->setState(Lamp::Done);
    LEDsteps[6]->setState(Lamp::Current);
    lblInstructions->setText(QStringLiteral("Sending your Video email to ") + recipient);
    PROsending->setValue(0);
    lblStatus->setText(QStringLiteral("Press Esc to cancel"));
}

// What went wrong, and its code, in the status line; a reason too long for
// it is cut short there and shown whole as its tip.
void frmMain::showFailure(int16_t code, const QString &why)
{
    const QString suffix = QStringLiteral(" (%1)").arg(code);
    const QString reason = why.isEmpty() ? QStringLiteral("Error") : why;
    const QFontMetrics metrics(lblStatus->font());
    const int room = lblStatus->contentsRect().width() - metrics.horizontalAdvance(suffix);
    lblStatus->setText(metrics.elidedText(reason, Qt::ElideRight, room) + suffix);
    lblStatus->setToolTip(reason + suffix);
}

void frmMain::SmtpClient_ConnectFailed(int16_t code, const QString &reason)
{
    showFailure(code, reason);
    m_dialogs.message(QStringLiteral("Could not connect to your SMTP Mail Server, check the "
                                     "name is correct, then try again"));
}

void frmMain::SmtpClient_Progress(int16_t percent)
{
    PROsending->setValue(percent);
}

void frmMain::SmtpClient_WaitingForAcceptance()
{
    lblStatus->setText(QStringLiteral("Waiting for the server to accept the message\u2026"));
}

// A cancel, while connecting or sending, is reported as a failed delivery.
void frmMain::SmtpClient_SendFailed(int16_t code, const QString &reason)
{
    showFailure(code, reason);
    m_dialogs.message(QStringLiteral("Could not Send Video Message - Error ") + QString::number(code));
}

void frmMain::SmtpClient_Delivered()
{
    lblInstructions->setText(QStringLiteral("Video Email Sent Successfully"));
    lblStatus->clear();
    lblStatus->setToolTip(QString());
    resetStepLamps();
    const QString recipient = txtEmailTo->text();
    txtEmailTo->clear();
    txtEmailSubject->clear();
    PROsending->setValue(0);
    showStage();
    txtEmailTo->setFocus(Qt::OtherFocusReason);
    // Told, not passed over: later changes to the settings would go unsaved.
    m_recentRecipients->remember(recipient, m_store);
}

// ---- Start-up and the way out ---------------------------------------------

void frmMain::Session_Restored(const MessageSession::Restored &found)
{
    showStage();
    if (found.stage != Stage::Addressing && found.recordedAt.isValid())
        lblStatus->setText(QStringLiteral("The message recorded at %1 was not sent yet")
                               .arg(found.recordedAt.time().toString(QStringLiteral("HH:mm"))));
    if (!found.unconfirmedTo.isEmpty())
        m_dialogs.message(
            QStringLiteral("Mirabo was closed at %1 while the server was still deciding on your "
                           "message to %2. It may have been delivered: please ask before you send "
                           "it again.")
                .arg(found.unconfirmedAt.toString(QStringLiteral("HH:mm")), found.unconfirmedTo));
}

// Escape ends a compression or a delivery under way; nothing else takes
// input meanwhile.
void frmMain::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && m_session.cancel())
        return;
    QMainWindow::keyPressEvent(event);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    const MessageSession::Closing closing = m_session.requestClose();
    if (closing == MessageSession::Closing::Ask
        && m_dialogs.question(QStringLiteral("The server has received your whole message and is "
                                             "deciding whether to accept it. If you close Mirabo "
                                             "now, you will not know whether it was delivered."),
                              QStringLiteral("Close Anyway"), QStringLiteral("Wait")))
        m_session.closeAnyway();
    // Otherwise the window closes once the job under way is over (readyToClose).
    if (closing == MessageSession::Closing::Now)
        QMainWindow::closeEvent(event);
    else
        event->ignore();
}
