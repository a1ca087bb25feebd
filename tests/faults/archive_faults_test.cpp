// Archives that change under a real run: the search found them, but by the time their
// turn comes (or during it) they are gone, other bytes, or cut short.

#include "fault_support.h"
#include "tests/app/form1_fixture.h"

#include <functional>
#include <ostream>

namespace {

const QString kDone = QStringLiteral("Done!");
const QString kCreate = QStringLiteral("Velmarch can not find that directory!  Create It?");

QString failed(const char* archive) {
    return QLatin1String(archive) + QStringLiteral(" Could not unzip :(");
}
QString fine(const char* archive) {
    return QLatin1String(archive) + QStringLiteral(" Unziped Fine");
}

class ArchiveFaultTest : public Form1Fixture {
protected:
    QString src(const char* name) const {
        return t + QStringLiteral("/src/") + QLatin1String(name);
    }
    QString out() const { return u + QStringLiteral("/out"); }

    // Runs t:\src into u:\out, which does not exist yet: `tamper` acts while the user is
    // asked whether to create it, after the archive list was loaded.
    void runTamperingAtTheQuestion(const std::function<void()>& tamper) {
        start();
        form->Check1->setChecked(true);
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QStringLiteral("u:\\out"));
        dialogs->clear();
        dialogs->onMessage = [&](const testsupport::ScriptedDialogs::MessageRecord& message) {
            if (message.text == kCreate) {
                ASSERT_EQ(form->Todo->count(), 2) << "the list is loaded before the question";
                tamper();
                tampered = true;
            }
        };
        dialogs->queueAnswer(platform::vbYes);
        form->Command1_Click();
    }

    bool tampered = false;
};

struct Tamper {
    const char* name;
    std::function<void(const QString& archive)> apply;
    bool archiveRemains;
};

void PrintTo(const Tamper& tamper, std::ostream* os) {
    *os << tamper.name;
}

class ChangedBeforeItsTurnTest : public ArchiveFaultTest,
                                 public ::testing::WithParamInterface<Tamper> {};

TEST_P(ChangedBeforeItsTurnTest, FailsThatArchiveKeepsWhatIsThereAndRunsTheNext) {
    makeArchive(src("a.zip"), {"a1.txt", "docs/a2.txt"});
    makeArchive(src("b.zip"), {"b1.txt"});
    runTamperingAtTheQuestion([&] { GetParam().apply(src("a.zip")); });

    ASSERT_TRUE(tampered);
    EXPECT_EQ(logLines(), (QStringList{failed("a.zip"), fine("b.zip")}));
    EXPECT_EQ(QFileInfo::exists(src("a.zip")), GetParam().archiveRemains);
    EXPECT_FALSE(QFile::exists(src("b.zip")));
    EXPECT_EQ(faults::filesBelow(out()), QStringList{QStringLiteral("b1.txt")});
    EXPECT_EQ(texts(), (QStringList{kCreate, kDone}));
}

QByteArray firstHalfOf(const QString& path) {
    const QByteArray bytes = testsupport::readFile(path);
    return bytes.left(bytes.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Archive, ChangedBeforeItsTurnTest,
    ::testing::Values(
        Tamper{"Deleted", [](const QString& a) { ASSERT_TRUE(QFile::remove(a)); }, false},
        Tamper{"ReplacedByText",
               [](const QString& a) { testsupport::writeFile(a, "no longer an archive\n"); }, true},
        Tamper{"Emptied", [](const QString& a) { testsupport::writeFile(a); }, true},
        Tamper{"CutInHalf", [](const QString& a) { testsupport::writeFile(a, firstHalfOf(a)); },
               true},
        Tamper{"ReplacedByADirectory",
               [](const QString& a) {
                   ASSERT_TRUE(QFile::remove(a));
                   ASSERT_TRUE(QDir().mkpath(a + QStringLiteral("/inner")));
               },
               true},
        Tamper{"ReplacedByADanglingLink",
               [](const QString& a) {
                   ASSERT_TRUE(QFile::remove(a));
                   ASSERT_TRUE(QFile::link(a + QStringLiteral(".gone"), a));
               },
               false}),
    [](const ::testing::TestParamInfo<Tamper>& info) { return std::string(info.param.name); });

TEST_F(ArchiveFaultTest, AnArchiveReplacedByAnotherBeforeItsTurnIsExtractedAsFound) {
    makeArchive(src("a.zip"), {"a1.txt"});
    makeArchive(src("b.zip"), {"b1.txt"});
    runTamperingAtTheQuestion([&] { makeArchive(src("a.zip"), {"other.txt"}); });

    ASSERT_TRUE(tampered);
    EXPECT_EQ(logLines(), (QStringList{fine("a.zip"), fine("b.zip")}));
    EXPECT_EQ(faults::filesBelow(out()),
              (QStringList{QStringLiteral("b1.txt"), QStringLiteral("other.txt")}));
}

// a.zip: a small entry, then 512 KiB that must be read from the disk while it is extracted.
class ChangedDuringExtractionTest : public ArchiveFaultTest {
protected:
    void makeArchives() {
        testsupport::ZipBuilder::Options stored;
        stored.method = testsupport::ZipBuilder::Stored;
        QDir().mkpath(t + QStringLiteral("/src"));
        testsupport::ZipBuilder()
            .addFile("one.txt", "the first entry")
            .addFile("two.bin", faults::noise(512 * 1024, 2), stored)
            .write(src("a.zip"));
        makeArchive(src("b.zip"), {"b1.txt"});
    }

    // Runs t:\src into u:\dest; `tamper` acts as a.zip's second entry starts, the engine's
    // worker waiting there.
    void runTamperingAtTheSecondEntry(const std::function<void()>& tamper) {
        start();
        form->Check1->setChecked(true);
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QStringLiteral("u:\\dest"));
        dialogs->clear();
        testsupport::WorkerGate gate([&] {
            tamper();
            tampered = true;
        });
        form->XceedZip1.setWorkerHook(gate.at([](const ArchiveEngine::Report& report) {
            return report.kind == ArchiveEngine::Report::EntryStarted &&
                   report.name == QStringLiteral("two.bin");
        }));
        form->Command1_Click();
    }

    QString dest() const { return u + QStringLiteral("/dest"); }
};

class ChangedMidwayTest : public ChangedDuringExtractionTest,
                          public ::testing::WithParamInterface<Tamper> {};

TEST_P(ChangedMidwayTest, FailsThatArchiveLeavesNoPartAndRunsTheNext) {
    makeArchives();
    runTamperingAtTheSecondEntry([&] { GetParam().apply(src("a.zip")); });

    ASSERT_TRUE(tampered);
    EXPECT_EQ(logLines(), (QStringList{failed("a.zip"), fine("b.zip")}));
    EXPECT_TRUE(QFile::exists(src("a.zip")));
    EXPECT_FALSE(QFile::exists(src("b.zip")));
    EXPECT_EQ(faults::filesBelow(dest()),
              (QStringList{QStringLiteral("b1.txt"), QStringLiteral("one.txt")}));
    EXPECT_EQ(texts(), QStringList{kDone});
}

INSTANTIATE_TEST_SUITE_P(
    Archive, ChangedMidwayTest,
    ::testing::Values(Tamper{"TruncatedToNothing",
                             [](const QString& a) { ASSERT_TRUE(QFile(a).resize(0)); }, true},
                      Tamper{"OverwrittenInPlace",
                             [](const QString& a) {
                                 QFile file(a);
                                 ASSERT_TRUE(file.open(QIODevice::ReadWrite));
                                 const QByteArray zeros(qsizetype(file.size()), '\0');
                                 ASSERT_EQ(file.write(zeros), zeros.size());
                             },
                             true}),
    [](const ::testing::TestParamInfo<Tamper>& info) { return std::string(info.param.name); });

TEST_F(ChangedDuringExtractionTest, AnArchiveDeletedMidwayIsStillReadWholeFromTheOpenFile) {
    makeArchives();
    const QByteArray two = faults::noise(512 * 1024, 2);
    runTamperingAtTheSecondEntry([&] { ASSERT_TRUE(QFile::remove(src("a.zip"))); });

    ASSERT_TRUE(tampered);
    EXPECT_EQ(logLines(), (QStringList{fine("a.zip"), fine("b.zip")}));
    EXPECT_EQ(read(dest() + QStringLiteral("/two.bin")), two);
    EXPECT_FALSE(QFileInfo::exists(src("a.zip")));
    EXPECT_EQ(texts(), QStringList{kDone});
}

} // namespace
