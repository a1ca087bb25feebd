#include "common/module1.h"

#include "platform/volumes.h"

#include <QLabel>
#include <QPointer>

qint16 AbortFlag = 0;
QString AppVersion;
QString ChosenDir;

namespace {

QPointer<QLabel>& statusLabel() {
    static QPointer<QLabel> label;
    return label;
}

// Trim of the old runtime: blanks only, not tabs or line ends.
QString trimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u' ')
        ++first;
    while (last > first && text.at(last - 1) == u' ')
        --last;
    return text.mid(first, last - first);
}

} // namespace

bool IsCDRomDrive(const QString& path) {
    return platform::GetDriveTypeA(path.left(3)) == platform::DriveCdRom;
}

double DiskFreeBytes(const QString& drive) {
    const QString root = trimBlanks(drive).left(1) + QStringLiteral(":\\");
    // The full 64-bit figure: a product of the 32-bit cluster fields would overflow above
    // 2 GB and make the free-space guard ask before every archive.
    const std::optional<std::uint64_t> bytes = platform::freeBytes(root);
    if (!bytes)
        return -1;
    return static_cast<double>(*bytes);
}

void setStatusLabel(QLabel* label) {
    statusLabel() = label;
}

void SetStatus(const QString& text) {
    if (QLabel* label = statusLabel())
        label->setText(QStringLiteral("..::") + text + QStringLiteral("::.."));
}

QString FilePart(const QString& path) {
    if (path.isEmpty())
        return QString();
    for (qsizetype i = path.size() - 2; i >= 0; --i) {
        if (path.at(i) == u'\\')
            return path.mid(i + 1);
    }
    return path;
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
