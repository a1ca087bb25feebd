// Creating a missing directory path level by level, after asking.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

bool Wd1::MakeDirs(const QString& tmpFile, QString& Textstr) {
    if (Textstr.isEmpty())
        Textstr = QStringLiteral("Directory Not Found Do You Want to Create it?");
    lstRtn.clear();
    if (Exists(tmpFile))
        return true;
    const int answer = platform::MsgBox(
        Textstr, platform::vbYesNo | platform::vbCritical | platform::vbDefaultButton2,
        QStringLiteral("Create Directory"));
    if (answer != platform::vbYes)
        return false;

    for (qsizetype i = 0; i < tmpFile.size(); ++i) {
        if (tmpFile.at(i) == QLatin1Char('\\'))
            lstRtn.append(tmpFile.left(i + 1));
    }
    // The first level is the drive root: never created.
    const QStringList levels = lstRtn;
    for (qsizetype i = 1; i < levels.size(); ++i) {
        const QString level = levels.at(i).chopped(1);
        if (Exists(level))
            continue;
        if (!platform::makeDirectory(level))
            continue;
        // Exists does not see hidden directories; one that is there is no failure.
        platform::FsError error;
        const int attributes = platform::getAttributes(level, &error);
        if (error || !(attributes & platform::AttrDirectory))
            return false;
    }
    return true;
}

bool Wd1::MakeDir(const QString& sfile, const QString& Textstr) {
    if (work == 1)
        return false;
    BusyScope busy(*this);
    QString question = Textstr;
    return MakeDirs(wd1detail::withSeparator(sfile), question);
}
