#include "Module1.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

bool hasUnreapedChild()
{
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

QString writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("#!/bin/sh\n" + body);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QString quoted(const QString &s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

// Starts the program and waits for its end, as the window's loop would.
int runToEnd(const QString &commandLine, QString *lastErrorLine = nullptr,
             const QString &workingDirectory = QDir::currentPath())
{
    const std::unique_ptr<Module1::ProgramRun> run = Module1::RunAndWait(commandLine, workingDirectory);
    QSignalSpy finished(run.get(), &Module1::ProgramRun::finished);
    // never from within the call
    if (!finished.isEmpty() || !finished.wait(30000) || finished.size() != 1)
        return -1000;
    if (lastErrorLine)
        *lastErrorLine = finished[0][1].toString();
    return finished[0][0].toInt();
}

} // namespace

class TestRunAndWait : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void reportsHowTheProgramEnded_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<int>("expected");
        QTest::newRow("success") << QStringLiteral("/bin/true") << 0;
        QTest::newRow("exit 3") << QStringLiteral("/bin/sh -c \"exit 3\"") << 3;
        QTest::newRow("found on PATH") << QStringLiteral("sh -c \"exit 7\"") << 7;
        QTest::newRow("killed") << QStringLiteral("/bin/sh -c \"kill -9 $$\"") << 128 + 9;
        QTest::newRow("missing program") << QStringLiteral("/nonexistent/avi2mpg1 -e") << Module1::kCouldNotStart;
        QTest::newRow("empty") << QStringLiteral("   ") << Module1::kCouldNotStart;
    }
    void reportsHowTheProgramEnded()
    {
        QFETCH(QString, commandLine);
        QFETCH(int, expected);
        QCOMPARE(runToEnd(commandLine), expected);
    }

    void quotedProgramPathMayHoldSpaces()
    {
        QDir(dir.path()).mkpath(QStringLiteral("Program Files/Mirabo"));
        const QString program = writeScript(dir.filePath(QStringLiteral("Program Files/Mirabo/enc")),
                                            "exit 5\n");
        QCOMPARE(runToEnd(quoted(program) + QStringLiteral(" -e -s 600")), 5);
        // unquoted, the path splits at the space and names nothing
        QCOMPARE(runToEnd(program + QStringLiteral(" -e")), Module1::kCouldNotStart);
    }

    void wordsReachTheProgramLiterally()
    {
        const QString out = dir.filePath(QStringLiteral("args.txt"));
        const QString program = writeScript(dir.filePath(QStringLiteral("args")),
                                            "for a in \"$@\"; do printf '%s|' \"$a\"; done > \"$OUT\"\n");
        qputenv("OUT", out.toLocal8Bit());
        const int status = runToEnd(
            quoted(program) + QStringLiteral(" -e  -s 600 * $HOME \"two words\" a\\\"b video.avi"));
        QCOMPARE(status, 0);
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        // no globbing, no expansion, quotes group and vanish, \" is a quote
        QCOMPARE(f.readAll(), QByteArray("-e|-s|600|*|$HOME|two words|a\"b|video.avi|"));
    }

    void runsInTheCurrentDirectoryWithTheProgramsEnvironment()
    {
        const QString program = writeScript(dir.filePath(QStringLiteral("where")),
                                            "pwd > where.txt; printf %s \"$MIRABO_PROBE\" >> where.txt\n");
        qputenv("MIRABO_PROBE", "inherited");
        QCOMPARE(runToEnd(quoted(program), nullptr, dir.path()), 0);
        QFile f(dir.filePath(QStringLiteral("where.txt")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(f.readAll()),
                 QDir(dir.path()).canonicalPath() + QStringLiteral("\ninherited"));
    }

    // A cancelled run ends within the kill delay, and a run let go of takes
    // its program with it.
    void cancelledOrAbandonedRunsEnd()
    {
        const QString program = writeScript(dir.filePath(QStringLiteral("stubborn")),
                                            "trap '' TERM; echo started >&2; while :; do sleep 0.1; done\n");
        auto run = Module1::RunAndWait(quoted(program), dir.path());
        QSignalSpy finished(run.get(), &Module1::ProgramRun::finished);
        QTest::qWait(300);
        QElapsedTimer clock;
        clock.start();
        run->cancel();
        QVERIFY(finished.isEmpty());
        QVERIFY(finished.wait(10000));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(finished[0][0].toInt(), 128 + SIGKILL);
        QCOMPARE(finished[0][1].toString(), QStringLiteral("started"));

        run = Module1::RunAndWait(QStringLiteral("/bin/sleep 30"), dir.path());
        QTest::qWait(100);
        run.reset();
        QVERIFY(!hasUnreapedChild());
    }

    void lastErrorLineIsKept_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one line") << QByteArray("echo 'avi2mpg1: disk full' >&2; exit 1")
                                  << QStringLiteral("avi2mpg1: disk full");
        QTest::newRow("last of several, blank lines after")
            << QByteArray("printf 'first\\nsecond\\n\\n  \\n' >&2") << QStringLiteral("second");
        QTest::newRow("no line break") << QByteArray("printf 'the end' >&2") << QStringLiteral("the end");
        QTest::newRow("standard output is not it") << QByteArray("echo out") << QString();
        QTest::newRow("a megabyte first")
            << QByteArray("head -c 1048576 /dev/zero | tr '\\0' x >&2; echo >&2; echo reason >&2")
            << QStringLiteral("reason");
        // a child left behind with the pipe does not hold the caller up
        QTest::newRow("child keeps the pipe")
            << QByteArray("sleep 60 >/dev/null & echo $! > grandchild.pid; echo reason >&2")
            << QStringLiteral("reason");
    }
    void lastErrorLineIsKept()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, expected);
        const QString program = writeScript(dir.filePath(QStringLiteral("says")), script + "\n");
        QElapsedTimer clock;
        clock.start();
        QString line = QStringLiteral("stale");
        const int status = runToEnd(quoted(program), &line, dir.path());
        const qint64 waited = clock.elapsed();
        QFile pid(dir.filePath(QStringLiteral("grandchild.pid")));
        if (pid.open(QIODevice::ReadOnly)) {
            ::kill(pid.readAll().trimmed().toInt(), SIGKILL);
            pid.remove();
        }
        QVERIFY(status == 0 || status == 1);
        QCOMPARE(line, expected);
        QVERIFY2(waited < 30000, qPrintable(QString::number(waited)));
    }

    void repeatedRunsLeaveNoChildAndNoDescriptor()
    {
        const int before = openDescriptors();
        QString line;
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(runToEnd(QStringLiteral("/bin/true")), 0);
            QCOMPARE(runToEnd(QStringLiteral("/bin/sh -c \"echo x >&2\""), &line), 0);
            QCOMPARE(runToEnd(QStringLiteral("/nonexistent"), &line), Module1::kCouldNotStart);
        }
        QCOMPARE(openDescriptors(), before);
        QVERIFY(!hasUnreapedChild());
    }
};

QTEST_GUILESS_MAIN(TestRunAndWait)
#include "tst_runandwait.moc"
