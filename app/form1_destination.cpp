#include "app/form1.h"

#include "platform/archive_removal.h"
#include "search/wd1.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

void Form1::checkDestination() {
    if (!Check3->isChecked())
        return;
    const QString D = txtDesc->text();
    if (wd1().Exists(D))
        return;
    // The answer does not change the run: a declined directory fails in the engine.
    wd1().MakeDir(D, QStringLiteral("Velmarch can not find that directory!  Create It?"));
}

void Form1::deleteArchive(const QString& P, const QString& A) {
    if (!Check1->isChecked())
        return;
    if (!wd1().Exists(P))
        return;
    TxtStats->setText(QStringLiteral("Removing file..."));
    // What came out of the archive must be on the disk before the archive goes. A refusal
    // (a locked file, a read-only share, a name that no longer holds what was read) costs
    // the user this one deletion, not the run.
    QString reason;
    if (!XceedZip1.syncExtracted())
        reason = QStringLiteral("what was extracted could not be written to the disk");
    else if (const platform::Removal removal =
                 platform::removeArchive(m_searchedDirectory, P, XceedZip1.archiveRead()))
        reason = removal.reason;
    if (!reason.isEmpty())
        TxtStats->setText(QStringLiteral("Could not remove ") + A + QStringLiteral(": ") + reason);
}
