// Link entries that reach outside only together: each target alone reads as inside, but
// resolved through the links made before it (or made after it) it would leave the
// destination.

#include "engine_fixture.h"

#include <QFile>

#include <climits>
#include <cstdlib>

using namespace enginetest;
using testsupport::ZipBuilder;

namespace {

struct Item {
    const char* name;
    const char* target; // a link; nullptr for a file, "/" ending the name for a folder
    bool refused = false;
};

struct Case {
    const char* title;
    std::vector<Item> items;
};

// Every link below `hostDir` leads nowhere (dangling, a loop) or to a place inside.
void expectLinksStayInside(const QString& hostDir) {
    const QByteArray inside = QFile::encodeName(QDir(hostDir).canonicalPath());
    for (const auto& [path, content] : treeOf(hostDir)) {
        if (!content.startsWith("-> ")) {
            continue;
        }
        char resolved[PATH_MAX];
        if (::realpath(QFile::encodeName(hostDir + "/" + path).constData(), resolved) == nullptr) {
            continue;
        }
        const QByteArray where(resolved);
        EXPECT_TRUE(where == inside || where.startsWith(inside + "/"))
            << path.toStdString() << " resolves to " << where.toStdString();
    }
}

TEST_F(EngineTest, LinksThatLeaveOnlyTogetherAreRefused) {
    const Case cases[] = {
        {"through a link to the destination", {{"a", "."}, {"l", "a/..", true}}},
        {"a chain of ten",
         {{"c0", "."},
          {"c1", "c0"},
          {"c2", "c1"},
          {"c3", "c2"},
          {"c4", "c3"},
          {"c5", "c4"},
          {"c6", "c5"},
          {"c7", "c6"},
          {"c8", "c7"},
          {"c9", "c8"},
          {"far", "c9/..", true}}},
        {"through folders",
         {{"d/x", "../e"}, {"e", "..", true}, {"d/up", ".."}, {"d/y", "up/..", true}}},
        {"a name made later", {{"l", "x/..", true}, {"x", "."}}},
        {"a loop", {{"a", "b"}, {"b", "a"}, {"c", "a/x", true}}},
        {"a chain whose end is made last", {{"x", "d/e"}, {"d/e", ".."}, {"y", "x/..", true}}},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ZipBuilder zip;
        std::vector<std::pair<QString, int>> expectedSkips;
        for (const Item& item : c.items) {
            zip.addSymlink(item.name, item.target);
            if (item.refused) {
                expectedSkips.emplace_back(QString::fromUtf8(item.name),
                                           archive_engine::SkipLinkEscapes);
            }
        }
        zip.write(archivePath());
        ++number;
        const Outcome out = extract(QStringLiteral("out%1").arg(number));
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        EXPECT_EQ(out.skips, expectedSkips);
        const QString destination = host(QStringLiteral("out%1").arg(number));
        const auto tree = treeOf(destination);
        for (const Item& item : c.items) {
            EXPECT_EQ(tree.count(QString::fromUtf8(item.name)), item.refused ? 0u : 1u)
                << item.name;
        }
        expectLinksStayInside(destination);
    }
}

TEST_F(EngineTest, LinksThatStayInsideAreMade) {
    ZipBuilder()
        .addFile("lib.so.1", "library")
        .addSymlink("lib.so", "lib.so.1")
        .addFile("share/doc/README", "read me")
        .addSymlink("docs", "share/doc")
        .addSymlink("sub/up", "../sibling")
        .addDirectory("sibling/")
        .addSymlink("self", ".")
        .addSymlink("sub/deeper/top", "../../self/docs/README")
        .write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    EXPECT_TRUE(out.skips.empty());
    const std::map<QString, QByteArray> expected = {
        {"lib.so.1", "library"},
        {"lib.so", "-> lib.so.1"},
        {"share", "<dir>"},
        {"share/doc", "<dir>"},
        {"share/doc/README", "read me"},
        {"docs", "-> share/doc"},
        {"sub", "<dir>"},
        {"sub/up", "-> ../sibling"},
        {"sibling", "<dir>"},
        {"self", "-> ."},
        {"sub/deeper", "<dir>"},
        {"sub/deeper/top", "-> ../../self/docs/README"},
    };
    EXPECT_EQ(treeOf(outPath()), expected);
    EXPECT_EQ(testsupport::readFile(outPath() + "/sub/deeper/top"), "read me");
}

} // namespace
