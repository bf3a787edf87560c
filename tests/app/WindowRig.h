#pragma once

// The real window with the real components, in a program directory and a
// settings location of its own; the dialogues are answered by the test.

#include "CaptureTestSupport.h"
#include "FlatButton.h"
#include "GradientProgressBar.h"
#include "GstCapture.h"
#include "Lamp.h"
#include "RealParts.h"
#include "ScriptedDialogs.h"
#include "SettingsStore.h"
#include "TestPaths.h"
#include "WorkFolder.h"
#include "frmMain.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>
#include <stdexcept>

namespace windowtest {

const QString kStep2Text = QStringLiteral(
    "Send a video email in 7 Easy Steps. If you're own email address has not appeared in the "
    "email from box, type it in now, otherwise, type in the email address of the person you "
    "wish to send a VideoEmail to and then press the TAB key.");
const QString kStep3Text
    = QStringLiteral("Now type in the Subject of your Video Email, then press the TAB key");
const QString kStep4Text = QStringLiteral(
    "Now Click the Record button When you're ready to record your message. Recording will start "
    "as soon as you click it");
const QString kStep5Text = QStringLiteral(
    "You can now Play back the video to check it, and Re-Record it if needed, but you must "
    "Compress the Video before sending it out");
const QString kStep6Text
    = QStringLiteral("The Video was compressed, and can now be sent, click the Send button.");

using capturetest::useTestDevices;

inline QList<int> lampStates(const frmMain &w)
{
    QList<int> states;
    for (const Lamp *lamp : w.LEDsteps)
        states << lamp->state();
    return states;
}

inline QStringList deviceEntries(const frmMain &w)
{
    QStringList captions;
    for (const QAction *a : w.mnuDevs)
        captions << a->text();
    return captions;
}

// Makes a short MJPEG + PCM clip like the recorder's.
inline bool makeClip(const QString &path, double seconds = 2.0)
{
    QProcess p;
    p.start(QStringLiteral("ffmpeg"),
            {"-v", "error", "-y", "-f", "lavfi", "-i",
             QStringLiteral("testsrc2=size=320x240:rate=25:duration=%1").arg(seconds), "-f",
             "lavfi", "-i", QStringLiteral("sine=frequency=440:sample_rate=44100:duration=%1").arg(seconds),
             "-c:v", "mjpeg", "-q:v", "5", "-c:a", "pcm_s16le", path});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The real store, made to fail on demand: a failing disk is hard to stage
// for a test that may run as root.
class FailingStore : public SettingsStore
{
public:
    explicit FailingStore(const QString &path) : real(path) {}
    QString read(const QString &name) const override { return real.read(name); }
    void save(const QString &name, const QString &value) override
    {
        if (failing)
            throw std::runtime_error("Could not save the setting " + name.toStdString()
                                     + ": the disk is full");
        real.save(name, value);
    }
    IniSettingsStore real;
    bool failing = false;
};

using Stage = MessageSession::Stage;

// Waits until no job runs (a recording, a compression, a delivery).
inline bool settles(frmMain &w, int ms = 30000)
{
    return QTest::qWaitFor(
        [&] { return !w.session().busy() && w.session().stage() != Stage::Recording; }, ms);
}

class WindowRig
{
public:
    // programFolder: the program directory's name inside the rig's folder.
    // It is marked as a build's, so that the working files are kept in it.
    explicit WindowRig(const QString &programFolder = QStringLiteral("Mirabo"))
        : programDir(dir.filePath(programFolder))
        , settingsPath(dir.filePath(QStringLiteral("config/Mirabo/Mirabo.conf")))
    {
        QDir().mkpath(programDir);
        QFile mark(file(QStringLiteral("mirabo-build-tree")));
        if (!mark.open(QIODevice::WriteOnly))
            qWarning("the rig's program directory cannot be marked as a build's");
    }

    void storeSettings(const QMap<QString, QString> &values)
    {
        IniSettingsStore store(settingsPath);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.save(it.key(), it.value());
    }
    void storeTypicalSettings(const QString &smtp = QStringLiteral("localhost:2525"))
    {
        storeSettings({{"EmailAddress", "ann@example.com"}, {"FullName", "Ann Smith"},
                       {"SMTP", smtp}, {"UserName", ""}, {"Password", ""}});
    }
    [[nodiscard]] QString stored(const QString &name) const
    {
        return IniSettingsStore(settingsPath).read(name);
    }

    // The encoder as the program finds it: beside the program.
    bool installEncoder()
    {
        return QFile::link(QDir(testpaths::programDir()).filePath(QStringLiteral("avi2mpg1")),
                           file(QStringLiteral("avi2mpg1")));
    }
    [[nodiscard]] QString file(const QString &name) const { return QDir(programDir).filePath(name); }

    // A clip (and its compressed form) as an earlier run of the program left
    // them: the window starts with them offered again.
    void leaveFiles(const QByteArray &clip, const QByteArray &compressed = QByteArray())
    {
        const auto write = [this](const char *name, const QByteArray &data) {
            QFile f(file(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        if (!clip.isNull())
            write("video.avi", clip);
        if (!compressed.isNull())
            write("mirabo.mpg", compressed);
        noteFiles();
    }
    // Notes whatever clip and compressed clip lie in the folder as the
    // program's own.
    void noteFiles()
    {
        WorkFolder folder(programDir);
        QVERIFY(folder.claim());
        WorkFolder::Record r;
        r.clip = workfiles::identityOf(file(QStringLiteral("video.avi")));
        r.recordedAt = QDateTime::currentDateTime();
        r.compressed = workfiles::identityOf(file(QStringLiteral("mirabo.mpg")));
        if (r.compressed.valid())
            r.compressedFrom = r.clip;
        QVERIFY(folder.setRecord(r));
    }

    // Builds the window as main() does, runs its load handling and shows it.
    // A part given here stands in for the real one.
    frmMain &start(CaptureComponent *capture = nullptr, SettingsStore *store = nullptr)
    {
        window.reset();
        parts.reset();
        parts = std::make_unique<RealParts>(programDir, settingsPath, &dialogs);
        FormParts p = parts->parts();
        FormParts used{capture ? *capture : p.capture, p.player, p.message, p.smtp,
                       store ? *store : p.store, p.dialogs, p.folder, p.programDir};
        window = std::make_unique<frmMain>(used);
        window->load();
        window->show();
        if (!QTest::qWaitForWindowActive(window.get()))
            qWarning("the window did not become active");
        return *window;
    }

    QTemporaryDir dir;
    const QString programDir;
    const QString settingsPath;
    ScriptedDialogs dialogs;
    std::unique_ptr<RealParts> parts;
    std::unique_ptr<frmMain> window;
};

} // namespace windowtest
