#pragma once

// One recording, in a pipeline of its own that the camera's tap feeds:
//   appsrc ! videorate ! capsfilter(rate) ! videoconvert ! jpegenc ! avimux
//   microphone ! audioconvert ! audioresample ! capsfilter(S16LE) ! audiorate
//              ! level ! queue ! avimux
//   avimux ! filesink
// JPEG pictures from the camera go into the file as they are:
//   appsrc ! videorate ! capsfilter(rate) ! avimux
// It shares the camera pipeline's clock and starts its running time at the
// moment it starts, so pictures and sound line up from zero. It is finished
// by EOS on both branches; finished() follows when avimux has written the
// index.

#include "GstSupport.h"

#include <gst/app/gstappsrc.h>

#include <QObject>
#include <atomic>
#include <optional>

struct RecordingSettings
{
    QString fileName;
    int frameRate = 25;
    int bufferSeconds = 5;
    bool jpegFrames = false;           // the tap's pictures are JPEG already
    GstDevice *microphone = nullptr;   // null: picture only
    bool serverDefault = false;        // it stands for the sound server's default source
    GstClock *clock = nullptr;         // the camera pipeline's
    GstClockTime cameraBaseTime = 0;   // and its base time
};

class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(QObject *parent = nullptr);
    ~Recorder() override;

    // Builds and starts the pipeline. False, with GStreamer's reason, when the
    // file cannot be written; a microphone that cannot be opened only leaves
    // the sound out (soundProblem() says why).
    [[nodiscard]] bool start(const RecordingSettings &settings, QString *error);

    // A camera frame (any thread); frames older than the start are skipped,
    // frames beyond the buffer are dropped.
    void pushFrame(GstSample *sample);
    // Ends the recording: EOS on both branches; finished() follows.
    void finish();
    [[nodiscard]] bool isDone() const { return m_done; }
    // Gives up waiting for EOS: the pipeline goes down as it is.
    void abandon();

    [[nodiscard]] bool hasSound() const { return bool(m_microphone); }
    [[nodiscard]] QString soundProblem() const { return m_soundProblem; }
    // The loudest sample of the last measured stretch of sound, in dB below
    // full scale (0 at most); nothing before the first stretch or without sound.
    [[nodiscard]] std::optional<double> soundPeak() const { return m_soundPeak; }
    // The loudest sample of the whole recording so far, likewise.
    [[nodiscard]] std::optional<double> loudestSound() const { return m_loudest; }
    [[nodiscard]] double seconds() const;
    [[nodiscard]] quint64 framesWritten() const;
    // Frames the file repeats because no fresh camera frame was there, once
    // the first one had come.
    [[nodiscard]] quint64 framesDuplicated() const;
    // Camera frames dropped because the encoder fell behind the buffer.
    [[nodiscard]] quint64 framesOverflowed() const { return m_overflowed.load(); }

signals:
    // complete: EOS reached, the file has its index. Otherwise problem says
    // what went wrong.
    void finished(bool complete, const QString &problem);
    void soundFailed(const QString &reason);

private:
    void onMessage(GstMessage *message);
    void onSoundLevel(const GstStructure *level);
    [[nodiscard]] quint64 rateCounter(const char *name) const;
    void end(bool complete, const QString &problem);

    ElementRef m_pipeline;
    ElementRef m_appsrc;
    ElementRef m_videorate;
    ElementRef m_microphone;
    PadRef m_audioEntry;
    GstClockTime m_cameraBase = 0;
    GstClockTime m_start = GST_CLOCK_TIME_NONE;
    std::atomic<GstClockTime> m_end{GST_CLOCK_TIME_NONE};
    GstClockTime m_frameDuration = 0;
    GstClockTime m_maxQueued = 0;
    ClockRef m_clock;
    QString m_soundProblem;
    std::optional<double> m_soundPeak;
    std::optional<double> m_loudest;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_capsSet{false};
    bool m_firstPushed = false;     // on the camera's streaming thread,
    GstClockTime m_lead = 0;        // as pushFrame is
    std::atomic<quint64> m_startRepeats{0};
    quint64 m_finalWritten = 0;
    quint64 m_finalDuplicated = 0;
    std::atomic<quint64> m_overflowed{0};
    bool m_done = false;
};
