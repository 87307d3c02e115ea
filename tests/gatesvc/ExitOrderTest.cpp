// The at-exit order, observed in a program of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace {

// The bridge unregisters first; the facade pointer is cleared before the logger
// goes, and the logger unregisters its provider last. A foundation message after the
// default handler has gone is dropped rather than handed to it.
TEST(ExitOrder, TearsDownFromTheBridgeToTheProvider) {
    TestSupport::ScratchFolder folder(L"exit-order");
    const std::wstring report = folder / L"report.txt";
    const std::wstring probe = TestSupport::ProgramFolder() + L"\\exit_order_probe.exe";
    ASSERT_EQ(TestSupport::RunProgram(L"\"" + probe + L"\" \"" + report + L"\""), 0);
    const auto bytes = TestSupport::ReadFileBytes(report);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                           bytes.size() / sizeof(wchar_t)),
              L"main returns; handler bridge\n"
              L"first at-exit action; handler bridge\n"
              L"logger destroyed; handler none; facade cleared\n"
              L"late foundation message; handler none\n"
              L"provider unregistered\n");
}

}  // namespace
