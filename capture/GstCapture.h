#pragma once

// The capture component on GStreamer.
//
// Devices: the cameras ("Video/Source") of GStreamer's device monitor, in
// its order, watched from first use on: a camera plugged in later joins the
// end of the list, one unplugged leaves it (devicesChanged). The first one is
// current until another is chosen; when the current one is unplugged, the
// first that is left takes its place and the status text says so (during a
// recording, the recording breaks off first: recordingProblem). The same
// monitor lists the microphones: in GStreamer 1.22 a second monitor on a
// provider takes its messages away from the first for good. The live picture
// of the current device runs whenever a view is set, scaled to about the
// view's size (a JPEG camera's pictures are decoded at that size), at up to
// 25 frames a second, stretched to the view unless the display dialog says
// otherwise. Sound comes from the first "Audio/Source" device the monitor
// reports when a recording starts.
//
// The capture file is an AVI: Motion-JPEG pictures at the capture frame rate
// (constant, kept by videorate, which drops or repeats whole pictures) and,
// with a microphone, 16-bit PCM sound at 44.1 kHz. A camera that sends JPEG
// has its own pictures stored; raw pictures are encoded here. A recording
// ends with EOS, so the file has its index when capture() returns; a camera
// that fails mid-way leaves what was recorded.
// A symbolic link at the capture file's name is removed before recording,
// never written through. recordingProblem() tells a recording that broke off
// (the camera failed, a write failed, the file could not be finished).
//
// The seven capture settings mean here:
//  - time limit: on, a recording ends by itself after timeLimitSeconds()
//    (60 s unless setTimeLimitSeconds says otherwise);
//  - capture audio: off, no sound stream is written;
//  - yield during capture: on, capture() raises yieldRequested about ten
//    times a second; off, it raises none and the window's input waits until
//    the recording ends (the time limit then always applies);
//  - preview during capture: off, the live picture pauses while recording;
//  - capture frame rate: frames per second in the file, 1 to 60;
//  - confirm before capture: on, capture() asks before it starts; "No" means
//    the capture did not start (false);
//  - buffer seconds: how many seconds of pictures and sound may wait for the
//    encoder and the muxer before frames are dropped, 1 to 60.
// prepareCapture(value) checks that the capture file can be written and sets
// value to the free space in its folder in MB (at most 2^31-1), or to -1 when
// it cannot be written (the status text says why).
//
// While a recording runs, the progress text also tells the sound: its peak
// level over the last half second ("sound level -14 dB"), "microphone
// silent" below -60 dB, or why there is none.
//
// Status texts carry a code: kStatusInfo (progress), kStatusWarning (the
// recording goes on without something, e.g. sound), kStatusError (a device or
// the file failed). Changes made in the dialogs last for the run; nothing is
// stored.

#include "CameraPipeline.h"
#include "CaptureComponent.h"
#include "CaptureDevices.h"
#include "GstSupport.h"

#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <memory>
#include <optional>
#include <vector>

class Recorder;
class VideoView;

class GstCapture : public CaptureComponent
{
    Q_OBJECT
public:
    static constexpr int32_t kStatusInfo = 0;
    static constexpr int32_t kStatusWarning = 1;
    static constexpr int32_t kStatusError = 2;

    explicit GstCapture(QObject *parent = nullptr);
    ~GstCapture() override;

    void setView(VideoView *view) override;
    void setCaptureFileName(const QString &path) override;
    [[nodiscard]] int32_t deviceCount() override;
    [[nodiscard]] QString deviceName(int32_t index) override;
    void setCurrentDevice(int32_t index) override;
    [[nodiscard]] int32_t currentDevice() const override;

    [[nodiscard]] bool sourceDialogAvailable() override;
    [[nodiscard]] bool formatDialogAvailable() override;
    [[nodiscard]] bool displayDialogAvailable() override;
    void showSourceDialog() override;
    void showFormatDialog() override;
    void showDisplayDialog() override;

    void setTimeLimitEnabled(bool on) override;
    void setCaptureAudio(bool on) override;
    void setYieldDuringCapture(bool on) override;
    void setPreviewDuringCapture(bool on) override;
    void setCaptureFrameRate(int32_t framesPerSecond) override;
    void setConfirmBeforeCapture(bool on) override;
    void setBufferSeconds(int32_t seconds) override;
    void prepareCapture(int32_t &value) override;

    [[nodiscard]] bool capture() override;
    [[nodiscard]] QString recordingProblem() const override;
    bool stop() override;

    // Beyond the window's interface.
    void setTimeLimitSeconds(int seconds);
    [[nodiscard]] int timeLimitSeconds() const { return m_timeLimitSeconds; }
    [[nodiscard]] bool isLive() const;
    [[nodiscard]] bool isRecording() const;
    // The format the current device runs with, if it is known.
    [[nodiscard]] std::optional<VideoFormat> currentFormat();
    // On, a camera's JPEG pictures are decoded and encoded again for the
    // file instead of stored as they come; for measuring the difference.
    void setReencodeCameraJpeg(bool on);

signals:
    // A recording has reached its end (its file is complete or given up).
    void recordingEnded();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ensureDevices();
    // Hot-plugging (GstCaptureHotPlug.cpp).
    [[nodiscard]] bool watchDevices();
    void stopWatchingDevices();
    void onDeviceMessage(GstMessage *message);
    void deviceAdded(DeviceRef device);
    void deviceRemoved(const DeviceRef &device);
    [[nodiscard]] std::vector<CaptureDevice> microphones();
    [[nodiscard]] CaptureDevice *currentDeviceEntry();
    void startLive();
    void stopLive();
    void onCameraFailed(const QString &reason);
    void applyDisplayOptions();
    void applyStoredControls();
    void say(int32_t code, const QString &text);

    // Recording (GstCaptureRecording.cpp).
    [[nodiscard]] bool startRecording();
    void finishRecording();
    void onRecorderFinished(bool complete, const QString &problem);
    void reportProgress();
    [[nodiscard]] QString progressText(const QString &verb) const;
    [[nodiscard]] QString soundText() const;

    FrameMailbox m_frames{this};
    CameraPipeline *m_camera = nullptr;
    QPointer<VideoView> m_view;
    bool m_devicesProbed = false;
    DeviceMonitorRef m_monitor;
    std::unique_ptr<BusWatch> m_monitorWatch;
    std::vector<CaptureDevice> m_devices;
    int32_t m_current = 0;
    std::optional<int32_t> m_pendingDevice;   // chosen during a recording
    bool m_restartLive = false;               // format chosen during a recording
    QMap<int32_t, VideoFormat> m_chosenFormats;
    QMap<int32_t, QMap<QString, int>> m_controls;   // colour balance per device
    bool m_stretched = true;
    bool m_mirrored = false;
    QString m_captureFile;

    bool m_timeLimit = false;
    int m_timeLimitSeconds = 60;
    bool m_captureAudio = true;
    bool m_yield = true;
    bool m_previewDuringCapture = true;
    int m_frameRate = 25;
    bool m_confirm = false;
    int m_bufferSeconds = 5;

    std::unique_ptr<Recorder> m_recorder;
    bool m_finishing = false;
    bool m_soundInFile = false;
    QString m_whyNoSound;   // for the progress text, when there is no sound
    QString m_endProblem;
    QString m_brokenOff;   // recordingProblem()
    QElapsedTimer m_recordingClock;
};
