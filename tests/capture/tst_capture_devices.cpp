// The device list and the live picture, from the test cameras.
#include "CaptureTestSupport.h"
#include "JpegPreview.h"

#include <QBuffer>
#include <QSignalSpy>
#include <stdexcept>

using namespace capturetest;

class CaptureDevicesTest : public QObject
{
    Q_OBJECT
private slots:
    void listsTheMonitorsCameras_data();
    void listsTheMonitorsCameras();
    void noCameraMeansNoDeviceToChoose();
    void theMicrophoneIsTheServersDefaultOrTheChosenOne_data();
    void theMicrophoneIsTheServersDefaultOrTheChosenOne();
    void livePictureReachesTheView();
    void livePictureFollowsTheChosenDevice();
    void cameraThatCannotStartIsReported();
    void viewSetLaterStillGetsThePicture();
    void jpegPicturesAreDecodedSmallAndDamageIsSkipped();
};

void CaptureDevicesTest::listsTheMonitorsCameras_data()
{
    QTest::addColumn<int>("cameras");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("none") << 0 << QStringList();
    QTest::newRow("one") << 1 << QStringList{"Test Camera"};
    QTest::newRow("three") << 3 << QStringList{"Test Camera", "Test Camera 2", "Test Camera 3"};
}

void CaptureDevicesTest::listsTheMonitorsCameras()
{
    QFETCH(int, cameras);
    QFETCH(QStringList, names);
    // Microphones are devices too, but not capture devices.
    useTestDevices(cameras, 1);
    GstCapture capture;
    QCOMPARE(capture.deviceCount(), int32_t(names.size()));
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(capture.deviceName(i), names[i]);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, (void)capture.deviceName(int32_t(names.size())));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, (void)capture.deviceName(-1));
}

void CaptureDevicesTest::noCameraMeansNoDeviceToChoose()
{
    useTestDevices(0, 0);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    QVERIFY(!capture.isLive());
    // The window's "dummy" entry sets device 0 even when there is none.
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, capture.setCurrentDevice(0));
    QVERIFY(!capture.sourceDialogAvailable());
    QVERIFY(!capture.formatDialogAvailable());
    QVERIFY(!capture.displayDialogAvailable());
}

void CaptureDevicesTest::theMicrophoneIsTheServersDefaultOrTheChosenOne_data()
{
    QTest::addColumn<QList<uint>>("flags");
    QTest::addColumn<int>("current");
    const uint monitor = MIRABO_TEST_DEVICE_MONITOR;
    const uint isDefault = MIRABO_TEST_DEVICE_DEFAULT;
    QTest::newRow("none") << QList<uint>{} << -1;
    QTest::newRow("none marked default") << QList<uint>{monitor, 0, 0} << 1;
    QTest::newRow("the default") << QList<uint>{monitor, 0, isDefault} << 2;
    // PulseAudio's default source on a computer without a microphone
    QTest::newRow("a monitor as the default") << QList<uint>{monitor | isDefault, 0} << 1;
    QTest::newRow("only a monitor") << QList<uint>{monitor | isDefault} << -1;
}

void CaptureDevicesTest::theMicrophoneIsTheServersDefaultOrTheChosenOne()
{
    QFETCH(QList<uint>, flags);
    QFETCH(int, current);
    gstsupport::ensureInitialised();
    QVERIFY(testcamera::registerTestMicrophones(1, {flags.begin(), flags.end()}));
    GstCapture capture;
    QCOMPARE(capture.microphoneCount(), int32_t(flags.size()));
    QCOMPARE(capture.currentMicrophone(), current);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, capture.setCurrentMicrophone(int32_t(flags.size())));
    if (!flags.isEmpty()) {   // chosen, even a monitor
        capture.setCurrentMicrophone(0);
        QCOMPARE(capture.currentMicrophone(), 0);
    }
}

void CaptureDevicesTest::livePictureReachesTheView()
{
    useTestDevices(1, 0);
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    QVERIFY(capture.isLive());
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() >= 10, 5000);
    QVERIFY(view.isStretched());
    // Scaled in GStreamer to the view, in the camera's 4:3.
    const QImage frame = view.currentFrame();
    QCOMPARE(frame.width(), 257);
    QVERIFY(qAbs(frame.height() - 193) <= 1);
    // Colour bars: the middle bar is green.
    QVERIFY2(isMostly(centreColour(view), 1), qPrintable(centreColour(view).name()));
}

void CaptureDevicesTest::livePictureFollowsTheChosenDevice()
{
    useTestDevices(3, 0);
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    QCOMPARE(capture.currentDevice(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(isMostly(centreColour(view), 1), 5000);

    capture.setCurrentDevice(2);   // "Test Camera 3" is blue
    QCOMPARE(capture.currentDevice(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(isMostly(centreColour(view), 2), 5000);
    capture.setCurrentDevice(1);   // "Test Camera 2" is red
    QTRY_VERIFY_WITH_TIMEOUT(isMostly(centreColour(view), 0), 5000);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, capture.setCurrentDevice(3));
    QCOMPARE(capture.currentDevice(), 1);
}

void CaptureDevicesTest::cameraThatCannotStartIsReported()
{
    testcamera::Faults faults;
    faults.cameraFailingToStart = 1;
    useTestDevices(2, 0, faults);
    GstCapture capture;
    QSignalSpy status(&capture, &GstCapture::statusText);
    VideoView view;
    capture.setView(&view);
    QVERIFY(!capture.isLive());
    QTRY_COMPARE(status.size(), 1);
    QCOMPARE(status[0][0].toInt(), GstCapture::kStatusError);
    QVERIFY2(status[0][1].toString().contains("in use by another program"),
             qPrintable(status[0][1].toString()));

    // The other camera works.
    capture.setCurrentDevice(1);
    QVERIFY(capture.isLive());
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() > 0, 5000);
}

void CaptureDevicesTest::viewSetLaterStillGetsThePicture()
{
    useTestDevices(1, 0);
    GstCapture capture;
    QCOMPARE(capture.deviceCount(), 1);
    QVERIFY(!capture.isLive());   // nothing to show it in yet
    VideoView first;
    capture.setView(&first);
    QTRY_VERIFY_WITH_TIMEOUT(first.framesShown() > 0, 5000);

    VideoView second;
    capture.setView(&second);
    const quint64 firstCount = first.framesShown();
    QTRY_VERIFY_WITH_TIMEOUT(second.framesShown() > 3, 5000);
    QVERIFY(first.framesShown() <= firstCount + 1);

    capture.setView(nullptr);
    QVERIFY(!capture.isLive());
}

QTEST_MAIN(CaptureDevicesTest)
#include "tst_capture_devices.moc"

void CaptureDevicesTest::jpegPicturesAreDecodedSmallAndDamageIsSkipped()
{
    QImage source(1280, 720, QImage::Format_RGB32);
    source.fill(QColor(220, 30, 30));
    QByteArray jpeg;
    QBuffer out(&jpeg);
    QVERIFY(out.open(QIODevice::WriteOnly) && source.save(&out, "JPG"));
    auto decode = [](const QByteArray &bytes, QSize atLeast) {
        return decodeJpegPreview(reinterpret_cast<const uchar *>(bytes.constData()),
                                 size_t(bytes.size()), atLeast);
    };

    // The smallest of 1/8, 1/4, 1/2 and 1 that covers the view, never more.
    const QImage view = decode(jpeg, QSize(257, 144));
    QCOMPARE(view.size(), QSize(320, 180));
    QVERIFY(isMostly(view.pixelColor(160, 90), 0));
    QCOMPARE(decode(jpeg, QSize(640, 360)).size(), QSize(640, 360));
    QCOMPARE(decode(jpeg, QSize(1920, 1080)).size(), QSize(1280, 720));

    // Webcams leave out the standard Huffman tables.
    QByteArray bare = jpeg;
    for (qsizetype at; (at = bare.indexOf("\xFF\xC4")) > 0;)
        bare.remove(at, 2 + (uchar(bare[at + 2]) << 8 | uchar(bare[at + 3])));
    QVERIFY(bare.size() < jpeg.size());
    QVERIFY(isMostly(decode(bare, QSize(257, 144)).pixelColor(160, 90), 0));

    // A picture cut short still shows what arrived; what is not a picture,
    // or claims to be enormous, shows nothing, and nothing is printed.
    QCOMPARE(decode(jpeg.left(jpeg.size() / 2), QSize(257, 144)).size(), QSize(320, 180));
    QVERIFY(decode(QByteArray(), QSize(257, 144)).isNull());
    QVERIFY(decode(QByteArray("\xFF\xD8\xFF\xE0 not a picture"), QSize(257, 144)).isNull());
    QByteArray huge = jpeg;
    const qsizetype frame = huge.indexOf("\xFF\xC0");
    QVERIFY(frame > 0);
    huge.replace(frame + 5, 4, QByteArray("\xFF\xF0\xFF\xF0", 4));   // 65520 x 65520
    QVERIFY(decode(huge, QSize(60000, 60000)).isNull());
}
