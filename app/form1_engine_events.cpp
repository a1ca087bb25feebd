#include "app/form1.h"

#include "common/module1.h"

#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>

void Form1::XceedZip1_Progress(qint16 percent) {
    // Cheap: during a run the bar is drawn once a frame, whatever values it took meanwhile.
    PB1->setValue(percent);
}

QString Form1::skipMessage(const QString& n, qint16 reason) {
    switch (reason) {
    case ArchiveEngine::SkipFileNotFound:
        return QStringLiteral("File not found: '") + n + QStringLiteral("'");
    case ArchiveEngine::SkipUnknownMethod:
        return QStringLiteral("Skipping file: '") + n + QStringLiteral("', it is ") +
               QStringLiteral("compressed with an unknown compression method.");
    case ArchiveEngine::SkipBadCrc:
        return QStringLiteral("File '") + n + QStringLiteral("' has a bad CRC. ") +
               QStringLiteral("Skipping this file.");
    case ArchiveEngine::SkipUpToDate:
        return QStringLiteral("Not updating file '") + n + QStringLiteral("', it ") +
               QStringLiteral("is already up to date.");
    case ArchiveEngine::SkipCannotOpen:
        return QStringLiteral("Unable to open file '") + n + QStringLiteral("'. ") +
               QStringLiteral("Skipping this file.");
    case ArchiveEngine::SkipBadPassword:
        return QStringLiteral("Invalid or no password for encrypted file '") + n +
               QStringLiteral("'. Skipping this file.");
    case ArchiveEngine::SkipCorrupted:
        return QStringLiteral("File '") + n + QStringLiteral("' is corrupted. ") +
               QStringLiteral("Skipping this file.");
    default:
        return QString();
    }
}

void Form1::XceedZip1_SkippingFile(const QString& entryName, qint16 reason) {
    m_lastSkipMessage = skipMessage(entryName, reason);
    // Shown beside "Abort" and on the per-archive bar; it never reaches the log.
    const QFontMetrics metrics(TxtSkip->font());
    TxtSkip->setText(metrics.elidedText(m_lastSkipMessage, Qt::ElideMiddle, TxtSkip->width()));
    TxtSkip->setToolTip(m_lastSkipMessage);
    PB1->setToolTip(m_lastSkipMessage);
}

void Form1::XceedZip1_QueryCreateDirectory(const QString&, qint16& answer) {
    answer = 0;
}

void Form1::XceedZip1_DiskWait(ArchiveEngine::DiskWait what) {
    switch (what) {
    case ArchiveEngine::DiskWait::Writing:
    case ArchiveEngine::DiskWait::Syncing:
        if (m_statusBeforeWait.isNull())
            m_statusBeforeWait = TxtStats->text();
        SetStatus(what == ArchiveEngine::DiskWait::Writing
                      ? QStringLiteral("Waiting for the disk to catch up...")
                      : QStringLiteral("Waiting for the disk before removing the zip..."));
        break;
    case ArchiveEngine::DiskWait::None:
        if (!m_statusBeforeWait.isNull())
            TxtStats->setText(m_statusBeforeWait);
        m_statusBeforeWait = QString();
        break;
    }
}

void Form1::Command2_Click() {
    XceedZip1.setAbort(true);
    AbortFlag = -1;
}
