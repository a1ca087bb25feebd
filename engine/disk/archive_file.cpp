#include "disk/archive_file.h"

#include <fcntl.h>

namespace archive_engine::disk {

std::optional<ArchiveFile> openArchiveFile(const QString& hostPath) {
    ArchiveFile file;
    file.watch.reset(::open(QFile::encodeName(hostPath).constData(), O_RDONLY | O_CLOEXEC));
    if (!file.watch) {
        return std::nullopt;
    }
    Fd readerFd(::fcntl(file.watch.get(), F_DUPFD_CLOEXEC, 0));
    file.reader = std::make_unique<QFile>();
    if (!readerFd || !file.reader->open(readerFd.get(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                                        QFileDevice::AutoCloseHandle)) {
        return std::nullopt;
    }
    readerFd.release();
    return file;
}

} // namespace archive_engine::disk
