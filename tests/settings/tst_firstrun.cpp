#include "FirstRun.h"
#include "ScriptedDialogs.h"
#include "SettingsStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kWelcome = QStringLiteral(
    "This is probably the first time you have run this program. Before you can use it, you need "
    "to type in some information, You may need to find some information from your Internet "
    "provider's web pages or help line. Theres No problem if you get the details wrong, you can "
    "allways alter them later. Click the OK button to proceed. ");
const QString kNoAt = QStringLiteral("You must have an '@' symbol somewhere in your email address");
const QString kNoDot = QStringLiteral("The Server name must have some '.' (dots) in it somewhere");
const QString kDone = QStringLiteral(
    "Thats it, you're now ready to start sending Video Emails to your friends. If you need to "
    "alter these settings again, click on FILE, Settings....Have Fun !");

// Records every save in order, on top of a real store.
class RecordingStore : public SettingsStore
{
public:
    explicit RecordingStore(const QString &path) : real(path) {}
    QString read(const QString &name) const override { return real.read(name); }
    void save(const QString &name, const QString &value) override
    {
        saves << name;
        real.save(name, value);
    }
    IniSettingsStore real;
    QStringList saves;
};

} // namespace

class TestFirstRun : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int round = 0;
    QString freshPath() { return dir.filePath(QStringLiteral("run%1.conf").arg(++round)); }

private slots:
    void completeRunStoresEveryAnswerAsTheUserMeantIt()
    {
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("  Ann.Smith @Example. COM "), QStringLiteral("Ann Smith"),
                           QStringLiteral(" SMTP.Example .Net"), QStringLiteral("Ann"),
                           QStringLiteral("p w")};
        QVERIFY(runFirstRunSetup(store, dialogs));

        QCOMPARE(store.read(QStringLiteral("EmailAddress")), QStringLiteral("ann.smith@example.com"));
        QCOMPARE(store.read(QStringLiteral("FullName")), QStringLiteral("Ann Smith"));
        QCOMPARE(store.read(QStringLiteral("SMTP")), QStringLiteral("smtp.example.net"));
        QCOMPARE(store.read(QStringLiteral("UserName")), QStringLiteral("Ann"));
        QCOMPARE(store.read(QStringLiteral("Password")), QStringLiteral("p w"));
        QCOMPARE(store.saves, (QStringList{QStringLiteral("EmailAddress"), QStringLiteral("FullName"),
                                           QStringLiteral("SMTP"), QStringLiteral("UserName"),
                                           QStringLiteral("Password")}));
        QCOMPARE(dialogs.messages, (QStringList{kWelcome, kDone}));

        QCOMPARE(dialogs.questions.size(), 5);
        const auto &q = dialogs.questions;
        QCOMPARE(q[0].prompt, QStringLiteral("Please Type Your Email Address"));
        QCOMPARE(q[0].title, QStringLiteral("Email Address"));
        QCOMPARE(q[0].defaultText, QString());
        QCOMPARE(q[1].prompt, QStringLiteral("Please Type Your Full Name Exactly how you want it to "
                                             "appear in your video emails"));
        QCOMPARE(q[1].title, QStringLiteral("Whats Your Name?"));
        QVERIFY(q[2].prompt.startsWith(QStringLiteral(
            "Please Type the name of your Internet provider's SMTP Mail Server, this will be "
            "something like smtp.")));
        QCOMPARE(q[2].title, QStringLiteral("SMTP Mail Server"));
        QCOMPARE(q[2].defaultText, QStringLiteral("smtp."));
        QCOMPARE(q[3].prompt, QStringLiteral("Please Type your Email Username"));
        QCOMPARE(q[3].title, QStringLiteral("Email SMTP Server Username"));
        QCOMPARE(q[4].prompt, QStringLiteral("Please Type your Email Password"));
        QCOMPARE(q[4].title, QStringLiteral("Email SMTP Server Password"));
        // only the password is hidden as it is typed
        for (int i = 0; i < 5; ++i)
            QCOMPARE(q[i].echo, i == 4 ? Dialogs::Echo::Password : Dialogs::Echo::Normal);
    }

    void answersThatCannotBeStoredAreReportedAndTheQuestionsGoOn()
    {
        // a folder that is really a file stops root as well
        QFile blocker(dir.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        IniSettingsStore store(dir.filePath(QStringLiteral("blocker/Mirabo.conf")));
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("a@b"), QStringLiteral("Ann"), QStringLiteral("smtp.x.y"),
                           QStringLiteral("ann"), QStringLiteral("pw")};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(dialogs.questions.size(), 5);
        QCOMPARE(dialogs.messages.size(), 3);
        QVERIFY2(dialogs.messages[1].startsWith(QStringLiteral("Could not save the setting EmailAddress")),
                 qPrintable(dialogs.messages[1]));
        // kept for this run
        QCOMPARE(store.read(QStringLiteral("Password")), QStringLiteral("pw"));
    }

    void addressWithoutAtIsAskedAgainWithAnEmptyField()
    {
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("annexample.com"), QStringLiteral("still wrong"),
                           QStringLiteral("ann@example.com"), QStringLiteral("Ann"),
                           QStringLiteral("smtp.x.y"), QString(), QString()};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(dialogs.messages.count(kNoAt), 2);
        QCOMPARE(dialogs.questions[1].title, QStringLiteral("Email Address"));
        QCOMPARE(dialogs.questions[1].defaultText, QString());
        QCOMPARE(dialogs.questions[2].title, QStringLiteral("Email Address"));
        QCOMPARE(store.saves.first(), QStringLiteral("EmailAddress"));
        QCOMPARE(store.saves.count(QStringLiteral("EmailAddress")), 1);
    }

    void noAddressAbandonsAndStoresNothing_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("cancel") << QString();
        QTest::newRow("spaces only") << QStringLiteral("    ");
    }
    void noAddressAbandonsAndStoresNothing()
    {
        QFETCH(QString, answer);
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {answer, QStringLiteral("Ann"), QStringLiteral("smtp.x.y")};
        QVERIFY(!runFirstRunSetup(store, dialogs));
        QVERIFY(store.saves.isEmpty());
        QCOMPARE(dialogs.questions.size(), 1);
        QCOMPARE(dialogs.messages, QStringList{kWelcome});
    }

    void onlyTheSpaceCharacterIsRemoved()
    {
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("\tAnn@X.Org"), QString(), QStringLiteral("smtp.x.y")};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(store.read(QStringLiteral("EmailAddress")), QStringLiteral("\tann@x.org"));
    }

    void emptyNameBecomesAmonymousButSpacesAreKept_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("stored");
        QTest::newRow("cancel") << QString() << QStringLiteral("Amonymous");
        QTest::newRow("spaces") << QStringLiteral("   ") << QStringLiteral("   ");
        QTest::newRow("as typed") << QStringLiteral(" ann O'Neil ") << QStringLiteral(" ann O'Neil ");
    }
    void emptyNameBecomesAmonymousButSpacesAreKept()
    {
        QFETCH(QString, answer);
        QFETCH(QString, stored);
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("a@b"), answer, QStringLiteral("smtp.x.y")};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(store.read(QStringLiteral("FullName")), stored);
    }

    void serverWithoutDotIsAskedAgainWithSmtpPrefilled()
    {
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        // two words joined by removing the space still lack a dot; Cancel too
        dialogs.answers = {QStringLiteral("a@b"), QStringLiteral("Ann"), QStringLiteral("my server"),
                           QString(), QString(), QStringLiteral("smtp.")};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(dialogs.messages.count(kNoDot), 3);
        const auto &q = dialogs.questions;
        for (int i = 2; i <= 5; ++i) {
            QCOMPARE(q[i].title, QStringLiteral("SMTP Mail Server"));
            QCOMPARE(q[i].defaultText, QStringLiteral("smtp."));
        }
        // confirming the default unchanged stores it as it stands
        QCOMPARE(store.read(QStringLiteral("SMTP")), QStringLiteral("smtp."));
        // user name and password left empty are stored empty, and the run still completes
        QVERIFY(store.saves.contains(QStringLiteral("UserName")));
        QVERIFY(store.saves.contains(QStringLiteral("Password")));
        QCOMPARE(dialogs.messages.last(), kDone);
    }

    void theWholeDialogueRunsInItsOrder()
    {
        RecordingStore store(freshPath());
        ScriptedDialogs dialogs;
        dialogs.answers = {QStringLiteral("nope"), QStringLiteral("a@b"), QString(),
                           QStringLiteral("bad"), QStringLiteral("smtp.b"), QString(), QString()};
        QVERIFY(runFirstRunSetup(store, dialogs));
        QCOMPARE(dialogs.transcript,
                 (QStringList{QStringLiteral("message: ") + kWelcome,
                              QStringLiteral("entry: Email Address"), QStringLiteral("message: ") + kNoAt,
                              QStringLiteral("entry: Email Address"), QStringLiteral("entry: Whats Your Name?"),
                              QStringLiteral("entry: SMTP Mail Server"), QStringLiteral("message: ") + kNoDot,
                              QStringLiteral("entry: SMTP Mail Server"),
                              QStringLiteral("entry: Email SMTP Server Username"),
                              QStringLiteral("entry: Email SMTP Server Password"),
                              QStringLiteral("message: ") + kDone}));
    }
};

QTEST_GUILESS_MAIN(TestFirstRun)
#include "tst_firstrun.moc"
