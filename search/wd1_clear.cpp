// Clearing one directory of the files that match the pattern.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

void Wd1::setWipedir(const QString& vNewValue) {
    if (work == 1)
        return;
    BusyScope busy(*this);
    ClearDir(vNewValue);
}

void Wd1::ClearDir(const QString& p) {
    Dir2Kill = p;
    if (Dir2Kill.isEmpty())
        return;
    Dir2Kill = FixPath(platform::trimBlanks(Dir2Kill));
    const QString D = Dir2Kill;
    // A blank or one-letter value would name the process's current directory, and an empty
    // pattern or one that holds a separator would reach files the caller never named.
    if (D.size() < 2 || tpat.isEmpty() || tpat.contains(QLatin1Char('\\')) ||
        tpat.contains(QLatin1Char('/')))
        return;

    platform::DirListing listing(D + tpat, platform::AttrReadOnly | platform::AttrHidden |
                                               platform::AttrSystem | platform::AttrArchive);
    if (listing.error())
        return;
    while (!listing.atEnd() && work != 0) {
        const QString N = listing.name();
        platform::FsError error = platform::setAttributes(D + N, platform::AttrNormal);
        if (work == 0)
            return;
        // A file whose attributes could not be cleared is not deleted.
        if (!error)
            error = platform::deleteFile(D + N);
        platform::DoEvents();
        if (error) {
            platform::MsgBox(QStringLiteral("Error Clearing Cached File ") + D + N +
                                 QLatin1Char('\n') + error.description,
                             platform::vbOKOnly, wd1detail::kComponentTitle);
            return;
        }
        platform::DoEvents();
        listing.next();
        platform::DoEvents();
    }
}
