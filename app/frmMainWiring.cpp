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
    // The handler takes the signal's first arguments, as many as it names.
    const auto on = [this]<typename... Args>(auto *sender, auto signal, void (frmMain::*handler)(Args...)) {
        connect(sender, signal, this,
                [this, handler](Args... args) { guarded([&] { (this->*handler)(args...); }); });
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

    on(&LiveVideo, &CaptureComponent::statusText, &frmMain::LiveVideo_StatusText);
    on(&m_session, &MessageSession::recordingEnded, &frmMain::LiveVideo_CaptureEnded);
    on(&m_session, &MessageSession::compressFailed, &frmMain::Encoder_Failed);
    on(&m_session, &MessageSession::connectFailed, &frmMain::SmtpClient_ConnectFailed);
    on(&m_session, &MessageSession::sendFailed, &frmMain::SmtpClient_SendFailed);
    on(&m_session, &MessageSession::progress, &frmMain::SmtpClient_Progress);
    for (int i = 0; i < int(txtDetails.size()); ++i) {
        connect(txtDetails[i], &QLineEdit::textChanged, this,
                [this, i] { guarded([&] { txtDetails_Change(i); }); });
    }
    connectMenuEntry(mnuDevs[0], &frmMain::mnuDevs_Click, 0);
    on(&LiveVideo, &CaptureComponent::devicesChanged, &frmMain::LiveVideo_DevicesChanged);
}

// Choosing an entry toggles its mark; the component says which is current.
void frmMain::connectMenuEntry(QAction *entry, void (frmMain::*click)(int), int index)
{
    connect(entry, &QAction::triggered, this, [this, click, index] {
        guarded([&] { (this->*click)(index); });
        guarded([this] { markCurrentDevice(); });
    });
}
