#include "common/module1.h"

#include "platform/dosfs.h"
#include "platform/volumes.h"

qint16 AbortFlag = 0;
QString AppVersion;
QString ChosenDir;

namespace {

std::function<void(const QString&)>& statusLine() {
    static std::function<void(const QString&)> show;
    return show;
}

} // namespace

bool IsCDRomDrive(const QString& path) {
    return platform::GetDriveTypeA(path.left(3)) == platform::DriveCdRom;
}

double DiskFreeBytes(const QString& drive) {
    const QString root = platform::trimBlanks(drive).left(1) + QStringLiteral(":\\");
    // The full 64-bit figure: a product of the 32-bit cluster fields would overflow above
    // 2 GB and make the free-space guard ask before every archive.
    const std::optional<std::uint64_t> bytes = platform::freeBytes(root);
    if (!bytes)
        return -1;
    return static_cast<double>(*bytes);
}

double destinationFreeBytes(const QString& destination) {
    QString host;
    if (platform::isHostForm(destination))
        host = platform::expandHostForm(destination);
    else if (!platform::trimBlanks(destination).isEmpty())
        host = platform::toHostPath(destination);
    if (host.isEmpty())
        return -1;
    const std::optional<std::uint64_t> bytes = platform::freeBytesAt(host);
    return bytes ? static_cast<double>(*bytes) : -1;
}

QString typedFolderPath(const QString& typed, QString* refusal) {
    refusal->clear();
    if (!platform::isHostForm(typed))
        return typed;
    const platform::DosForm form = platform::dosFormOf(typed);
    if (form.dosPath.isEmpty())
        *refusal =
            QStringLiteral("Velmarch can not use ") + typed + QStringLiteral(": ") + form.refusal;
    return form.dosPath;
}

void setStatusLine(std::function<void(const QString&)> show) {
    statusLine() = std::move(show);
}

void SetStatus(const QString& text) {
    if (statusLine())
        statusLine()(QStringLiteral("..::") + text + QStringLiteral("::.."));
}

QString FilePart(const QString& path) {
    return platform::fileNamePart(path);
}

QString PathPart(const QString& path) {
    if (path.isEmpty())
        return QString();
    qsizetype last = -1;
    for (qsizetype i = 0; i + 1 < path.size(); ++i) {
        if (path.at(i) == u'\\')
            last = i;
    }
    return path.left(last + 1);
}
