// GetAll: the walk, the search and the list file.

#include "search_fixture.h"

#include "platform/dosfs.h"

#include <sys/fsuid.h>
#include <unistd.h>

// Readable failure messages for the folders a search passed over.
inline void PrintTo(const Wd1::PassedOver& folder, std::ostream* os) {
    *os << (folder.kind == Wd1::PassedOver::Unreadable ? "unreadable " : "not entered ")
        << folder.folder.toStdString() << ": " << folder.reason.toStdString();
}

namespace {

constexpr uid_t kNobody = 65534;

// Permission bits do not bind root: for the object's lifetime this thread's file access is
// checked as "nobody", who is given `top`. For anyone else it changes nothing.
class AsOrdinaryUser {
public:
    explicit AsOrdinaryUser(const QString& top) {
        if (m_root && ::chown(QFile::encodeName(top).constData(), kNobody, kNobody) == 0)
            ::setfsuid(kNobody);
    }
    ~AsOrdinaryUser() {
        if (m_root)
            ::setfsuid(0);
    }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;

    // An invalid id changes nothing and answers the id in force.
    bool active() const { return !m_root || ::setfsuid(uid_t(-1)) == kNobody; }

private:
    const bool m_root = ::geteuid() == 0;
};

QByteArray crlfLines(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toUtf8() + "\r\n";
    return bytes;
}

class GetAllTest : public SearchTest {
protected:
    // Runs a recursive "*.zip" search of `start` into T:\OUT.LST.
    void search(const QString& start, bool recurse = true) {
        wd1().setPattern(QStringLiteral("*.zip"));
        wd1().setRecurse(recurse);
        wd1().setSPath(start);
        ASSERT_EQ(wd1().tpath, start) << "start directory refused";
        wd1().setOutFile(kListFile);
        wd1().GetAll();
    }
    QByteArray listFile() const { return bytes(QStringLiteral("OUT.LST")); }

    const QString kListFile = QStringLiteral("T:\\OUT.LST");
};

TEST_F(GetAllTest, TwoLevelsGiveFullPathsEndedByCrLf) {
    makeFile(QStringLiteral("ZIPS/A.ZIP"));
    makeFile(QStringLiteral("ZIPS/OLD/B.ZIP"));

    search(QStringLiteral("T:\\ZIPS"));

    EXPECT_EQ(listFile(), QByteArray("T:\\ZIPS\\A.ZIP\r\nT:\\ZIPS\\OLD\\B.ZIP\r\n"));
    EXPECT_EQ(wd1().tpath, QStringLiteral("T:\\ZIPS\\"));
    EXPECT_FALSE(wd1().isworking());
    EXPECT_TRUE(wd1().lstCache.isEmpty());
    EXPECT_TRUE(wd1().lstRtn.isEmpty());
}

TEST_F(GetAllTest, WalksBreadthFirst) {
    for (const char* dir : {"S", "S/A", "S/B", "S/A/A1", "S/B/B1"})
        makeFile(QString::fromLatin1(dir) + QStringLiteral("/x.zip"));

    search(QStringLiteral("T:\\S\\"));

    EXPECT_EQ(listFile(), crlfLines({"T:\\S\\x.zip", "T:\\S\\A\\x.zip", "T:\\S\\B\\x.zip",
                                     "T:\\S\\A\\A1\\x.zip", "T:\\S\\B\\B1\\x.zip"}));
}

TEST_F(GetAllTest, EntersOnlyPlainDirectoriesAndListsEveryMatchingFile) {
    makeFile(QStringLiteral("S/a.ZIP"));
    makeFile(QStringLiteral("S/b.zip"));
    makeFile(QStringLiteral("S/C.Zip"));
    makeFile(QStringLiteral("S/.hidden.zip"));
    makeFile(QStringLiteral("S/locked.zip"));
    makeReadOnly(QStringLiteral("S/locked.zip"));
    makeFile(QStringLiteral("S/notes.txt"));
    makeFile(QStringLiteral("S/zip"));
    makeFile(QStringLiteral("S/D.ZIP/inner.zip")); // a directory named like an archive
    makeFile(QStringLiteral("S/RO/skipped.zip"));
    makeFile(QStringLiteral("S/RO/deeper/skipped.zip"));
    makeReadOnly(QStringLiteral("S/RO"));
    makeFile(QStringLiteral("S/.git/skipped.zip"));
    // A link back to the top would make a walk that follows links run forever.
    ASSERT_TRUE(QFile::link(host(QStringLiteral("S")), host(QStringLiteral("S/loop"))));

    search(QStringLiteral("T:\\S\\"));

    EXPECT_EQ(listFile(),
              crlfLines({"T:\\S\\.hidden.zip", "T:\\S\\a.ZIP", "T:\\S\\b.zip", "T:\\S\\C.Zip",
                         "T:\\S\\locked.zip", "T:\\S\\D.ZIP\\inner.zip"}));
    using Folder = Wd1::PassedOver;
    EXPECT_EQ(wd1().passedOver,
              (QList<Folder>{
                  {Folder::NotEntered, QStringLiteral("T:\\S\\.git"), QStringLiteral("hidden")},
                  {Folder::NotEntered, QStringLiteral("T:\\S\\loop"), QStringLiteral("link")},
                  {Folder::NotEntered, QStringLiteral("T:\\S\\RO"), QStringLiteral("read-only")}}));
}

TEST_F(GetAllTest, AFolderThatBecomesALinkBeforeItIsEnteredIsNotFollowed) {
    makeFile(QStringLiteral("S/x.zip"));
    makeFile(QStringLiteral("S/A/a.zip"));
    makeFile(QStringLiteral("S/B/b.zip"));
    makeFile(QStringLiteral("ELSEWHERE/e.zip"));
    // The second yield follows the reading of S, which queued A and B.
    atYield(2, [this] {
        ASSERT_TRUE(QDir().rename(host(QStringLiteral("S/B")), host(QStringLiteral("OLD_B"))));
        ASSERT_TRUE(QFile::link(host(QStringLiteral("ELSEWHERE")), host(QStringLiteral("S/B"))));
    });

    search(QStringLiteral("T:\\S\\"));

    EXPECT_EQ(listFile(), crlfLines({"T:\\S\\x.zip", "T:\\S\\A\\a.zip"}));
    EXPECT_EQ(wd1().passedOver,
              (QList<Wd1::PassedOver>{{Wd1::PassedOver::NotEntered, QStringLiteral("T:\\S\\B"),
                                       QStringLiteral("link")}}));
}

TEST_F(GetAllTest, NamesEveryFolderItCouldNotReadAndStillListsTheRest) {
    using Folder = Wd1::PassedOver;
    const QString kPrivate = QStringLiteral("T:\\S\\PRIVATE");
    struct Case {
        const char* name;
        QFile::Permissions permissions; // of PRIVATE
        Folder passedOver;
    };
    const Case cases[] = {
        {"writable but unreadable",
         QFile::WriteOwner,
         {Folder::Unreadable, kPrivate, platform::errorText(platform::ErrPathFileAccess)}},
        // The owner cannot write it either, and that reads as read-only.
        {"no permission at all", {}, {Folder::NotEntered, kPrivate, QStringLiteral("read-only")}},
    };
    makeFile(QStringLiteral("S/a.zip"));
    makeFile(QStringLiteral("S/PRIVATE/b.zip"));
    makeFile(QStringLiteral("S/OPEN/c.zip"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QFile::setPermissions(host(QStringLiteral("S/PRIVATE")), c.permissions));
        {
            AsOrdinaryUser user(tRoot);
            ASSERT_TRUE(user.active());
            search(QStringLiteral("T:\\S\\"));
        }
        ASSERT_TRUE(QFile::setPermissions(host(QStringLiteral("S/PRIVATE")),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        EXPECT_EQ(listFile(), crlfLines({"T:\\S\\a.zip", "T:\\S\\OPEN\\c.zip"}));
        EXPECT_EQ(wd1().passedOver, QList<Folder>{c.passedOver});
    }
}

TEST_F(GetAllTest, KeepsBlanksAtTheEndsOfDirectoryNames) {
    // Possible on this host: "dir " and "dir" are two directories.
    makeFile(QStringLiteral("S/dir /blank.zip"));
    makeFile(QStringLiteral("S/dir/plain.zip"));

    for (const bool recurse : {true, false}) {
        SCOPED_TRACE(recurse);
        search(recurse ? QStringLiteral("T:\\S\\") : QStringLiteral("T:\\S\\dir \\"), recurse);
        EXPECT_EQ(listFile(), recurse
                                  ? crlfLines({"T:\\S\\dir\\plain.zip", "T:\\S\\dir \\blank.zip"})
                                  : crlfLines({"T:\\S\\dir \\blank.zip"}));
    }
}

TEST_F(GetAllTest, NothingFoundLeavesAnEmptyFile) {
    makeFile(QStringLiteral("S/readme.txt"));
    wd1().setOutFile(kListFile);
    makeFile(QStringLiteral("OUT.LST"), "stale\r\n");

    wd1().setPattern(QStringLiteral("*.zip"));
    wd1().setRecurse(true);
    wd1().setSPath(QStringLiteral("T:\\S\\"));
    wd1().GetAll();

    EXPECT_TRUE(exists(QStringLiteral("OUT.LST")));
    EXPECT_EQ(listFile(), QByteArray());
}

TEST_F(GetAllTest, WithoutRecursionSearchesTheStartDirectoryAlone) {
    makeFile(QStringLiteral("S/top.zip"));
    makeFile(QStringLiteral("S/SUB/below.zip"));

    search(QStringLiteral("T:\\S\\"), false);

    EXPECT_EQ(listFile(), crlfLines({"T:\\S\\top.zip"}));
    EXPECT_TRUE(wd1().lstCache.isEmpty());
}

TEST_F(GetAllTest, HasNoLimitOnMatchesInOneDirectory) {
    constexpr int kFiles = 32800; // more than a 16-bit list could count
    makeDir(QStringLiteral("BIG"));
    for (int i = 0; i < kFiles; ++i) {
        QFile file(host(QStringLiteral("BIG/f%1.zip").arg(i, 5, 10, QLatin1Char('0'))));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    search(QStringLiteral("T:\\BIG\\"));

    const QList<QByteArray> lines = listFile().split('\n');
    ASSERT_EQ(lines.size(), kFiles + 1); // the last CR LF leaves an empty tail
    EXPECT_EQ(lines.at(kFiles - 1), QByteArray("T:\\BIG\\f32799.zip\r"));
}

TEST_F(GetAllTest, WhileBusyLeavesEverythingAlone) {
    makeFile(QStringLiteral("S/a.zip"));
    wd1().setOutFile(kListFile);
    makeFile(QStringLiteral("OUT.LST"), "old\r\n");
    wd1().setPattern(QStringLiteral("*.zip"));
    wd1().setSPath(QStringLiteral("T:\\S"));
    wd1().work = 1;
    wd1().lstRtn = QStringList{QStringLiteral("kept")};

    wd1().GetAll();

    EXPECT_EQ(listFile(), QByteArray("old\r\n"));
    EXPECT_EQ(wd1().work, 1);
    EXPECT_EQ(wd1().lstRtn, QStringList{QStringLiteral("kept")});
    EXPECT_EQ(wd1().tpath, QStringLiteral("T:\\S"));
}

TEST_F(GetAllTest, CancelDuringTheWalkWritesNothing) {
    for (const char* dir : {"S/A", "S/B", "S/C", "S/D", "S/A/E", "S/A/F"})
        makeFile(QString::fromLatin1(dir) + QStringLiteral("/x.zip"));
    wd1().setOutFile(kListFile);
    makeFile(QStringLiteral("OUT.LST"), "old\r\n");

    // The first yield follows the queuing of the start directory, the 2nd to 8th follow the
    // seven directories of the walk: the first, one in the middle, and the last.
    for (int yield : {1, 3, 8}) {
        SCOPED_TRACE(yield);
        atYield(yield, [] { wd1().Cancel(); });
        wd1().setPattern(QStringLiteral("*.zip"));
        wd1().setRecurse(true);
        wd1().setSPath(QStringLiteral("T:\\S\\"));
        wd1().GetAll();

        EXPECT_EQ(listFile(), QByteArray("old\r\n"));
        EXPECT_FALSE(wd1().isworking());
        EXPECT_TRUE(wd1().lstCache.isEmpty());
        EXPECT_TRUE(wd1().lstRtn.isEmpty());
    }

    // Nothing is left stuck: the next search runs in full.
    wd1().GetAll();
    EXPECT_EQ(listFile().count('\n'), 6);
}

TEST_F(GetAllTest, CallsDuringItsYieldsAreRefused) {
    makeFile(QStringLiteral("S/x.zip"));
    makeFile(QStringLiteral("S/A/y.zip"));
    makeFile(QStringLiteral("NEW/keep.zip"));
    bool stillBusy = false;
    bool madeDir = true;
    atYield(2, [&] {
        wd1().GetAll();
        madeDir = wd1().MakeDir(QStringLiteral("T:\\ELSEWHERE"), QString());
        wd1().setWipedir(QStringLiteral("T:\\NEW"));
        stillBusy = wd1().isworking();
    });

    search(QStringLiteral("T:\\S\\"));

    EXPECT_TRUE(stillBusy);
    EXPECT_FALSE(madeDir);
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(exists(QStringLiteral("ELSEWHERE")));
    EXPECT_TRUE(exists(QStringLiteral("NEW/keep.zip")));
    EXPECT_EQ(listFile(), crlfLines({"T:\\S\\x.zip", "T:\\S\\A\\y.zip"}));
}

TEST_F(GetAllTest, AListFileThatCannotBeOpenedEndsTheSearchIdle) {
    makeFile(QStringLiteral("S/x.zip"));
    wd1().setOutFile(QStringLiteral("T:\\MISSING\\OUT.LST")); // accepted: it may be created

    wd1().setPattern(QStringLiteral("*.zip"));
    wd1().setRecurse(true);
    wd1().setSPath(QStringLiteral("T:\\S\\"));
    wd1().GetAll();

    EXPECT_FALSE(wd1().isworking());
    EXPECT_FALSE(exists(QStringLiteral("MISSING")));
    EXPECT_TRUE(wd1().lstRtn.isEmpty());

    // A later search with a usable list file is not refused.
    search(QStringLiteral("T:\\S\\"));
    EXPECT_EQ(listFile(), crlfLines({"T:\\S\\x.zip"}));
}

TEST_F(GetAllTest, AListFileThatCannotBeWrittenInFullIsRemoved) {
    if (!QFileInfo(QStringLiteral("/dev/full")).exists())
        GTEST_SKIP() << "no /dev/full to fill";
    makeFile(QStringLiteral("S/x.zip"));
    // Every write to /dev/full fails as on a full disk.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), host(QStringLiteral("OUT.LST"))));

    search(QStringLiteral("T:\\S\\"));

    EXPECT_FALSE(QFileInfo(host(QStringLiteral("OUT.LST"))).isSymLink());
    EXPECT_FALSE(wd1().isworking());
}

} // namespace
