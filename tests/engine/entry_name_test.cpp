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

// Names without the UTF-8 flag: UTF-8 where the bytes are strictly UTF-8 with something
// beyond ASCII in them, else CP437, name by name. Some names read either way; the rule
// decides those as UTF-8.
TEST(EntryNameTest, UnflaggedNamesAreUtf8OnlyWhereTheyAreStrictlyUtf8) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain/ascii.txt", "plain/ascii.txt"},
        {"\xC3\x9C" "n\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9/", "Ünïcödé/"},
        {"\xF0\x9F\x98\x80.txt", "😀.txt"},
        {"\xE2\x94\x9C\xE2\x94\x80", "├─"},
        // Valid in both readings: "├⌐" in CP437.
        {"\xC3\xA9", "é"},
        {"\x81" "ber", "über"},
        {"\x82t\xE9", "étΘ"},
        {"caf\xC3", "caf├"},
        {"\xC3\xA9\x81", "├⌐ü"},
        {"\xC0\xAF", "└»"},
        {"\xE0\x80\xAF", "αÇ»"},
        {"\xED\xA0\x80", "φáÇ"},
        {"\xF4\x90\x80\x80", "⌠ÉÇÇ"},
        {"\xF8\x88\x80\x80\x80", "°êÇÇÇ"},
    };
    for (const auto& [raw, text] : cases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(decodeUnflaggedName(QByteArray(raw)), QString::fromUtf8(text));
    }
}

} // namespace
