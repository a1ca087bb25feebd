// The log's reasons, from what the engine found: one plain line per archive.

#include "app/extraction_report.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using archive_engine::ArchiveProblem;
using archive_engine::Findings;

Findings skippedAs(archive_engine::SkipReason reason, std::uint64_t n, const char* first,
                   int error = 0) {
    Findings findings;
    findings.skipped[reason] = n;
    findings.firstReason = reason;
    findings.firstSkipped = QString::fromUtf8(first);
    findings.systemError = error;
    return findings;
}

Findings refused(ArchiveProblem problem, int error = 0) {
    Findings findings;
    findings.archiveProblem = problem;
    findings.systemError = error;
    return findings;
}

TEST(ExtractionReport, EachFailureSaysWhyInPlainWords) {
    Findings mixed = skippedAs(archive_engine::SkipBadPassword, 3, "secret/a.txt");
    mixed.skipped[archive_engine::SkipBadCrc] = 1;
    mixed.skipped[archive_engine::SkipUpToDate] = 2;
    const struct {
        int result;
        Findings findings;
        const char* reason;
    } cases[] = {
        {archive_engine::EntriesSkipped, skippedAs(archive_engine::SkipBadPassword, 3, "a.txt"),
         "3 entries need a password"},
        {archive_engine::EntriesSkipped, mixed,
         "1 entry fails its CRC check; 3 entries need a password"},
        {archive_engine::InsufficientSpace,
         skippedAs(archive_engine::SkipInsufficientSpace, 1, "docs/report.pdf", ENOSPC),
         "the disk is full (writing docs/report.pdf)"},
        {archive_engine::InsufficientSpace, Findings(),
         "not enough free space on the destination for what it holds"},
        {archive_engine::EntriesSkipped,
         skippedAs(archive_engine::SkipReadError, 2, "big.iso", EIO),
         "could not read the archive: input/output error (big.iso)"},
        {archive_engine::EntriesSkipped,
         skippedAs(archive_engine::SkipCannotOpen, 1, "a.txt", EACCES),
         "could not write 1 entry (a.txt): permission denied"},
        {archive_engine::EntriesSkipped, skippedAs(archive_engine::SkipUnsafePath, 2, "../x"),
         "2 entries name a place outside the destination (../x)"},
        {archive_engine::CorruptArchive, refused(ArchiveProblem::SecondEndRecord),
         "damaged: the directory says two different things"},
        {archive_engine::CorruptArchive, refused(ArchiveProblem::SharedBytes),
         "damaged: entries share their bytes (as zip bombs are built)"},
        {archive_engine::CannotOpenArchive, refused(ArchiveProblem::ReadError, EIO),
         "could not read the archive: input/output error"},
        {archive_engine::CannotOpenArchive, refused(ArchiveProblem::NoEndRecord),
         "not a zip archive, or one cut short"},
        {archive_engine::CannotOpenArchive, refused(ArchiveProblem::NoEndRecord, ENOENT),
         "could not open the archive: no such file or directory"},
        {archive_engine::DestinationNotWritable, refused(ArchiveProblem::None, EROFS),
         "cannot write to the destination folder: read-only file system"},
        {archive_engine::DestinationMissing, Findings(), "the destination folder does not exist"},
        {archive_engine::Aborted, Findings(), "stopped by Abort"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(failureReason(c.result, c.findings), QString::fromUtf8(c.reason));
    }
}

TEST(ExtractionReport, AnExtractedArchiveNamesOnlyWhatWasLeftAlone) {
    EXPECT_EQ(skipSummary(Findings()), QString());
    EXPECT_EQ(skipSummary(skippedAs(archive_engine::SkipUpToDate, 1, "a.txt")),
              QStringLiteral("1 entry was already there, the same, and left alone"));
}

} // namespace
