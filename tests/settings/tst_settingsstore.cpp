#include "SettingsStore.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestSettingsStore : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Mirabo/Mirabo.conf")); }

    static mode_t modeOf(const QString &file)
    {
        struct stat st {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0)
            return 0;
        return st.st_mode & 07777;
    }

    QStringList storedKeys() const
    {
        QSettings ini(path(), QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("Settings"));
        return ini.childKeys();
    }

private slots:
    void cleanup() { QFile::remove(path()); }

    void defaultPathFollowsXdgConfigHome()
    {
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        QCOMPARE(IniSettingsStore::defaultPath(), dir.filePath(QStringLiteral("Mirabo/Mirabo.conf")));
    }

    void missingValuesReadEmpty()
    {
        IniSettingsStore store(path());
        QCOMPARE(store.read(QStringLiteral("EmailAddress")), QString());
        store.save(QStringLiteral("SMTP"), QStringLiteral("smtp.example.net"));
        QCOMPARE(store.read(QStringLiteral("EmailAddress")), QString());
        QVERIFY(store.read(QStringLiteral("EmailAddress")).isEmpty());
    }

    void namesMatchWithoutRegardToCase()
    {
        IniSettingsStore store(path());
        store.save(QStringLiteral("UserName"), QStringLiteral("first"));
        QCOMPARE(store.read(QStringLiteral("Username")), QStringLiteral("first"));
        store.save(QStringLiteral("Username"), QStringLiteral("second"));
        QCOMPARE(store.read(QStringLiteral("UserName")), QStringLiteral("second"));
        QCOMPARE(store.read(QStringLiteral("USERNAME")), QStringLiteral("second"));
        // One value, under the spelling saved last; no stale twin behind it.
        QCOMPARE(storedKeys(), QStringList{QStringLiteral("Username")});
    }

    void valuesRoundTripUnchanged_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("empty") << QString();
        QTest::newRow("spaces kept") << QStringLiteral("  Ann  Smith ");
        QTest::newRow("ini punctuation") << QStringLiteral("a=b;c,d#e[f]\\g\"h");
        QTest::newRow("non-ascii") << QStringLiteral("Zoë Ångström 山田");
        QTest::newRow("tab") << QStringLiteral("x\ty");
    }
    void valuesRoundTripUnchanged()
    {
        QFETCH(QString, value);
        {
            IniSettingsStore store(path());
            store.save(QStringLiteral("FullName"), value);
        }
        IniSettingsStore again(path());
        QCOMPARE(again.read(QStringLiteral("FullName")), value);
    }

    void fileIsPrivateToItsOwner()
    {
        IniSettingsStore store(path());
        store.save(QStringLiteral("Password"), QStringLiteral("secret"));
        QCOMPARE(modeOf(path()), mode_t(0600));
        store.save(QStringLiteral("Password"), QStringLiteral("secret2"));
        QCOMPARE(modeOf(path()), mode_t(0600));
    }

    void existingFileIsTightened()
    {
        {
            IniSettingsStore store(path());
            store.save(QStringLiteral("Password"), QStringLiteral("secret"));
        }
        QVERIFY(::chmod(QFile::encodeName(path()).constData(), 0644) == 0);
        IniSettingsStore reopened(path());
        QCOMPARE(modeOf(path()), mode_t(0600));
        QCOMPARE(reopened.read(QStringLiteral("password")), QStringLiteral("secret"));
    }

    void failedSaveThrows()
    {
        // A folder that is really a file fails for root too.
        QFile blocker(dir.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        IniSettingsStore store(dir.filePath(QStringLiteral("blocker/Mirabo.conf")));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 store.save(QStringLiteral("SMTP"), QStringLiteral("x.y")));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
