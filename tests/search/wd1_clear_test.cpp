// wipedir: clearing one directory of the files that match the pattern.

#include "search_fixture.h"

#include "platform/dosfs.h"

namespace {

class ClearTest : public SearchTest {
protected:
    void SetUp() override {
        SearchTest::SetUp();
        makeFile(QStringLiteral("TMP/a.zip"));
        makeFile(QStringLiteral("TMP/B.ZIP"));
        makeFile(QStringLiteral("TMP/c.Zip"));
        wd1().setPattern(QStringLiteral("*.zip"));
    }
    QStringList left(const QString& relative) const {
        return QDir(host(relative))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDir::Name | QDir::IgnoreCase);
    }
};

TEST_F(ClearTest, DeletesMatchingFilesOfThatDirectoryOnly) {
    makeFile(QStringLiteral("TMP/locked.zip"));
    makeReadOnly(QStringLiteral("TMP/locked.zip"));
    makeFile(QStringLiteral("TMP/.hidden.zip"));
    makeFile(QStringLiteral("TMP/keep.txt"));
    makeFile(QStringLiteral("TMP/OLD.ZIP/inside.zip"));
    makeFile(QStringLiteral("TMP/SUB/below.zip"));

    wd1().setWipedir(QStringLiteral("T:\\TMP"));

    EXPECT_EQ(left(QStringLiteral("TMP")),
              (QStringList{QStringLiteral("keep.txt"), QStringLiteral("OLD.ZIP"),
                           QStringLiteral("SUB")}));
    EXPECT_TRUE(exists(QStringLiteral("TMP/OLD.ZIP/inside.zip")));
    EXPECT_TRUE(exists(QStringLiteral("TMP/SUB/below.zip")));
    EXPECT_EQ(wd1().Dir2Kill, QStringLiteral("T:\\TMP\\"));
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(wd1().isworking());
}

TEST_F(ClearTest, RefusedWhileBusy) {
    wd1().Dir2Kill = QStringLiteral("before");
    wd1().work = 1;
    wd1().setWipedir(QStringLiteral("T:\\TMP"));
    EXPECT_EQ(left(QStringLiteral("TMP")).size(), 3);
    EXPECT_EQ(wd1().Dir2Kill, QStringLiteral("before"));
    EXPECT_EQ(wd1().work, 1);
}

TEST_F(ClearTest, UnusableValuesDeleteNothing) {
    // The current directory is T:\TMP, where a short value would otherwise land.
    drives.install(QStringLiteral("t:\\TMP"));
    for (const char* value : {"", "   ", "x", " x ", "T:\\NOPE", "N:\\"}) {
        wd1().lstRtn = QStringList{QStringLiteral("x")};
        wd1().setWipedir(QString::fromLatin1(value));
        EXPECT_EQ(left(QStringLiteral("TMP")).size(), 3) << value;
        EXPECT_FALSE(wd1().isworking()) << value;
        EXPECT_TRUE(wd1().lstRtn.isEmpty()) << value;
    }
    EXPECT_TRUE(messages().empty());
}

TEST_F(ClearTest, PatternsThatNameNoFileOfTheDirectoryDeleteNothing) {
    makeFile(QStringLiteral("other.zip"));
    for (const char* pattern : {"", "..\\*.zip", "../*.zip"}) {
        wd1().setPattern(QString::fromLatin1(pattern));
        wd1().setWipedir(QStringLiteral("T:\\TMP"));
        EXPECT_EQ(left(QStringLiteral("TMP")).size(), 3) << pattern;
        EXPECT_TRUE(exists(QStringLiteral("other.zip"))) << pattern;
    }
}

TEST_F(ClearTest, AFailedDeletionStopsWithAMessage) {
    // The second match disappears behind the clearing's back while it yields after the
    // first; it then cannot be readied for deletion.
    atYield(1, [this] { ASSERT_TRUE(QFile::remove(host(QStringLiteral("TMP/B.ZIP")))); });

    wd1().setWipedir(QStringLiteral("T:\\TMP\\"));

    EXPECT_EQ(left(QStringLiteral("TMP")), QStringList{QStringLiteral("c.Zip")});
    ASSERT_EQ(messages().size(), 1u);
    const QStringList lines = messages().at(0).text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines.at(0), QStringLiteral("Error Clearing Cached File T:\\TMP\\B.ZIP"));
    EXPECT_EQ(lines.at(1), platform::errorText(platform::ErrFileNotFound));
    EXPECT_EQ(messages().at(0).title, QStringLiteral("Qorva OCX 6.5"));
    EXPECT_EQ(messages().at(0).buttons, platform::vbOKOnly);
    EXPECT_FALSE(wd1().isworking());
}

TEST_F(ClearTest, CancelDuringAYieldStopsBeforeTheNextFile) {
    atYield(2, [] { wd1().Cancel(); });
    wd1().setWipedir(QStringLiteral("T:\\TMP"));
    EXPECT_EQ(left(QStringLiteral("TMP")),
              (QStringList{QStringLiteral("B.ZIP"), QStringLiteral("c.Zip")}));
    EXPECT_TRUE(messages().empty());
}

} // namespace
