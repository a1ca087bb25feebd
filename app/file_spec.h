#pragma once

// FilesToProcess: which entries an extraction takes, by DOS wildcard patterns.

#include <QString>

namespace archive_engine {

// Whether a name matches one of the ';'-separated DOS patterns of FilesToProcess
// (an empty pattern list selects everything).
bool matchesFileSpec(const QString& fileName, const QString& patterns);

} // namespace archive_engine
