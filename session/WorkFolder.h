#pragma once

#include "WorkFiles.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// The folder that holds one message's working files, used by one copy of the
// program at a time.
//
// The lock is a QLockFile, "mirabo.lock", in the folder; a lock left by a copy
// that has died is taken over. The copy holding it listens on a local socket
// named after the folder, so that a second copy can ask it to come forward
// (ownerWanted) and then leave everything alone.
//
// Beside the files lies "mirabo.session": which files this copy wrote
// (their identities), when the clip was recorded, and a delivery that may
// have been accepted although the program was closed before the server said
// so. A later run goes by it to tell a whole file from a half-written one.
// It is written whole, through a new file renamed into place, and read only
// when it is a regular file of sensible size.
class WorkFolder : public QObject
{
    Q_OBJECT
public:
    struct Record
    {
        workfiles::Identity clip;
        QDateTime recordedAt;
        workfiles::Identity compressed;
        QString compressedName = workfiles::Compressed;   // or CompressedForPhones
        workfiles::Identity compressedFrom;   // the clip it was made from
        QString unconfirmedTo;                // a delivery the program did not see end
        QDateTime unconfirmedAt;
        friend bool operator==(const Record &, const Record &) = default;
    };

    explicit WorkFolder(QString path, QObject *parent = nullptr);
    ~WorkFolder() override;

    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString file(const QString &name) const;

    // True when this copy holds the folder from now on.
    [[nodiscard]] bool claim();
    [[nodiscard]] bool claimed() const { return m_claimed; }
    // Asks the copy that holds the folder to come forward; false when none
    // answered within a second.
    [[nodiscard]] bool callOwner() const;

    [[nodiscard]] Record record() const { return m_record; }
    // Kept in memory whatever happens; false when it could not be written.
    bool setRecord(const Record &record);

signals:
    void ownerWanted();

private:
    void readRecord();
    [[nodiscard]] QString socketName() const;

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_claimed = false;
    Record m_record;
};
