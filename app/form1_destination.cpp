#include "app/form1.h"

#include "common/module1.h"
#include "platform/archive_removal.h"
#include "platform/dialogs.h"
#include "platform/dosfs.h"
#include "search/wd1.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <cstring>

bool Form1::takeTypedDestination() {
    QString refusal;
    const QString destination = typedFolderPath(txtDesc->text(), &refusal);
    if (!refusal.isEmpty()) {
        platform::MsgBox(refusal, platform::vbOKOnly | platform::vbCritical);
        return false;
    }
    if (destination != txtDesc->text())
        txtDesc->setText(destination);
    return true;
}

void Form1::checkDestination() {
    if (!Check3->isChecked())
        return;
    // A host path that no DOS path reaches, read as a DOS path, leads somewhere else: the
    // run stops before its first archive rather than extract there.
    if (!takeTypedDestination()) {
        AbortFlag = -1;
        return;
    }
    const QString D = txtDesc->text();
    if (wd1().Exists(D))
        return;
    // The answer does not change the run: a declined directory fails in the engine. A Yes
    // that could not make it is told why; the run still goes on.
    const platform::MakeDirectoryWatch watch;
    wd1().MakeDir(D, QStringLiteral("Velmarch can not find that directory!  Create It?"));
    const std::optional<platform::MakeDirectoryWatch::Failure>& failure = watch.lastFailure();
    if (!failure || (platform::getAttributes(D) & platform::AttrDirectory))
        return;
    QString reason = failure->error.description;
    if (failure->hostErrno != 0)
        reason += QStringLiteral(" (") + QString::fromLocal8Bit(std::strerror(failure->hostErrno)) +
                  QLatin1Char(')');
    reportFileError(tr("create the folder"), failure->path, reason);
}

QString Form1::deleteArchive(const QString& P, const QString& A) {
    if (!Check1->isChecked())
        return QString();
    if (!wd1().Exists(P))
        return QString();
    TxtStats->setText(QStringLiteral("Removing file..."));
    // What came out of the archive must be on the disk before the archive goes. A refusal
    // (a locked file, a read-only share, a name that no longer holds what was read) costs
    // the user this one deletion, not the run.
    QString reason;
    // The step runs while window events go through: Abort can end a wait on a slow disk.
    if (!XceedZip1.syncExtracted())
        reason = AbortFlag ? QStringLiteral("stopped before what was extracted was on the disk")
                           : QStringLiteral("what was extracted could not be written to the disk");
    else if (const platform::Removal removal =
                 platform::removeArchive(m_searchedDirectory, P, XceedZip1.archiveRead()))
        reason = removal.reason;
    if (!reason.isEmpty())
        TxtStats->setText(QStringLiteral("Could not remove ") + A + QStringLiteral(": ") + reason);
    return reason;
}

QString Form1::runSummary() const {
    return QStringLiteral("Run ended: %1 extracted, %2 failed, %3 kept, %4 folders passed over")
        .arg(m_runCounts.extracted)
        .arg(m_runCounts.failed)
        .arg(m_runCounts.kept)
        .arg(wd1().passedOver.size());
}
