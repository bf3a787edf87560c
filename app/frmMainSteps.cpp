// The window's handlers for recording, playback, compression and sending.
#include "frmMain.h"

#include "CaptureComponent.h"
#include "Dialogs.h"
#include "HandlerSupport.h"
#include "MailAddress.h"
#include "MailMessage.h"
#include "MediaPlayer.h"
#include "Module1.h"
#include "SmtpComponent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using handler::disable;
using handler::processPendingEvents;
using handler::skipOnError;

namespace {

const QString kStep5Text = QStringLiteral(
    "You can now Play back the video to check it, and Re-Record it if needed, but you must "
    "Compress the Video before sending it out");
const QString kDownloadPage = QStringLiteral("https://mirabo.example.org/download");

QString versionText()
{
    return QStringLiteral("%1.%2%3")
        .arg(MIRABO_VERSION_MAJOR)
        .arg(MIRABO_VERSION_MINOR)
        .arg(MIRABO_VERSION_PATCH);
}

bool isNonEmptyFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0;
}

} // namespace

// ---- Recording ------------------------------------------------------------

void frmMain::BUTRecord_Click()
{
    bool captureResult = false;
    int32_t preparation = 0;

    skipOnError([&] { Player.setFileName(QString()); });
    skipOnError([&] { Player.setAutoStart(false); });
    skipOnError([&] { Player.setAutoSize(false); });
    skipOnError([&] { Player.setDisplaySize(4); });
    skipOnError([&] { Player.setHeight(2970.0f); });
    skipOnError([&] { Player.setWidth(3885.0f); });

    skipOnError([&] {
        const QString clip = workFile(QStringLiteral("video.avi"));
        if (QFileInfo(clip).isFile())
            QFile::remove(clip);
    });

    skipOnError([&] { preparation = 0; });
    skipOnError([&] { LiveVideo.setTimeLimitEnabled(false); });
    skipOnError([&] { LiveVideo.setCaptureAudio(true); });
    skipOnError([&] { LiveVideo.setYieldDuringCapture(true); });
    skipOnError([&] { LiveVideo.setPreviewDuringCapture(true); });
    skipOnError([&] { LiveVideo.setCaptureFrameRate(25); });
    skipOnError([&] { LiveVideo.setConfirmBeforeCapture(false); });
    skipOnError([&] { LiveVideo.setBufferSeconds(5); });
    skipOnError([&] { LiveVideo.prepareCapture(preparation); });

    skipOnError([&] { BUTstopRecord->setEnabled(true); });
    skipOnError([&] { disable(BUTRecord); });
    // A new clip has to be compressed before it can be sent.
    skipOnError([&] { disable(BUTsend); });

    skipOnError([&] { LEDONAIR[0]->setVisible(true); });
    skipOnError([&] { LEDONAIR[1]->setVisible(true); });
    skipOnError([&] { LEDONAIR[0]->setState(1); });
    skipOnError([&] { LEDONAIR[1]->setState(1); });
    skipOnError([&] { lblONAIR->setText(QStringLiteral("RECORDING")); });
    skipOnError([&] { lblONAIR->setVisible(true); });
    skipOnError([&] { processPendingEvents(); });

    skipOnError([&] { captureResult = LiveVideo.capture(); });
    skipOnError([&] {
        if (!captureResult)
            m_dialogs.message(QStringLiteral("Could not start Video Capture"));
    });
    skipOnError([&] { captureResult = LiveVideo.stop(); });

    skipOnError([&] { disable(BUTstopRecord); });
    skipOnError([&] { BUTRecord->setEnabled(true); });
    skipOnError([&] { BUTplay->setEnabled(true); });
    skipOnError([&] { BUTcompress->setEnabled(true); });
    skipOnError([&] { LEDsteps[3]->setState(1); });
    skipOnError([&] { LEDsteps[4]->setState(2); });
    skipOnError([&] { LEDONAIR[0]->setVisible(false); });
    skipOnError([&] { LEDONAIR[1]->setVisible(false); });
    skipOnError([&] { lblONAIR->setVisible(false); });
    skipOnError([&] { lblInstructions->setText(kStep5Text); });
    skipOnError([&] { lblStatus->setText(QString()); });
    skipOnError([&] { processPendingEvents(); });
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
    processPendingEvents();
}

// ---- Playback -------------------------------------------------------------

void frmMain::BUTplay_Click()
{
    LiveVideo.stop();
    disable(BUTstopRecord);
    BUTRecord->setEnabled(true);
    BUTplay->setEnabled(true);
    BUTcompress->setEnabled(true);
    LEDsteps[3]->setState(1);
    LEDsteps[4]->setState(2);
    LEDONAIR[0]->setVisible(false);
    LEDONAIR[1]->setVisible(false);
    lblONAIR->setVisible(false);
    lblInstructions->setText(kStep5Text);
    lblStatus->setText(QString());

    skipOnError([&] { Player.setFileName(workFile(QStringLiteral("video.avi"))); });
    skipOnError([&] { Player.play(); });
}

// ---- Compression ----------------------------------------------------------

void frmMain::BUTcompress_Click()
{
    lblInstructions->setText(QStringLiteral(
        "Please wait while the encoder compresses your video, this can take a while, the "
        "encoding lights on the right will go off when its complete, and then you can go ahead "
        "and send it."));
    lblONAIR->setVisible(true);
    LEDONAIR[0]->setVisible(true);
    LEDONAIR[1]->setVisible(true);
    lblONAIR->setText(QStringLiteral("ENCODING..."));
    LEDONAIR[0]->setState(2);
    LEDONAIR[1]->setState(2);
    processPendingEvents();

    QDir::setCurrent(m_programDir);
    // The program part is quoted: a program directory may hold spaces.
    const QString commandLine = QLatin1Char('"') + workFile(QStringLiteral("avi2mpg1"))
                                + QStringLiteral("\" -e -s 600 video.avi mirabo.mpg");
    const int status = Module1::RunAndWait(commandLine);
    processPendingEvents();

    lblONAIR->setVisible(false);
    LEDONAIR[0]->setVisible(false);
    LEDONAIR[1]->setVisible(false);

    QString failure;
    if (status == Module1::kCouldNotStart)
        failure = QStringLiteral("the encoder program avi2mpg1 could not be started");
    else if (status != 0)
        failure = QStringLiteral("the encoder stopped with error %1").arg(status);
    else if (!isNonEmptyFile(workFile(QStringLiteral("mirabo.mpg"))))
        failure = QStringLiteral("the encoder wrote no compressed video");
    if (!failure.isEmpty()) {
        m_dialogs.message(QStringLiteral("The video could not be compressed: %1. Record the "
                                         "video again, then click Compress Video once more.")
                              .arg(failure));
        lblInstructions->setText(kStep5Text);
        return;
    }

    LEDsteps[4]->setState(1);
    LEDsteps[5]->setState(2);
    BUTsend->setEnabled(true);
    lblInstructions->setText(
        QStringLiteral("The Video was compressed, and can now be sent, click the Send button."));
}

// ---- Sending --------------------------------------------------------------

void frmMain::BUTsend_Click()
{
    const QString recipient = txtEmailTo->text();
    if (!isPlainMailAddress(recipient)) {
        m_dialogs.message(QStringLiteral(
            "Please type the e-mail address of the person you are sending to as one plain "
            "address, such as friend@example.com: no spaces, no line breaks, only one address."));
        return;
    }
    const QString attachment = workFile(QStringLiteral("mirabo.mpg"));
    if (!isNonEmptyFile(attachment)) {
        m_dialogs.message(QStringLiteral("There is no compressed video to send yet. Please click "
                                         "Compress Video first, then send it."));
        return;
    }

    LEDsteps[5]->setState(1);
    LEDsteps[6]->setState(2);
    lblInstructions->setText(QStringLiteral("Sending your Video email to ") + recipient);
    PROsending->setValue(0);

    const QString crlf = QStringLiteral("\r\n");
    const QString body = QStringLiteral("There is a MPEG Video attachment to this email from ")
                         + m_current.FullName + QStringLiteral(", double-click / open it to play it")
                         + crlf
                         + QStringLiteral("If you have a webcam or other video input device, "
                                          "download a free copy of 'Mirabo' today at ")
                         + kDownloadPage + crlf + crlf
                         + QStringLiteral("This email was sent using Mirabo v") + versionText()
                         + crlf + QStringLiteral("Freeware Video Emailer") + crlf;

    Mime.reset();
    Mime.setFrom(m_current.EmailAddress);
    Mime.setTo(recipient);
    Mime.setMailer(QStringLiteral("Mirabo v") + versionText() + QStringLiteral(" By Dorvale"));
    // The message component makes line breaks in the subject spaces.
    Mime.setSubject(QStringLiteral("Mirabo: ") + txtEmailSubject->text());
    Mime.setBody(body);
    Mime.attachFile(attachment);
    Mime.saveToFile(workFile(QStringLiteral("message.msg")));
    processPendingEvents();

    SmtpClient.setHost(m_current.SMTP);
    SmtpClient.setUserName(m_current.UserName);
    SmtpClient.setPassword(m_current.Password);
    if (SmtpClient.connectToServer() != 0) {
        m_dialogs.message(QStringLiteral("Could not connect to your SMTP Mail Server, check the "
                                         "name is correct, then try again"));
    }
}

void frmMain::SmtpClient_Connected()
{
    const QString message = workFile(QStringLiteral("message.msg"));
    Mime.verifyFile(message);
    SmtpClient.setSender(m_current.EmailAddress);
    SmtpClient.clearEnvelope();
    SmtpClient.setRecipient(txtEmailTo->text());
    const int16_t status = SmtpClient.sendFile(m_current.EmailAddress, txtEmailTo->text(), message);
    if (status != 0) {
        const auto code = static_cast<int16_t>(SmtpClient.lastErrorCode());
        m_dialogs.message(QStringLiteral("Could not Send Video Message - Error ")
                          + QString::number(code));
        return;
    }
    (void)SmtpClient.resetSession();

    skipOnError([&] { QFile::remove(message); });
    skipOnError([&] { QFile::remove(workFile(QStringLiteral("mirabo.mpg"))); });
    skipOnError([&] { QFile::remove(workFile(QStringLiteral("video.avi"))); });
    skipOnError([&] { SmtpClient.disconnectFromServer(); });
    skipOnError([&] { lblInstructions->setText(QStringLiteral("Video Email Sent Successfully")); });
    for (Lamp *lamp : LEDsteps)
        skipOnError([&] { lamp->setState(0); });
    skipOnError([&] { LEDsteps[0]->setState(1); });
    skipOnError([&] { LEDsteps[1]->setState(2); });
    skipOnError([&] { txtEmailTo->clear(); });
    skipOnError([&] { txtEmailSubject->clear(); });
    skipOnError([&] { PROsending->setValue(0); });
    skipOnError([&] { txtEmailTo->setFocus(Qt::OtherFocusReason); });
}

void frmMain::SmtpClient_Progress(int16_t percent)
{
    PROsending->setValue(percent);
}
