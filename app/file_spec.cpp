#include "file_spec.h"

#include "platform/dosfs.h"

#include <QStringList>

namespace archive_engine {

bool matchesFileSpec(const QString& fileName, const QString& patterns) {
    bool anyPattern = false;
    for (const QString& raw : patterns.split(u';')) {
        const QString pattern = raw.trimmed();
        if (pattern.isEmpty()) {
            continue;
        }
        anyPattern = true;
        if (platform::matchesPattern(fileName, pattern)) {
            return true;
        }
    }
    return !anyPattern;
}

} // namespace archive_engine
