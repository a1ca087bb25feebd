#include "app/form1.h"

#include "platform/dosfs.h"
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
    wd1().CheckFileAttrib(P);
    // A locked file or a read-only share costs the user this one deletion, not the run.
    if (const platform::FsError error = platform::deleteFile(P))
        TxtStats->setText(QStringLiteral("Could not remove ") + A + QStringLiteral(": ") +
                          error.description);
}
