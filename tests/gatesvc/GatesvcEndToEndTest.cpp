// The built gatesvc.exe, run in the test prefix against Wine's real file system, catalog
// database and pending-rename list.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

std::wstring CatalogInDatabase() {
    return SystemFolder() +
           L"\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\Halvik HIPS Driver.cat";
}

// The strings of PendingFileRenameOperations, empty ones included, without the closing one.
std::vector<std::wstring> PendingRenames() {
    std::vector<wchar_t> data(32768, L'\0');
    DWORD bytes = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    std::vector<std::wstring> strings;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       L"PendingFileRenameOperations", RRF_RT_ANY, nullptr, data.data(),
                       &bytes) != ERROR_SUCCESS) {
        return strings;
    }
    for (size_t at = 0; at < bytes / sizeof(wchar_t); at += strings.back().size() + 1) {
        strings.emplace_back(&data[at]);
    }
    if (strings.size() % 2 == 1 && strings.back().empty()) strings.pop_back();
    return strings;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

// The upper-cased names of the libraries a program imports at load time.
std::vector<std::string> ImportedLibraries(const std::wstring& path) {
    std::vector<std::string> names;
    Basalt::UniqueHmodule module(
        ::LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    if (!module) return names;
    const auto* base = reinterpret_cast<const BYTE*>(module.get());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + rva);
         rva != 0 && d->Name != 0; ++d) {
        std::string name = reinterpret_cast<const char*>(base + d->Name);
        for (char& c : name) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
        names.push_back(name);
    }
    return names;
}

class GatesvcEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        TearDown();
        ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\gatesvc.exe").c_str(),
                                (folder_ / L"gatesvc.exe").c_str(), FALSE));
        ASSERT_TRUE(WriteFileText(folder_ / L"BulwarkK.sys", driver_));
        ASSERT_TRUE(WriteFileText(folder_ / L"bulwarkk_x86.cat", "sample catalog"));
    }
    void TearDown() override {
        DeleteRegistryTree(HKEY_CURRENT_USER, kAppDefaults);
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
    // One pending rename from `from` to `to` (deletion when empty), paths compared at the end.
    void ExpectPendingRename(const std::wstring& from, const std::wstring& to) {
        const auto pending = PendingRenames();
        ASSERT_EQ(pending.size(), 2u);
        EXPECT_TRUE(EndsWith(pending[0], from)) << pending[0];
        EXPECT_TRUE(to.empty() ? pending[1].empty() : EndsWith(pending[1], to)) << pending[1];
    }
    bool SystemUntouched() {
        return !FileExists(DriverDestination()) && !FileExists(CatalogInDatabase()) &&
               PendingRenames().empty();
    }

    // Wine's settings for programs named gatesvc.exe.
    const std::wstring kAppDefaults = L"Software\\Wine\\AppDefaults\\gatesvc.exe";
    ScratchFolder folder_{PerTestFolderName(L"e2e")};
    const std::string driver_ = "sample driver image " + std::string(200, 'D');
};

TEST_F(GatesvcEndToEnd, InstallPutsTheDriverOverAnyOldOneWithItsCatalog) {
    EXPECT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_EQ(Installed(), driver_);
    EXPECT_TRUE(FileExists(CatalogInDatabase()));
    EXPECT_TRUE(PendingRenames().empty());
    ASSERT_TRUE(WriteFileText(DriverDestination(), "old driver"));
    EXPECT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_EQ(Installed(), driver_);
}

TEST_F(GatesvcEndToEnd, UninstallUndoesTheInstall) {
    ASSERT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_EQ(Run(L" /UninstallCat"), 0);
    EXPECT_TRUE(SystemUntouched());
}

// The bytes read at the install wait in a new file in the drivers folder, which standard
// users cannot write, and the restart moves that file over the driver.
TEST_F(GatesvcEndToEnd, DestinationInUseSchedulesAStagedCopyForTheNextRestart) {
    EXPECT_EQ(InstallWhileDriverHeld(folder_), 0);
    EXPECT_EQ(Installed(), "driver in use");
    ExpectPendingRename(L".staged", DriverDestination());
    const std::wstring staged = PendingRenames().at(0).substr(wcslen(L"\\??\\"));
    EXPECT_EQ(_wcsnicmp(staged.c_str(), (DriverDestination() + L".").c_str(),
                        DriverDestination().size() + 1),
              0)
        << staged;
    const auto bytes = ReadFileBytes(staged);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "sample driver");
    // Marked to replace: a restart moves nothing onto an existing file without the mark.
    EXPECT_EQ(PendingRenames().at(1).substr(0, 1), L"!");
    EXPECT_TRUE(FileExists(CatalogInDatabase()));  // the catalog step still ran
}

// Late-bound libraries come from the System folder only. Wine is told to prefer a
// wintrust.dll found beside gatesvc.exe, as Windows would load one planted there; the
// marker copy leaves a file when loaded and lacks the catalog functions.
TEST_F(GatesvcEndToEnd, WintrustPlantedBesideTheProgramIsNotLoaded) {
    ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\planted\\wintrust.dll").c_str(),
                            (folder_ / L"wintrust.dll").c_str(), FALSE));
    Basalt::UniqueHkey overrides;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (kAppDefaults + L"\\DllOverrides").c_str(), 0,
                                nullptr, 0, KEY_SET_VALUE, nullptr, overrides.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t nativeFirst[] = L"native,builtin";
    ASSERT_EQ(::RegSetValueExW(overrides.get(), L"wintrust", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(nativeFirst), sizeof(nativeFirst)),
              ERROR_SUCCESS);
    EXPECT_EQ(Run(L" /InstallCat"), 0);
    EXPECT_FALSE(FileExists(folder_ / L"wintrust.dll.loaded"));
    EXPECT_TRUE(FileExists(CatalogInDatabase()));
}

TEST_F(GatesvcEndToEnd, MissingDriverOnUninstallSchedulesItsDeletion) {
    EXPECT_EQ(Run(L" /UninstallCat"), 0);
    ExpectPendingRename(DriverDestination(), L"");
}

// Commands match case-insensitively as prefixes of 11 or 13 characters; anything else,
// including no argument or two, does nothing. The exit code is always 0.
TEST_F(GatesvcEndToEnd, OnlyTheTwoCommandsActMatchedCaseInsensitivelyAsPrefixes) {
    const struct {
        const wchar_t* arguments;
        bool installed;
    } cases[] = {{L"", false},
                 {L" /Install", false},
                 {L" /Uninstall", false},
                 {L" InstallCat", false},
                 {L" /InstallCat extra", false},
                 {L" /installcatalog", true},
                 {L" /UNINSTALLCATALOG", false}};
    for (const auto& c : cases) {
        const std::string name = testing::PrintToString(std::wstring(c.arguments));
        EXPECT_EQ(Run(c.arguments), 0) << name;
        if (c.installed) {
            EXPECT_EQ(Installed(), driver_) << name;
            EXPECT_TRUE(FileExists(CatalogInDatabase())) << name;
        } else {
            EXPECT_TRUE(SystemUntouched()) << name;
        }
    }
}

}  // namespace

// Only known system DLLs are imported at load time; version.dll and wintrust.dll are bound
// later from the System folder, so no copy beside a program is loaded in their stead.
TEST(ProgramImports, OnlyKnownSystemLibrariesAreImportedAtLoadTime) {
    const std::vector<std::string> known = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL",
                                            "OLE32.DLL",    "SHELL32.DLL",  "SHLWAPI.DLL"};
    for (const wchar_t* program : {L"gatesvc.exe", L"hvlogcfg.exe"}) {
        const auto imports = ImportedLibraries(ProgramFolder() + L"\\" + program);
        EXPECT_FALSE(imports.empty());
        for (const std::string& name : imports) {
            EXPECT_NE(std::find(known.begin(), known.end(), name), known.end())
                << name << " imported by " << testing::PrintToString(std::wstring(program));
        }
    }
}
