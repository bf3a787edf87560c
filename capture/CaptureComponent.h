#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <stdexcept>

class VideoView;

// The capture component behind the window's live picture: it lists the capture
// devices, shows the current device's picture, records a clip into the capture
// file and offers the device's settings dialogs. The window drives it only
// through these operations and hears from it only through its signals.
// Errors are thrown as std::exception with a text a person can read.
class CaptureComponent : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~CaptureComponent() override = default;

    // Where the live picture is painted; may be null (no picture).
    virtual void setView(VideoView *view) = 0;

    virtual void setCaptureFileName(const QString &path) = 0;
    [[nodiscard]] virtual int32_t deviceCount() = 0;
    [[nodiscard]] virtual QString deviceName(int32_t index) = 0;
    virtual void setCurrentDevice(int32_t index) = 0;
    // The device the live picture and recordings come from; -1 when none.
    [[nodiscard]] virtual int32_t currentDevice() const = 0;

    // The microphones. The current one is the one chosen, while it is there,
    // or else the one the implementation takes by default; -1 when none.
    [[nodiscard]] virtual int32_t microphoneCount() { return 0; }
    [[nodiscard]] virtual QString microphoneName(int32_t index);
    virtual void setCurrentMicrophone(int32_t index) { (void)microphoneName(index); }
    [[nodiscard]] virtual int32_t currentMicrophone() { return -1; }

    [[nodiscard]] virtual bool sourceDialogAvailable() = 0;
    [[nodiscard]] virtual bool formatDialogAvailable() = 0;
    [[nodiscard]] virtual bool displayDialogAvailable() = 0;
    // Modal; they return when the dialog is closed.
    virtual void showSourceDialog() = 0;
    virtual void showFormatDialog() = 0;
    virtual void showDisplayDialog() = 0;

    // The seven capture settings, which the window sets before every
    // recording, in this order. Their meaning is documented by each
    // implementation.
    virtual void setTimeLimitEnabled(bool on) = 0;
    virtual void setCaptureAudio(bool on) = 0;
    virtual void setYieldDuringCapture(bool on) = 0;
    virtual void setPreviewDuringCapture(bool on) = 0;
    virtual void setCaptureFrameRate(int32_t framesPerSecond) = 0;
    virtual void setConfirmBeforeCapture(bool on) = 0;
    virtual void setBufferSeconds(int32_t seconds) = 0;

    virtual void prepareCapture(int32_t &value) = 0;

    // Starts a recording into the capture file and returns at once; nothing
    // waits. captureEnded() follows, always later and never from within this
    // call: started false when the capture could not start (the status text
    // says why); otherwise the recording has ended (stopped, its time limit,
    // or broken off: recordingProblem()) and its file is finished or given up.
    virtual void startCapture() = 0;
    // True from startCapture() until captureEnded() has been raised.
    [[nodiscard]] virtual bool isCapturing() const = 0;
    // Why the last recording broke off before it was stopped, or why its
    // file could not be finished (a full disk, a camera unplugged, a write
    // error), in a few words; empty when the recording ended well.
    [[nodiscard]] virtual QString recordingProblem() const { return {}; }
    // What the status line keeps saying once the last recording has ended:
    // that its clip has no sound, or that none was heard; empty when the clip
    // has what was asked for.
    [[nodiscard]] virtual QString recordingNotice() const { return {}; }
    // Asks a recording in progress to end and returns at once: captureEnded()
    // follows when its file is finished. True when a recording was running
    // and had not been asked to end yet; harmless when nothing records.
    virtual bool stop() = 0;

signals:
    void statusText(int32_t code, const QString &text);
    void captureEnded(bool started);
    // A camera or microphone was plugged in or out, or another one became
    // current: the numbering of the devices may have changed.
    void devicesChanged();
};

inline QString CaptureComponent::microphoneName(int32_t)
{
    throw std::out_of_range("There is no microphone with that number.");
}
