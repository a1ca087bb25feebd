#include "common/numbers.h"

#include <gtest/gtest.h>

namespace {

TEST(Numbers, ValReadsTheLeadingDecimalNumber) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"10", 10}, {" 1 0", 10},  {"1.5", 1.5}, {"", 0},        {"abc", 0},   {"12abc", 12},
        {"-3", -3}, {"+7", 7},     {".5", 0.5},  {"1.5.2", 1.5}, {"1,5", 1},   {"2e1", 20},
        {"2e", 2},  {"2E+2", 200}, {"-", 0},     {"\t4\t2", 42}, {"0010", 10}, {"3 .2 5", 3.25},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(Val(QString::fromUtf8(c.text)), c.value) << '"' << c.text << '"';
}

TEST(Numbers, MegabytesCountAMillionBytesEach) {
    struct Case {
        const char* text;
        double bytes;
    };
    const Case cases[] = {
        {"10", 10'000'000}, {" 1 0", 10'000'000},  {"1.5", 1'500'000}, {"", 0},
        {"abc", 0},         {"12abc", 12'000'000}, {"-3", -3'000'000}, {"0.25", 250'000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MegabytesToBytes(QString::fromUtf8(c.text)), c.bytes) << '"' << c.text << '"';
}

TEST(Numbers, StrKeepsThePlaceOfTheSign) {
    EXPECT_EQ(Str(12), QStringLiteral(" 12"));
    EXPECT_EQ(Str(0), QStringLiteral(" 0"));
    EXPECT_EQ(Str(-3), QStringLiteral("-3"));
    EXPECT_EQ(Str(70000), QStringLiteral(" 70000"));
}

} // namespace
