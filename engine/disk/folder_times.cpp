#include "disk/folder_times.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace archive_engine::disk {

bool setFolderTime(const TargetDir& parent, const QString& name, std::int64_t mtime) {
    const QByteArray host = name.toUtf8();
    struct stat st;
    if (::fstatat(parent.fd(), host.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return false;
    }
    timespec times[2]{};
    times[0].tv_sec = time_t(mtime);
    times[1].tv_sec = time_t(mtime);
    return ::utimensat(parent.fd(), host.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace archive_engine::disk
