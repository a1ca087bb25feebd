// The free-space guard over a small tmpfs mounted below a roomy drive: the file system that
// will hold the files counts, not the one the drive letter names.

#include "fault_support.h"
#include "platform/volumes.h"
#include "tests/app/form1_fixture.h"

#include <unistd.h>

namespace {

constexpr double kSmall = 1 << 20;
const QString kCreate = QStringLiteral("Velmarch can not find that directory!  Create It?");
const QString kDone = QStringLiteral("Done!");

// u:\small is a 1 MiB tmpfs with no letter of its own, on u: with 50 GB free.
class SmallDiskBelowADriveTest : public Form1Fixture {
protected:
    void SetUp() override {
        Form1Fixture::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a tmpfs below a drive";
        small = u + QStringLiteral("/small");
        ASSERT_TRUE(QDir(u).mkdir(QStringLiteral("small")));
        if (!mount.mountTmpfs(small, "1m"))
            GTEST_SKIP() << "cannot mount a tmpfs here: " << qPrintable(mount.error());
    }

    QString small;
    faults::ScopedMount mount;
};

TEST_F(SmallDiskBelowADriveTest, FoldersOnItHaveItsFigureAndTheDriveKeepsItsOwn) {
    EXPECT_EQ(DiskFreeBytes(QStringLiteral("u")), double(kPlenty));
    EXPECT_EQ(destinationFreeBytes(QStringLiteral("u:\\dest")), double(kPlenty));
    for (const QString& path : {QStringLiteral("u:\\small"), QStringLiteral("u:\\SMALL\\not\\made"),
                                small + QStringLiteral("/not/made")})
        EXPECT_EQ(destinationFreeBytes(path), kSmall) << path.toStdString();
    // The engine's own check reads the same figure.
    EXPECT_EQ(platform::freeBytesAt(small + QStringLiteral("/x")), std::uint64_t(kSmall));
}

TEST_F(SmallDiskBelowADriveTest, TheGuardAsksAboutTheSmallDiskNotTheDrive) {
    struct Case {
        const char* destination;
        bool warned;
    };
    const Case cases[] = {
        {"u:\\small\\out", true},
        {"u:\\roomy", false},
    };
    makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destination);
        start();
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QString::fromUtf8(c.destination));
        form->Check1->setChecked(false);
        form->Check2->setChecked(true);
        form->TxtSel->setText(QStringLiteral("10"));
        dialogs->clear();
        dialogs->queueAnswer(platform::vbYes); // create it
        dialogs->queueAnswer(platform::vbNo);  // low space: stop
        form->Command1_Click();

        const QString last = c.warned ? QStringLiteral("Diskspace Under 10 Megs") : kDone;
        EXPECT_EQ(texts(), (QStringList{kCreate, last}));
        EXPECT_EQ(logLines().size(), c.warned ? 0 : 1);
    }
}

} // namespace
