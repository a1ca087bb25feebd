#include "app/extraction_report.h"

#include <QStringList>

#include <cstring>

using archive_engine::ArchiveProblem;
using archive_engine::Findings;
using archive_engine::SkipReason;

namespace {

QString count(std::uint64_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString problemText(ArchiveProblem problem) {
    switch (problem) {
    case ArchiveProblem::NoEndRecord:
        return QStringLiteral("not a zip archive, or one cut short");
    case ArchiveProblem::SplitArchive:
        return QStringLiteral("one part of a split archive");
    case ArchiveProblem::SecondEndRecord:
    case ArchiveProblem::Zip64Mismatch:
    case ArchiveProblem::DirectoryMisplaced:
    case ArchiveProblem::CountMismatch:
        return QStringLiteral("damaged: the directory says two different things");
    case ArchiveProblem::CentralHeaderDamaged:
        return QStringLiteral("damaged: the directory cannot be read");
    case ArchiveProblem::UnlistedHeader:
        return QStringLiteral("damaged: it holds entries its directory does not list");
    case ArchiveProblem::LocalHeaderMismatch:
    case ArchiveProblem::DescriptorMismatch:
        return QStringLiteral("damaged: an entry's header contradicts the directory");
    case ArchiveProblem::SharedBytes:
        return QStringLiteral("damaged: entries share their bytes (as zip bombs are built)");
    case ArchiveProblem::ReadError:
        return QStringLiteral("could not read the archive");
    case ArchiveProblem::None:
        break;
    }
    return QString();
}

// One phrase per reason that lost entries, in the order the reasons are numbered.
QString skipPhrase(SkipReason reason, std::uint64_t n, const Findings& findings) {
    const QString error = findings.systemError != 0 && findings.firstReason == reason
                              ? QStringLiteral(": ") + systemErrorText(findings.systemError)
                              : QString();
    const QString first = findings.firstReason == reason
                              ? QStringLiteral(" (") + findings.firstSkipped + QStringLiteral(")")
                              : QString();
    switch (reason) {
    case archive_engine::SkipFileNotFound:
        return count(n, "entry not found", "entries not found") + first;
    case archive_engine::SkipUnknownMethod:
        return count(n, "entry uses", "entries use") +
               QStringLiteral(" a compression method Velmarch cannot read") + first;
    case archive_engine::SkipBadCrc:
        return count(n, "entry fails", "entries fail") + QStringLiteral(" its CRC check") + first;
    case archive_engine::SkipCannotOpen:
        return QStringLiteral("could not write ") + count(n, "entry", "entries") + first + error;
    case archive_engine::SkipBadPassword:
        return count(n, "entry needs", "entries need") + QStringLiteral(" a password");
    case archive_engine::SkipCorrupted:
        return count(n, "entry is", "entries are") + QStringLiteral(" damaged") + first;
    case archive_engine::SkipUnsafePath:
        return count(n, "entry names", "entries name") +
               QStringLiteral(" a place outside the destination") + first;
    case archive_engine::SkipLinkEscapes:
        return count(n, "link leads", "links lead") + QStringLiteral(" outside the destination") +
               first;
    case archive_engine::SkipThroughLink:
        return count(n, "entry lies", "entries lie") +
               QStringLiteral(" in a folder that is a link") + first;
    case archive_engine::SkipInsufficientSpace:
        return QStringLiteral("the disk is full (writing ") + findings.firstSkipped +
               QStringLiteral(")");
    case archive_engine::SkipReadError:
        return QStringLiteral("could not read the archive") + error + first;
    case archive_engine::SkipNameTooLong:
        return count(n, "name is", "names are") +
               QStringLiteral(" too long for the destination's file system") + first;
    case archive_engine::SkipUpToDate:
    case archive_engine::SkipAborted:
        break;
    }
    return QString();
}

} // namespace

QString systemErrorText(int error) {
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (text.size() > 1 && text.at(0).isUpper() && text.at(1).isLower()) {
        text[0] = text.at(0).toLower();
    }
    return text;
}

QString failureReason(int result, const Findings& findings) {
    const QString error = findings.systemError != 0
                              ? QStringLiteral(": ") + systemErrorText(findings.systemError)
                              : QString();
    switch (result) {
    case archive_engine::CannotOpenArchive:
        if (findings.archiveProblem == ArchiveProblem::ReadError) {
            return problemText(findings.archiveProblem) + error;
        }
        if (findings.systemError != 0) {
            return QStringLiteral("could not open the archive") + error;
        }
        return problemText(findings.archiveProblem);
    case archive_engine::CorruptArchive:
        return problemText(findings.archiveProblem);
    case archive_engine::DestinationEmpty:
        return QStringLiteral("no destination folder was given");
    case archive_engine::DestinationMissing:
        return QStringLiteral("the destination folder does not exist");
    case archive_engine::DestinationNotWritable:
        return QStringLiteral("cannot write to the destination folder") + error;
    case archive_engine::Aborted:
        return QStringLiteral("stopped by Abort");
    case archive_engine::InsufficientSpace:
        if (!findings.skipped.contains(archive_engine::SkipInsufficientSpace)) {
            return QStringLiteral("not enough free space on the destination for what it holds");
        }
        break;
    case archive_engine::Busy:
        return QStringLiteral("another extraction was still running");
    case archive_engine::OutOfResources:
        return QStringLiteral("out of memory, threads or file handles") + error;
    default:
        break;
    }
    QStringList phrases;
    for (const auto& [reason, n] : findings.skipped) {
        const QString phrase = skipPhrase(reason, n, findings);
        if (!phrase.isEmpty()) {
            phrases.append(phrase);
        }
    }
    return phrases.isEmpty() ? QStringLiteral("nothing more is known") : phrases.join(u"; ");
}

QString skipSummary(const Findings& findings) {
    const auto upToDate = findings.skipped.find(archive_engine::SkipUpToDate);
    if (upToDate == findings.skipped.end()) {
        return QString();
    }
    return count(upToDate->second, "entry was", "entries were") +
           QStringLiteral(" already there, the same, and left alone");
}
