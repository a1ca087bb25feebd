#include "zip/entry_name.h"

#include <gtest/gtest.h>

using namespace archive_engine;

namespace {

TEST(EntryNameTest, SplitsAndRefusesUnsafeNames) {
    struct Case {
        const char* name;
        bool safe;
        QStringList components;
        bool isDirectory;
    };
    const Case cases[] = {
        {"a.txt", true, {"a.txt"}, false},
        {"dir/sub/a.txt", true, {"dir", "sub", "a.txt"}, false},
        {"dir\\sub\\a.txt", true, {"dir", "sub", "a.txt"}, false},
        {"dir/./x//y", true, {"dir", "x", "y"}, false},
        {"dir/", true, {"dir"}, true},
        {"dir\\", true, {"dir"}, true},
        {"./", true, {}, true},
        {"..a/b..", true, {"..a", "b.."}, false},
        {"ab:c", true, {"ab:c"}, false},
        {"a:b", false, {}, false},
        {"../evil", false, {}, false},
        {"..\\evil", false, {}, false},
        {"a/../../evil", false, {}, false},
        {"a\\..\\b", false, {}, false},
        {"..", false, {}, false},
        {"/etc/passwd", false, {}, false},
        {"\\windows\\x", false, {}, false},
        {"//server/share/x", false, {}, false},
        {"\\\\server\\share\\x", false, {}, false},
        {"c:evil", false, {}, false},
        {"C:\\evil", false, {}, false},
        {"", false, {}, false},
        {".", false, {}, false},
        {"bad\x01name", false, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const EntryPath path = sanitizeEntryName(QString::fromUtf8(c.name));
        EXPECT_EQ(path.safe, c.safe);
        if (c.safe) {
            EXPECT_EQ(path.components, c.components);
            EXPECT_EQ(path.isDirectory, c.isDirectory);
        }
    }
    EXPECT_FALSE(sanitizeEntryName(QString(QChar(0)) + "x").safe);
}

TEST(EntryNameTest, NumberedNamesKeepTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"name.ext", "name (2).ext"},
        {"README", "README (2)"},
        {"archive.tar.gz", "archive.tar (2).gz"},
        {".profile", ".profile (2)"},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(numberedName(name, 2), expected);
    }
    EXPECT_EQ(numberedName("a.txt", 13), "a (13).txt");
}

TEST(EntryNameTest, DecodesCp437) {
    EXPECT_EQ(decodeCp437("plain.txt"), "plain.txt");
    EXPECT_EQ(decodeCp437("\x81"
                          "ber\xE1"),
              QString::fromUtf8("überß"));
    EXPECT_EQ(decodeCp437("\x80\x9E\xFF"), QString::fromUtf8("Ç₧\u00A0"));
}

} // namespace
