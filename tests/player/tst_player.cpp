// The media player: clips made here with GStreamer, played into a view.
#include "GstMediaPlayer.h"
#include "VideoView.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <stdexcept>

namespace {

// An AVI like the capture component's: MJPEG and PCM.
bool makeClip(const QString &path, int width, int height, int frames)
{
    const QString description =
        QString("videotestsrc num-buffers=%1 ! video/x-raw,width=%2,height=%3,framerate=25/1 ! "
                "jpegenc ! avimux name=mux ! filesink location=\"%4\" "
                "audiotestsrc num-buffers=%5 samplesperbuffer=1764 ! "
                "audio/x-raw,format=S16LE,rate=44100,channels=1 ! mux.")
            .arg(frames).arg(width).arg(height).arg(path).arg(frames);
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(description.toUtf8().constData(), &error);
    if (error) {
        g_error_free(error);
        if (pipeline)
            gst_object_unref(pipeline);
        return false;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *end = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                                 GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
    if (end)
        gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

bool processHoldsOpen(const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QDir fds("/proc/self/fd");
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == wanted)
            return true;
    return false;
}

// The window's player set-up before every recording.
void setUpLikeTheWindow(GstMediaPlayer &player)
{
    player.setFileName(QString());
    player.setAutoStart(false);
    player.setAutoSize(false);
    player.setDisplaySize(4);
    player.setHeight(2970.0f);
    player.setWidth(3885.0f);
}

} // namespace

class PlayerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void playsTheClipInProportionWithoutBlocking();
    void emptyNameClosesTheClipAndFreesTheFile();
    void missingOrBrokenClipNeitherPlaysNorHangs();
    void autoStartAndAutoSizeFollowTheirSettings_data();
    void autoStartAndAutoSizeFollowTheirSettings();
    void sizesOutOfRangeAreRefused();

private:
    QTemporaryDir m_dir;
    QString m_clip;        // 640 x 480, 1.2 s
    QString m_smallClip;   // 320 x 240, 1 s
};

void PlayerTest::initTestCase()
{
    gst_init(nullptr, nullptr);
    QVERIFY(m_dir.isValid());
    m_clip = m_dir.filePath("video.avi");
    m_smallClip = m_dir.filePath("small.avi");
    QVERIFY(makeClip(m_clip, 640, 480, 30));
    QVERIFY(makeClip(m_smallClip, 320, 240, 25));
}

void PlayerTest::playsTheClipInProportionWithoutBlocking()
{
    GstMediaPlayer player;
    VideoView view;
    player.setView(&view);
    setUpLikeTheWindow(player);
    QCOMPARE(view.size(), QSize(259, 198));
    QVERIFY(!view.isStretched());

    player.setFileName(m_clip);
    // Opening shows the first picture and waits for play().
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= 1, 5000);
    QTest::qWait(300);
    QCOMPARE(view.framesShown(), quint64(1));
    QVERIFY(!player.isPlaying());

    player.play();
    QVERIFY(!player.hasEnded());
    // A second picture shows it plays; more would be a frame rate, which
    // playback does not keep on a loaded machine.
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= 2, 5000);
    const QImage frame = view.currentFrame();
    QCOMPARE(frame.width(), 259);
    QVERIFY(qAbs(frame.height() - 194) <= 1);   // 4:3 inside 259 x 198
    QTRY_VERIFY_WITH_TIMEOUT(player.hasEnded(), 5000);
    QVERIFY(!view.currentFrame().isNull());   // the last picture stays

    // Play again starts over.
    const quint64 before = view.framesShown();
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= before + 2, 5000);
}

void PlayerTest::emptyNameClosesTheClipAndFreesTheFile()
{
    const QString copy = m_dir.filePath("copy.avi");
    QVERIFY(QFile::copy(m_clip, copy));
    GstMediaPlayer player;
    VideoView view;
    player.setView(&view);
    player.setFileName(copy);
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= 3, 5000);
    QVERIFY(processHoldsOpen(copy));

    player.setFileName(QString());
    QVERIFY(!processHoldsOpen(copy));
    QVERIFY(view.currentFrame().isNull());
    QVERIFY(QFile::remove(copy));
    player.play();   // nothing open: nothing happens
    QVERIFY(!player.isPlaying());
}

void PlayerTest::missingOrBrokenClipNeitherPlaysNorHangs()
{
    GstMediaPlayer player;
    VideoView view;
    player.setView(&view);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, player.setFileName(m_dir.filePath("none.avi")));
    player.play();
    QVERIFY(player.fileName().isEmpty());

    const QString broken = m_dir.filePath("broken.avi");
    QFile f(broken);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    player.setFileName(broken);
    player.play();
    QTest::qWait(500);
    QCOMPARE(view.framesShown(), quint64(0));
    QTRY_VERIFY_WITH_TIMEOUT(!processHoldsOpen(broken), 5000);

    // The player is still good for a proper clip.
    player.setFileName(m_clip);
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= 5, 5000);
}

void PlayerTest::autoStartAndAutoSizeFollowTheirSettings_data()
{
    QTest::addColumn<int>("displaySize");
    QTest::addColumn<QSize>("viewSize");
    QTest::newRow("own size") << 0 << QSize(320, 240);
    QTest::newRow("double") << 1 << QSize(640, 480);
    QTest::newRow("half") << 2 << QSize(160, 120);
    QTest::newRow("fitted") << 4 << QSize(259, 198);
}

void PlayerTest::autoStartAndAutoSizeFollowTheirSettings()
{
    QFETCH(int, displaySize);
    QFETCH(QSize, viewSize);
    GstMediaPlayer player;
    VideoView view;
    player.setView(&view);
    setUpLikeTheWindow(player);
    player.setAutoStart(true);
    player.setAutoSize(true);
    player.setDisplaySize(displaySize);
    player.setFileName(m_smallClip);
    // No play(): it starts by itself, and plays through. Playback drops late
    // pictures, so under the sanitizers a count of them is no proof.
    QTRY_VERIFY_WITH_TIMEOUT(player.hasEnded(), 10000);
    QVERIFY(view.framesShown() >= 2);
    QCOMPARE(view.size(), viewSize);
    // Never larger than the view and in the clip's proportions; the view
    // enlarges it when painting.
    const QSize picture = view.currentFrame().size();
    QVERIFY(picture.width() <= viewSize.width() && picture.height() <= viewSize.height());
    QVERIFY(qAbs(picture.width() * 3 - picture.height() * 4) <= 4);
}

void PlayerTest::sizesOutOfRangeAreRefused()
{
    GstMediaPlayer player;
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, player.setHeight(-15.0f));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, player.setWidth(std::nanf("")));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, player.setDisplaySize(5));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, player.setDisplaySize(-1));
}

QTEST_MAIN(PlayerTest)
#include "tst_player.moc"
