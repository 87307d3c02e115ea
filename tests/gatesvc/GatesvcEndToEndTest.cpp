// The built gatesvc.exe, run in the test prefix against the real file system,
// catalog database and pending-rename list of Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";
constexpr wchar_t kCatalogMember[] =
    L"catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\Halvik HIPS Driver.cat";

std::wstring CatalogInDatabase() { return SystemFolder() + L"\\" + kCatalogMember; }

// The strings of PendingFileRenameOperations, empty ones included.
std::vector<std::wstring> PendingRenames() {
    std::vector<std::wstring> strings;
    Basalt::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, key.put()) != 0) {
        return strings;
    }
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), kPendingRenames, nullptr, nullptr, nullptr, &bytes) != 0) {
        return strings;
    }
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
    ::RegQueryValueExW(key.get(), kPendingRenames, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(data.data()), &bytes);
    const size_t count = bytes / sizeof(wchar_t);
    for (size_t start = 0; start < count;) {
        std::wstring piece(&data[start]);
        start += piece.size() + 1;
        if (start > count) break;
        strings.push_back(piece);
    }
    // The list ends with an empty string of its own.
    if (!strings.empty() && strings.back().empty() && strings.size() % 2 == 1) strings.pop_back();
    return strings;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

class GatesvcEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ClearPendingRenames();
        ::DeleteFileW(DriverDestination().c_str());
        ::DeleteFileW(CatalogInDatabase().c_str());
        ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\gatesvc.exe").c_str(),
                                (folder_ / L"gatesvc.exe").c_str(), FALSE));
        driver_ = std::string("sample driver image ") + std::string(200, 'D');
        ASSERT_TRUE(WriteFileText(folder_ / L"BulwarkK.sys", driver_));
        ASSERT_TRUE(WriteFileText(folder_ / L"bulwarkk_x86.cat", "sample catalog"));
    }
    void TearDown() override {
        ClearPendingRenames();
        ::DeleteFileW(DriverDestination().c_str());
        ::DeleteFileW(CatalogInDatabase().c_str());
    }

    int Run(const std::wstring& arguments) {
        return RunProgram(L"\"" + (folder_ / L"gatesvc.exe") + L"\"" + arguments, folder_.path());
    }
    std::string Installed() {
        auto bytes = ReadFileBytes(DriverDestination());
        return std::string(bytes.begin(), bytes.end());
    }
    bool SystemUntouched() {
        return !FileExists(DriverDestination()) && !FileExists(CatalogInDatabase()) &&
               PendingRenames().empty();
    }

    ScratchFolder folder_{PerTestFolderName(L"e2e")};
    std::string driver_;
};

TEST_F(GatesvcEndToEnd, InstallCopiesTheDriverAndAddsTheCatalog) {
    EXPECT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_EQ(Installed(), driver_);
    EXPECT_TRUE(FileExists(CatalogInDatabase()));
    EXPECT_TRUE(PendingRenames().empty());
}

TEST_F(GatesvcEndToEnd, InstallOverwritesAnExistingDriverFile) {
    ASSERT_TRUE(WriteFileText(DriverDestination(), "old driver"));
    EXPECT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_EQ(Installed(), driver_);
}

TEST_F(GatesvcEndToEnd, UninstallRemovesTheCatalogAndTheDriver) {
    ASSERT_EQ(Run(L" /InstallCat"), 0);
    ASSERT_TRUE(FileExists(DriverDestination()));
    EXPECT_EQ(Run(L" /UninstallCat"), 0);
    EXPECT_FALSE(FileExists(DriverDestination()));
    EXPECT_FALSE(FileExists(CatalogInDatabase()));
}

TEST_F(GatesvcEndToEnd, DestinationInUseSchedulesTheCopyForTheNextRestart) {
    ASSERT_TRUE(WriteFileText(DriverDestination(), "driver in use"));
    {
        // Held open without sharing, as a loaded driver's image would be.
        Basalt::UniqueHandle held(::CreateFileW(DriverDestination().c_str(), GENERIC_READ, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(Run(L" /InstallCat"), 0);
    }
    EXPECT_EQ(Installed(), "driver in use");
    auto pending = PendingRenames();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_TRUE(EndsWith(pending[0], folder_ / L"BulwarkK.sys")) << pending[0];
    EXPECT_TRUE(EndsWith(pending[1], DriverDestination())) << pending[1];
    // The catalog step still ran.
    EXPECT_TRUE(FileExists(CatalogInDatabase()));
}

TEST_F(GatesvcEndToEnd, MissingDriverOnUninstallSchedulesItsDeletion) {
    EXPECT_EQ(Run(L" /UninstallCat"), 0);
    auto pending = PendingRenames();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_TRUE(EndsWith(pending[0], DriverDestination())) << pending[0];
    EXPECT_TRUE(pending[1].empty());
}

TEST_F(GatesvcEndToEnd, CommandsMatchCaseInsensitivelyAsPrefixes) {
    EXPECT_EQ(Run(L" /installcatalog"), 0);
    EXPECT_EQ(Installed(), driver_);
    EXPECT_EQ(Run(L" /UNINSTALLCATALOG"), 0);
    EXPECT_FALSE(FileExists(DriverDestination()));
}

TEST_F(GatesvcEndToEnd, AnythingElseDoesNothing) {
    EXPECT_EQ(Run(L""), 0);
    EXPECT_EQ(Run(L" /Install"), 0);
    EXPECT_EQ(Run(L" /Uninstall"), 0);
    EXPECT_EQ(Run(L" /InstallCat extra"), 0);
    EXPECT_EQ(Run(L" InstallCat"), 0);
    EXPECT_TRUE(SystemUntouched());
}

}  // namespace
