#include "WindowRig.h"

#include <QDateTime>
#include <QDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStyle>
#include <QTimer>
#include <QScopeGuard>
#include <sys/stat.h>

using namespace windowtest;

namespace {

const QString kNoDevice = QStringLiteral("No Compatable Capture Devices Found");

// A capture component whose device count is negative, which no real one gives.
class NegativeCountCapture : public GstCapture
{
public:
    int32_t deviceCount() override { return -1; }
};

void writeSettingsFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray settingsFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.setFileTime(when, QFileDevice::FileModificationTime);
}

// Remembers where the window asks for the recording to go.
class NamingCapture : public GstCapture
{
public:
    void setCaptureFileName(const QString &path) override
    {
        named = path;
        GstCapture::setCaptureFileName(path);
    }
    QString named;
};

int modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QStringList firstRunAnswers()
{
    return {QStringLiteral(" Bob.Jones@Example.ORG "), QStringLiteral("Bob \"BJ\" Jones"),
            QStringLiteral("SMTP.Example.org"), QStringLiteral("bob"), QStringLiteral("pw")};
}

} // namespace

class TestWindowStartup : public QObject
{
    Q_OBJECT

private slots:
    void init() { useTestDevices(1, 1); }

    void storedAddressAloneSkipsTheFirstRun()
    {
        WindowRig rig;
        rig.storeSettings({{"EmailAddress", "ann@example.com"}});
        frmMain &w = rig.start();

        QVERIFY(rig.dialogs.transcript.isEmpty());
        QCOMPARE(w.txtDetails[0]->text(), QStringLiteral("ann@example.com"));
        for (int i = 1; i < 5; ++i)
            QCOMPARE(w.txtDetails[i]->text(), QString());
        QCOMPARE(w.txtEmailFrom->text(), QStringLiteral("\"\" ann@example.com"));
        QCOMPARE(w.currentSettings().EmailAddress, QStringLiteral("ann@example.com"));
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep2Text);
        QCOMPARE(deviceEntries(w), QStringList{QStringLiteral("Test Camera")});
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);
    }

    void completedFirstRunIsShownBeforeTheWindow()
    {
        WindowRig rig;
        rig.dialogs.answers = firstRunAnswers();
        bool windowShownDuringDialogue = false;
        rig.dialogs.onMessage = [&](const QString &) {
            windowShownDuringDialogue |= rig.window && rig.window->isVisible();
        };
        frmMain &w = rig.start();

        QVERIFY(!windowShownDuringDialogue);
        QCOMPARE(rig.dialogs.messages.size(), 2);
        QCOMPARE(w.txtDetails[0]->text(), QStringLiteral("bob.jones@example.org"));
        QCOMPARE(w.txtDetails[1]->text(), QStringLiteral("Bob \"BJ\" Jones"));
        QCOMPARE(w.txtDetails[2]->text(), QStringLiteral("smtp.example.org"));
        QCOMPARE(w.txtDetails[3]->text(), QStringLiteral("bob"));
        QCOMPARE(w.txtDetails[4]->text(), QStringLiteral("pw"));
        // the name goes in as it is, quotes and all
        QCOMPARE(w.txtEmailFrom->text(), QStringLiteral("\"Bob \"BJ\" Jones\" bob.jones@example.org"));
        QCOMPARE(w.currentSettings().UserName, QStringLiteral("bob"));
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep2Text);
    }

    void abandonedFirstRunLeavesTheDesignTimeWindow()
    {
        WindowRig rig;
        rig.dialogs.answers = {QStringLiteral("   ")};
        frmMain &w = rig.start();

        QCOMPARE(rig.dialogs.questions.size(), 1);
        QCOMPARE(rig.stored(QStringLiteral("EmailAddress")), QString());
        const CurrentSettings &s = w.currentSettings();
        QVERIFY(s.EmailAddress.isEmpty() && s.FullName.isEmpty() && s.SMTP.isEmpty()
                && s.UserName.isEmpty() && s.Password.isEmpty());
        for (QLineEdit *box : w.txtDetails)
            QCOMPARE(box->text(), QString());
        QCOMPARE(w.txtEmailFrom->text(), QString());
        QCOMPARE(lampStates(w), (QList<int>{0, 0, 0, 0, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), QStringLiteral("Instructions"));
        QCOMPARE(deviceEntries(w), QStringList{QStringLiteral("dummy")});
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);

        // nothing was stored, so the next start asks again
        rig.dialogs.transcript.clear();
        rig.dialogs.answers = firstRunAnswers();
        rig.start();
        QVERIFY(rig.dialogs.transcript.contains(QStringLiteral("entry: Email Address")));
        QCOMPARE(rig.stored(QStringLiteral("EmailAddress")), QStringLiteral("bob.jones@example.org"));
    }

    void devicesMenuListsTheCaptureDevices_data()
    {
        QTest::addColumn<int>("cameras");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("none") << 0 << QStringList{QStringLiteral("dummy")};
        QTest::newRow("one") << 1 << QStringList{QStringLiteral("Test Camera")};
        QTest::newRow("three") << 3
                               << QStringList{QStringLiteral("Test Camera"), QStringLiteral("Test Camera 2"),
                                              QStringLiteral("Test Camera 3")};
    }
    void devicesMenuListsTheCaptureDevices()
    {
        QFETCH(int, cameras);
        QFETCH(QStringList, entries);
        useTestDevices(cameras, 1);
        WindowRig rig;
        rig.dialogs.answers = firstRunAnswers();
        frmMain &w = rig.start();

        QCOMPARE(deviceEntries(w), entries);
        // nothing but them before the microphones' heading
        QCOMPARE(w.mnuDevices->actions().indexOf(w.mnuMicsTitle), cameras ? entries.size() : -1);
        // the no-device message comes after the first-run dialogue, and only then
        QCOMPARE(rig.dialogs.messages.last() == kNoDevice, cameras == 0);
        QCOMPARE(rig.dialogs.messages.count(kNoDevice), cameras == 0 ? 1 : 0);
        // no device does not undo the rest of the start-up
        QCOMPARE(w.lblInstructions->text(), kStep2Text);
    }

    void negativeDeviceCountLeavesTheDummyEntry()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        NegativeCountCapture capture;
        frmMain &w = rig.start(&capture);
        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(deviceEntries(w), QStringList{QStringLiteral("dummy")});
    }

    void workingFilesGoWhereTheyCanBeWritten_data()
    {
        QTest::addColumn<QString>("programDir");  // a build's, installed, or one this user cannot write
        QTest::addColumn<QString>("stateHome");   // XDG_STATE_HOME; "~" before it: in the rig
        QTest::addColumn<QString>("folder");      // in the rig
        QTest::newRow("beside the program in the build")
            << QStringLiteral("build") << QStringLiteral("~state") << QStringLiteral("Mirabo");
        QTest::newRow("installed where the user may write")
            << QStringLiteral("installed") << QString() << QStringLiteral("home/.local/state/Mirabo");
        QTest::newRow("XDG_STATE_HOME")
            << QStringLiteral("unwritable") << QStringLiteral("~state") << QStringLiteral("state/Mirabo");
        QTest::newRow("default") << QStringLiteral("unwritable") << QString() << QStringLiteral("home/.local/state/Mirabo");
        QTest::newRow("relative XDG_STATE_HOME is ignored")
            << QStringLiteral("unwritable") << QStringLiteral("state") << QStringLiteral("home/.local/state/Mirabo");
    }
    void workingFilesGoWhereTheyCanBeWritten()
    {
        QFETCH(QString, programDir);
        QFETCH(QString, stateHome);
        QFETCH(QString, folder);
        WindowRig rig;
        rig.storeTypicalSettings();
        if (programDir == QLatin1String("installed"))
            QVERIFY(QFile::remove(rig.file(QStringLiteral("mirabo-build-tree"))));
        // Root writes anywhere: a program directory that is not there stands
        // for one this user cannot write.
        if (programDir == QLatin1String("unwritable"))
            QVERIFY(QDir(rig.programDir).removeRecursively());
        const QByteArray home = qgetenv("HOME"), state = qgetenv("XDG_STATE_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", home);
            state.isNull() ? qunsetenv("XDG_STATE_HOME") : qputenv("XDG_STATE_HOME", state);
        });
        qputenv("HOME", QFile::encodeName(rig.dir.filePath(QStringLiteral("home"))));
        if (stateHome.isEmpty())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome.startsWith('~')
                                                             ? rig.dir.filePath(stateHome.mid(1))
                                                             : stateHome));
        NamingCapture capture;
        frmMain &w = rig.start(&capture);

        const QString expected = rig.dir.filePath(folder);
        QCOMPARE(capture.named, expected + QStringLiteral("/video.avi"));
        QCOMPARE(w.session().file(QStringLiteral("mirabo.mpg")), expected + QStringLiteral("/mirabo.mpg"));
        if (programDir != QLatin1String("build")) {
            QCOMPARE(modeOf(expected), 0700);
            if (stateHome.isEmpty())   // the XDG folder it had to make, too
                QCOMPARE(modeOf(rig.dir.filePath(QStringLiteral("home/.local/state"))), 0700);
        }
    }

    void windowAsDesigned()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();

        QCOMPARE(w.windowTitle(), QStringLiteral("Mirabo v1.00"));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.centralWidget()->size(), QSize(676, 480));

        // a few controls of each kind, in pixels (twips / 15)
        QCOMPARE(w.LEDsteps[6]->geometry(), QRect(69, 183, 28, 28));
        QCOMPARE(w.txtEmailTo->geometry(), QRect(171, 40, 223, 19));
        QCOMPARE(w.BUTsend->geometry(), QRect(102, 159, 292, 19));
        QCOMPARE(w.PROsending->geometry(), QRect(102, 180, 292, 31));
        QCOMPARE(w.lblInstructions->geometry(), QRect(9, 234, 379, 214));
        QCOMPARE(w.Frame2->geometry(), QRect(399, 255, 271, 220));
        QCOMPARE(w.txtDetails[4]->geometry(), QRect(126, 561, 271, 19));

        const QStringList steps = {"STEP 1", "STEP 2", "STEP 3", "STEP 4", "STEP 5", "STEP 6", "STEP 7"};
        for (int i = 0; i < 7; ++i)
            QCOMPARE(w.Label1[i + 3]->text(), steps[i]);
        QCOMPARE(w.Label1[3]->font().pointSizeF(), 11.25);
        QVERIFY(w.Label1[3]->font().bold());
        QCOMPARE(w.lblONAIR->font().pointSizeF(), 14.25);
        QCOMPARE(w.BUTRecord->font().pointSizeF(), 8.25);
        QCOMPARE(w.txtDetails[4]->echoMode(), QLineEdit::Password);

        // only Record is enabled; the on-air indicator is hidden
        QVERIFY(w.BUTRecord->isEnabled());
        for (QWidget *b : {(QWidget *)w.BUTstopRecord, (QWidget *)w.BUTplay,
                           (QWidget *)w.BUTcompress, (QWidget *)w.BUTsend})
            QVERIFY(!b->isEnabled());
        QVERIFY(w.LEDONAIR[0]->isHidden() && w.LEDONAIR[1]->isHidden() && w.lblONAIR->isHidden());
        QCOMPARE(w.PROsending->text(), QStringLiteral("Sending 0% Complete"));
        w.PROsending->setValue(130);
        QCOMPARE(w.PROsending->text(), QStringLiteral("Sending 130% Complete"));

        QCOMPARE(w.menuBar()->actions().size(), 2);
        QCOMPARE(w.mnuDevices->title(), QStringLiteral("&Devices"));
        QCOMPARE(w.mnuSettings->title(), QStringLiteral("&Settings"));
        const QList<QAction *> settings = w.mnuSettings->actions();
        QCOMPARE(settings.size(), 6);
        QCOMPARE(settings[0], w.mnuShowDisplay);
        QCOMPARE(settings[1], w.mnuShowFormat);
        QCOMPARE(settings[2], w.mnuShowSource);
        QVERIFY(settings[3]->isSeparator());
        QCOMPARE(settings[4], w.mnuPhoneVideo);
        QCOMPARE(settings[5], w.mnuEmailSettings);
        QVERIFY(w.mnuPhoneVideo->isCheckable() && !w.mnuPhoneVideo->isChecked());
        QCOMPARE(w.mnuShowDisplay->text(), QStringLiteral("Show Video &Display Settings"));
        QCOMPARE(w.mnuShowFormat->text(), QStringLiteral("Show Video &Format Settings"));
        QCOMPARE(w.mnuShowSource->text(), QStringLiteral("Show Video &Source Settings"));
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Show Email Settings"));
        QCOMPARE(w.mnuShowDisplay->shortcut(), QKeySequence(Qt::Key_F2));
        QCOMPARE(w.mnuShowFormat->shortcut(), QKeySequence(Qt::Key_F3));
        QCOMPARE(w.mnuShowSource->shortcut(), QKeySequence(Qt::Key_F4));
        QCOMPARE(w.mnuEmailSettings->shortcut(), QKeySequence(Qt::Key_F5));
    }

    void startUpWritesNothingBackToTheSettingsFile()
    {
        WindowRig rig;
        QVERIFY(QDir().mkpath(QFileInfo(rig.settingsPath).absolutePath()));
        // a name in Latin-1, not UTF-8, and a server longer than a box holds
        const QByteArray longValue(40000, 'x');
        const QByteArray original = "; kept by hand\n[Settings]\nEmailAddress=ann@example.com\n"
                                    "FullName=Zo\xE9\nSMTP=" + longValue + "\nUserName=ann\n"
                                    "Password=\"p w\"\n\n[Other]\nx=1\n";
        writeSettingsFile(rig.settingsPath, original);
        const QDateTime stamp = QDateTime::currentDateTime().addDays(-3);
        QVERIFY(setModified(rig.settingsPath, stamp));

        frmMain &w = rig.start();
        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(settingsFile(rig.settingsPath), original);
        QCOMPARE(QFileInfo(rig.settingsPath).lastModified(), stamp);
        // what the window sends is the stored value, whole
        QCOMPARE(w.currentSettings().SMTP, QString::fromLatin1(longValue));

        // an edit rewrites its own line and nothing else
        w.txtDetails[3]->setText(QStringLiteral("bob"));
        QByteArray edited = original;
        edited.replace("UserName=ann", "Username=\"bob\"");
        QCOMPARE(settingsFile(rig.settingsPath), edited);
    }

    void damagedSettingsFileIsKeptAsideAndTheFirstRunAsksAll()
    {
        WindowRig rig;
        QVERIFY(QDir().mkpath(QFileInfo(rig.settingsPath).absolutePath()));
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk += char((i * 7919 + 13) % 256);
        writeSettingsFile(rig.settingsPath, junk);
        rig.dialogs.answers = firstRunAnswers();
        frmMain &w = rig.start();

        const QStringList aside = QDir(QFileInfo(rig.settingsPath).absolutePath())
                                      .entryList({QStringLiteral("Mirabo.conf.damaged-*")});
        QCOMPARE(aside.size(), 1);
        const QString asidePath = QFileInfo(rig.settingsPath).absolutePath() + '/' + aside[0];
        QCOMPARE(settingsFile(asidePath), junk);
        QVERIFY2(rig.dialogs.messages.value(0).contains(asidePath), qPrintable(rig.dialogs.messages.value(0)));
        QCOMPARE(rig.dialogs.questions.size(), 5);
        QCOMPARE(rig.dialogs.messages.size(), 3);   // the notice, the welcome, the closing words
        QCOMPARE(rig.stored(QStringLiteral("SMTP")), QStringLiteral("smtp.example.org"));
        QCOMPARE(rig.stored(QStringLiteral("Password")), QStringLiteral("pw"));
        QCOMPARE(w.txtDetails[1]->text(), QStringLiteral("Bob \"BJ\" Jones"));

        // told once: the next start finds the new file
        rig.dialogs.messages.clear();
        rig.dialogs.questions.clear();
        rig.start();
        QVERIFY(rig.dialogs.messages.isEmpty() && rig.dialogs.questions.isEmpty());
    }

    void passwordsShowAsStars()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        const auto mark = [](QLineEdit *edit) {
            return QChar(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit));
        };
        QCOMPARE(w.txtDetails[4]->echoMode(), QLineEdit::Password);
        QCOMPARE(mark(w.txtDetails[4]), QLatin1Char('*'));
        w.txtDetails[4]->setText(QStringLiteral("pw"));
        QCOMPARE(w.txtDetails[4]->displayText(), QStringLiteral("**"));

        QtDialogs dialogs;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        QChar shown;
        QTimer::singleShot(200, [&] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                if (auto *edit = dialog->findChild<QLineEdit *>()) {
                    echo = edit->echoMode();
                    edit->setText(QStringLiteral("pw"));
                    shown = edit->displayText().front();
                }
                dialog->reject();
            }
        });
        QCOMPARE(dialogs.textEntry(QStringLiteral("Please Type your Email Password"),
                                   QStringLiteral("Email SMTP Server Password"), QString(),
                                   Dialogs::Echo::Password),
                 QString());
        QCOMPARE(echo, QLineEdit::Password);
        QCOMPARE(shown, QLatin1Char('*'));
    }

    void tabPassesOverDisabledButtonsAndThePanelOutOfView()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        w.txtEmailFrom->setFocus();
        const auto tabsReach = [](Qt::Key key, const QList<QWidget *> &expected) {
            for (QWidget *next : expected) {
                QTest::keyClick(QApplication::focusWidget(), key);
                if (QApplication::focusWidget() != next)
                    return false;
            }
            return true;
        };
        // round and round the visible controls, both ways
        QVERIFY(tabsReach(Qt::Key_Tab, {w.txtEmailTo, w.txtEmailSubject, w.BUTRecord, w.txtEmailFrom}));
        QVERIFY(tabsReach(Qt::Key_Backtab, {w.BUTRecord, w.txtEmailSubject}));

        // with the panel in view its boxes follow the buttons
        QTest::keyClick(&w, Qt::Key_F5);
        w.BUTRecord->setFocus();
        QVERIFY(tabsReach(Qt::Key_Tab, {w.txtDetails[0], w.txtDetails[1], w.txtDetails[2],
                                        w.txtDetails[3], w.txtDetails[4], w.txtEmailFrom}));
        QVERIFY(tabsReach(Qt::Key_Backtab, {w.txtDetails[4], w.txtDetails[3]}));
        // hiding the panel takes the focus out of it, and the boxes out of the round
        QTest::keyClick(&w, Qt::Key_F5);
        QVERIFY(!w.txtDetails[3]->hasFocus());
        w.txtEmailSubject->setFocus();
        QVERIFY(tabsReach(Qt::Key_Tab, {w.BUTRecord, w.txtEmailFrom}));
        QCOMPARE(w.txtDetails[3]->text(), QString());
    }

    // The program started again over the same folder brings the running
    // window forward and leaves, touching nothing.
    void aSecondCopyBringsTheFirstForward()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        rig.leaveFiles("RIFF....AVI ");
        const QString program = rig.file(QStringLiteral("mirabo"));
        QVERIFY(QFile::copy(QDir(testpaths::programDir()).filePath(QStringLiteral("mirabo")), program));
        frmMain &w = rig.start();
        w.setWindowState(Qt::WindowMinimized);
        const auto folder = [&] {
            QStringList seen;
            for (const QFileInfo &f : QDir(rig.programDir).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
                seen << f.fileName() + QLatin1Char(' ') + QString::number(f.size()) + QLatin1Char(' ')
                            + f.lastModified().toString(Qt::ISODateWithMs);
            return seen;
        };
        const QStringList before = folder();
        const QByteArray settings = QFileInfo(rig.settingsPath).lastModified().toString(Qt::ISODateWithMs).toLatin1();

        QProcess second;
        second.start(program, {});
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(!(w.windowState() & Qt::WindowMinimized) && w.isVisible());
        QCOMPARE(folder(), before);
        QCOMPARE(QFileInfo(rig.settingsPath).lastModified().toString(Qt::ISODateWithMs).toLatin1(), settings);
        QCOMPARE(w.session().stage(), Stage::Recorded);
    }
};

QTEST_MAIN(TestWindowStartup)
#include "tst_window_startup.moc"
