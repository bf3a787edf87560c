#pragma once

#include "CurrentSettings.h"

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CaptureComponent;
class Dialogs;
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
class QStringListModel;
class SettingsStore;
class SmtpComponent;
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
    QString programDir;   // holds mirabo and the encoder
    QString workDir;      // holds the working files; empty: the program directory
};

// The one window of the program. Each handler is the ordered list of steps
// of one user action or component event; state lives in the controls, in
// CurrentSettings and in the working files.
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
    QMenu *mnuSettings = nullptr;
    QAction *mnuShowDisplay = nullptr;
    QAction *mnuShowFormat = nullptr;
    QAction *mnuShowSource = nullptr;
    QAction *mnuEmailSettings = nullptr;

    [[nodiscard]] const CurrentSettings &currentSettings() const { return m_current; }
    [[nodiscard]] QString workFile(const QString &name) const;

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
    void LiveVideo_Yield();
    void BUTplay_Click();
    void BUTcompress_Click();
    void BUTsend_Click();
    void SmtpClient_Connected();
    void SmtpClient_Progress(int16_t percent);
    void SmtpClient_WaitingForAcceptance();
    void txtDetails_Change(int index);
    void mnuEmailSettings_Click();
    void mnuDevs_Click(int index);
    void mnuShowDisplay_Click();
    void mnuShowFormat_Click();
    void mnuShowSource_Click();

    // Runs a handler; an error it raises is shown instead of ending the program.
    void guarded(const std::function<void()> &handler);
    void bindControls();
    void connectHandlers();
    void setOuterHeight(int twips);

    // Steps that several handlers share.
    void resetPlayer();
    void applyCaptureSettings();
    void showOnAir(const QString &caption, int16_t lampState);
    void hideOnAir();
    void showClipRecorded();
    void showRecordingBroken();
    void resetStepLamps();
    void removeWorkFiles();
    void rememberRecipient(const QString &address);

    std::unique_ptr<Ui::frmMain> ui;
    CaptureComponent &LiveVideo;
    MediaPlayer &Player;
    MailMessage &Mime;
    SmtpComponent &SmtpClient;
    SettingsStore &m_store;
    Dialogs &m_dialogs;
    const QString m_programDir;
    const QString m_workDir;
    CurrentSettings m_current;
    QStringListModel *m_recentRecipients = nullptr;   // the recipient box's completions
    bool m_activatedOnce = false;
};
