// The capture component's device dialogs, driven as a person would.
#include "CaptureTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <stdexcept>

using namespace capturetest;

namespace {

// Acts on the modal dialog named objectName once it is up, then closes it
// with the given button after closeAfterMs (the live picture goes on meanwhile).
void whenShown(const QString &objectName, const std::function<void(QDialog *)> &act,
               QDialogButtonBox::StandardButton close, int closeAfterMs = 0)
{
    QTimer::singleShot(0, [=] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != objectName) {
            QFAIL(qPrintable("no modal " + objectName));
            return;
        }
        act(dialog);
        QTimer::singleShot(closeAfterMs, dialog, [dialog, close] {
            dialog->findChild<QDialogButtonBox *>("buttons")->button(close)->click();
        });
    });
}

QStringList itemTexts(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

double liveLuma(VideoView &view)
{
    const quint64 seen = view.framesShown();
    if (!QTest::qWaitFor([&] { return view.framesShown() > seen + 2; }, 5000))
        return -1;
    return meanLuma(view.currentFrame());
}

} // namespace

class CaptureDialogsTest : public QObject
{
    Q_OBJECT
private slots:
    void availabilityFollowsTheDevice_data();
    void availabilityFollowsTheDevice();
    void formatChoiceReachesLivePictureAndRecording();
    void pictureControlsChangeTheLivePicture();
    void displayOptionsReachTheView();
};

void CaptureDialogsTest::availabilityFollowsTheDevice_data()
{
    QTest::addColumn<bool>("plainCamera");
    QTest::addColumn<bool>("withView");
    QTest::addColumn<bool>("source");
    QTest::addColumn<bool>("format");
    QTest::addColumn<bool>("display");
    QTest::newRow("camera with controls") << false << true << true << true << true;
    QTest::newRow("camera without controls") << true << true << false << false << true;
    QTest::newRow("no live picture") << false << false << false << true << false;
}

void CaptureDialogsTest::availabilityFollowsTheDevice()
{
    QFETCH(bool, plainCamera);
    QFETCH(bool, withView);
    QFETCH(bool, source);
    QFETCH(bool, format);
    QFETCH(bool, display);
    testcamera::Faults faults;
    faults.cameraWithoutControls = plainCamera ? 1 : 0;
    useTestDevices(1, 0, faults);
    GstCapture capture;
    VideoView view;
    if (withView)
        capture.setView(&view);
    QCOMPARE(capture.sourceDialogAvailable(), source);
    QCOMPARE(capture.formatDialogAvailable(), format);
    QCOMPARE(capture.displayDialogAvailable(), display);
    if (!source)
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, capture.showSourceDialog());
    if (!format)
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, capture.showFormatDialog());
    if (!display)
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, capture.showDisplayDialog());
}

void CaptureDialogsTest::formatChoiceReachesLivePictureAndRecording()
{
    useTestDevices(1, 0);
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    QCOMPARE(capture.currentFormat()->size, QSize(640, 480));
    QCOMPARE(capture.currentFormat()->fps(), 25.0);

    QStringList sizes, rates;
    whenShown("FormatDialog", [&](QDialog *d) {
        auto *sizeBox = d->findChild<QComboBox *>("sizeBox");
        auto *rateBox = d->findChild<QComboBox *>("rateBox");
        sizes = itemTexts(sizeBox);
        sizeBox->setCurrentIndex(sizeBox->findText("320 × 240"));
        rates = itemTexts(rateBox);
        rateBox->setCurrentIndex(rateBox->findText("30 frames per second"));
    }, QDialogButtonBox::Ok);
    capture.showFormatDialog();
    QCOMPARE(sizes, (QStringList{"320 × 240", "640 × 480", "1280 × 720"}));
    QCOMPARE(rates, (QStringList{"15 frames per second", "25 frames per second",
                                 "30 frames per second"}));
    QCOMPARE(capture.currentFormat()->size, QSize(320, 240));
    QCOMPARE(capture.currentFormat()->fps(), 30.0);
    QVERIFY(capture.isLive());
    const quint64 seen = view.framesShown();
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() > seen + 5, 5000);

    // Cancel changes nothing.
    whenShown("FormatDialog", [](QDialog *d) {
        auto *sizeBox = d->findChild<QComboBox *>("sizeBox");
        sizeBox->setCurrentIndex(sizeBox->findText("1280 × 720"));
    }, QDialogButtonBox::Cancel);
    capture.showFormatDialog();
    QCOMPARE(capture.currentFormat()->size, QSize(320, 240));

    // Recordings take the camera's size, at the capture rate.
    QTemporaryDir dir;
    const QString file = dir.filePath("video.avi");
    applyWindowSettings(capture);
    capture.setTimeLimitEnabled(true);
    capture.setTimeLimitSeconds(1);
    capture.setCaptureFileName(file);
    QSignalSpy ended(&capture, &CaptureComponent::captureEnded);
    capture.startCapture();
    QVERIFY(ended.wait(30000));
    QCOMPARE(ended[0][0].toBool(), true);
    const Clip clip = probeClip(file);
    QCOMPARE(clip.ofType("video").size(), 1);
    const QJsonObject video = clip.ofType("video").first();
    QCOMPARE(video.value("width").toInt(), 320);
    QCOMPARE(video.value("height").toInt(), 240);
    QCOMPARE(video.value("r_frame_rate").toString(), QString("25/1"));
}

void CaptureDialogsTest::pictureControlsChangeTheLivePicture()
{
    useTestDevices(2, 0);
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    const double normal = liveLuma(view);
    QVERIFY(normal > 0);

    QStringList controls;
    double duringDialog = -1;
    whenShown("SourceDialog", [&](QDialog *d) {
        for (QSlider *s : d->findChildren<QSlider *>())
            controls << s->objectName();
        auto *brightness = d->findChild<QSlider *>("control-brightness");
        brightness->setValue(brightness->maximum() / 2);
        QTimer::singleShot(400, [&] { duringDialog = meanLuma(view.currentFrame()); });
    }, QDialogButtonBox::Ok, 800);
    capture.showSourceDialog();
    controls.sort();
    QCOMPARE(controls, (QStringList{"control-brightness", "control-contrast", "control-hue",
                                    "control-saturation"}));
    // Live while the dialog is open, and kept after OK.
    QVERIFY2(duringDialog > normal + 40, qPrintable(QString("%1 -> %2").arg(normal).arg(duringDialog)));
    const double bright = liveLuma(view);
    QVERIFY(bright > normal + 40);

    // Cancel puts back what was there when the dialog opened.
    whenShown("SourceDialog", [](QDialog *d) {
        auto *brightness = d->findChild<QSlider *>("control-brightness");
        brightness->setValue(brightness->minimum());
    }, QDialogButtonBox::Cancel, 300);
    capture.showSourceDialog();
    QVERIFY(qAbs(liveLuma(view) - bright) < 15);

    // The setting belongs to its camera for the rest of the run.
    capture.setCurrentDevice(1);
    QTRY_VERIFY_WITH_TIMEOUT(isMostly(centreColour(view), 0), 5000);
    capture.setCurrentDevice(0);
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(meanLuma(view.currentFrame()) - bright) < 15, 5000);
}

void CaptureDialogsTest::displayOptionsReachTheView()
{
    useTestDevices(1, 0);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    QVERIFY(view.isStretched());
    QVERIFY(!view.isMirrored());

    bool proportionWas = true, mirrorWas = true;
    whenShown("DisplayDialog", [&](QDialog *d) {
        auto *proportion = d->findChild<QCheckBox *>("proportionBox");
        auto *mirror = d->findChild<QCheckBox *>("mirrorBox");
        proportionWas = proportion->isChecked();
        mirrorWas = mirror->isChecked();
        proportion->setChecked(true);
        mirror->setChecked(true);
    }, QDialogButtonBox::Ok);
    capture.showDisplayDialog();
    QVERIFY(!proportionWas);
    QVERIFY(!mirrorWas);
    QVERIFY(!view.isStretched());
    QVERIFY(view.isMirrored());

    whenShown("DisplayDialog", [](QDialog *d) {
        d->findChild<QCheckBox *>("mirrorBox")->setChecked(false);
    }, QDialogButtonBox::Cancel);
    capture.showDisplayDialog();
    QVERIFY(view.isMirrored());

    // A new view gets the options the user chose.
    VideoView other;
    capture.setView(&other);
    QVERIFY(!other.isStretched());
    QVERIFY(other.isMirrored());
}

QTEST_MAIN(CaptureDialogsTest)
#include "tst_capture_dialogs.moc"
