// Drive, free-space and attribute queries, GetFilename and the file dialog.

#include "search_fixture.h"

#include "platform/dosfs.h"

#include <QLocale>

#include <optional>

namespace {

class QueriesTest : public SearchTest {
protected:
    void addDrives() override {
        drives.addDrive('r', platform::DriveCdRom);
        drives.addDrive('n', platform::DriveRemote);
        drives.addDrive('f', platform::DriveFixed, std::uint64_t(1234567));
        drives.addDrive('e', platform::DriveFixed, std::uint64_t(0));
        drives.addDrive('s', platform::DriveFixed, std::uint64_t(499));
        drives.addDrive('g', platform::DriveFixed, std::uint64_t(5'000'000'000));
    }
    void SetUp() override {
        SearchTest::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        wd1().freeSpaceText = [this](const QString& text) { shownFree = text; };
        wd1().statusText = [this](const QString& text) { status = text; };
    }
    void TearDown() override {
        QLocale::setDefault(QLocale::system());
        SearchTest::TearDown();
    }
    int attributes(const QString& dosPath) { return platform::getAttributes(dosPath); }

    std::optional<QString> shownFree;
    std::optional<QString> status;
};

TEST_F(QueriesTest, DriveKindsFromTheFirstThreeCharacters) {
    const struct {
        const char* path;
        bool cdrom;
        bool network;
    } cases[] = {
        {"R:\\x", true, false},      {"r:\\", true, false},  {"N:\\share\\a.zip", false, true},
        {"T:\\a.zip", false, false}, {"C", false, false},    {"\\\\server\\share", false, false},
        {"", false, false},          {"Q:\\", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wd1().IsCDRom(QString::fromLatin1(c.path)), c.cdrom) << c.path;
        EXPECT_EQ(wd1().IsNetDrv(QString::fromLatin1(c.path)), c.network) << c.path;
    }
}

TEST_F(QueriesTest, DiskspaceGivesBytesAndShowsThousands) {
    const struct {
        const char* drive;
        double bytes;
        const char* shown;
    } cases[] = {
        {" f", 1234567, "1,235"}, {"F:\\dir", 1234567, "1,235"}, {"e", 0, ""},
        {"s", 499, ""},           {"g", 5e9, "5,000,000"},
    };
    for (const auto& c : cases) {
        shownFree.reset();
        QString drive = QString::fromLatin1(c.drive);
        EXPECT_EQ(wd1().Diskspace(drive), c.bytes) << c.drive;
        EXPECT_EQ(shownFree, QString::fromLatin1(c.shown)) << c.drive;
        EXPECT_EQ(drive, QString::fromLatin1(c.drive)) << "the argument is not changed";
    }
}

TEST_F(QueriesTest, DiskspaceGroupsTheLocaleWay) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QString drive = QStringLiteral("f");
    EXPECT_EQ(wd1().Diskspace(drive), 1234567.0);
    EXPECT_EQ(shownFree, QStringLiteral("1.235"));
}

TEST_F(QueriesTest, DiskspaceOfAnUnknownDriveShowsNothing) {
    for (const char* unknown : {"q", "", "  "}) {
        QString drive = QString::fromLatin1(unknown);
        EXPECT_EQ(wd1().Diskspace(drive), -1.0) << unknown;
    }
    EXPECT_FALSE(shownFree.has_value());
}

TEST(GetFilename, TakesTheTextAfterTheLastSeparatorBeforeTheEnd) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:\\dir\\file.zip", "file.zip"},
        {"file.zip", "file.zip"},
        {"C:\\dir\\", "dir\\"},
        {"\\", "\\"},
        {"", ""},
        {"\\a", "a"},
        {"C:\\", "C:\\"},
    };
    Wd1& wd = wd1();
    for (const auto& c : cases)
        EXPECT_EQ(wd.GetFilename(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
}

TEST_F(QueriesTest, CheckFileAttribReadiesAFileForDeletion) {
    EXPECT_FALSE(wd1().CheckFileAttrib(QStringLiteral("T:\\missing.zip")));

    makeFile(QStringLiteral("locked.zip"));
    makeReadOnly(QStringLiteral("locked.zip"));
    ASSERT_EQ(attributes(QStringLiteral("T:\\locked.zip")), platform::AttrReadOnly);
    EXPECT_TRUE(wd1().CheckFileAttrib(QStringLiteral("T:\\LOCKED.ZIP")));
    EXPECT_EQ(attributes(QStringLiteral("T:\\locked.zip")), platform::AttrNormal);

    // Exists does not see hidden files, so they are not touched.
    makeFile(QStringLiteral(".hidden.zip"));
    makeReadOnly(QStringLiteral(".hidden.zip"));
    EXPECT_FALSE(wd1().CheckFileAttrib(QStringLiteral("T:\\.hidden.zip")));
    EXPECT_EQ(attributes(QStringLiteral("T:\\.hidden.zip")),
              platform::AttrReadOnly | platform::AttrHidden);
    EXPECT_FALSE(status.has_value());
}

TEST_F(QueriesTest, CheckFileAttribExplainsARefusalOnANetworkDrive) {
    // The kernel refuses to change the mode of a /proc file, even for root: a fixed and a
    // network drive rooted there hold a file whose attributes cannot be cleared.
    if (!QFileInfo::exists(QStringLiteral("/proc/self/status")))
        GTEST_SKIP() << "no /proc";
    for (const QChar letter : {u'f', u'n'})
        drives.volume(letter).mountPoint = QStringLiteral("/proc/self");
    drives.install();
    ASSERT_EQ(platform::setAttributes(QStringLiteral("F:\\status"), platform::AttrNormal).number,
              platform::ErrPathFileAccess);

    EXPECT_TRUE(wd1().CheckFileAttrib(QStringLiteral("F:\\status")));
    EXPECT_FALSE(status.has_value()) << "not a network drive";

    EXPECT_TRUE(wd1().CheckFileAttrib(QStringLiteral("N:\\status")));
    EXPECT_EQ(status, QStringLiteral(
                          "Network drive, do not have write access or file can not be modifyed."));
}

TEST_F(QueriesTest, CheckAttribClearsAPlainReadOnlyFileOnly) {
    makeFile(QStringLiteral("locked.zip"));
    makeReadOnly(QStringLiteral("locked.zip"));
    // A link to a read-only file reads as read-only plus reparse point: left alone.
    ASSERT_TRUE(QFile::link(host(QStringLiteral("locked.zip")), host(QStringLiteral("link.zip"))));
    ASSERT_EQ(attributes(QStringLiteral("T:\\link.zip")),
              platform::AttrReadOnly | platform::AttrReparsePoint);

    wd1().work = 1;
    wd1().CheckAttrib(QStringLiteral("T:\\locked.zip"));
    EXPECT_EQ(attributes(QStringLiteral("T:\\locked.zip")), platform::AttrReadOnly);
    EXPECT_EQ(wd1().work, 1);
    wd1().Cancel();

    wd1().CheckAttrib(QStringLiteral("T:\\link.zip"));
    EXPECT_EQ(attributes(QStringLiteral("T:\\locked.zip")), platform::AttrReadOnly);

    wd1().lstRtn = QStringList{QStringLiteral("x")};
    wd1().CheckAttrib(QStringLiteral("T:\\locked.zip"));
    EXPECT_EQ(attributes(QStringLiteral("T:\\locked.zip")), platform::AttrNormal);
    EXPECT_EQ(wd1().work, 0);
    EXPECT_TRUE(wd1().lstRtn.isEmpty());
}

TEST_F(QueriesTest, OpenDlgPassesItsSettingsThrough) {
    dialogs->queueFileName(QStringLiteral("T:\\picked.zip"));
    QString title = QStringLiteral("Pick one");
    qint16 action = 1;
    EXPECT_EQ(wd1().OpenDlg(title, 2, 4, 0, action), QStringLiteral("T:\\picked.zip"));
    ASSERT_EQ(dialogs->fileDialogs().size(), 1u);
    EXPECT_EQ(dialogs->fileDialogs().at(0).flags, 6);
    EXPECT_EQ(dialogs->fileDialogs().at(0).title, QStringLiteral("Pick one"));
    EXPECT_EQ(dialogs->fileDialogs().at(0).action, 1);

    qint16 save = 2;
    EXPECT_EQ(wd1().OpenDlg(title, 0, 0, 0, save), QString()); // cancelled
    EXPECT_EQ(dialogs->fileDialogs().at(1).action, 2);
}

} // namespace
