#include "Recorder.h"

#include <QDir>
#include <algorithm>

#include <cerrno>

using gstsupport::firstError;
using gstsupport::isWithin;

namespace {

constexpr int kSoundRate = 44100;
// How often the sound level is measured: as often as the progress is told.
constexpr GstClockTime kLevelInterval = 500 * GST_MSECOND;

// Why writing the file failed, in the system's own words where the message
// carries them ("No space left on device"), else GStreamer's sentence.
QString writeFailure(GstMessage *message)
{
    ErrorRef error;
    gchar *debug = nullptr;
    gst_message_parse_error(message, error.out(), &debug);
    const QString detail = QString::fromUtf8(debug ? debug : "").trimmed();
    g_free(debug);
    if (!error.get() || error.get()->domain != GST_RESOURCE_ERROR)
        return gstsupport::errorText(message);
    if (error.get()->code == GST_RESOURCE_ERROR_NO_SPACE_LEFT)
        return QString::fromLocal8Bit(g_strerror(ENOSPC));
    // The first line of the details says where in GStreamer; a second one,
    // when there is one, holds the system's words.
    const qsizetype lineBreak = detail.lastIndexOf(QLatin1Char('\n'));
    QString systemWords = lineBreak < 0 ? QString() : detail.mid(lineBreak + 1).trimmed();
    if (systemWords.startsWith(QLatin1String("system error: ")))
        systemWords.remove(0, 14);
    return systemWords.isEmpty() ? gstsupport::errorText(message) : systemWords;
}

} // namespace

Recorder::Recorder(QObject *parent)
    : QObject(parent)
{
}

Recorder::~Recorder()
{
    if (m_pipeline)
        gstsupport::shutDown(m_pipeline.get());
}

bool Recorder::start(const RecordingSettings &settings, QString *error)
{
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        if (m_pipeline)
            gstsupport::shutDown(m_pipeline.get());
        m_pipeline.reset();
        return false;
    };
    if (!settings.clock)
        return fail(QStringLiteral("the camera is not running"));

    m_pipeline = makeElement("pipeline", "recording");
    m_appsrc = makeElement("appsrc", "pictures");
    m_videorate = makeElement("videorate", "rate");
    ElementRef rateCaps = makeElement("capsfilter", "rate-caps");
    // The camera's own JPEG pictures are stored as they are.
    ElementRef convert = settings.jpegFrames ? ElementRef() : makeElement("videoconvert");
    ElementRef encoder = settings.jpegFrames ? ElementRef() : makeElement("jpegenc");
    ElementRef mux = makeElement("avimux", "mux");
    ElementRef file = makeElement("filesink", "file");
    for (const ElementRef *e : {&m_appsrc, &m_videorate, &rateCaps, &mux, &file})
        if (!*e)
            return fail(QStringLiteral("a GStreamer element is missing (plugins base, good)"));
    if (!settings.jpegFrames && (!convert || !encoder))
        return fail(QStringLiteral("a GStreamer element is missing (plugins base, good)"));

    m_frameDuration = gst_util_uint64_scale_int(GST_SECOND, 1, settings.frameRate);
    m_maxQueued = GstClockTime(settings.bufferSeconds) * GST_SECOND;
    m_cameraBase = settings.cameraBaseTime;
    // The queue is ours (pushFrame counts what overflows); appsrc's own
    // limits would only signal.
    g_object_set(m_appsrc.get(), "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp", FALSE,
                 "max-bytes", guint64(0), "max-buffers", guint64(0), "max-time", guint64(0),
                 "block", FALSE, nullptr);
    const CapsRef rate = CapsRef::adopt(
        gst_caps_new_simple(settings.jpegFrames ? "image/jpeg" : "video/x-raw", "framerate",
                            GST_TYPE_FRACTION, settings.frameRate, 1, nullptr));
    g_object_set(rateCaps.get(), "caps", rate.get(), nullptr);
    const QByteArray path = QDir::toNativeSeparators(settings.fileName).toUtf8();
    g_object_set(file.get(), "location", path.constData(), "sync", FALSE, "async", FALSE, nullptr);

    GstBin *bin = GST_BIN(m_pipeline.get());
    gst_bin_add_many(bin, m_appsrc.get(), m_videorate.get(), rateCaps.get(), mux.get(), file.get(),
                     nullptr);
    bool linked = gst_element_link_many(m_appsrc.get(), m_videorate.get(), rateCaps.get(), nullptr);
    if (settings.jpegFrames) {
        linked = linked && gst_element_link(rateCaps.get(), mux.get());
    } else {
        gst_bin_add_many(bin, convert.get(), encoder.get(), nullptr);
        linked = linked && gst_element_link_many(rateCaps.get(), convert.get(), encoder.get(),
                                                 mux.get(), nullptr);
    }
    if (!linked || !gst_element_link(mux.get(), file.get()))
        return fail(QStringLiteral("the recording pipeline could not be linked"));

    if (settings.microphone) {
        // Opened on its own first: a microphone that fails leaves the sound
        // out, not the recording.
        ElementRef mic = makeDeviceElement(settings.microphone, "microphone");
        if (!mic) {
            m_soundProblem = QStringLiteral("the microphone offers no source element");
        } else {
            // Left to the server, which knows a new default before GStreamer
            // 1.22's PulseAudio provider does (that hears of it with the next
            // change to a source or sink).
            const GParamSpec *named
                = g_object_class_find_property(G_OBJECT_GET_CLASS(mic.get()), "device");
            if (settings.serverDefault && named && named->value_type == G_TYPE_STRING)
                g_object_set(mic.get(), "device", nullptr, nullptr);
            gst_bin_add(bin, mic.get());
            if (gst_element_set_state(mic.get(), GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
                m_soundProblem = firstError(m_pipeline.get());
                if (m_soundProblem.isEmpty())
                    m_soundProblem = QStringLiteral("it could not be opened");
                gst_element_set_state(mic.get(), GST_STATE_NULL);
                gst_bin_remove(bin, mic.get());
            } else {
                ElementRef aconvert = makeElement("audioconvert");
                ElementRef resample = makeElement("audioresample");
                ElementRef soundCaps = makeElement("capsfilter", "sound-caps");
                ElementRef level = makeElement("level", "sound-level");
                ElementRef rate = makeElement("audiorate", "sound-rate");
                ElementRef queue = makeElement("queue", "sound-queue");
                if (!aconvert || !resample || !soundCaps || !rate || !level || !queue)
                    return fail(QStringLiteral("a GStreamer element is missing (plugins base, good)"));
                const CapsRef caps = CapsRef::adopt(gst_caps_from_string(
                    QStringLiteral("audio/x-raw, format=S16LE, layout=interleaved, rate=%1, "
                                   "channels=[1,2]")
                        .arg(kSoundRate)
                        .toUtf8()
                        .constData()));
                g_object_set(soundCaps.get(), "caps", caps.get(), nullptr);
                g_object_set(queue.get(), "max-size-time", guint64(m_maxQueued),
                             "max-size-buffers", 0u, "max-size-bytes", 0u, nullptr);
                g_object_set(level.get(), "interval", guint64(kLevelInterval), "post-messages",
                             TRUE, nullptr);
                gst_bin_add_many(bin, aconvert.get(), resample.get(), soundCaps.get(), rate.get(),
                                 level.get(), queue.get(), nullptr);
                // AVI stores sound without times: audiorate fills what a
                // microphone that starts late or skips leaves out.
                if (!gst_element_link_many(mic.get(), aconvert.get(), resample.get(),
                                           soundCaps.get(), rate.get(), level.get(), queue.get(),
                                           mux.get(), nullptr))
                    return fail(QStringLiteral("the microphone could not be linked"));
                m_microphone = mic;
                m_audioEntry = PadRef::adopt(gst_element_get_static_pad(aconvert.get(), "sink"));
            }
        }
    }

    // Same clock as the camera, running time from now: camera frames and
    // sound are stamped alike.
    m_clock = ClockRef::retain(settings.clock);
    gst_pipeline_use_clock(GST_PIPELINE(m_pipeline.get()), m_clock.get());
    gst_element_set_start_time(m_pipeline.get(), GST_CLOCK_TIME_NONE);
    m_start = gst_clock_get_time(m_clock.get());
    gst_element_set_base_time(m_pipeline.get(), m_start);

    const BusRef bus = BusRef::adopt(gst_element_get_bus(m_pipeline.get()));
    new BusWatch(bus.get(), [this](GstMessage *m) { onMessage(m); }, this);

    if (gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const QString cause = firstError(m_pipeline.get());
        return fail(cause.isEmpty() ? QStringLiteral("the recording could not be started") : cause);
    }
    return true;
}

void Recorder::pushFrame(GstSample *sample)
{
    if (m_ended.load())
        return;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    const GstSegment *segment = gst_sample_get_segment(sample);
    if (!buffer || !segment || !GST_BUFFER_PTS_IS_VALID(buffer))
        return;
    const GstClockTime running =
        gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (!GST_CLOCK_TIME_IS_VALID(running) || m_cameraBase + running < m_start)
        return;

    GstAppSrc *src = GST_APP_SRC(m_appsrc.get());
    if (!m_capsSet.exchange(true))
        gst_app_src_set_caps(src, gst_sample_get_caps(sample));
    if (gst_app_src_get_current_level_buffers(src) * m_frameDuration >= m_maxQueued) {
        ++m_overflowed;
        return;
    }
    // The first picture sets the pace: stamped from the moment the recording
    // started, a camera running at the capture rate would sit between
    // videorate's slots and get one picture repeated. Slots before it are
    // filled with it; they are the start, not pictures the camera missed.
    GstClockTime pts = m_cameraBase + running - m_start;
    if (!m_firstPushed) {
        m_firstPushed = true;
        m_lead = pts % m_frameDuration;
        m_startRepeats = pts / m_frameDuration;
    }
    if (pts < m_lead)
        return;
    pts -= m_lead;
    // A new buffer around the same memory, stamped on the recording's clock.
    GstBuffer *stamped = gst_buffer_copy(buffer);
    GST_BUFFER_PTS(stamped) = pts;
    GST_BUFFER_DTS(stamped) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(src, stamped);
}

void Recorder::finish()
{
    if (m_ended.exchange(true) || !m_pipeline)
        return;
    m_end = gst_clock_get_time(m_clock.get());
    gst_app_src_end_of_stream(GST_APP_SRC(m_appsrc.get()));
    if (m_microphone)
        gst_element_send_event(m_microphone.get(), gst_event_new_eos());
}

void Recorder::abandon()
{
    end(false, QStringLiteral("the recording did not finish in time, so the capture file may be "
                              "incomplete"));
}

void Recorder::onMessage(GstMessage *message)
{
    if (m_done)
        return;
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        end(true, QString());
        break;
    case GST_MESSAGE_ELEMENT:
        if (const GstStructure *s = gst_message_get_structure(message);
            s && gst_structure_has_name(s, "level"))
            onSoundLevel(s);
        break;
    case GST_MESSAGE_ERROR:
        if (isWithin(message, m_microphone.get())) {
            if (m_soundProblem.isEmpty()) {
                m_soundProblem = gstsupport::errorText(message);
                emit soundFailed(m_soundProblem);
            }
            // The picture goes on; the sound ends where the microphone did.
            if (m_audioEntry)
                gst_pad_send_event(m_audioEntry.get(), gst_event_new_eos());
        } else {
            end(false, writeFailure(message));
        }
        break;
    default:
        break;
    }
}

void Recorder::onSoundLevel(const GstStructure *level)
{
    // One value per channel; the loudest counts.
    // level hands its values over in a GValueArray still.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    const GValue *peaks = gst_structure_get_value(level, "peak");
    if (!peaks || !G_VALUE_HOLDS(peaks, g_value_array_get_type()))
        return;
    const GValueArray *values = static_cast<const GValueArray *>(g_value_get_boxed(peaks));
    std::optional<double> loudest;
    for (guint i = 0; values && i < values->n_values; ++i) {
        const GValue *v = g_value_array_get_nth(const_cast<GValueArray *>(values), i);
        if (G_VALUE_HOLDS_DOUBLE(v))
            loudest = std::max(loudest.value_or(-G_MAXDOUBLE), g_value_get_double(v));
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!loudest)
        return;
    m_soundPeak = std::min(0.0, *loudest);
    m_loudest = std::max(*m_soundPeak, m_loudest.value_or(*m_soundPeak));
}

void Recorder::end(bool complete, const QString &problem)
{
    if (m_done)
        return;
    // videorate clears its counters when it stops.
    m_finalWritten = rateCounter("out");
    m_finalDuplicated = rateCounter("duplicate");
    m_done = true;
    m_ended = true;
    if (!GST_CLOCK_TIME_IS_VALID(m_end.load()) && m_clock)
        m_end = gst_clock_get_time(m_clock.get());
    if (m_pipeline)
        gstsupport::shutDown(m_pipeline.get());
    emit finished(complete, problem);
}

double Recorder::seconds() const
{
    if (!m_clock || !GST_CLOCK_TIME_IS_VALID(m_start))
        return 0.0;
    const GstClockTime end = GST_CLOCK_TIME_IS_VALID(m_end.load()) ? m_end.load()
                                                                    : gst_clock_get_time(m_clock.get());
    return end > m_start ? double(end - m_start) / GST_SECOND : 0.0;
}

quint64 Recorder::rateCounter(const char *name) const
{
    guint64 value = 0;
    if (m_videorate)
        g_object_get(m_videorate.get(), name, &value, nullptr);
    return value;
}

quint64 Recorder::framesWritten() const
{
    return m_done ? m_finalWritten : rateCounter("out");
}

quint64 Recorder::framesDuplicated() const
{
    const quint64 repeats = m_done ? m_finalDuplicated : rateCounter("duplicate");
    return repeats - std::min(repeats, m_startRepeats.load());
}
