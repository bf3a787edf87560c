// The message session without a window: its components are stand-ins that
// finish when the test says so, and the encoder is a small script.
#include "CaptureComponent.h"
#include "MailMessage.h"
#include "MediaPlayer.h"
#include "MessageSession.h"
#include "SmtpComponent.h"
#include "SmtpErrors.h"
#include "WorkFolder.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>

using Stage = MessageSession::Stage;
using Action = MessageSession::Action;
using Closing = MessageSession::Closing;

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

// Records into the capture file when told to end; stop() ends it as a
// camera would, a moment later.
class FakeCapture : public CaptureComponent
{
public:
    QString file;
    int starts = 0, stops = 0;
    bool endOnStop = true;
    QString problem;   // what the next ending reports
    bool running = false;

    void finish(bool started = true)
    {
        if (!running)
            return;
        running = false;
        if (started)
            writeFile(file, "RIFF clip " + QByteArray::number(starts));
        QMetaObject::invokeMethod(this, [this, started] { emit captureEnded(started); }, Qt::QueuedConnection);
    }

    void setView(VideoView *) override {}
    void setCaptureFileName(const QString &path) override { file = path; }
    int32_t deviceCount() override { return 1; }
    QString deviceName(int32_t) override { return QStringLiteral("Fake"); }
    void setCurrentDevice(int32_t) override {}
    int32_t currentDevice() const override { return 0; }
    bool sourceDialogAvailable() override { return false; }
    bool formatDialogAvailable() override { return false; }
    bool displayDialogAvailable() override { return false; }
    void showSourceDialog() override {}
    void showFormatDialog() override {}
    void showDisplayDialog() override {}
    void setTimeLimitEnabled(bool) override {}
    void setCaptureAudio(bool) override {}
    void setYieldDuringCapture(bool) override {}
    void setPreviewDuringCapture(bool) override {}
    void setCaptureFrameRate(int32_t) override {}
    void setConfirmBeforeCapture(bool) override {}
    void setBufferSeconds(int32_t) override {}
    void prepareCapture(int32_t &value) override { value = 100; }
    void startCapture() override
    {
        ++starts;
        running = true;
        problem.clear();
    }
    bool isCapturing() const override { return running; }
    QString recordingProblem() const override { return problem; }
    bool stop() override
    {
        ++stops;
        if (running && endOnStop)
            finish();
        return running;
    }
};

class FakePlayer : public MediaPlayer
{
public:
    QStringList opened;   // every file name given, "" included
    int plays = 0;
    void setView(VideoView *) override {}
    void setFileName(const QString &path) override { opened << path; }
    void setAutoStart(bool) override {}
    void setAutoSize(bool) override {}
    void setDisplaySize(int32_t) override {}
    void setHeight(float) override {}
    void setWidth(float) override {}
    void play() override { ++plays; }
};

class FakeMessage : public MailMessage
{
public:
    void reset() override {}
    void setFrom(const QString &) override {}
    void setTo(const QString &) override {}
    void setMailer(const QString &) override {}
    void setSubject(const QString &) override {}
    void setBody(const QString &) override {}
    void attachFile(const QString &) override {}
    void saveToFile(const QString &path) override { writeFile(path, "the message\r\n"); }
    void verifyFile(const QString &path) override
    {
        if (readFile(path) != "the message\r\n")
            throw std::runtime_error("not the message");
    }
};

// Connects and delivers when told to; what it sent is what the file held.
class FakeSmtp : public SmtpComponent
{
public:
    bool autoConnect = true;
    bool autoDeliver = true;
    int connects = 0;
    QByteArrayList sent;
    int32_t code = 0;
    bool busy = false;
    bool connectedNow = false;

    void later(std::function<void()> f) { QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection); }
    void connectNow()
    {
        busy = false;
        connectedNow = true;
        later([this] { emit connected(); });
    }
    void deliverNow(int32_t status = 0)
    {
        busy = false;
        code = status;
        later([this, status] { emit sendFinished(int16_t(status)); });
    }

    void setHost(const QString &) override {}
    void setUserName(const QString &) override {}
    void setPassword(const QString &) override {}
    void connectToServer() override
    {
        ++connects;
        busy = true;
        connectedNow = false;
        if (autoConnect)
            connectNow();
    }
    void setSender(const QString &) override {}
    void clearEnvelope() override {}
    void setRecipient(const QString &) override {}
    void sendFile(const QString &, const QString &, const QString &path) override
    {
        busy = true;
        QFile f(path);
        sent << (f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
        later([this] { emit waitingForAcceptance(); });
        if (autoDeliver)
            deliverNow();
    }
    int32_t lastErrorCode() const override { return code; }
    QString lastErrorText() const override { return code ? QStringLiteral("refused") : QString(); }
    int16_t resetSession() override { return 0; }
    void disconnectFromServer() override {}
    bool isBusy() const override { return busy; }
    void cancel() override
    {
        if (!busy)
            return;
        busy = false;
        code = smtp::Cancelled;
        const bool wasConnecting = !connectedNow;
        later([this, wasConnecting] {
            if (wasConnecting)
                emit connectFailed(smtp::Cancelled);
            else
                emit sendFinished(smtp::Cancelled);
        });
    }
};

// One session in a folder of its own; the encoder does what the file "mode"
// beside it says: ok, fail or slow.
struct Rig
{
    QTemporaryDir dir;
    FakeCapture capture;
    FakePlayer player;
    FakeMessage message;
    FakeSmtp smtp;
    std::unique_ptr<WorkFolder> folder;
    std::unique_ptr<MessageSession> session;

    Rig() { start(); }
    void start()
    {
        session.reset();
        folder.reset();
        folder = std::make_unique<WorkFolder>(dir.path());
        QVERIFY(folder->claim());
        capture.setCaptureFileName(file("video.avi"));
        session = std::make_unique<MessageSession>(
            SessionParts{capture, player, message, smtp, *folder, dir.path()});
        writeFile(file("avi2mpg1"),
                  "#!/bin/sh\ncase $(cat mode) in\n"
                  " ok) printf 'mpeg of ' > \"$5\"; cat \"$4\" >> \"$5\" ;;\n"
                  " fail) echo 'avi2mpg1: cannot open video.avi: bad' >&2; exit 1 ;;\n"
                  " slow) printf partial > \"$5.Ab12Cd\"; exec sleep 30 ;;\nesac\n");
        QFile::setPermissions(file("avi2mpg1"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        encoder("ok");
        session->restore();
    }
    QString file(const QString &name) const { return QDir(dir.path()).filePath(name); }
    void encoder(const QByteArray &mode) { writeFile(file("mode"), mode); }
    bool settle(Stage stage)
    {
        return QTest::qWaitFor([&] { return session->stage() == stage; }, 10000);
    }

    void reach(const QString &where)
    {
        const auto recorded = [&] {
            QVERIFY(session->record());
            QVERIFY(session->stopRecording());
            QVERIFY(settle(Stage::Recorded));
        };
        const auto compressed = [&] {
            recorded();
            QVERIFY(session->compress());
            QVERIFY(settle(Stage::Compressed));
        };
        if (where == "addressing") {
        } else if (where == "recording") {
            QVERIFY(session->record());
        } else if (where == "recording again") {
            recorded();
            QVERIFY(session->record());
        } else if (where == "recorded") {
            recorded();
        } else if (where == "compressing") {
            recorded();
            encoder("slow");
            QVERIFY(session->compress());
        } else if (where == "compressed") {
            compressed();
        } else if (where == "sending") {
            compressed();
            smtp.autoConnect = false;
            QVERIFY(session->send({"ann@example.com", "bob@example.org", "smtp.example.com", "", ""}));
        } else if (where == "awaiting acceptance") {
            compressed();
            smtp.autoDeliver = false;
            QVERIFY(session->send({"ann@example.com", "bob@example.org", "smtp.example.com", "", ""}));
            QVERIFY(settle(Stage::AwaitingAcceptance));
        }
    }
    bool act(Action action)
    {
        switch (action) {
        case Action::Record: return session->record();
        case Action::Stop: return session->stopRecording();
        case Action::Play: return session->play();
        case Action::Compress: return session->compress();
        case Action::Send:
            return session->send({"ann@example.com", "bob@example.org", "smtp.example.com", "", ""});
        case Action::Cancel: return session->cancel();
        }
        return false;
    }
};

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    // Every action in every stage: the ones the stage does not allow change
    // nothing, the others lead where they should once their jobs are over.
    void everyActionInEveryStage_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<Action>("action");
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<Stage>("settled");
        const QList<Action> actions = {Action::Record, Action::Stop, Action::Play,
                                       Action::Compress, Action::Send, Action::Cancel};
        const auto row = [&](const char *stage, Stage before, QMap<Action, Stage> allowed) {
            for (Action a : actions) {
                QTest::addRow("%s, %s", stage, QMetaEnum::fromType<Action>().valueToKey(int(a)))
                    << QString::fromLatin1(stage) << a << allowed.contains(a) << allowed.value(a, before);
            }
        };
        row("addressing", Stage::Addressing, {{Action::Record, Stage::Recording}});
        row("recording", Stage::Recording, {{Action::Stop, Stage::Recorded}});
        row("recording again", Stage::Recording,
            {{Action::Stop, Stage::Recorded}, {Action::Play, Stage::Recorded}, {Action::Compress, Stage::Compressed}});
        row("recorded", Stage::Recorded,
            {{Action::Record, Stage::Recording}, {Action::Play, Stage::Recorded}, {Action::Compress, Stage::Compressed}});
        row("compressing", Stage::Compressing, {{Action::Cancel, Stage::Recorded}});
        row("compressed", Stage::Compressed,
            {{Action::Record, Stage::Recording}, {Action::Play, Stage::Compressed},
             {Action::Compress, Stage::Compressed}, {Action::Send, Stage::Addressing}});
        row("sending", Stage::Sending, {{Action::Cancel, Stage::Compressed}});
        row("awaiting acceptance", Stage::AwaitingAcceptance, {{Action::Cancel, Stage::Compressed}});
    }
    void everyActionInEveryStage()
    {
        QFETCH(QString, stage);
        QFETCH(Action, action);
        QFETCH(bool, allowed);
        QFETCH(Stage, settled);
        Rig rig;
        rig.reach(stage);
        const Stage before = rig.session->stage();
        const int starts = rig.capture.starts, connects = rig.smtp.connects;
        const QByteArray clip = readFile(rig.file("video.avi"));
        QSignalSpy encoding(rig.session.get(), &MessageSession::compressStarted);

        QCOMPARE(rig.act(action), allowed);
        if (!allowed) {
            QCOMPARE(rig.session->stage(), before);
            QCOMPARE(rig.capture.starts, starts);
            QCOMPARE(rig.smtp.connects, connects);
            QVERIFY(encoding.isEmpty());
            QCOMPARE(readFile(rig.file("video.avi")), clip);
            return;
        }
        if (stage == "compressing")
            QTRY_VERIFY_WITH_TIMEOUT(rig.session->stage() != Stage::Compressing, 10000);
        QVERIFY2(rig.settle(settled), QMetaEnum::fromType<Stage>().valueToKey(int(rig.session->stage())));
        if (action == Action::Play) {
            QCOMPARE(rig.player.opened.last(), rig.file("video.avi"));
            QCOMPARE(rig.player.plays, 1);
        }
        if (settled == Stage::Addressing) {
            // delivered: nothing of it is left to play, compress or send
            for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
                QVERIFY2(!QFile::exists(rig.file(name)), name);
            QCOMPARE(rig.player.opened.last(), QString());
            QVERIFY(rig.session->attachment().isEmpty());
        }
    }

    void faultsAndClosing()
    {
        {   // a recording that breaks off while Compress waits for it: no compression
            Rig rig;
            rig.reach("recording again");
            QSignalSpy ended(rig.session.get(), &MessageSession::recordingEnded);
            QSignalSpy encoding(rig.session.get(), &MessageSession::compressStarted);
            rig.capture.endOnStop = false;
            QVERIFY(rig.session->compress());
            QVERIFY(!rig.session->compress());   // once is enough
            rig.capture.finish();
            rig.capture.problem = QStringLiteral("No space left on device");
            QVERIFY(ended.wait());
            QCOMPARE(ended[0][1].toString(), QStringLiteral("No space left on device"));
            QCOMPARE(rig.session->stage(), Stage::Addressing);
            QTest::qWait(50);
            QVERIFY(encoding.isEmpty());
            QVERIFY(!QFile::exists(rig.file("video.avi")));
            QVERIFY(rig.session->attachment().isEmpty());
        }
        {   // a refused delivery keeps everything; a cancelled connection is a failed send
            Rig rig;
            rig.reach("compressed");
            rig.smtp.autoDeliver = false;
            QSignalSpy failed(rig.session.get(), &MessageSession::sendFailed);
            QSignalSpy connectFailed(rig.session.get(), &MessageSession::connectFailed);
            QVERIFY(rig.act(Action::Send));
            QTRY_VERIFY(!rig.smtp.sent.isEmpty());
            rig.smtp.deliverNow(550);
            QVERIFY(failed.wait());
            QCOMPARE(failed[0][0].toInt(), 550);
            QCOMPARE(rig.session->stage(), Stage::Compressed);
            QVERIFY(!rig.session->attachment().isEmpty());
            rig.smtp.autoConnect = false;
            QVERIFY(rig.act(Action::Send));
            QVERIFY(rig.session->cancel());
            QVERIFY(failed.wait());
            QCOMPARE(failed[1][0].toInt(), int(smtp::Cancelled));
            QVERIFY(connectFailed.isEmpty());
        }
        // closing: at once where nothing runs; otherwise once the job has
        // ended, and then without a word
        const QList<QPair<QString, Closing>> closings = {
            {"addressing", Closing::Now}, {"recorded", Closing::Now}, {"compressed", Closing::Now},
            {"recording", Closing::Later}, {"compressing", Closing::Later}, {"sending", Closing::Later},
            {"awaiting acceptance", Closing::Ask}};
        for (const auto &[where, expected] : closings) {
            Rig rig;
            rig.reach(where);
            QSignalSpy ready(rig.session.get(), &MessageSession::readyToClose);
            QSignalSpy told(rig.session.get(), &MessageSession::sendFailed);
            QSignalSpy ended(rig.session.get(), &MessageSession::recordingEnded);
            QSignalSpy failed(rig.session.get(), &MessageSession::compressFailed);
            const Closing closing = rig.session->requestClose();
            QVERIFY2(closing == expected, qPrintable(where));
            if (closing == Closing::Ask)
                rig.session->closeAnyway();
            if (closing != Closing::Now) {
                QVERIFY2(ready.wait(5000), qPrintable(where));
                QCOMPARE(rig.session->requestClose(), Closing::Now);
            }
            QVERIFY(told.isEmpty() && ended.isEmpty() && failed.isEmpty());
            if (where == "recording") {   // the clip is finished and kept
                QCOMPARE(rig.session->stage(), Stage::Recorded);
                rig.start();
                QCOMPARE(rig.session->stage(), Stage::Recorded);
            }
            if (where == "compressing") {   // the encoder is gone, and what it left
                QCOMPARE(QDir(rig.dir.path()).entryList({"mirabo.mpg*"}, QDir::Files), QStringList());
                QCOMPARE(rig.session->stage(), Stage::Recorded);
            }
            if (where == "awaiting acceptance")   // told at the next start
                QCOMPARE(rig.folder->record().unconfirmedTo, QStringLiteral("bob@example.org"));
        }
    }

    void startUpWithFilesLeftOnDisk()
    {
        Rig rig;
        rig.reach("compressed");
        writeFile(rig.file("mirabo.mpg.Xy12Z9"), "left by a killed encoder");
        writeFile(rig.file("notes.txt"), "mine");
        rig.start();
        QCOMPARE(rig.session->stage(), Stage::Compressed);
        QVERIFY(!QFile::exists(rig.file("mirabo.mpg.Xy12Z9")));
        QVERIFY(QFile::exists(rig.file("notes.txt")));

        // the compressed clip changed since: the clip alone is taken up
        writeFile(rig.file("mirabo.mpg"), "someone else's");
        rig.start();
        QCOMPARE(rig.session->stage(), Stage::Recorded);
        QVERIFY(!QFile::exists(rig.file("mirabo.mpg")));

        // a clip the program did not finish is removed
        QVERIFY(rig.session->record());
        writeFile(rig.file("video.avi"), "RIFF half");
        rig.start();
        QCOMPARE(rig.session->stage(), Stage::Addressing);
        QVERIFY(!QFile::exists(rig.file("video.avi")));

        // a delivery the program was closed on is told of once
        rig.reach("awaiting acceptance");
        QCOMPARE(rig.session->requestClose(), Closing::Ask);
        rig.session->closeAnyway();
        QTRY_COMPARE(rig.session->requestClose(), Closing::Now);
        rig.session.reset();
        MessageSession later(SessionParts{rig.capture, rig.player, rig.message, rig.smtp, *rig.folder, rig.dir.path()});
        const MessageSession::Restored found = later.restore();
        QCOMPARE(found.unconfirmedTo, QStringLiteral("bob@example.org"));
        QVERIFY(found.unconfirmedAt.isValid());
        QCOMPARE(found.stage, Stage::Compressed);
        QVERIFY(later.restore().unconfirmedTo.isEmpty());

        // a pipe in the record's place is neither read nor waited on
        QVERIFY(QFile::remove(rig.file("mirabo.session")));
        QCOMPARE(::mkfifo(QFile::encodeName(rig.file("mirabo.session")).constData(), 0600), 0);
        rig.start();
        QCOMPARE(rig.session->stage(), Stage::Addressing);
    }

    // A link at a working file's name, planted before the file is written or
    // after, is never followed: not written through, not read, not deleted
    // with what it points to.
    void linksAreNeverFollowed()
    {
        Rig rig;
        QTemporaryDir outside;
        const auto plant = [&](const char *name) {
            const QString target = QDir(outside.path()).filePath(QString::fromLatin1(name));
            writeFile(target, QByteArray("outside ") + name);
            QFile::remove(rig.file(name));
            QVERIFY(QFile::link(target, rig.file(name)));
        };
        const auto outsideIntact = [&] {
            for (const QString &name : QDir(outside.path()).entryList(QDir::Files))
                QCOMPARE(readFile(QDir(outside.path()).filePath(name)), "outside " + name.toUtf8());
        };
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            plant(name);
        rig.reach("compressed");
        outsideIntact();
        QVERIFY(!QFileInfo(rig.file("video.avi")).isSymLink());

        // put there after the program wrote its own
        plant("video.avi");
        QVERIFY(rig.session->play());
        QCOMPARE(rig.player.plays, 0);
        QVERIFY(rig.session->attachment().isEmpty());
        QSignalSpy failed(rig.session.get(), &MessageSession::compressFailed);
        QVERIFY(rig.session->compress());
        QVERIFY(failed.wait());
        outsideIntact();

        rig.start();
        rig.reach("compressed");
        rig.smtp.autoConnect = false;
        QVERIFY(rig.act(Action::Send));
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            plant(name);
        QSignalSpy sendFailed(rig.session.get(), &MessageSession::sendFailed);
        rig.smtp.connectNow();
        QVERIFY(sendFailed.wait());
        QCOMPARE(sendFailed[0][0].toInt(), int(smtp::FileUnreadable));
        QVERIFY(rig.smtp.sent.isEmpty());

        // a delivery leaves links planted during it alone
        rig.start();
        rig.smtp.autoConnect = true;
        rig.reach("compressed");
        rig.smtp.autoDeliver = false;
        QVERIFY(rig.act(Action::Send));
        QTRY_COMPARE(rig.smtp.sent.size(), 1);
        QCOMPARE(rig.smtp.sent[0], QByteArray("the message\r\n"));
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            plant(name);
        rig.smtp.deliverNow();
        QVERIFY(rig.settle(Stage::Addressing));
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            QVERIFY(QFileInfo(rig.file(name)).isSymLink());
        outsideIntact();
    }

    void oneCopyAtATime()
    {
        QTemporaryDir dir;
        WorkFolder first(dir.path());
        QVERIFY(first.claim());
        QSignalSpy wanted(&first, &WorkFolder::ownerWanted);
        WorkFolder second(dir.path());
        QVERIFY(!second.claim());
        QVERIFY(second.callOwner());
        QVERIFY(wanted.wait(5000));
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
