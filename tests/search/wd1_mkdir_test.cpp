// MakeDir and MakeDirs: asking, then creating level by level.

#include "search_fixture.h"

namespace {

using MkdirTest = SearchTest;

const QString kDefaultQuestion = QStringLiteral("Directory Not Found Do You Want to Create it?");

TEST_F(MkdirTest, AnExistingDirectoryNeedsNoQuestion) {
    makeDir(QStringLiteral("HERE"));
    EXPECT_TRUE(wd1().MakeDir(QStringLiteral("T:\\HERE"), QStringLiteral("Create?")));
    EXPECT_TRUE(wd1().MakeDir(QStringLiteral("t:\\here\\"), QString()));
    EXPECT_TRUE(messages().empty());
}

TEST_F(MkdirTest, YesCreatesEveryLevel) {
    dialogs->queueAnswer(platform::vbYes);
    bool busyWhileAsked = false;
    dialogs->onMessage = [&](const auto&) { busyWhileAsked = wd1().isworking(); };

    EXPECT_TRUE(wd1().MakeDir(QStringLiteral("T:\\new\\deep"), QStringLiteral("Create It?")));

    EXPECT_TRUE(QFileInfo(host(QStringLiteral("new/deep"))).isDir());
    ASSERT_EQ(messages().size(), 1u);
    const auto& asked = messages().at(0);
    EXPECT_EQ(asked.text, QStringLiteral("Create It?"));
    EXPECT_EQ(asked.title, QStringLiteral("Create Directory"));
    EXPECT_TRUE(asked.yesNo);
    EXPECT_EQ(asked.icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_EQ(asked.defaultButton, 2);
    EXPECT_TRUE(busyWhileAsked);
    EXPECT_FALSE(wd1().isworking());
    EXPECT_TRUE(wd1().lstRtn.isEmpty());
    EXPECT_TRUE(wd1().lstCache.isEmpty());
}

TEST_F(MkdirTest, NoCreatesNothing) {
    dialogs->queueAnswer(platform::vbNo);
    EXPECT_FALSE(wd1().MakeDir(QStringLiteral("T:\\new\\deep"), QString()));
    EXPECT_FALSE(exists(QStringLiteral("new")));
    EXPECT_EQ(messages().size(), 1u);
    EXPECT_FALSE(wd1().isworking());
}

TEST_F(MkdirTest, RefusedWhileBusy) {
    wd1().work = 1;
    EXPECT_FALSE(wd1().MakeDir(QStringLiteral("T:\\new"), QString()));
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(exists(QStringLiteral("new")));
    EXPECT_EQ(wd1().work, 1);
}

TEST_F(MkdirTest, MakeDirsCreatesOnlyLevelsEndedBySeparator) {
    dialogs->queueAnswer(platform::vbYes);
    QString question = QStringLiteral("Go?");
    EXPECT_TRUE(wd1().MakeDirs(QStringLiteral("T:\\new\\deep"), question));
    EXPECT_TRUE(QFileInfo(host(QStringLiteral("new"))).isDir());
    EXPECT_FALSE(exists(QStringLiteral("new/deep")));
    EXPECT_EQ(wd1().lstRtn, (QStringList{QStringLiteral("T:\\"), QStringLiteral("T:\\new\\")}));
}

TEST_F(MkdirTest, MakeDirsFillsInAnEmptyQuestion) {
    dialogs->queueAnswer(platform::vbNo);
    QString question;
    EXPECT_FALSE(wd1().MakeDirs(QStringLiteral("T:\\new\\"), question));
    EXPECT_EQ(question, kDefaultQuestion);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages().at(0).text, kDefaultQuestion);
}

TEST_F(MkdirTest, ALevelThatCannotBeCreatedGivesFalse) {
    makeFile(QStringLiteral("plain.txt"), "data");
    dialogs->queueAnswer(platform::vbYes);
    EXPECT_FALSE(wd1().MakeDir(QStringLiteral("T:\\plain.txt\\sub\\deeper"), QString()));
    EXPECT_EQ(bytes(QStringLiteral("plain.txt")), QByteArray("data"));
    EXPECT_FALSE(wd1().isworking());

    // A drive without a medium: no level can be made.
    dialogs->queueAnswer(platform::vbYes);
    QString question;
    EXPECT_FALSE(wd1().MakeDirs(QStringLiteral("Q:\\new\\deep\\"), question));
}

TEST_F(MkdirTest, AHiddenLevelThatExistsIsNoFailure) {
    makeDir(QStringLiteral(".cache"));
    dialogs->queueAnswer(platform::vbYes);
    EXPECT_TRUE(wd1().MakeDir(QStringLiteral("T:\\.cache\\velmarch"), QString()));
    EXPECT_TRUE(QFileInfo(host(QStringLiteral(".cache/velmarch"))).isDir());
}

} // namespace
