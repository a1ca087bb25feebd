#pragma once

// DOS-style file operations over the host file system: the wildcard listing, attribute
// bits, delete, make directory, CR LF text files and the old runtime's error numbers.
// Every path here is a DOS path text; resolution goes through platform/volumes.

#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

enum Attribute : int {
    AttrNormal = 0,
    AttrReadOnly = 1,
    AttrHidden = 2,
    AttrSystem = 4,
    AttrVolume = 8,
    AttrDirectory = 16,
    AttrArchive = 32,
    AttrReparsePoint = 1024,
};

// Error numbers of the old runtime.
enum ErrorNumber : int {
    ErrNone = 0,
    ErrFileNotFound = 53,
    ErrBadFileName = 52,
    ErrFileAlreadyOpen = 55,
    ErrDeviceIo = 57,
    ErrFileExists = 58,
    ErrDiskFull = 61,
    ErrDeviceUnavailable = 68,
    ErrPermissionDenied = 70,
    ErrDiskNotReady = 71,
    ErrPathFileAccess = 75,
    ErrPathNotFound = 76,
};

// The outcome of an operation: 0 for success, else the runtime's number and text.
struct FsError {
    int number = ErrNone;
    QString description;

    explicit operator bool() const { return number != ErrNone; }
    static FsError none() { return {}; }
    static FsError of(int number); // the standard text for the number
};

// Trim of the old runtime: blanks at both ends only; tabs and other white space are part
// of a name.
QString trimBlanks(const QString& text);

// The part of a DOS path after its last "\"; the final character is never taken as the
// separator, so "c:\zips\" gives "zips\". Only "\" splits, as in the old procedures.
QString fileNamePart(const QString& path);

// The runtime's text for an error number ("File not found", "Path/File access error"...).
QString errorText(int number);
// The runtime's number for a host errno value.
FsError fromErrno(int hostErrno);

// The `Dir` of the old runtime. `fileSpec` is a directory path followed by a name that
// may hold '*' and '?' (matched ignoring case); a spec ending in "\" lists everything in
// that directory. Plain and read-only files are always returned; entries carrying the
// hidden, system or directory attribute only when `attributes` asks for them. Names come
// sorted ignoring case, with "." and ".." first when directories are asked for and the
// directory is not a drive root. FIFOs, sockets, devices and broken links never appear,
// nor names that a DOS path cannot hold ('\', control characters 0x01-0x1F and 0x7F).
class DirListing {
public:
    DirListing() = default;
    // Opens the listing; error() tells whether it could be opened. A directory that does
    // not exist opens with error 76 (53 when only the name part is missing and matches
    // nothing is not an error: the listing is simply empty).
    DirListing(const QString& fileSpec, int attributes);

    bool atEnd() const { return m_pos >= m_names.size(); }
    // The current entry's name (empty at the end).
    QString name() const { return atEnd() ? QString() : m_names.at(m_pos); }
    // Whether the current entry is a directory (a link counts as what it points to), as
    // the listing saw it: a walk need not ask the file system about every file.
    bool isDirectory() const { return !atEnd() && m_directories.contains(m_names.at(m_pos)); }
    void next() { ++m_pos; }
    const FsError& error() const { return m_error; }

private:
    QStringList m_names;
    QSet<QString> m_directories;
    qsizetype m_pos = 0;
    FsError m_error;
};

// DOS-style wildcard match of one name, ignoring case ("*.*" matches every name).
bool matchesPattern(const QString& name, const QString& pattern);

// GetAttr: the attribute bits of a file or directory. On failure returns 0 and sets *error.
int getAttributes(const QString& path, FsError* error = nullptr);
// SetAttr: only 0 (normal) and read-only are meaningful on the host; 0 gives the owner
// write permission and changes nothing else. A symbolic link has no attributes of its own:
// nothing changes, and its target is never touched.
FsError setAttributes(const QString& path, int attributes);
// Kill: deletes one file (never a directory). As on DOS, a read-only file is refused
// with 75 until its attribute is cleared; a symbolic link is removed, not its target.
FsError deleteFile(const QString& path);
// MkDir: creates one directory level.
FsError makeDirectory(const QString& path);

// The failures of makeDirectory on this thread while a watch lives (the innermost one): a
// caller learns why a folder it had another component create is not there, as the old
// runtime's Err told the caller of a procedure without an error handler of its own.
class MakeDirectoryWatch {
public:
    struct Failure {
        QString path; // the DOS path of the level that could not be made
        FsError error;
        int hostErrno = 0; // 0 when the path did not resolve
    };

    MakeDirectoryWatch();
    ~MakeDirectoryWatch();
    MakeDirectoryWatch(const MakeDirectoryWatch&) = delete;
    MakeDirectoryWatch& operator=(const MakeDirectoryWatch&) = delete;

    // The last failure seen; empty while every call succeeded.
    const std::optional<Failure>& lastFailure() const { return m_lastFailure; }

private:
    friend FsError makeDirectory(const QString& path);

    MakeDirectoryWatch* m_outer;
    std::optional<Failure> m_lastFailure;
};

// Text file written line by line, each line ended by CR LF, UTF-8.
class TextWriter {
public:
    TextWriter() = default;
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // Creates the file or cuts it to zero length.
    FsError open(const QString& path);
    FsError writeLine(const QString& line);
    FsError close();
    bool isOpen() const { return m_file != nullptr; }

private:
    std::FILE* m_file = nullptr;
};

// Reads a text file's lines (CR LF or LF endings; a final line without an ending counts).
FsError readLines(const QString& path, QStringList* lines);

// The directory that holds the program file as a DOS path without trailing "\" (a drive
// root keeps it: "z:\"), or the per-user data directory when that is not writable.
QString programDirectory();
// Tests point the program's directory elsewhere; an empty path restores the default.
void setProgramDirectory(const QString& dosPath);

} // namespace platform
