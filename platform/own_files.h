#pragma once

// Files a program keeps for itself (a list, a log) in a folder that may also receive
// extracted files. Such a name is written only while it holds the very file made for that
// purpose; anything else found under it (an extracted file, a folder, a link) is left as
// it is, and the program's file goes beside it under the next free number. And the lock
// kept beside such a file, cleared when nothing alive holds it.

#include "platform/archive_removal.h"
#include "platform/dosfs.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {

class OwnFile {
public:
    // `purpose` tells this file from every other ("velmarch.log"). The file carries it as
    // a mark where the file system keeps one, so that a later start of the program knows
    // the file too; elsewhere only this object's memory of the file it made tells.
    explicit OwnFile(const QByteArray& purpose);
    ~OwnFile();
    OwnFile(const OwnFile&) = delete;
    OwnFile& operator=(const OwnFile&) = delete;

    // Opens for writing, empty, the first of `dosPath`, "name (2).ext", "name (3).ext"...
    // that is free (created exclusively) or holds this purpose's own file (cut to nothing).
    // Nothing is ever opened through a link. *opened: the DOS path chosen.
    FsError create(const QString& dosPath, QString* opened);
    // Each line ended by CR LF, in UTF-8.
    FsError writeLine(const QString& line);
    FsError close();

private:
    FsError flush();

    QByteArray m_mark;
    int m_fd = -1;
    QByteArray m_pending;
    std::optional<FileId> m_made; // the file this object last made or emptied
};

// Clears the lock file at `lockHostPath` when no live process holds it: a link (removed
// itself, never what it points to), an empty folder, a device or pipe, a file nobody keeps
// locked, and one that cannot even be read. A live holder's file, or one whose holder
// cannot be told, is left for the lock's own check. A folder with something in it is an
// error, as is a file that cannot be removed.
FsError clearDeadLock(const QString& lockHostPath);

} // namespace platform
