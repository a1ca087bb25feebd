// The search: a breadth-first walk that collects directories, then one listing per
// directory for the files that match the pattern, written to the list file.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

using wd1detail::withSeparator;

namespace {
const QString kDot = QStringLiteral(".");
const QString kDotDot = QStringLiteral("..");

// Matches are plain files and files with these flags; never directories.
constexpr int kFileFlags = platform::AttrReadOnly | platform::AttrHidden | platform::AttrSystem;

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
    const qsizetype n = lstRtn.size();
    for (qsizetype i = 0; i < n; ++i) {
        FindFiles(lstRtn.at(i));
        if (work == 0) {
            out.close();
            return;
        }
        for (const QString& line : std::as_const(lstCache)) {
            if (out.writeLine(line)) {
                out.close();
                platform::deleteFile(listFile);
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
    // One reading of each directory serves both phases: its plain subdirectories join the
    // queue, and its matching files are kept for the search, which would otherwise read
    // every directory of the tree a second time.
    QStringList& matches = walkMatches[d];
    constexpr int kEverything = platform::AttrDirectory | kFileFlags;
    for (platform::DirListing listing(d, kEverything); !listing.atEnd(); listing.next()) {
        if (work == 0)
            return;
        const QString name = listing.name();
        if (!listing.isDirectory()) {
            if (platform::matchesPattern(name, tpat))
                matches.append(name);
            continue;
        }
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
    if (platform::trimBlanks(d).size() < 2)
        return;
    // Not trimmed any further: on this host a directory name may end in a blank.
    d = withSeparator(d);
    QStringList names;
    if (const auto walked = walkMatches.find(d); walked != walkMatches.end()) {
        names = std::move(*walked);
        walkMatches.erase(walked);
    } else {
        for (platform::DirListing listing(d, kFileFlags); !listing.atEnd(); listing.next()) {
            if (platform::matchesPattern(listing.name(), tpat))
                names.append(listing.name());
        }
    }
    for (const QString& name : std::as_const(names)) {
        if (work == 0)
            return;
        lstCache.append(d + name);
    }
}
