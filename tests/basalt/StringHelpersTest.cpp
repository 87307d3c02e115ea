#include "basalt/StringHelpers.h"

#include <gtest/gtest.h>

using namespace Basalt;

// "%s" takes a wide string and "%hs" a narrow one, as on Windows (mingw's swprintf
// reads "%s" as narrow); long text is measured, empty and null give "".
TEST(FormatString, PercentSTakesAWideStringOfAnyLength) {
    EXPECT_EQ(FormatString(L"%s|%hs|%d|%08X", L"wide", "narrow", -5, 0xABCu),
              L"wide|narrow|-5|00000ABC");
    EXPECT_EQ(FormatString(L"%0.3lu%s", 7ul, L".log"), L"007.log");
    EXPECT_EQ(FormatString(L"%5d|%-3s|", 42, L"a"), L"   42|a  |");
    const std::wstring big(10000, L'z');
    EXPECT_EQ(FormatString(L"%s", big.c_str()), big);
    EXPECT_EQ(FormatString(L""), L"");
    EXPECT_EQ(FormatString(nullptr), L"");
}

TEST(SplitString, KeepsOrSkipsEmptyPieces) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(SplitString(L"a,,b", L',', false), (List{L"a", L"", L"b"}));
    EXPECT_EQ(SplitString(L"a,,b", L',', true), (List{L"a", L"b"}));
    EXPECT_EQ(SplitString(L"a,b,", L',', false), (List{L"a", L"b", L""}));
    EXPECT_EQ(SplitString(L"a,b,", L',', true), (List{L"a", L"b"}));
    EXPECT_EQ(SplitString(L"", L',', false), List{});
    EXPECT_EQ(SplitString(L"10.0.18362", L'.', false), (List{L"10", L"0", L"18362"}));
}

// The wording differs between Windows and Wine; that there is one does not.
TEST(FormatSystemMessage, GivesTheSystemTextOrNothing) {
    EXPECT_FALSE(FormatSystemMessage(ERROR_INVALID_PARAMETER).empty());
    EXPECT_TRUE(FormatSystemMessage(0x7FFFFFF0u).empty());
}
