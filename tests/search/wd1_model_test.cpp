// The component's properties, busy flag and list utilities.

#include "search_fixture.h"

#include "platform/dosfs.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>

#include <memory>

namespace {

using ModelTest = SearchTest;

TEST_F(ModelTest, FreshInstanceStartsFromTheProgramDirectory) {
    const QString program = drives.programDirectory(); // "z:\", a drive root
    EXPECT_EQ(wd1().sPath(), program);
    EXPECT_EQ(wd1().OutFile(), program + QStringLiteral("outfile.lst"));
    EXPECT_EQ(wd1().pattern(), QString());
    EXPECT_FALSE(wd1().recurse());
    EXPECT_FALSE(wd1().isworking());
}

TEST_F(ModelTest, ProgramDirectoryBelowARootGetsItsSeparator) {
    ASSERT_TRUE(QDir(drives.programHostDirectory()).mkdir(QStringLiteral("bin")));
    platform::setProgramDirectory(drives.programDirectory() + QStringLiteral("bin"));
    EXPECT_EQ(wd1().sPath(), drives.programDirectory() + QStringLiteral("bin\\"));
    EXPECT_EQ(wd1().OutFile(), drives.programDirectory() + QStringLiteral("bin\\outfile.lst"));
}

TEST_F(ModelTest, SPathTakesOnlyExistingFolders) {
    makeDir(QStringLiteral("ZIPS/OLD"));
    wd1().setSPath(QStringLiteral("T:\\ZIPS\\"));
    EXPECT_EQ(wd1().sPath(), QStringLiteral("T:\\ZIPS\\"));

    for (const char* refused : {"T:\\NOPE\\", "T:\\NOPE\\DEEPER", "", "word", "Q:\\"}) {
        wd1().setSPath(QString::fromLatin1(refused));
        EXPECT_EQ(wd1().sPath(), QStringLiteral("T:\\ZIPS\\")) << refused;
    }
    EXPECT_EQ(messages().size(), 1u) << "only \"word\" is a parse error";

    wd1().setSPath(QStringLiteral("T:\\ZIPS\\OLD"));
    EXPECT_EQ(wd1().sPath(), QStringLiteral("T:\\ZIPS\\OLD"));
}

TEST_F(ModelTest, SPathFallsBackWhenItsFolderVanishes) {
    makeDir(QStringLiteral("GONE"));
    wd1().setSPath(QStringLiteral("T:\\GONE\\"));
    ASSERT_TRUE(QDir(tRoot).rmdir(QStringLiteral("GONE")));
    EXPECT_EQ(wd1().sPath(), drives.programDirectory());
    EXPECT_EQ(wd1().tpath, QStringLiteral("T:\\GONE\\"));
}

TEST_F(ModelTest, OutFileIgnoresShortNamesAndTakesNewOnesWithoutCreating) {
    const QString fallback = wd1().OutFile();
    wd1().setOutFile(QStringLiteral("ab"));
    EXPECT_EQ(wd1().OutFile(), fallback);

    wd1().setOutFile(QStringLiteral("a.b")); // relative to the current directory, t:\ .
    EXPECT_EQ(wd1().OutFile(), QStringLiteral("a.b"));
    EXPECT_FALSE(exists(QStringLiteral("a.b")));
}

TEST_F(ModelTest, OutFileEmptiesAnExistingFileAtOnce) {
    makeFile(QStringLiteral("old.lst"), QByteArray(10 * 1024, 'x'));
    wd1().setOutFile(QStringLiteral("T:\\OLD.LST"));
    EXPECT_EQ(wd1().OutFile(), QStringLiteral("T:\\OLD.LST"));
    EXPECT_TRUE(exists(QStringLiteral("old.lst")));
    EXPECT_EQ(QFileInfo(host(QStringLiteral("old.lst"))).size(), 0);
}

TEST_F(ModelTest, OutFileRefusesWhatCannotBeWritten) {
    makeDir(QStringLiteral("folder"));
    makeFile(QStringLiteral("one.lst"), "keep");
    wd1().setOutFile(QStringLiteral("T:\\first.lst"));
    for (const char* refused : {"T:\\folder", "T:\\*.lst", "T:\\one.ls?"}) {
        wd1().setOutFile(QString::fromLatin1(refused));
        EXPECT_EQ(wd1().OutFile(), QStringLiteral("T:\\first.lst")) << refused;
    }
    EXPECT_EQ(bytes(QStringLiteral("one.lst")), QByteArray("keep"));
}

TEST_F(ModelTest, RecurseIsOnOnlyForTrue) {
    const struct {
        QVariant value;
        bool on;
    } cases[] = {
        {QVariant(true), true},
        {QVariant(-1), true},
        {QVariant(-1.0), true},
        {QVariant(1), false},
        {QVariant(0), false},
        {QVariant(false), false},
        {QVariant(QStringLiteral("yes")), false},
        {QVariant(), false},
    };
    for (const auto& c : cases) {
        wd1().recurs = c.on ? 0 : 1; // start from the opposite
        wd1().setRecurse(c.value);
        EXPECT_EQ(wd1().recurse(), c.on) << c.value.toString().toStdString();
        EXPECT_EQ(wd1().recurs, c.on ? 1 : 0);
    }
}

TEST_F(ModelTest, CancelClrAndWipeEmptyTheLists) {
    const auto fill = [] {
        wd1().lstRtn = QStringList{QStringLiteral("a")};
        wd1().lstCache = QStringList{QStringLiteral("b"), QStringLiteral("c")};
    };

    fill();
    wd1().Cancel();
    EXPECT_EQ(wd1().work, 0);
    EXPECT_TRUE(wd1().lstRtn.isEmpty() && wd1().lstCache.isEmpty());

    fill();
    wd1().wipe();
    EXPECT_EQ(wd1().work, 0);
    EXPECT_TRUE(wd1().lstRtn.isEmpty() && wd1().lstCache.isEmpty());

    fill();
    wd1().work = 1;
    wd1().wipe(); // refused while busy
    EXPECT_EQ(wd1().work, 1);
    EXPECT_EQ(wd1().lstCache.size(), 2);
    wd1().Cancel(); // the one way to lower the flag from outside
    EXPECT_EQ(wd1().work, 0);
    EXPECT_TRUE(wd1().lstRtn.isEmpty() && wd1().lstCache.isEmpty());
}

TEST_F(ModelTest, IslistedComparesWholeItemsIgnoringCase) {
    QListWidget list;
    list.addItems({QStringLiteral("A.ZIP"), QStringLiteral("Foo.ZIP")});
    QComboBox combo;
    combo.addItems({QStringLiteral("Foo.ZIP")});

    const struct {
        const char* item;
        bool listed;
    } cases[] = {
        {"foo.zip", true},   {"FOO.ZIP", true}, {"foo.zip ", false},
        {" foo.zip", false}, {"foo", false},    {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wd1().islisted(nullptr, &list, QString::fromLatin1(c.item)), c.listed)
            << "list: " << c.item;
        EXPECT_EQ(wd1().islisted(nullptr, &combo, QString::fromLatin1(c.item)), c.listed)
            << "combo: " << c.item;
    }
    QListWidget empty;
    EXPECT_FALSE(wd1().islisted(nullptr, &empty, QString()));
    EXPECT_TRUE(messages().empty());
}

TEST_F(ModelTest, IslistedYieldsAfterEachItemThatDoesNotMatch) {
    QListWidget list;
    list.addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    bool ranInSecondYield = false;
    atYield(2, [&] { ranInSecondYield = true; });
    EXPECT_TRUE(wd1().islisted(nullptr, &list, QStringLiteral("C")));
    EXPECT_TRUE(ranInSecondYield);
}

TEST_F(ModelTest, IslistedSurvivesTheListDisappearingDuringAYield) {
    auto* list = new QListWidget;
    list->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    atYield(1, [&] { delete list; });
    EXPECT_FALSE(wd1().islisted(nullptr, list, QStringLiteral("c")));
}

TEST_F(ModelTest, IslistedRefusesOtherControls) {
    QLineEdit edit(QStringLiteral("foo.zip"));
    EXPECT_FALSE(wd1().islisted(nullptr, &edit, QStringLiteral("foo.zip")));
    EXPECT_FALSE(wd1().islisted(nullptr, nullptr, QStringLiteral("foo.zip")));
    ASSERT_EQ(messages().size(), 2u);
    EXPECT_EQ(messages().at(0).text, QStringLiteral("Invalid Control Type :("));
    EXPECT_EQ(messages().at(0).title, QStringLiteral("Velmarch"));
    EXPECT_EQ(messages().at(0).buttons, platform::vbOKOnly);
}

} // namespace
