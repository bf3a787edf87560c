// The window at larger desktop fonts: every text fits where it is drawn, and
// the pictures leave their frames' captions clear. CTest runs it again with
// QT_SCALE_FACTOR set, which Qt reads once at start.
#include "WindowRig.h"

#include <QMenuBar>
#include <QPainter>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleOptionFrame>

using namespace windowtest;

namespace {

const QString kFrom = QStringLiteral("\"Ann Smith\" ann@example.com");

// Where `text` leaves ink when drawn as QPainter::drawText(area, flags, text)
// draws it at the screen's pixel ratio, in device pixels from the area's
// corner; empty when all of it stays inside the area.
QString overflow(const QFont &font, const QString &text, const QRect &area, int flags)
{
    const qreal dpr = qApp->devicePixelRatio();
    const int pad = 40;   // whole device pixels at the usual ratios
    QImage img((area.size() + QSize(2 * pad, 2 * pad)) * dpr, QImage::Format_RGB32);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(font);
    p.drawText(QRect(QPoint(pad, pad), area.size()), flags, text);
    p.end();
    QRect ink;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != 0xffffffff)
                ink |= QRect(x, y, 1, 1);
    const QRect inside(QPoint(pad, pad) * dpr, area.size() * dpr);
    if (inside.contains(ink))
        return {};
    return QStringLiteral("\"%1\" has ink at %2,%3 %4 x %5 px, the room is %6 x %7")
        .arg(text).arg(ink.x() - inside.x()).arg(ink.y() - inside.y()).arg(ink.width()).arg(ink.height())
        .arg(inside.width()).arg(inside.height());
}

// As QLineEdit paints: the text scrolls, losing its start, once it is wider
// than the box's contents less two pixels at each side and one for the cursor.
QString overflow(const QLineEdit *box)
{
    QStyleOptionFrame option;
    option.initFrom(box);
    option.rect = box->contentsRect();
    option.lineWidth = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box);
    option.state |= QStyle::State_Sunken;
    const QRect contents = box->style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, box)
                               .marginsRemoved(box->textMargins());
    const QFontMetricsF m(box->font());
    if (m.horizontalAdvance(box->text()) + 1 <= contents.width() - 4 && m.height() <= contents.height())
        return {};
    return QStringLiteral("\"%1\" does not fit %2 x %3 px").arg(box->text()).arg(contents.width()).arg(contents.height());
}

// The lowest row in which a frame's caption has ink, in device pixels: the
// frame drawn alone, without the picture inside.
int captionInkBottom(QGroupBox *frame, qreal dpr)
{
    QImage img(frame->size() * dpr, QImage::Format_RGB32);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::white);
    frame->render(&img, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    int bottom = -1;
    for (int y = 0; y < img.height() / 2; ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qGray(img.pixel(x, y)) < 100)
                bottom = y;
    return bottom;
}

} // namespace

class TestWindowScale : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestDevices(1, 0); }

    void everyTextFitsAtAnyFontSize_data()
    {
        QTest::addColumn<double>("points");
        QTest::newRow("default font") << 0.0;
        QTest::newRow("12 pt") << 12.0;
        QTest::newRow("14 pt") << 14.0;
    }
    void everyTextFitsAtAnyFontSize()
    {
        QFETCH(double, points);
        const QFont fontBefore = QApplication::font();
        const auto restore = qScopeGuard([&] { QApplication::setFont(fontBefore); });
        if (points > 0) {
            QFont desktop = fontBefore;
            desktop.setPointSizeF(points);
            QApplication::setFont(desktop);
        }
        const qreal dpr = qApp->devicePixelRatio();
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        const QString shots = qEnvironmentVariable("MIRABO_SCREENSHOTS");
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        QWidget *client = w.centralWidget();

        // the design's size at the default font, a larger one in proportion
        if (points == 0)
            QCOMPARE(client->size(), QSize(676, 480));
        else
            QVERIFY2(client->width() > 676 && qAbs(client->width() * 480 - client->height() * 676) <= 676,
                     qPrintable(QStringLiteral("%1 x %2").arg(client->width()).arg(client->height())));
        // the design's fonts grow with it
        QVERIFY(qAbs(w.Label1[3]->font().pointSizeF() / 11.25 - client->width() / 676.0) < 0.01);
        // Qt alone scales by the factor: the window's pixels are that many more
        QCOMPARE(w.grab().size(), w.size() * dpr);

        // the pictures begin below their captions
        for (QGroupBox *frame : {w.Frame1, w.Frame2}) {
            const int ink = captionInkBottom(frame, dpr);
            QVERIFY2(ink > 0, qPrintable(frame->title()));
            const int picture = int(frame->findChild<VideoView *>()->geometry().top() * dpr);
            QVERIFY2(ink < picture, qPrintable(QStringLiteral("%1: ink down to row %2, picture from %3")
                                                   .arg(frame->title()).arg(ink).arg(picture)));
        }

        // every text on show: the panel, the on-air sign, each step's
        // guidance and the longest status lines
        w.mnuEmailSettings->trigger();
        w.lblONAIR->show();
        w.txtEmailTo->setText(QStringLiteral("bob@example.org"));
        w.txtEmailSubject->setText(QStringLiteral("Hello from Ann"));
        w.PROsending->setValue(100);
        QTest::qWait(20);
        if (!shots.isEmpty())
            w.grab().save(QStringLiteral("%1/font-%2.png").arg(shots, QString(row).replace(' ', '-')));
        QCOMPARE(w.txtEmailFrom->text(), kFrom);
        for (QLineEdit *box : client->findChildren<QLineEdit *>())
            QVERIFY2(overflow(box).isEmpty(), qPrintable(box->objectName() + ": " + overflow(box)));
        for (QLabel *label : client->findChildren<QLabel *>()) {
            QVERIFY2(label->isVisible(), qPrintable(label->objectName()));
            QStringList texts{label->text()};
            if (label == w.lblInstructions)
                texts = {kStep2Text, kStep3Text, kStep4Text, kStep5Text, kStep6Text,
                         QStringLiteral("Sending your Video email to bob@example.org")};
            if (label == w.lblStatus)
                texts = {QStringLiteral("Waiting for the server to accept the message\u2026"),
                         QStringLiteral("Recording 00:05 \u2013 125 frames, 0 dropped"),
                         QStringLiteral("mirabo.mpg: 10.0 s, 712.5 kB")};
            const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
            for (const QString &text : texts) {
                const QString out = overflow(label->font(), text, label->contentsRect(), flags);
                QVERIFY2(out.isEmpty(), qPrintable(label->objectName() + ": " + out));
            }
        }
        for (QWidget *drawn : client->findChildren<QWidget *>()) {
            auto *button = qobject_cast<FlatButton *>(drawn);
            auto *bar = qobject_cast<GradientProgressBar *>(drawn);
            if (!button && !bar)
                continue;
            const QString text = button ? button->text() : bar->text();
            // inside the button's raised edge
            const QString out = overflow(drawn->font(), text, drawn->rect().adjusted(1, 1, -1, -1), Qt::AlignCenter);
            QVERIFY2(out.isEmpty(), qPrintable(drawn->objectName() + ": " + out));
        }

        // the panel fits the taller window, and goes out of view below the shorter one
        for (QWidget *c : client->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            QVERIFY2(c->geometry().bottom() < client->height(), qPrintable(c->objectName()));
        w.mnuEmailSettings->trigger();
        QVERIFY(w.Frame2->geometry().bottom() < client->height());
        QVERIFY(w.Label3->geometry().top() >= client->height());
        for (QLineEdit *box : w.txtDetails)
            QVERIFY2(box->geometry().top() >= client->height(), qPrintable(box->objectName()));
    }
};

QTEST_MAIN(TestWindowScale)
#include "tst_window_scale.moc"
