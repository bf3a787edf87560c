#include "WindowRig.h"

#include <QLabel>
#include <QLineEdit>
#include <QSettings>

using namespace windowtest;

namespace {

bool panelOutOfView(frmMain &w)
{
    const int visible = w.centralWidget()->height();
    for (QWidget *c : std::initializer_list<QWidget *>{w.Label2[0], w.txtDetails[0], w.Label3})
        if (c->geometry().top() < visible)
            return false;
    return true;
}

bool panelInView(frmMain &w)
{
    const int visible = w.centralWidget()->height();
    for (QWidget *c : std::initializer_list<QWidget *>{w.Label2[4], w.txtDetails[4], w.Label3})
        if (c->geometry().bottom() >= visible)
            return false;
    return true;
}

} // namespace

class TestWindowGuidance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestDevices(1, 1); }

    void tabLeadsFromRecipientToSubjectToRecord()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);

        QTest::keyClicks(w.txtEmailTo, QStringLiteral("bob@example.org"));
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QTest::keyClick(w.txtEmailTo, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.txtEmailSubject);
        QCOMPARE(lampStates(w), (QList<int>{1, 1, 2, 0, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep3Text);

        QTest::keyClicks(w.txtEmailSubject, QStringLiteral("Hello"));
        QTest::keyClick(w.txtEmailSubject, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.BUTRecord);
        QCOMPARE(lampStates(w), (QList<int>{1, 1, 1, 2, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep4Text);

        // coming back to the subject moves steps 2 and 3 only
        w.LEDsteps[4]->setState(2);
        QTest::mouseClick(w.txtEmailSubject, Qt::LeftButton);
        QCOMPARE(lampStates(w), (QList<int>{1, 1, 2, 2, 2, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep3Text);
        // a menu opening and closing is no new focus
        w.lblInstructions->setText(QStringLiteral("unchanged"));
        QFocusEvent popupOut(QEvent::FocusOut, Qt::PopupFocusReason);
        QFocusEvent popupIn(QEvent::FocusIn, Qt::PopupFocusReason);
        QApplication::sendEvent(w.txtEmailSubject, &popupOut);
        QApplication::sendEvent(w.txtEmailSubject, &popupIn);
        QCOMPARE(w.lblInstructions->text(), QStringLiteral("unchanged"));
    }

    void clickOnRecordRunsItsGotFocusFirst()
    {
        // no camera: the capture cannot start, and its message shows the
        // window as the got-focus left it before the click's own end steps
        useTestDevices(0, 0);
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        QList<int> lampsAtMessage;
        QString textAtMessage;
        rig.dialogs.onMessage = [&](const QString &) {
            lampsAtMessage = lampStates(w);
            textAtMessage = w.lblInstructions->text();
        };
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);

        QTRY_VERIFY(rig.dialogs.messages.contains(QStringLiteral("Could not start Video Capture")));
        // step 2 stays current when the subject is skipped; step 3 is set to 1
        QCOMPARE(lampsAtMessage, (QList<int>{1, 2, 1, 2, 0, 0, 0}));
        QCOMPARE(textAtMessage, kStep4Text);
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 1, 1, 2, 0, 0}));
        useTestDevices(1, 1);
    }

    void panelCommandShowsAndHidesTheWholePanel()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        const QPoint position = w.pos();
        const int width = w.width();
        QVERIFY(panelOutOfView(w));

        QTest::keyClick(&w, Qt::Key_F5);
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Hide Email Settings"));
        QVERIFY(panelInView(w));
        // the gap between the hidden and the shown window is the design's
        QCOMPARE(w.centralWidget()->height(), (9600 - 7980) / 15 + 480);

        w.mnuEmailSettings->trigger();
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Show Email Settings"));
        QVERIFY(panelOutOfView(w));
        QCOMPARE(w.centralWidget()->height(), 480);
        QCOMPARE(w.pos(), position);
        QCOMPARE(w.width(), width);
        // out of view the boxes are hidden too, from screen readers, but never disabled
        QVERIFY(w.txtDetails[0]->isHidden() && w.txtDetails[0]->isEnabled());
    }

    void panelChangesReachTheStoreAndTheNextMessage_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("storedAs");
        QTest::newRow("address") << 0 << QStringLiteral("EmailAddress");
        QTest::newRow("name") << 1 << QStringLiteral("FullName");
        QTest::newRow("server") << 2 << QStringLiteral("SMTP");
        QTest::newRow("user name") << 3 << QStringLiteral("Username");
        QTest::newRow("password") << 4 << QStringLiteral("Password");
    }
    void panelChangesReachTheStoreAndTheNextMessage()
    {
        QFETCH(int, index);
        QFETCH(QString, storedAs);
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        const QString sender = w.txtEmailFrom->text();

        w.txtDetails[index]->selectAll();
        QTest::keyClicks(w.txtDetails[index], QStringLiteral(" New Value"));
        const QString typed = QStringLiteral(" New Value");
        QCOMPARE(rig.stored(storedAs), typed);
        const CurrentSettings &s = w.currentSettings();
        const QString fields[] = {s.EmailAddress, s.FullName, s.SMTP, s.UserName, s.Password};
        QCOMPARE(fields[index], typed);
        QCOMPARE(w.txtEmailFrom->text(), sender);

        // saved under the panel's own spelling and no other
        QSettings ini(rig.settingsPath, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("Settings"));
        QCOMPARE(ini.childKeys().filter(storedAs, Qt::CaseInsensitive), QStringList{storedAs});
    }

    void editedUserNameIsReadBackAfterARestart()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        w.txtDetails[3]->setText(QStringLiteral("ann.smith"));
        frmMain &again = rig.start();
        QCOMPARE(again.txtDetails[3]->text(), QStringLiteral("ann.smith"));
        QCOMPARE(again.currentSettings().UserName, QStringLiteral("ann.smith"));
        Q_UNUSED(w);
    }

    void clearedAddressBringsTheFirstRunBack()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        w.txtDetails[0]->clear();
        QCOMPARE(rig.stored(QStringLiteral("EmailAddress")), QString());
        QVERIFY(rig.dialogs.transcript.isEmpty());
        rig.start();
        QVERIFY(rig.dialogs.transcript.contains(QStringLiteral("entry: Email Address")));
        Q_UNUSED(w);
    }

    void anErrorInAHandlerIsShownAndTheProgramGoesOn()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        FailingStore store(rig.settingsPath);
        frmMain &w = rig.start(nullptr, &store);
        store.failing = true;
        QTest::keyClicks(w.txtDetails[1], QStringLiteral("x"));
        QCOMPARE(rig.dialogs.messages,
                 QStringList{QStringLiteral("Could not save the setting FullName: the disk is full")});
        // what the box shows is what the next message uses
        QCOMPARE(w.currentSettings().FullName, QStringLiteral("Ann Smithx"));
        // still answering
        QTest::keyClick(w.txtEmailTo, Qt::Key_Tab);
        QCOMPARE(w.lblInstructions->text(), kStep3Text);
    }
};

QTEST_MAIN(TestWindowGuidance)
#include "tst_window_guidance.moc"
