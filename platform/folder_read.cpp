#include "platform/folder_read.h"

#include "platform/volumes.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

namespace {

// Large enough for a few hundred names a call; the kernel never splits an entry.
constexpr std::size_t kBufferSize = 32 * 1024;

// A text seen through its case-folded code units. The ASCII form folds bytes in place, so
// a name needs no decoding to be matched.
struct FoldedText {
    QStringView text;
    qsizetype size() const { return text.size(); }
    char16_t operator[](qsizetype i) const { return text.at(i).toCaseFolded().unicode(); }
    FoldedText chopped(qsizetype n) const { return {text.chopped(n)}; }
};

struct FoldedAscii {
    std::string_view text;
    qsizetype size() const { return qsizetype(text.size()); }
    char16_t operator[](qsizetype i) const {
        const char c = text[std::size_t(i)];
        return char16_t(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    FoldedAscii chopped(qsizetype n) const {
        return {text.substr(0, text.size() - std::size_t(n))};
    }
};

// Wildcard match with '*' and '?'; both texts give folded code units.
template <typename Text> bool globMatch(const Text& name, const Text& pattern) {
    qsizetype n = 0, p = 0;
    qsizetype starPattern = -1, starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starPattern = p++;
            starName = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starPattern >= 0) {
            p = starPattern + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

// The match of a name without the shortcuts for "everything".
template <typename Text> bool dosMatch(const Text& name, const Text& pattern, bool nameHasDot) {
    if (globMatch(name, pattern))
        return true;
    // As on DOS, "name.*" and "name." also match a name that has no extension at all.
    if (!nameHasDot) {
        const qsizetype size = pattern.size();
        if (size >= 2 && pattern[size - 2] == u'.' && pattern[size - 1] == u'*')
            return globMatch(name, pattern.chopped(2));
        if (size >= 1 && pattern[size - 1] == u'.')
            return globMatch(name, pattern.chopped(1));
    }
    return false;
}

bool matchesEverything(const QString& pattern) {
    return pattern.isEmpty() || pattern == QLatin1String("*") || pattern == QLatin1String("*.*");
}

bool isAscii(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// A name's bytes at a glance: whether a DOS path can hold it (no backslash, no control
// character: a line break in a name would split a line of the list file, and the run acts
// on every line it reads), and whether it is plain ASCII. UTF-8 never uses these bytes
// inside a longer character, so the raw name is checked.
struct NameBytes {
    std::size_t length = 0;
    bool ascii = true;
    bool dosSpelling = true;
};

NameBytes scanName(const char* raw) {
    NameBytes scan;
    for (const char* at = raw; *at; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (isControlCharacter(byte) || byte == '\\')
            scan.dosSpelling = false;
        if (byte >= 0x80)
            scan.ascii = false;
        ++scan.length;
    }
    return scan;
}

// The upper-case form of code unit `i` of a kept name; an ASCII name's is made on the fly.
char16_t upperAt(const detail::Listed& entry, qsizetype i) {
    if (!entry.upper.isEmpty())
        return entry.upper.at(i).unicode();
    const char16_t c = entry.name.at(i).unicode();
    return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
}

bool caseBlindLess(const detail::Listed& a, const detail::Listed& b) {
    const qsizetype sizeA = a.upper.isEmpty() ? a.name.size() : a.upper.size();
    const qsizetype sizeB = b.upper.isEmpty() ? b.name.size() : b.upper.size();
    const qsizetype common = std::min(sizeA, sizeB);
    for (qsizetype i = 0; i < common; ++i) {
        const char16_t ca = upperAt(a, i);
        const char16_t cb = upperAt(b, i);
        if (ca != cb)
            return ca < cb;
    }
    if (sizeA != sizeB)
        return sizeA < sizeB;
    return a.name < b.name;
}

} // namespace

// Declared with the other DOS file operations; defined here, by the match on raw bytes that
// must agree with it.
bool matchesPattern(const QString& name, const QString& pattern) {
    if (matchesEverything(pattern))
        return true;
    return dosMatch(FoldedText{name}, FoldedText{pattern}, name.contains(QLatin1Char('.')));
}

namespace detail {

int attributesOf(const struct stat& status) {
    int attributes = AttrNormal;
    if (S_ISDIR(status.st_mode))
        attributes |= AttrDirectory;
    if (!(status.st_mode & S_IWUSR))
        attributes |= AttrReadOnly;
    return attributes;
}

bool isDriveRoot(const QString& hostPath) {
    const Volume* volume = volumeTable()->containing(hostPath);
    return volume && volume->mountPoint == hostPath;
}

FileIdentity identityOf(const struct stat& status) {
    return {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino)};
}

EntryKind classifyEntry(int dirFd, const char* name, unsigned char type, bool folderAttributes,
                        FileIdentity* identity) {
    struct stat status {};
    bool known = false;
    if (type == DT_UNKNOWN || (type == DT_DIR && folderAttributes)) {
        if (::fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return type == DT_DIR ? EntryKind{EntryKind::Folder, AttrNormal, errno} : EntryKind{};
        type = IFTODT(status.st_mode);
        known = true;
        if (identity)
            *identity = identityOf(status);
    }
    const int hidden = name[0] == '.' ? AttrHidden : AttrNormal;
    switch (type) {
    case DT_REG:
        return {EntryKind::File};
    case DT_DIR:
        return {EntryKind::Folder, (known ? attributesOf(status) : AttrDirectory) | hidden};
    case DT_LNK:
        // A link counts as what it points to; a broken one is left out.
        if (::fstatat(dirFd, name, &status, 0) != 0)
            return {};
        if (S_ISREG(status.st_mode))
            return {EntryKind::File};
        if (S_ISDIR(status.st_mode))
            return {EntryKind::Folder, attributesOf(status) | AttrReparsePoint | hidden};
        return {};
    default:
        return {};
    }
}

FolderReader::FolderReader() : m_buffer(std::make_unique<char[]>(kBufferSize)) {}

FolderReader::~FolderReader() = default;

void FolderReader::preparePattern(const QString& pattern) {
    if (m_prepared && pattern == m_pattern)
        return;
    m_prepared = true;
    m_pattern = pattern;
    m_matchesAll = matchesEverything(pattern);
    m_asciiPattern = isAscii(pattern);
    m_patternBytes = m_asciiPattern ? pattern.toStdString() : std::string();
}

bool FolderReader::matches(const char* raw, std::size_t length, bool ascii,
                           const QString& decoded) const {
    if (m_matchesAll)
        return true;
    // Folding bytes is exact only where both sides are ASCII: beyond it a character such as
    // the Kelvin sign folds to a plain letter.
    if (ascii && m_asciiPattern)
        return dosMatch(FoldedAscii{{raw, length}}, FoldedAscii{m_patternBytes},
                        std::memchr(raw, '.', length) != nullptr);
    return matchesPattern(ascii ? QString::fromLatin1(raw, qsizetype(length)) : decoded, m_pattern);
}

void FolderReader::read(int dirFd, const ReadRequest& request, std::vector<Listed>* entries) {
    preparePattern(request.pattern);
    for (;;) {
        const ssize_t got = ::getdents64(dirFd, m_buffer.get(), kBufferSize);
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(m_buffer.get() + at);
            at += entry->d_reclen;
            take(dirFd, entry->d_name, entry->d_type, request, entries);
        }
    }
}

void FolderReader::take(int dirFd, const char* raw, unsigned char type, const ReadRequest& request,
                        std::vector<Listed>* entries) {
    if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0')))
        return;
    if ((raw[0] == '.' && !request.hidden) || (type == DT_DIR && !request.folders))
        return;
    const NameBytes bytes = scanName(raw);
    if (!bytes.dosSpelling)
        return;
    // An ASCII name is its own text; anything else is decoded once, here, to be matched.
    const QString decoded = bytes.ascii ? QString() : QFile::decodeName(raw);
    const bool patternFirst = type == DT_REG || request.patternForFolders;
    if (patternFirst && !matches(raw, bytes.length, bytes.ascii, decoded))
        return;
    FileIdentity identity;
    const EntryKind what =
        type == DT_REG ? EntryKind{EntryKind::File}
                       : classifyEntry(dirFd, raw, type, request.folderAttributes, &identity);
    if (what.kind == EntryKind::Skipped || (what.kind == EntryKind::Folder && !request.folders))
        return;
    if (what.kind == EntryKind::File && !patternFirst &&
        !matches(raw, bytes.length, bytes.ascii, decoded))
        return;
    if (bytes.ascii) {
        entries->push_back(
            {QString::fromLatin1(raw, qsizetype(bytes.length)), QString(), what, identity});
        return;
    }
    // A name the host cannot spell back from its text could never be opened again.
    if (QFile::encodeName(decoded) != QByteArrayView(raw, qsizetype(bytes.length)))
        return;
    entries->push_back({decoded, decoded.toUpper(), what, identity});
}

void sortCaseBlind(std::vector<Listed>* entries) {
    std::sort(entries->begin(), entries->end(), caseBlindLess);
}

} // namespace detail

} // namespace platform
