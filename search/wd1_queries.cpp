// Drive, free-space and attribute queries, the file-name part of a path, and the file
// dialog.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"
#include "platform/volumes.h"

#include <QLocale>

#include <cmath>

namespace {

// "###,###": whole thousands, grouped the locale's way, nothing at all for zero.
QString formatThousands(double bytes) {
    const long long thousands = std::llround(bytes / 1000.0);
    if (thousands == 0)
        return QString();
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(thousands);
}

} // namespace

bool Wd1::IsCDRom(const QString& drive) {
    return platform::GetDriveTypeA(drive.left(3)) == platform::DriveCdRom;
}

bool Wd1::IsNetDrv(const QString& drive) {
    return platform::GetDriveTypeA(drive.left(3)) == platform::DriveRemote;
}

double Wd1::Diskspace(QString& DrivePath) {
    const QString root = platform::trimBlanks(DrivePath).left(1) + QStringLiteral(":\\");
    // The 64-bit figure: drives with more than 2 GB free are the rule, not the exception.
    const std::optional<std::uint64_t> free = platform::freeBytes(root);
    if (!free)
        return -1;
    const double bytes = static_cast<double>(*free);
    if (freeSpaceText)
        freeSpaceText(formatThousands(bytes));
    return bytes;
}

QString Wd1::GetFilename(const QString& sfile) {
    return platform::fileNamePart(sfile);
}

bool Wd1::CheckFileAttrib(const QString& Fstr) {
    if (!Exists(Fstr))
        return false;
    const auto report = [this, &Fstr](const platform::FsError& error) {
        if (error.number == platform::ErrPathFileAccess && IsNetDrv(Fstr) && statusText)
            statusText(QStringLiteral(
                "Network drive, do not have write access or file can not be modifyed."));
    };
    platform::FsError error;
    platform::getAttributes(Fstr, &error);
    if (error) {
        report(error);
        return false;
    }
    error = platform::setAttributes(Fstr, platform::AttrNormal);
    if (error)
        report(error);
    return true;
}

void Wd1::CheckAttrib(const QString& Fstr) {
    if (work == 1)
        return;
    BusyScope busy(*this);
    if (!Exists(Fstr))
        return;
    platform::FsError error;
    const int attributes = platform::getAttributes(Fstr, &error);
    if (!error && attributes == platform::AttrReadOnly)
        platform::setAttributes(Fstr, platform::AttrNormal);
}

QString Wd1::OpenDlg(QString& Title, double Flag1, double Flag2, double Flag3, qint16& Action) {
    platform::FileDialogRequest request;
    request.title = Title;
    request.flags = static_cast<int>(Flag1 + Flag2 + Flag3);
    request.action = Action;
    return platform::dialogs().fileDialog(request);
}
