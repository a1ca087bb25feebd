#pragma once

// Path texts here separate their components with "\" or "/", whichever they hold: DOS
// paths, and the names inside zip archives, which tools write both ways.

#include <QChar>

namespace platform {

inline bool isSeparator(QChar c) {
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
}

} // namespace platform
