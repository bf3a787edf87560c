#pragma once

#include "CurrentSettings.h"
#include "MessageSession.h"

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CaptureComponent;
class Dialogs;
class InputGate;
class FlatButton;
class GradientProgressBar;
class Lamp;
class MailMessage;
class MediaPlayer;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class RecipientCompleter;
class SettingsStore;
class SmtpComponent;
class WorkFolder;
namespace Ui {
class frmMain;
}

// The outside components the window drives, and where it keeps its files.
struct FormParts
{
    CaptureComponent &capture;
    MediaPlayer &player;
    MailMessage &message;
    SmtpComponent &smtp;
    SettingsStore &store;
    Dialogs &dialogs;
    WorkFolder &folder;   // holds the working files, claimed by this copy
    QString programDir;   // holds mirabo and the encoder
};

// The one window of the program. Each handler is the ordered list of steps
// of one user action or component event that the user sees; where the
// message has got to, and its files and jobs, are the session's. A click the
// session's stage does not allow is dropped, and while a job runs that the
// user must not disturb, all input to the window but Escape is.
class frmMain : public QMainWindow
{
    Q_OBJECT
public:
    explicit frmMain(const FormParts &parts, QWidget *parent = nullptr);
    ~frmMain() override;

    // The load handling; runs once, before the window is first shown.
    void load();
    // Shows the window centred on the screen.
    void showCentred();

    // Controls, named as in the window's design.
    std::array<QLabel *, 10> Label1{};
    std::array<QLabel *, 5> Label2{};
    QLabel *Label3 = nullptr;
    std::array<Lamp *, 7> LEDsteps{};
    std::array<Lamp *, 2> LEDONAIR{};
    QLineEdit *txtEmailFrom = nullptr;
    QLineEdit *txtEmailTo = nullptr;
    QLineEdit *txtEmailSubject = nullptr;
    std::array<QLineEdit *, 5> txtDetails{};
    FlatButton *BUTRecord = nullptr;
    FlatButton *BUTstopRecord = nullptr;
    FlatButton *BUTplay = nullptr;
    FlatButton *BUTcompress = nullptr;
    FlatButton *BUTsend = nullptr;
    GradientProgressBar *PROsending = nullptr;
    QLabel *lblStatus = nullptr;
    QLabel *lblInstructions = nullptr;
    QLabel *lblONAIR = nullptr;
    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QMenu *mnuDevices = nullptr;
    std::vector<QAction *> mnuDevs;
    QAction *mnuMicsTitle = nullptr;   // below the cameras
    std::vector<QAction *> mnuMics;
    QMenu *mnuSettings = nullptr;
    QAction *mnuShowDisplay = nullptr;
    QAction *mnuShowFormat = nullptr;
    QAction *mnuShowSource = nullptr;
    QAction *mnuPhoneVideo = nullptr;
    QAction *mnuEmailSettings = nullptr;

    [[nodiscard]] const CurrentSettings &currentSettings() const { return m_current; }
    [[nodiscard]] MessageSession &session() { return m_session; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // Handlers.
    void Form_Load();
    void Form_Activate();
    void txtEmailSubject_GotFocus();
    void BUTRecord_GotFocus();
    void BUTRecord_Click();
    void BUTstopRecord_Click();
    void LiveVideo_StatusText(int32_t code, const QString &text);
    void LiveVideo_CaptureEnded(bool started, const QString &problem);
    void BUTplay_Click();
    void BUTcompress_Click();
    void Encoder_Started();
    void Encoder_Finished();
    void Encoder_Failed(const QString &message);
    void BUTsend_Click();
    void SmtpClient_ConnectFailed(int16_t code, const QString &reason);
    void SmtpClient_Progress(int16_t percent);
    void SmtpClient_WaitingForAcceptance();
    void SmtpClient_SendFailed(int16_t code, const QString &reason);
    void SmtpClient_Delivered();
    void Session_Restored(const MessageSession::Restored &found);
    void txtDetails_Change(int index);
    void mnuEmailSettings_Click();
    void mnuPhoneVideo_Click();
    void mnuDevs_Click(int index);
    void mnuMics_Click(int index);
    void LiveVideo_DevicesChanged();
    void mnuShowDisplay_Click();
    void mnuShowFormat_Click();
    void mnuShowSource_Click();

    // Runs a handler; an error it raises is shown instead of ending the program.
    void guarded(const std::function<void()> &handler);
    void bindControls();
    void connectHandlers(WorkFolder &folder);
    void setOuterHeight(int twips);
    [[nodiscard]] static QPalette designedPalette();
    void setUpAccess();
    void reachSettingsPanel(bool inView);

    // Steps that several handlers share.
    void showStage();
    void showRecordingEnded(bool broken);
    void showFailure(int16_t code, const QString &reason);
    void resetStepLamps();
    void fillDevicesMenu();
    void markCurrentDevice();
    void connectMenuEntry(QAction *entry, void (frmMain::*click)(int), int index);

    std::unique_ptr<Ui::frmMain> ui;
    CaptureComponent &LiveVideo;
    MediaPlayer &Player;
    MailMessage &Mime;
    SettingsStore &m_store;
    Dialogs &m_dialogs;
    MessageSession m_session;
    std::unique_ptr<InputGate> m_inputGate;   // asks the session: goes before it
    CurrentSettings m_current;
    RecipientCompleter *m_recentRecipients = nullptr;
    bool m_activatedOnce = false;
    double m_layoutScale = 1.0;   // of the design, for the desktop's font
};
