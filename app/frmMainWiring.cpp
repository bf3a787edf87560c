// How the window's design is reached by name, and how the events of its
// controls and components reach the handlers.
#include "frmMain.h"

#include "CaptureComponent.h"
#include "Dialogs.h"
#include "InputGate.h"
#include "WorkFolder.h"
#include "ui_frmMain.h"

#include <exception>

void frmMain::bindControls()
{
    Label1 = {ui->Label1_0, ui->Label1_1, ui->Label1_2, ui->Label1_3, ui->Label1_4,
              ui->Label1_5, ui->Label1_6, ui->Label1_7, ui->Label1_8, ui->Label1_9};
    Label2 = {ui->Label2_0, ui->Label2_1, ui->Label2_2, ui->Label2_3, ui->Label2_4};
    Label3 = ui->Label3;
    LEDsteps = {ui->LEDsteps_0, ui->LEDsteps_1, ui->LEDsteps_2, ui->LEDsteps_3,
                ui->LEDsteps_4, ui->LEDsteps_5, ui->LEDsteps_6};
    LEDONAIR = {ui->LEDONAIR_0, ui->LEDONAIR_1};
    txtEmailFrom = ui->txtEmailFrom;
    txtEmailTo = ui->txtEmailTo;
    txtEmailSubject = ui->txtEmailSubject;
    txtDetails = {ui->txtDetails_0, ui->txtDetails_1, ui->txtDetails_2, ui->txtDetails_3,
                  ui->txtDetails_4};
    BUTRecord = ui->BUTRecord;
    BUTstopRecord = ui->BUTstopRecord;
    BUTplay = ui->BUTplay;
    BUTcompress = ui->BUTcompress;
    BUTsend = ui->BUTsend;
    PROsending = ui->PROsending;
    lblStatus = ui->lblStatus;
    lblInstructions = ui->lblInstructions;
    lblONAIR = ui->lblONAIR;
    Frame1 = ui->Frame1;
    Frame2 = ui->Frame2;
    mnuDevices = ui->mnuDevices;
    mnuDevs = {ui->mnuDevs_0};
    mnuSettings = ui->mnuSettings;
    mnuShowDisplay = ui->mnuShowDisplay;
    mnuShowFormat = ui->mnuShowFormat;
    mnuShowSource = ui->mnuShowSource;
    mnuPhoneVideo = ui->mnuPhoneVideo;
    mnuEmailSettings = ui->mnuEmailSettings;
}

void frmMain::guarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        m_dialogs.message(QString::fromUtf8(e.what()));
    } catch (...) {
        m_dialogs.message(QStringLiteral("An unexpected error occurred."));
    }
}

void frmMain::connectHandlers(WorkFolder &folder)
{
    m_inputGate = std::make_unique<InputGate>(this, [this] { return m_session.busy(); });
    // A second copy started meanwhile wants this one in front.
    connect(&folder, &WorkFolder::ownerWanted, this, [this] {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    });
    const auto on = [this](auto *sender, auto signal, void (frmMain::*handler)()) {
        connect(sender, signal, this, [this, handler] { guarded([&] { (this->*handler)(); }); });
    };
    txtEmailSubject->installEventFilter(this);
    on(BUTRecord, &FlatButton::gotFocus, &frmMain::BUTRecord_GotFocus);
    on(BUTRecord, &QAbstractButton::clicked, &frmMain::BUTRecord_Click);
    on(BUTstopRecord, &QAbstractButton::clicked, &frmMain::BUTstopRecord_Click);
    on(BUTplay, &QAbstractButton::clicked, &frmMain::BUTplay_Click);
    on(BUTcompress, &QAbstractButton::clicked, &frmMain::BUTcompress_Click);
    on(BUTsend, &QAbstractButton::clicked, &frmMain::BUTsend_Click);
    on(&m_session, &MessageSession::compressStarted, &frmMain::Encoder_Started);
    on(&m_session, &MessageSession::compressed, &frmMain::Encoder_Finished);
    connect(&m_session, &MessageSession::compressCancelled, this,
            [this] { guarded([&] { Encoder_Failed(QString()); }); });
    on(&m_session, &MessageSession::waitingForAcceptance, &frmMain::SmtpClient_WaitingForAcceptance);
    on(&m_session, &MessageSession::delivered, &frmMain::SmtpClient_Delivered);
    // The window closes when the job it waited for is over; nothing is told.
    connect(&m_session, &MessageSession::readyToClose, this, &QWidget::close, Qt::QueuedConnection);
    on(mnuEmailSettings, &QAction::triggered, &frmMain::mnuEmailSettings_Click);
    on(mnuPhoneVideo, &QAction::triggered, &frmMain::mnuPhoneVideo_Click);
    on(mnuShowDisplay, &QAction::triggered, &frmMain::mnuShowDisplay_Click);
    on(mnuShowFormat, &QAction::triggered, &frmMain::mnuShowFormat_Click);
    on(mnuShowSource, &QAction::triggered, &frmMain::mnuShowSource_Click);

    connect(&LiveVideo, &CaptureComponent::statusText, this,
            [this](int32_t code, const QString &text) {
                guarded([&] { LiveVideo_StatusText(code, text); });
            });
    connect(&m_session, &MessageSession::recordingEnded, this,
            [this](bool started, const QString &problem) {
                guarded([&] { LiveVideo_CaptureEnded(started, problem); });
            });
    connect(&m_session, &MessageSession::compressFailed, this,
            [this](const QString &message) { guarded([&] { Encoder_Failed(message); }); });
    connect(&m_session, &MessageSession::connectFailed, this,
            [this](int16_t code, const QString &reason) {
                guarded([&] { SmtpClient_ConnectFailed(code, reason); });
            });
    connect(&m_session, &MessageSession::sendFailed, this,
            [this](int16_t code, const QString &reason) {
                guarded([&] { SmtpClient_SendFailed(code, reason); });
            });
    connect(&m_session, &MessageSession::progress, this,
            [this](int16_t percent) { guarded([&] { SmtpClient_Progress(percent); }); });
    for (int i = 0; i < int(txtDetails.size()); ++i) {
        connect(txtDetails[i], &QLineEdit::textChanged, this,
                [this, i] { guarded([&] { txtDetails_Change(i); }); });
    }
    connectDeviceEntry(mnuDevs[0], 0);
    on(&LiveVideo, &CaptureComponent::devicesChanged, &frmMain::LiveVideo_DevicesChanged);
}

void frmMain::connectDeviceEntry(QAction *entry, int index)
{
    // Choosing an entry toggles its mark; the component says which is current.
    connect(entry, &QAction::triggered, this, [this, index] {
        guarded([this, index] { mnuDevs_Click(index); });
        guarded([this] { markCurrentDevice(); });
    });
}

void frmMain::connectMicrophoneEntry(QAction *entry, int index)
{
    connect(entry, &QAction::triggered, this, [this, index] {
        guarded([this, index] { mnuMics_Click(index); });
        guarded([this] { markCurrentDevice(); });
    });
}
