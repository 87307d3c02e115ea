// The at-exit order, observed in a program of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

std::vector<std::wstring> ReadLines(const std::wstring& path) {
    auto bytes = TestSupport::ReadFileBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

TEST(ExitOrder, BridgeGoesFirstAndTheLoggerWithItsProviderLast) {
    TestSupport::ScratchFolder folder(L"exit-order");
    const std::wstring report = folder / L"report.txt";
    const std::wstring probe = TestSupport::ProgramFolder() + L"\\exit_order_probe.exe";
    ASSERT_EQ(TestSupport::RunProgram(L"\"" + probe + L"\" \"" + report + L"\""), 0);

    const std::vector<std::wstring> expected = {
        L"main returns; handler bridge",
        L"first at-exit action; handler bridge",
        // The bridge has unregistered itself, the facade pointer is cleared
        // before the logger goes, and the logger unregisters its provider.
        L"logger destroyed; handler none; facade cleared",
        L"provider unregistered",
    };
    EXPECT_EQ(ReadLines(report), expected);
}

}  // namespace
