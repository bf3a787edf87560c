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
// otherwise. The microphones are its "Audio/Source" devices, in its order,
// sinks' monitors among them (PulseAudio lists those first). The current one
// is the one chosen, kept by its name for the run while it is plugged in;
// otherwise the sound server's default source ("is-default"), or where no
// source is marked default (ALSA, the test devices), the first one; a sink's
// monitor only when chosen. GStreamer 1.22's PulseAudio provider hears of a
// new default only with the next change to a source or sink, so a recording
// from the default one leaves the source to the server, which knows. A
// recording keeps the microphone it started with. Both lists are read from
// the monitor once and then follow its messages (asking again would probe
// every provider that did not start); without a running monitor they are
// what one probe found.
//
// The capture file is an AVI: Motion-JPEG pictures at the capture frame rate
// (constant, kept by videorate, which drops or repeats whole pictures) and,
// with a microphone, 16-bit PCM sound at 44.1 kHz. A camera that sends JPEG
// has its own pictures stored; raw pictures are encoded here. A symbolic link
// at the capture file's name is removed before recording, never written
// through.
//
// Nothing waits: timers and the recording's own messages drive a capture.
// startCapture() checks what it can at once (device, file name, folder, the
// confirmation, the camera's start) and returns; from the event loop it waits
// up to 3 s for the camera's first picture, then records. stop() sends EOS
// and returns; the file has its index when captureEnded(true) arrives, or,
// when EOS has not come through after 5 s plus the buffer seconds, it is
// given up (recordingProblem says so). A camera that fails mid-way leaves
// what was recorded; recordingProblem() tells a recording that broke off.
// Edge cases:
//  - stop() while the confirmation is asked counts as its "No";
//  - stop() while the capture still waits for the first picture ends it as
//    a recording that broke off before it began: captureEnded(true), the
//    problem says so, and no file is left at the capture file's name;
//  - startCapture() while a capture runs is refused with a warning; that
//    call still gets its own captureEnded(false), queued, while the running
//    capture goes on and ends with its own (a listener tells them apart:
//    isCapturing() is still true at the refused call's end);
//  - destroyed while capturing, the recording is abandoned, its pipeline
//    goes down at once (the file may lack its index), and no captureEnded
//    follows.
// A device or format chosen during a capture applies when it has ended. A
// camera started for a capture alone (no view) stops with it.
//
// The seven capture settings mean here:
//  - time limit: on, a recording ends by itself after timeLimitSeconds()
//    (60 s unless setTimeLimitSeconds says otherwise);
//  - capture audio: off, no sound stream is written;
//  - yield during capture: nothing waits any more, so the window's events go
//    on either way; off says that the window will not stop the recording, so
//    the time limit applies whatever the time limit setting says, as before;
//  - preview during capture: off, the live picture pauses while recording;
//  - capture frame rate: frames per second in the file, 1 to 60;
//  - confirm before capture: on, startCapture() asks first (a modal question);
//    "No" means the capture did not start (captureEnded(false));
//  - buffer seconds: how many seconds of pictures and sound may wait for the
//    encoder and the muxer before frames are dropped, 1 to 60.
// prepareCapture(value) checks that the capture file can be written and sets
// value to the free space in its folder in MB (at most 2^31-1), or to -1 when
// it cannot be written (the status text says why).
//
// While a recording runs, the progress text also tells the sound: its peak
// level over the last half second ("sound level -14 dB"), "microphone
// silent" below -60 dB, or why there is none. A clip without the sound asked
// for, or whose sound stayed below -60 dB throughout, is told once more when
// it has been recorded: "Recorded 00:05 – no sound was heard from "Built-in
// Microphone"" is recordingNotice(), until the next recording begins.
//
// Status texts carry a code: kStatusInfo (progress), kStatusWarning (the
// recording goes on without something, e.g. sound), kStatusError (a device or
// the file failed). Changes made in the dialogs last for the run; nothing is
// stored.

#include "CameraPipeline.h"
#include "CaptureComponent.h"
#include "CaptureDevices.h"
#include "GstSupport.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QPointer>
#include <QTimer>
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
    [[nodiscard]] int32_t microphoneCount() override;
    [[nodiscard]] QString microphoneName(int32_t index) override;
    void setCurrentMicrophone(int32_t index) override;
    [[nodiscard]] int32_t currentMicrophone() override;

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

    void startCapture() override;
    [[nodiscard]] bool isCapturing() const override;
    [[nodiscard]] QString recordingProblem() const override;
    [[nodiscard]] QString recordingNotice() const override { return m_notice; }
    bool stop() override;

    // Beyond the window's interface.
    void setTimeLimitSeconds(int seconds);
    [[nodiscard]] int timeLimitSeconds() const { return m_timeLimitSeconds; }
    [[nodiscard]] bool isLive() const;
    // The format the current device runs with, if it is known.
    [[nodiscard]] std::optional<VideoFormat> currentFormat();
    // On, a camera's JPEG pictures are decoded and encoded again for the
    // file instead of stored as they come; for measuring the difference.
    void setReencodeCameraJpeg(bool on);

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
    void microphoneRemoved(std::vector<CaptureDevice>::iterator gone);
    [[nodiscard]] CaptureDevice *currentDeviceEntry();
    void startLive();
    void stopLive();
    void onCameraFailed(const QString &reason);
    void applyDisplayOptions();
    void applyStoredControls();
    void say(int32_t code, const QString &text);

    // Recording (GstCaptureRecording.cpp).
    void setUpRecordingTimers();
    void checkFirstPicture();
    void beginRecording();
    void finishRecording();
    void onRecorderFinished(bool complete, const QString &problem);
    void refuse(int32_t code, const QString &text);
    void endLater(bool started);
    void endCapture(bool started);
    void reportProgress();
    [[nodiscard]] QString progressText(const QString &verb) const;
    [[nodiscard]] QString soundText() const;
    [[nodiscard]] QString missingSound() const;

    FrameMailbox m_frames{this};
    CameraPipeline *m_camera = nullptr;
    QPointer<VideoView> m_view;
    bool m_devicesProbed = false;
    DeviceMonitorRef m_monitor;
    std::unique_ptr<BusWatch> m_monitorWatch;
    std::vector<CaptureDevice> m_devices;
    std::vector<CaptureDevice> m_microphones;
    QString m_chosenMicrophone;   // by name; empty: the default
    int32_t m_current = 0;
    std::optional<int32_t> m_pendingDevice;   // chosen during a capture
    bool m_restartLive = false;               // format chosen during a capture
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

    // Idle, then Starting within startCapture(), WaitingForPicture, Recording,
    // Finishing (EOS sent), and Ending until captureEnded has been raised.
    enum class Phase { Idle, Starting, WaitingForPicture, Recording, Finishing, Ending };
    Phase m_phase = Phase::Idle;
    bool m_stopAsked = false;   // during the confirmation
    QString m_deviceName;       // of the capture's camera
    QTimer m_pictureWait;
    QDeadlineTimer m_pictureDeadline;
    QTimer m_progress;
    QTimer m_limit;
    QTimer m_grace;
    std::unique_ptr<Recorder> m_recorder;
    QString m_whyNoSound;   // for the progress text, when there is no sound
    QString m_soundSource;  // the recording's microphone
    bool m_followsServerDefault = false;
    QString m_notice;       // recordingNotice()
    QString m_endProblem;
    QString m_brokenOff;   // recordingProblem()
};
