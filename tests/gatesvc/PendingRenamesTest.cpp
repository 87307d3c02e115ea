// The pending-operations list as text: its pairs, with the deletion marks, read and
// written back unchanged.
#include "gatesvc/PendingRenames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Gatesvc::PendingRename;

namespace {

// A literal with its embedded zeros, without the one the compiler adds.
template <size_t N>
std::wstring Text(const wchar_t (&literal)[N]) {
    return std::wstring(literal, N - 1);
}

TEST(PendingRenames, PairsKeepTheirDeletionMarksAndWriteBackUnchanged) {
    // Each text as Windows stores it, closed by an empty string, except the last.
    const struct {
        const char* name;
        std::wstring text;
        std::vector<PendingRename> pairs;
    } cases[] = {
        {"empty list", std::wstring(1, L'\0'), {}},
        {"rename and deletion",
         Text(L"\\??\\C:\\a\0!\\??\\C:\\b\0\\??\\C:\\c\0\0\0"),
         {{L"\\??\\C:\\a", L"!\\??\\C:\\b"}, {L"\\??\\C:\\c", L""}}},
        {"deletion first", Text(L"\\??\\C:\\c\0\0x\0y\0\0"), {{L"\\??\\C:\\c", L""}, {L"x", L"y"}}},
        // Written by something else: no closing string and a source without its partner.
        {"unclosed, unpaired", Text(L"x\0y\0z\0"), {{L"x", L"y"}}},
    };
    for (const auto& c : cases) {
        const auto pairs = Gatesvc::ParsePendingRenames(c.text.data(), c.text.size());
        EXPECT_EQ(pairs, c.pairs) << c.name;
        if (std::string(c.name) == "unclosed, unpaired") continue;
        const auto text = Gatesvc::FormatPendingRenames(pairs);
        EXPECT_EQ(std::wstring(text.begin(), text.end()), c.text) << c.name;
    }
}

TEST(PendingRenames, EntriesNameTheirPathWithoutMarkOrPrefixIgnoringCase) {
    EXPECT_EQ(Gatesvc::PendingRenamePath(L"!\\??\\C:\\Windows\\x.sys"), L"C:\\Windows\\x.sys");
    EXPECT_EQ(Gatesvc::PendingRenamePath(L"\\??\\C:\\x"), L"C:\\x");
    EXPECT_EQ(Gatesvc::PendingRenamePath(L""), L"");
    EXPECT_TRUE(Gatesvc::PendingRenameNames(L"!\\??\\C:\\WINDOWS\\X.sys", L"c:\\windows\\x.SYS"));
    EXPECT_FALSE(Gatesvc::PendingRenameNames(L"\\??\\C:\\x.sys.old", L"C:\\x.sys"));
    EXPECT_FALSE(Gatesvc::PendingRenameNames(L"", L""));
}

}  // namespace
