#include "zip/entry_name.h"

#include "platform/separators.h"

namespace archive_engine {

namespace {

// The upper half of code page 437; the lower half is ASCII.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Whether `raw` is UTF-8 as the standard defines it (shortest forms, no surrogates, nothing
// above U+10FFFF) with at least one sequence beyond ASCII.
bool isNonAsciiUtf8(QByteArrayView raw) {
    bool nonAscii = false;
    for (qsizetype i = 0; i < raw.size();) {
        const auto lead = static_cast<unsigned char>(raw[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        nonAscii = true;
        int length = 0;
        char32_t min = 0;
        char32_t code = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, min = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, min = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, min = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > raw.size()) {
            return false;
        }
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(raw[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return nonAscii;
}

} // namespace

QString decodeUnflaggedName(QByteArrayView raw) {
    return isNonAsciiUtf8(raw) ? QString::fromUtf8(raw) : decodeCp437(raw);
}

QString decodeCp437(QByteArrayView raw) {
    QString text;
    text.reserve(raw.size());
    for (char byte : raw) {
        const auto b = static_cast<unsigned char>(byte);
        text.append(b < 0x80 ? QChar(b) : QChar(kCp437High[b - 0x80]));
    }
    return text;
}

EntryPath sanitizeEntryName(const QString& name) {
    EntryPath path;
    if (name.isEmpty() || platform::isSeparator(name.front())) {
        return path; // absolute, or "\\server\share" / "//server/share"
    }
    if (name.size() >= 2 && name.at(1) == u':' && name.at(0).isLetter()) {
        return path; // "c:\x" and the drive-relative "c:x"
    }
    for (QChar c : name) {
        // Control characters (NUL above all) have no business in a file name and would
        // cut or garble the host name.
        if (platform::isControlCharacter(c.unicode())) {
            return path;
        }
    }
    path.isDirectory = platform::isSeparator(name.back());
    qsizetype start = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !platform::isSeparator(name.at(i))) {
            continue;
        }
        const QString component = name.mid(start, i - start);
        start = i + 1;
        if (component.isEmpty() || component == u".") {
            continue;
        }
        if (component == u"..") {
            path.components.clear();
            return path;
        }
        path.components.append(component);
    }
    path.safe = !path.components.isEmpty() || path.isDirectory;
    return path;
}

QString lastComponent(const QString& name) {
    qsizetype end = name.size();
    while (end > 0 && platform::isSeparator(name[end - 1])) {
        --end;
    }
    qsizetype start = end;
    while (start > 0 && !platform::isSeparator(name[start - 1])) {
        --start;
    }
    return name.mid(start, end - start);
}

QString numberedName(const QString& name, int number) {
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0) {
        return name + suffix;
    }
    return name.left(dot) + suffix + name.mid(dot);
}

} // namespace archive_engine
