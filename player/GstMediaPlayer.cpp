#include "GstMediaPlayer.h"

#include "VideoView.h"

#include <QFileInfo>
#include <cmath>
#include <stdexcept>

using gstsupport::isWithin;

namespace {

constexpr float kTwipsPerPixel = 15.0f;
constexpr guint kPlayFlagAudio = 1u << 1;   // GST_PLAY_FLAG_AUDIO
const QSize kFallbackSize(320, 240);

int pixels(float twips, const char *what)
{
    if (!std::isfinite(twips) || twips < 0 || twips > 1.0e6f)
        throw std::invalid_argument(std::string("The player's ") + what
                                    + " must be a size in twips from 0 to 1000000.");
    return int(std::lround(twips / kTwipsPerPixel));
}

} // namespace

GstMediaPlayer::GstMediaPlayer(QObject *parent)
    : MediaPlayer(parent)
{
    gstsupport::ensureInitialised();
}

GstMediaPlayer::~GstMediaPlayer()
{
    if (m_playbin)
        gstsupport::shutDown(m_playbin.get());
}

void GstMediaPlayer::setView(VideoView *view)
{
    m_view = view;
    m_frames.setView(view);
    if (!view)
        return;
    view->setStretched(false);
    if (m_givenSize.isValid())
        view->resize(m_givenSize);
    applyPictureSize();
}

QSize GstMediaPlayer::viewSize() const
{
    if (m_view && !m_view->size().isEmpty())
        return m_view->size();
    return m_givenSize.isValid() && !m_givenSize.isEmpty() ? m_givenSize : kFallbackSize;
}

void GstMediaPlayer::ensurePipeline()
{
    if (m_playbin)
        return;
    ElementRef playbin = makeElement("playbin", "player");
    ElementRef picture = makeElement("bin", "picture");
    ElementRef scale = makeElement("videoscale");
    ElementRef convert = makeElement("videoconvert");
    ElementRef caps = makeElement("capsfilter", "picture-caps");
    ElementRef sink = makeElement("appsink", "picture-sink");
    if (!playbin || !scale || !convert || !caps || !sink)
        throw std::runtime_error("GStreamer's playback elements are missing (plugins base).");

    gst_bin_add_many(GST_BIN(picture.get()), scale.get(), convert.get(), caps.get(), sink.get(),
                     nullptr);
    gst_element_link_many(scale.get(), convert.get(), caps.get(), sink.get(), nullptr);
    const PadRef scaleSink = PadRef::adopt(gst_element_get_static_pad(scale.get(), "sink"));
    gst_element_add_pad(picture.get(), gst_ghost_pad_new("sink", scaleSink.get()));
    g_object_set(sink.get(), "max-buffers", 1u, "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &GstMediaPlayer::onSample;
    callbacks.new_preroll = &GstMediaPlayer::onPreroll;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, this, nullptr);
    g_object_set(playbin.get(), "video-sink", picture.get(), nullptr);
    // Our own, so that its errors can be told from the clip's.
    m_audioSink = makeElement("autoaudiosink", "sound");
    if (m_audioSink)
        g_object_set(playbin.get(), "audio-sink", m_audioSink.get(), nullptr);

    m_playbin = playbin;
    m_pictureCaps = caps;
    applyPictureSize();
    const BusRef bus = BusRef::adopt(gst_element_get_bus(m_playbin.get()));
    new BusWatch(bus.get(), [this](GstMessage *m) { onMessage(m); }, this);
}

void GstMediaPlayer::applyPictureSize()
{
    if (!m_pictureCaps)
        return;
    // Fitted into the view in the clip's proportions: videoscale picks the
    // largest size in these ranges that keeps them.
    const QSize box = viewSize().expandedTo(QSize(16, 16));
    const CapsRef caps = CapsRef::adopt(gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, "BGRx", "pixel-aspect-ratio", GST_TYPE_FRACTION, 1,
        1, "width", GST_TYPE_INT_RANGE, 16, box.width(), "height", GST_TYPE_INT_RANGE, 16,
        box.height(), nullptr));
    g_object_set(m_pictureCaps.get(), "caps", caps.get(), nullptr);
}

void GstMediaPlayer::close()
{
    if (m_playbin)
        gstsupport::shutDown(m_playbin.get());
    m_frames.drop();
    if (m_view)
        m_view->clear();
    m_file.clear();
    m_ended = false;
    m_wantPlaying = false;
}

void GstMediaPlayer::setFileName(const QString &path)
{
    close();
    if (path.isEmpty())
        return;
    if (!QFileInfo(path).isFile())
        throw std::runtime_error(
            QStringLiteral("There is no clip at %1.").arg(path).toStdString());
    ensurePipeline();
    GCharPtr uri(gst_filename_to_uri(QFileInfo(path).absoluteFilePath().toUtf8().constData(),
                                     nullptr));
    if (!uri.get())
        throw std::runtime_error("The clip's name cannot be used.");
    guint flags = 0;
    g_object_get(m_playbin.get(), "flags", &flags, nullptr);
    m_withoutSound = !m_audioSink;
    flags = m_withoutSound ? flags & ~kPlayFlagAudio : flags | kPlayFlagAudio;
    g_object_set(m_playbin.get(), "uri", uri.get(), "flags", flags, nullptr);
    m_file = path;
    m_wantPlaying = m_autoStart;
    // PAUSED shows the first picture.
    gst_element_set_state(m_playbin.get(), m_autoStart ? GST_STATE_PLAYING : GST_STATE_PAUSED);
}

void GstMediaPlayer::play()
{
    if (!m_playbin || m_file.isEmpty())
        return;
    if (m_ended) {
        m_ended = false;
        gst_element_set_state(m_playbin.get(), GST_STATE_PAUSED);
        gst_element_get_state(m_playbin.get(), nullptr, nullptr, GST_SECOND);
        gst_element_seek_simple(m_playbin.get(), GST_FORMAT_TIME,
                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
    }
    m_wantPlaying = true;
    gst_element_set_state(m_playbin.get(), GST_STATE_PLAYING);
}

bool GstMediaPlayer::isPlaying() const
{
    if (!m_playbin)
        return false;
    GstState state = GST_STATE_NULL;
    gst_element_get_state(m_playbin.get(), &state, nullptr, 0);
    return state == GST_STATE_PLAYING && !m_ended;
}

void GstMediaPlayer::onMessage(GstMessage *message)
{
    if (!m_playbin || !isWithin(message, m_playbin.get()))
        return;
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        // The last picture stays in the view; play() starts over.
        m_ended = true;
        break;
    case GST_MESSAGE_ERROR: {
        if (!m_withoutSound && isWithin(message, m_audioSink.get())) {
            // No sound output here: the clip plays on without sound.
            m_withoutSound = true;
            gint64 position = 0;
            gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &position);
            gstsupport::shutDown(m_playbin.get());
            guint flags = 0;
            g_object_get(m_playbin.get(), "flags", &flags, nullptr);
            g_object_set(m_playbin.get(), "flags", flags & ~kPlayFlagAudio, nullptr);
            gst_element_set_state(m_playbin.get(), GST_STATE_PAUSED);
            gst_element_get_state(m_playbin.get(), nullptr, nullptr, GST_SECOND);
            gst_element_seek_simple(m_playbin.get(), GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, position);
            if (m_wantPlaying)
                gst_element_set_state(m_playbin.get(), GST_STATE_PLAYING);
            return;
        }
        // A clip that cannot be played is left closed; nobody waits for it.
        gstsupport::shutDown(m_playbin.get());
        m_ended = true;
        break;
    }
    case GST_MESSAGE_ASYNC_DONE:
        if (m_autoSize)
            fitViewToClip();
        break;
    default:
        break;
    }
}

void GstMediaPlayer::fitViewToClip()
{
    if (!m_view || !m_playbin)
        return;
    GstPad *pad = nullptr;
    g_signal_emit_by_name(m_playbin.get(), "get-video-pad", 0, &pad);
    const PadRef videoPad = PadRef::adopt(pad);
    const CapsRef caps = videoPad ? CapsRef::adopt(gst_pad_get_current_caps(videoPad.get()))
                                  : CapsRef();
    int width = 0, height = 0;
    if (!caps || !gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "width", &width)
        || !gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "height", &height))
        return;
    QSize size(width, height);
    switch (m_displaySize) {
    case 0: break;
    case 1: size *= 2; break;
    case 2: size /= 2; break;
    default: return;   // fitted into the view as it is
    }
    if (size != m_view->size()) {
        m_view->resize(size);
        applyPictureSize();
    }
}

void GstMediaPlayer::setAutoStart(bool on)
{
    m_autoStart = on;
}

void GstMediaPlayer::setAutoSize(bool on)
{
    m_autoSize = on;
    if (on)
        fitViewToClip();
}

void GstMediaPlayer::setDisplaySize(int32_t mode)
{
    if (mode < 0 || mode > 4)
        throw std::invalid_argument("The display size must be 0 to 4.");
    m_displaySize = mode;
    if (m_autoSize)
        fitViewToClip();
}

void GstMediaPlayer::setHeight(float twips)
{
    m_givenSize.setHeight(pixels(twips, "height"));
    if (m_givenSize.width() < 0)
        m_givenSize.setWidth(m_view ? m_view->width() : kFallbackSize.width());
    if (m_view)
        m_view->resize(m_view->width(), m_givenSize.height());
    applyPictureSize();
}

void GstMediaPlayer::setWidth(float twips)
{
    m_givenSize.setWidth(pixels(twips, "width"));
    if (m_givenSize.height() < 0)
        m_givenSize.setHeight(m_view ? m_view->height() : kFallbackSize.height());
    if (m_view)
        m_view->resize(m_givenSize.width(), m_view->height());
    applyPictureSize();
}

GstFlowReturn GstMediaPlayer::onSample(GstAppSink *sink, gpointer self)
{
    const SampleRef sample = SampleRef::adopt(gst_app_sink_pull_sample(sink));
    if (sample)
        static_cast<GstMediaPlayer *>(self)->m_frames.post(gstsupport::imageFromSample(sample.get()));
    return GST_FLOW_OK;
}

GstFlowReturn GstMediaPlayer::onPreroll(GstAppSink *sink, gpointer self)
{
    const SampleRef sample = SampleRef::adopt(gst_app_sink_pull_preroll(sink));
    if (sample)
        static_cast<GstMediaPlayer *>(self)->m_frames.post(gstsupport::imageFromSample(sample.get()));
    return GST_FLOW_OK;
}
