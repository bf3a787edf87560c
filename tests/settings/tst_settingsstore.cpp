#include "SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

    void writeFile(const QByteArray &bytes) const
    {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray readFile() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool setModified(const QDateTime &when) const
    {
        QFile f(path());
        return f.open(QIODevice::ReadWrite) && f.setFileTime(when, QFileDevice::FileModificationTime);
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
        QTest::newRow("control characters before hex digits")
            << QString::fromUtf8("\x01" "a\x1f" "F\x7f" "9\r\n\v\\\"");
        QTest::newRow("list and comment marks") << QStringLiteral(" a, b ;c ");
        QTest::newRow("typed-value marks") << QStringLiteral("@Invalid()");
        QTest::newRow("emoji") << QString::fromUtf8("\xF0\x9F\x98\x80 ok");
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

    void savingKeepsTheRestOfTheFileByteForByte()
    {
        QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
        const QByteArray original = "\xEF\xBB\xBF; written by hand\n[Settings]\r\nFullName=Zo\xE9\r\n"
                                    "username=old ; the old spelling\r\nUserName=old\r\n\r\n"
                                    "[Other]\nSMTP=not this one\n";
        writeFile(original);
        const QDateTime stamp = QDateTime::currentDateTime().addDays(-1);
        QVERIFY(setModified(stamp));
        IniSettingsStore store(path());
        QVERIFY(store.notice().isEmpty());

        // a value already held is not written again
        store.save(QStringLiteral("USERNAME"), QStringLiteral("old"));
        QCOMPARE(QFileInfo(path()).lastModified(), stamp);

        store.save(QStringLiteral("Username"), QStringLiteral("new"));
        store.save(QStringLiteral("SMTP"), QStringLiteral("smtp.example.net"));
        QCOMPARE(readFile(), QByteArray("\xEF\xBB\xBF; written by hand\n[Settings]\r\nFullName=Zo\xE9\r\n"
                                        "Username=\"new\" ; the old spelling\r\n"
                                        "SMTP=\"smtp.example.net\"\r\n\r\n"
                                        "[Other]\nSMTP=not this one\n"));
        QCOMPARE(store.read(QStringLiteral("smtp")), QStringLiteral("smtp.example.net"));
        QCOMPARE(modeOf(path()), mode_t(0600));
    }

    void somethingElseAtThePathIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("folder") << QStringLiteral("folder") << QStringLiteral("is a folder");
        QTest::newRow("link") << QStringLiteral("link") << QStringLiteral("is a link");
        QTest::newRow("read-only file") << QStringLiteral("0400") << QStringLiteral("is read-only");
    }
    void somethingElseAtThePathIsLeftAlone()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        QTemporaryDir here;
        const QString at = here.filePath(QStringLiteral("Mirabo.conf"));
        const QString target = here.filePath(QStringLiteral("elsewhere.conf"));
        const QByteArray content = "[Settings]\nEmailAddress=ann@example.com\n";
        const QByteArray native = QFile::encodeName(at);
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(at));
            QVERIFY(::chmod(native.constData(), 0755) == 0);
        } else {
            QFile f(kind == QLatin1String("link") ? target : at);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
            f.close();
            QVERIFY(::chmod(QFile::encodeName(f.fileName()).constData(),
                            kind == QLatin1String("link") ? 0644 : 0400) == 0);
            if (kind == QLatin1String("link"))
                QVERIFY(QFile::link(target, at));
        }
        const QString changing = kind == QLatin1String("link") ? target : at;
        const mode_t modeBefore = modeOf(changing);

        IniSettingsStore store(at);
        QVERIFY2(store.notice().contains(at) && store.notice().contains(says), qPrintable(store.notice()));
        QCOMPARE(store.read(QStringLiteral("EmailAddress")),
                 kind == QLatin1String("folder") ? QString() : QStringLiteral("ann@example.com"));
        store.save(QStringLiteral("EmailAddress"), QStringLiteral("bob@example.org"));
        QCOMPARE(store.read(QStringLiteral("emailaddress")), QStringLiteral("bob@example.org"));

        QCOMPARE(modeOf(changing), modeBefore);
        QCOMPARE(QFileInfo(at).isSymLink(), kind == QLatin1String("link"));
        if (kind != QLatin1String("folder")) {
            QFile f(changing);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), content);
        }
        QCOMPARE(QDir(here.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size(),
                 kind == QLatin1String("link") ? 2 : 1);
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
        // said once; the values are kept for this run
        QVERIFY(!store.isSaving());
        store.save(QStringLiteral("FullName"), QStringLiteral("Ann"));
        QCOMPARE(store.read(QStringLiteral("SMTP")), QStringLiteral("x.y"));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
