#pragma once

#include <QString>
#include <QtGlobal>

// The files a message is made of: the recording, the compressed clip and the
// composed message, kept in the working folder; and the encoder, which lies
// in the program directory.
//
// A working file is a regular file the program wrote itself. A symbolic link
// at such a name is never followed: it is not read, written through or
// deleted with its target.
namespace workfiles {

inline const QString Clip = QStringLiteral("video.avi");
inline const QString Compressed = QStringLiteral("mirabo.mpg");
// The compressed clip as phones and web mail play it (H.264 and AAC in MP4).
inline const QString CompressedForPhones = QStringLiteral("mirabo.mp4");
inline const QString Message = QStringLiteral("message.msg");
inline const QString Encoder = QStringLiteral("avi2mpg1");

// The program directory when it is a build's (it holds the file
// mirabo-build-tree) and this user can write it; otherwise, as for any
// installed program, $XDG_STATE_HOME/Mirabo (~/.local/state/Mirabo), made
// private to the user if it has to be created.
[[nodiscard]] QString workingFolder(const QString &programDir);

// Which file stands at a name, as the program wrote it: a file changed,
// replaced or put there by a link since then has another identity.
struct Identity
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    [[nodiscard]] bool valid() const { return size >= 0; }
    friend bool operator==(const Identity &, const Identity &) = default;
};

// The identity of the regular file at path; invalid for a link, a folder,
// anything else, or nothing.
[[nodiscard]] Identity identityOf(const QString &path);
// Removes path when it is a regular file; a link stays, and so does what it
// points to.
void removeRegularFile(const QString &path);
// Removes a symbolic link at path, so that a file written there next is a
// file of its own.
void removeLink(const QString &path);

} // namespace workfiles
