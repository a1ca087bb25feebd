// The existence test and the splitting of path texts into volume, folder and file parts.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

using platform::trimBlanks;

bool Wd1::Exists(const QString& sObj) {
    if (sObj.isEmpty())
        return false;
    // The listing already ignores letter case, so the path goes as typed: upper-casing it
    // first would change the length of some non-ASCII names and lose them.
    const platform::DirListing listing(sObj, platform::AttrDirectory);
    if (listing.error()) {
        // A failed lookup found nothing; answering from an earlier lookup could delete or
        // skip the wrong thing.
        lastFound.clear();
        return false;
    }
    lastFound = listing.name();
    return !lastFound.isEmpty();
}

bool Wd1::FolderExists(const QString& path) {
    return Exists(GetVolume(path) + GetFolder(path));
}

QString Wd1::FixPath(const QString& path) {
    QString fixed = trimBlanks(path);
    if (fixed.size() >= 2 && !fixed.endsWith(QLatin1Char('\\')))
        fixed += QLatin1Char('\\');
    return fixed;
}

QString Wd1::GetVolume(const QString& path) {
    if (path.size() < 3)
        return QString();
    if (path.size() == 3)
        return trimBlanks(path);
    qsizetype separator = path.indexOf(QLatin1Char('\\'));
    if (separator < 0)
        separator = path.indexOf(QLatin1Char(':'));
    if (separator < 0) {
        platform::MsgBox(QStringLiteral("Error Parsing Volume Name, Abort @#$xVolume!"),
                         platform::vbOKOnly, wd1detail::kComponentTitle);
        return QString();
    }
    if (separator == path.size() - 1)
        return QString();
    QString volume = path.left(separator);
    if (volume.size() == 1)
        volume += QLatin1Char(':');
    return volume;
}

QString Wd1::GetFolder(const QString& path) {
    if (path.size() < 4)
        return QString();
    const qsizetype first = path.indexOf(QLatin1Char('\\'));
    if (first < 0 || first == path.size() - 1)
        return QString();
    const qsizetype last = path.lastIndexOf(QLatin1Char('\\'));
    return path.mid(first, last - first + 1);
}

QString Wd1::GetFileTail(const QString& path) {
    if (path.size() < 4)
        return QString();
    const qsizetype last = path.lastIndexOf(QLatin1Char('\\'));
    return last < 0 ? path : path.mid(last + 1);
}
