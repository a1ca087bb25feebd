#pragma once

// How this layer reads one open folder: which entries a DOS listing keeps, what each one
// is, and the order the old file system gave them. DirListing and FolderWalk both read
// through it; only this layer's sources and their tests include it.

#include "platform/dosfs.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct stat;

namespace platform::detail {

// What a directory entry is to a listing.
struct EntryKind {
    enum Kind { Skipped, File, Folder };
    Kind kind = Skipped;
    int attributes = AttrNormal; // a folder's, as getAttributes gives them away from a drive root
    int hostErrno = 0;           // a folder whose attributes could not be read: why
    bool operator==(const EntryKind&) const = default;
};

// Which file an entry is, whatever its name: a folder reached again by another way is known
// to be the same one by it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity identityOf(const struct ::stat& status);

// What the entry `name` of the open folder `dirFd` is, given its d_type; DT_UNKNOWN, which
// some file systems give for everything, makes it ask the file system. A link counts as
// what it points to and adds AttrReparsePoint; a broken link, a FIFO, a socket or a device
// is skipped. A folder's attributes are read only when `folderAttributes` asks for them,
// and with them its identity, into *identity when given.
EntryKind classifyEntry(int dirFd, const char* name, unsigned char type, bool folderAttributes,
                        FileIdentity* identity = nullptr);

// The attribute bits a status gives: directory and read-only.
int attributesOf(const struct ::stat& status);

// Whether a host path is the mount point of a lettered drive: the one folder whose name
// never makes it hidden.
bool isDriveRoot(const QString& hostPath);

// One entry a listing keeps.
struct Listed {
    QString name;
    QString upper; // the name in upper case where it holds more than ASCII, else empty
    EntryKind what;
    FileIdentity identity; // a folder's, where its attributes were read
};

// Which entries a read keeps. Plain files are always wanted, when they match the pattern.
struct ReadRequest {
    QString pattern;               // DOS wildcards, ignoring case
    bool patternForFolders = true; // false: every folder is kept, whatever its name
    bool folders = false;
    bool hidden = false; // names that begin with "."
    bool folderAttributes = false;
};

// Reads folders with one buffer. Names are only made into text where they are kept: most
// entries of a search are files its pattern leaves out, told apart on their bytes.
class FolderReader {
public:
    FolderReader();
    ~FolderReader();
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;

    // Appends the kept entries of the open folder `dirFd`, read from where it stands to its
    // end, in the folder's own order. A failing read ends the listing where it is, as the
    // old runtime's did.
    void read(int dirFd, const ReadRequest& request, std::vector<Listed>* entries);

private:
    void take(int dirFd, const char* raw, unsigned char type, const ReadRequest& request,
              std::vector<Listed>* entries);
    void preparePattern(const QString& pattern);
    // `decoded` is the name's text where it holds more than ASCII.
    bool matches(const char* raw, std::size_t length, bool ascii, const QString& decoded) const;

    std::unique_ptr<char[]> m_buffer;
    bool m_prepared = false;
    QString m_pattern;
    bool m_matchesAll = true;
    bool m_asciiPattern = true;
    std::string m_patternBytes;
};

// Sorts as the old file system listed: names compared in upper case (so "_" comes after
// the letters), ties by exact spelling.
void sortCaseBlind(std::vector<Listed>* entries);

} // namespace platform::detail
