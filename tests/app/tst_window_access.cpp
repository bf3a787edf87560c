// The window for people who use the keyboard, a screen reader or a dark
// desktop: accessible names, roles and values, and the contrast of every text
// as it is drawn.
#include "WindowRig.h"

#include <QAccessible>
#include <QDialog>
#include <QTimer>
#include <QMenuBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleFactory>
#include <cmath>

using namespace windowtest;

namespace {

double luminance(QRgb c)
{
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The area's commonest colour is its background; its text is the pixel that
// stands out most from it (the core of a glyph, not its smoothed edge).
double textContrast(const QImage &area)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x)
            ++counts[area.pixel(x, y) | 0xff000000];
    QRgb background = 0;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most)
            most = it.value(), background = it.key();
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, contrast(background, it.key()));
    return best;
}

// A dark desktop: light text on dark grey.
QPalette darkPalette()
{
    const QColor light(240, 240, 240), dark(53, 53, 53), base(35, 35, 35);
    QPalette p(light, dark, dark.lighter(), dark.darker(), dark, light, Qt::white, base, dark);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(127, 127, 127));
    return p;
}

QAccessibleInterface *access(QObject *o)
{
    return QAccessible::queryAccessibleInterface(o);
}

} // namespace

class TestWindowAccess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestDevices(1, 1); }

    void everyControlIsNamedAndSaysWhatItIs()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();

        // every control has a name, and so has every label that shows a text
        for (QWidget *c : w.centralWidget()->findChildren<QWidget *>()) {
            if (auto *l = qobject_cast<QLabel *>(c); l && l->text().isEmpty())
                continue;
            QAccessibleInterface *a = access(c);
            QVERIFY2(a, qPrintable(c->objectName()));
            QVERIFY2(!a->text(QAccessible::Name).isEmpty(), qPrintable(c->objectName()));
        }

        // boxes are named by the label that stands beside them
        const QList<std::pair<QLineEdit *, QString>> boxes = {
            {w.txtEmailFrom, "Email From"},       {w.txtEmailTo, "Email To"},
            {w.txtEmailSubject, "Subject"},       {w.txtDetails[0], "My Email Address"},
            {w.txtDetails[1], "My Name"},         {w.txtDetails[2], "SMTP Email Server"},
            {w.txtDetails[3], "Email Username"},  {w.txtDetails[4], "Email Password"}};
        for (const auto &[box, name] : boxes) {
            QAccessibleInterface *a = access(box);
            QCOMPARE(a->role(), QAccessible::EditableText);
            QCOMPARE(a->text(QAccessible::Name), name);
            const auto labels = a->relations(QAccessible::Label);
            QVERIFY2(!labels.isEmpty(), qPrintable(name));
            QVERIFY(qobject_cast<QLabel *>(labels.first().first->object()));
            QCOMPARE(static_cast<QLabel *>(labels.first().first->object())->buddy(), box);
        }

        // lamps: "Step n" and their state, in the name that every screen reader reads
        const QStringList states = {"not reached", "done", "current"};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(access(w.LEDsteps[i])->text(QAccessible::Name),
                     QStringLiteral("Step %1: %2").arg(i + 1).arg(states[lampStates(w)[i]]));
        }

        // the status line, the menu bar and its menus; the settings panel only in view
        for (QObject *o : std::initializer_list<QObject *>{w.lblStatus, w.menuBar(), w.mnuDevices, w.mnuSettings})
            QVERIFY2(!access(o)->text(QAccessible::Name).isEmpty(), qPrintable(o->objectName()));
        QVERIFY(access(w.txtDetails[4])->state().invisible);
        QTest::keyClick(&w, Qt::Key_F5);
        QVERIFY(!access(w.txtDetails[4])->state().invisible);
        QTest::keyClick(&w, Qt::Key_F5);

        // the bar: a progress bar with its value
        QAccessibleInterface *bar = access(w.PROsending);
        QCOMPARE(bar->role(), QAccessible::ProgressBar);
        QVERIFY(!bar->text(QAccessible::Name).isEmpty());
        w.PROsending->setValue(40);
        QVERIFY(bar->valueInterface());
        QCOMPARE(bar->valueInterface()->currentValue().toInt(), 40);
        QCOMPARE(bar->valueInterface()->maximumValue().toInt(), 100);
        QCOMPARE(bar->text(QAccessible::Value), QStringLiteral("40%"));

        // buttons: named by their caption, pressed through their action
        for (FlatButton *b : {w.BUTRecord, w.BUTstopRecord, w.BUTplay, w.BUTcompress, w.BUTsend}) {
            QAccessibleInterface *a = access(b);
            QCOMPARE(a->role(), QAccessible::Button);
            QCOMPARE(a->text(QAccessible::Name), b->text());
            QCOMPARE(a->state().disabled, !b->isEnabled());
            QVERIFY(a->actionInterface());
            QCOMPARE(a->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()),
                     b->isEnabled());
        }
        w.BUTstopRecord->setEnabled(true);   // stopping when nothing records does nothing else
        QSignalSpy pressed(w.BUTstopRecord, &QAbstractButton::clicked);
        access(w.BUTstopRecord)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(pressed.size(), 1);
    }

    // What a screen reader reads of the lamps as the guidance moves on.
    void lampsTellTheirStateAsTheStepsGo()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        const auto read = [&w](int step) { return access(w.LEDsteps[step - 1])->text(QAccessible::Name); };
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);
        QCOMPARE(read(2), QStringLiteral("Step 2: current"));
        QTest::keyClick(w.txtEmailTo, Qt::Key_Tab);
        QCOMPARE(read(2), QStringLiteral("Step 2: done"));
        QCOMPARE(read(3), QStringLiteral("Step 3: current"));
        QTest::keyClick(w.txtEmailSubject, Qt::Key_Tab);
        QCOMPARE(read(3), QStringLiteral("Step 3: done"));
        QCOMPARE(read(4), QStringLiteral("Step 4: current"));
        QCOMPARE(access(w.LEDsteps[3])->text(QAccessible::Description), QStringLiteral("current"));
    }

    // A box's text and a question's prompt are read out with them.
    void messagesAndQuestionsCarryTheirText()
    {
        QtDialogs dialogs;
        QString heard;
        const auto listen = [&heard](bool entry) {
            QTimer::singleShot(200, [&heard, entry] {
                QWidget *modal = QApplication::activeModalWidget();
                if (!modal)
                    return;
                QWidget *field = entry ? modal->findChild<QLineEdit *>() : modal;
                heard = access(field)->text(entry ? QAccessible::Name : QAccessible::Description);
                static_cast<QDialog *>(modal)->reject();
            });
        };
        listen(false);
        dialogs.message(QStringLiteral("No Compatable Capture Devices Found"));
        QCOMPARE(heard, QStringLiteral("No Compatable Capture Devices Found"));
        listen(true);
        (void)dialogs.textEntry(QStringLiteral("Please Type Your Email Address"), QStringLiteral("Email Address"), QString());
        QCOMPARE(heard, QStringLiteral("Please Type Your Email Address"));
    }

    void theFocusIsPlainOnAButton()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        w.txtEmailSubject->setFocus();
        const QImage without = w.BUTRecord->grab().toImage();
        w.BUTRecord->setFocus();
        const QImage with = w.BUTRecord->grab().toImage();
        int changed = 0;
        double strongest = 1.0;
        for (int y = 0; y < with.height(); ++y)
            for (int x = 0; x < with.width(); ++x)
                if (with.pixel(x, y) != without.pixel(x, y)) {
                    ++changed;
                    strongest = std::max(strongest, contrast(with.pixel(x, y), without.pixel(x, y)));
                }
        // a frame all round, that stands out from the button's colour
        QVERIFY2(changed >= 2 * (with.width() + with.height()), qPrintable(QString::number(changed)));
        QVERIFY2(strongest >= 3.0, qPrintable(QString::number(strongest)));
    }

    void everyTextIsReadableInAnyPalette_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("default style and palette") << false;
        QTest::newRow("Fusion, dark palette") << true;
    }
    void everyTextIsReadableInAnyPalette()
    {
        QFETCH(bool, dark);
        const QString styleBefore = QApplication::style()->name();
        const QPalette paletteBefore = QApplication::palette();
        if (dark) {
            QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
            QApplication::setPalette(darkPalette());
        }
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        // every kind of text on show: the panel, a status, the on-air sign,
        // enabled and disabled buttons, a typed address
        w.mnuEmailSettings->trigger();
        w.txtEmailTo->setText(QStringLiteral("bob@example.org"));
        w.txtEmailSubject->setText(QStringLiteral("Hello"));
        w.txtDetails[3]->setText(QStringLiteral("ann"));
        w.txtDetails[4]->setText(QStringLiteral("secret"));
        w.lblStatus->setText(QStringLiteral("Recording 00:01 – 25 frames, 0 dropped"));
        w.lblONAIR->show();
        w.BUTplay->setEnabled(true);
        QTest::qWait(50);
        const QImage shot = w.grab().toImage();
        if (dark && !qEnvironmentVariableIsEmpty("MIRABO_SCREENSHOTS"))
            shot.save(qEnvironmentVariable("MIRABO_SCREENSHOTS") + QStringLiteral("/dark-palette.png"));

        QList<std::pair<QWidget *, int>> texts;   // the widget and how much edge to leave out
        for (QLabel *l : w.centralWidget()->findChildren<QLabel *>())
            texts.append({l, 0});
        for (QLineEdit *e : w.centralWidget()->findChildren<QLineEdit *>())
            texts.append({e, 3});
        for (FlatButton *b : w.centralWidget()->findChildren<FlatButton *>())
            texts.append({b, 4});
        texts.append({w.PROsending, 0});
        texts.append({w.menuBar(), 0});
        for (QGroupBox *g : {w.Frame1, w.Frame2})
            texts.append({g, 0});
        for (const auto &[widget, edge] : texts) {
            if (widget->isHidden())
                continue;
            QRect area = QRect(widget->mapTo(&w, QPoint(0, 0)), widget->size()).adjusted(edge, edge, -edge, -edge);
            if (auto *g = qobject_cast<QGroupBox *>(widget))   // the title only
                area.setSize(QSize(g->fontMetrics().horizontalAdvance(g->title()) + 24, g->fontMetrics().height() + 2));
            const double ratio = textContrast(shot.copy(area));
            QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1: %2:1").arg(widget->objectName()).arg(ratio, 0, 'f', 2)));
        }

        w.close();
        rig.window.reset();
        QApplication::setStyle(styleBefore);
        QApplication::setPalette(paletteBefore);
    }
};

QTEST_MAIN(TestWindowAccess)
#include "tst_window_access.moc"
