#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class VideoView;

// The capture component behind the window's live picture: it lists the capture
// devices, shows the current device's picture, records a clip into the capture
// file and offers the device's settings dialogs. The window drives it only
// through these operations and hears from it only through the two signals.
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

    // Records into the capture file and returns only when the recording has
    // ended; false when the capture could not start.
    [[nodiscard]] virtual bool capture() = 0;
    // Why the last recording broke off before it was stopped, or why its
    // file could not be finished (a full disk, a camera unplugged, a write
    // error), in a few words; empty when the recording ended well.
    [[nodiscard]] virtual QString recordingProblem() const { return {}; }
    // Ends a recording in progress; harmless when nothing records.
    virtual bool stop() = 0;

signals:
    void statusText(int32_t code, const QString &text);
    // Raised repeatedly while a capture runs; the window processes its
    // pending events in reply.
    void yieldRequested();
};
