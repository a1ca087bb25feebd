#pragma once

// The characters of path texts. Components are separated by "\" or "/", whichever they
// hold: DOS paths, and the names inside zip archives, which tools write both ways.

#include <QChar>

namespace platform {

inline bool isSeparator(QChar c) {
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
}

// No DOS name holds a control character; in a host name one (a line break above all) would
// split a line of the list file or garble the name.
constexpr bool isControlCharacter(char16_t c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace platform
