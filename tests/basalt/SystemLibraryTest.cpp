// The process's DLL search path, restricted to the System folder. Its own executable: the
// restriction is process-wide.
#include "basalt/SystemLibrary.h"

#include <gtest/gtest.h>

#include <string>

#include "basalt/UniqueHandle.h"
#include "tests/support/BasaltTestSupport.h"

namespace {

// A marker library beside the program, under a name no system library has, is found by
// that bare name until the search path is restricted, and then no longer.
TEST(SystemLibrary, HardenedSearchPathNoLongerFindsALibraryBesideTheProgram) {
    const std::wstring name = L"basalt-search-marker.dll";
    const std::wstring marker = TestSupport::ProgramFolder() + L"\\" + name;
    ASSERT_TRUE(::CopyFileW((TestSupport::ProgramFolder() + L"\\planted\\wintrust.dll").c_str(),
                            marker.c_str(), FALSE));
    Basalt::UniqueHmodule beforehand(::LoadLibraryW(name.c_str()));
    EXPECT_TRUE(beforehand);
    beforehand.reset();

    EXPECT_TRUE(Basalt::HardenDllSearchPath());
    Basalt::UniqueHmodule afterwards(::LoadLibraryW(name.c_str()));
    EXPECT_FALSE(afterwards);
    afterwards.reset();
    ::DeleteFileW(marker.c_str());
    ::DeleteFileW((marker + L".loaded").c_str());
}

}  // namespace
