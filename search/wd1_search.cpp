// The search: a breadth-first walk that collects directories, then one listing per
// directory for the files that match the pattern, written to the list file.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

using wd1detail::withSeparator;

namespace {
const QString kDot = QStringLiteral(".");
const QString kDotDot = QStringLiteral("..");

bool isDotEntry(const QString& name) {
    return name == kDot || name == kDotDot;
}
} // namespace

void Wd1::GetAll() {
    if (work == 1)
        return;
    BusyScope busy(*this);
    Clr();

    setSPath(FixPath(sPath()));
    lstCache.append(sPath());
    platform::DoEvents();

    if (recurs != 0) {
        // lstCache is the queue: read by position, never shortened while the walk runs.
        qsizetype i = 0;
        for (;;) {
            // ">=" rather than "==": something run during a yield may have emptied the list.
            if (i >= lstCache.size()) {
                lstCache.clear();
                break;
            }
            const QString d = lstCache.at(i);
            ListSubDirs(d);
            lstRtn.append(d);
            if (work == 0)
                return;
            ++i;
            platform::DoEvents();
        }
    } else {
        // Without recursion the start directory is searched on its own.
        lstRtn = lstCache;
        lstCache.clear();
    }
    // A Cancel seen only by the last yield still leaves the list file as it was.
    if (work == 0)
        return;

    platform::TextWriter out;
    const QString listFile = OutFile();
    if (out.open(listFile))
        return;
    // The caller reads a missing list file as "nothing found"; a list that could not be
    // written in full is removed rather than passed off as complete.
    const auto abandon = [&] {
        out.close();
        platform::deleteFile(listFile);
    };

    const qsizetype n = lstRtn.size();
    for (qsizetype i = 0; i < n; ++i) {
        FindFiles(lstRtn.at(i));
        if (work == 0) {
            out.close();
            return;
        }
        for (const QString& line : std::as_const(lstCache)) {
            if (out.writeLine(line)) {
                abandon();
                return;
            }
        }
        lstCache.clear();
    }
    if (out.close())
        platform::deleteFile(listFile);
}

void Wd1::ListSubDirs(QString d) {
    if (d.size() < 2)
        return;
    d = withSeparator(d);
    for (platform::DirListing listing(d, platform::AttrDirectory); !listing.atEnd();
         listing.next()) {
        if (work == 0)
            return;
        // Files come back too; they can never pass the test below, and a large tree has
        // far too many of them to read each one's attributes.
        if (!listing.isDirectory())
            continue;
        const QString name = listing.name();
        if (isDotEntry(name))
            continue;
        const QString path = d + name;
        platform::FsError error;
        // Only a plain directory is entered: read-only, hidden and linked ones are not, so
        // the walk can never run in a cycle. An entry that cannot be read is passed over.
        if (platform::getAttributes(path, &error) == platform::AttrDirectory && !error)
            lstCache.append(path);
    }
}

void Wd1::FindFiles(QString d) {
    d = wd1detail::trimBlanks(d);
    if (d.size() < 2)
        return;
    d = withSeparator(d);
    platform::DirListing listing(d + tpat, platform::AttrReadOnly | platform::AttrHidden |
                                               platform::AttrSystem);
    for (; !listing.atEnd(); listing.next()) {
        const QString name = listing.name();
        if (isDotEntry(name))
            continue;
        if (work == 0)
            return;
        lstCache.append(d + name);
    }
}
