// Exists, FolderExists and the path splitting helpers.

#include "search_fixture.h"

namespace {

class PathsTest : public SearchTest {
protected:
    void addDrives() override {
        drives.addDrive('u');                                  // only a hidden entry
        drives.addDrive('n', platform::DriveFixed, {}, false); // no medium
    }
    void SetUp() override {
        SearchTest::SetUp();
        makeFile(QStringLiteral("ZIPS/A.ZIP"));
        makeFile(QStringLiteral("ZIPS/.hidden.zip"));
        makeDir(QStringLiteral("ZIPS/OLD/NEW"));
        testsupport::writeFile(drives.hostRoot('u') + QStringLiteral("/.profile"));
    }
};

TEST_F(PathsTest, ExistsAnswersWhatTheListingFinds) {
    const struct {
        const char* path;
        bool found;
        const char* name; // what the lookup stored
    } cases[] = {
        {"", false, ""},
        {"T:\\ZIPS", true, "ZIPS"},
        {"T:\\ZIPS\\", true, "."},
        {"t:\\zips\\a.zip", true, "A.ZIP"},
        {"T:\\ZIPS\\*.zip", true, "A.ZIP"},
        {"T:\\ZIPS\\?.ZIP", true, "A.ZIP"},
        {"T:\\ZIPS\\*.rar", false, ""},
        {"T:\\ZIPS\\.hidden.zip", false, ""},
        {"T:\\ZIPS\\MISSING.ZIP", false, ""},
        {"T:\\NOPE\\A.ZIP", false, ""},
        {"T:\\", true, "ZIPS"},
        {"U:\\", false, ""}, // a root holding only a hidden entry
        {"Q:\\A.ZIP", false, ""},
        {"N:\\A.ZIP", false, ""},
    };
    for (const auto& c : cases) {
        wd1().lastFound = QStringLiteral("stale");
        EXPECT_EQ(wd1().Exists(QString::fromLatin1(c.path)), c.found) << c.path;
        if (*c.path) {
            EXPECT_EQ(wd1().lastFound, QString::fromLatin1(c.name)) << c.path;
        }
    }
}

TEST_F(PathsTest, AFailedLookupForgetsThePreviousFind) {
    ASSERT_TRUE(wd1().Exists(QStringLiteral("T:\\ZIPS\\A.ZIP")));
    EXPECT_EQ(wd1().lastFound, QStringLiteral("A.ZIP"));
    EXPECT_FALSE(wd1().Exists(QStringLiteral("N:\\ZIPS\\A.ZIP"))); // device unavailable
    EXPECT_EQ(wd1().lastFound, QString());
}

TEST_F(PathsTest, FolderExistsChecksTheFolderPart) {
    const struct {
        const char* path;
        bool exists;
    } cases[] = {
        {"T:\\ZIPS\\OLD\\NEW\\", true},
        {"T:\\ZIPS\\", true},
        {"T:\\ZIPS\\nothing.zip", true},
        {"T:\\", true},
        {"T:\\NOPE\\", false},
        {"T:\\NOPE\\x.zip", false},
        {"", false},
        {"N:\\ZIPS\\", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wd1().FolderExists(QString::fromLatin1(c.path)), c.exists) << c.path;
    EXPECT_TRUE(messages().empty());
}

struct TextCase {
    const char* in;
    const char* out;
};

TEST(PathParsing, FixPath) {
    const TextCase cases[] = {
        {" C:\\ZIPS ", "C:\\ZIPS\\"},
        {"C:\\ZIPS\\", "C:\\ZIPS\\"},
        {"C:", "C:\\"},
        {"C", "C"},
        {"", ""},
        {"   ", ""},
        {" x ", "x"},
        {"C:\\a\t", "C:\\a\t\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Wd1::FixPath(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
}

TEST(PathParsing, GetFolder) {
    const TextCase cases[] = {
        {"C:\\a\\b\\c\\", "\\a\\b\\c\\"},
        {"C:\\ZIPS\\a.zip", "\\ZIPS\\"},
        {"C:\\file.zip", "\\"},
        {"dir\\", ""},
        {"C:\\", ""},
        {"abcd", ""},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Wd1::GetFolder(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
}

TEST(PathParsing, GetFileTail) {
    const TextCase cases[] = {
        {"C:\\ZIPS\\a.zip", "a.zip"}, {"C:\\ZIPS\\", ""}, {"abc", ""},
        {"file.zip", "file.zip"},     {"C:\\x", "x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Wd1::GetFileTail(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
}

TEST_F(PathsTest, GetVolume) {
    const TextCase cases[] = {
        {"", ""},         {"C:", ""},           {"C:\\", "C:\\"},
        {" C:", "C:"},    {"C:\\ZIPS\\", "C:"}, {"C:file", "C:"},
        {"\\dir\\x", ""}, {"dir\\", ""},        {"C:\\ZIPS\\a.zip", "C:"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wd1().GetVolume(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
    EXPECT_TRUE(messages().empty());
}

TEST_F(PathsTest, GetVolumeReportsAPathWithoutSeparatorOnce) {
    EXPECT_EQ(wd1().GetVolume(QStringLiteral("word")), QString());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages().at(0).text,
              QStringLiteral("Error Parsing Volume Name, Abort @#$xVolume!"));
    EXPECT_EQ(messages().at(0).title, QStringLiteral("Qorva OCX 6.5"));
    EXPECT_EQ(messages().at(0).buttons, platform::vbOKOnly);

    // FolderExists of such a path asks once and answers false.
    EXPECT_FALSE(wd1().FolderExists(QStringLiteral("ZIPS")));
    EXPECT_EQ(messages().size(), 2u);
}

} // namespace
