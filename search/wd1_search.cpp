// The search: a breadth-first walk that collects directories, then one listing per
// directory for the files that match the pattern, written to the list file.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"
#include "platform/folder_walk.h"

#include <utility>

using wd1detail::withSeparator;

namespace {
// Matches are plain files and files with these flags; never directories.
constexpr int kFileFlags = platform::AttrReadOnly | platform::AttrHidden | platform::AttrSystem;

// Why a folder was not entered, in the words of its attributes.
QString attributeNames(int attributes) {
    static constexpr std::pair<int, const char*> kNames[] = {
        {platform::AttrReadOnly, "read-only"}, {platform::AttrHidden, "hidden"},
        {platform::AttrSystem, "system"},      {platform::AttrArchive, "archive"},
        {platform::AttrReparsePoint, "link"},
    };
    QStringList names;
    for (const auto& [bit, name] : kNames)
        if (attributes & bit)
            names.append(QLatin1String(name));
    return names.join(QStringLiteral(", "));
}
} // namespace

void Wd1::GetAll() {
    if (work == 1)
        return;
    BusyScope busy(*this);
    Clr();
    passedOver.clear();

    setSPath(FixPath(sPath()));
    const QString start = sPath();
    lstCache.append(start);
    platform::DoEvents();

    if (recurs != 0) {
        // lstCache is the queue: read by position, never shortened while the walk runs. The
        // walk numbers its folders in the order they join the queue, so a folder's number is
        // its position.
        platform::FolderWalk walk(start);
        qsizetype i = 0;
        for (;;) {
            // ">=" rather than "==": something run during a yield may have emptied the list.
            if (i >= lstCache.size()) {
                lstCache.clear();
                break;
            }
            const QString d = lstCache.at(i);
            ListSubDirs(d, walk, i);
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

void Wd1::ListSubDirs(const QString& folder, platform::FolderWalk& walk, qsizetype id) {
    if (folder.size() < 2)
        return;
    const QString d = withSeparator(folder);
    // One reading of each directory serves both phases: its plain subdirectories join the
    // queue, and its matching files are kept for the search, which would otherwise read
    // every directory of the tree a second time.
    std::vector<platform::FolderWalk::Subfolder> subfolders;
    const platform::FolderState state = walk.read(id, tpat, &walkMatches[d], &subfolders);
    if (!state.plain())
        passOver(folder, state);
    for (const platform::FolderWalk::Subfolder& subfolder : subfolders) {
        const QString path = d + subfolder.name;
        // Only a plain directory is entered: read-only, hidden and linked ones are not, so
        // the walk can never run in a cycle. Whatever is passed over is told to the caller.
        if (subfolder.state.plain()) {
            walk.add(id, subfolder);
            lstCache.append(path);
        } else {
            passOver(path, subfolder.state);
        }
    }
}

void Wd1::passOver(const QString& folder, const platform::FolderState& state) {
    if (state.error)
        passedOver.append({PassedOver::Unreadable, folder, state.error.description});
    else
        passedOver.append({PassedOver::NotEntered, folder, attributeNames(state.attributes)});
}

void Wd1::FindFiles(const QString& folder) {
    if (platform::trimBlanks(folder).size() < 2)
        return;
    // Not trimmed any further: on this host a directory name may end in a blank.
    const QString d = withSeparator(folder);
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
