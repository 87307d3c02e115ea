// The built gatesvc.exe, run in the test prefix against the real file system,
// catalog database and pending-rename list of Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <stddef.h>

#include <algorithm>
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

// The names of the libraries a PE file imports at load time, upper-cased; empty
// when the file cannot be read as a PE image.
std::vector<std::string> ImportedLibraries(const std::wstring& path) {
    const std::vector<unsigned char> file = ReadFileBytes(path);
    std::vector<std::string> names;
    auto at = [&file](size_t offset, size_t bytes) -> const unsigned char* {
        return offset <= file.size() && bytes <= file.size() - offset ? &file[offset] : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (dos == nullptr) return names;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        at(static_cast<size_t>(dos->e_lfanew), sizeof(IMAGE_NT_HEADERS)));
    if (nt == nullptr) return names;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(static_cast<size_t>(dos->e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
               nt->FileHeader.SizeOfOptionalHeader,
           nt->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER)));
    if (sections == nullptr) return names;
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& section = sections[i];
            if (rva >= section.VirtualAddress &&
                rva < section.VirtualAddress + section.SizeOfRawData) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return file.size();
    };
    const DWORD importRva =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (size_t offset = fileOffset(importRva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
            at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (descriptor == nullptr || descriptor->Name == 0) break;
        const size_t nameOffset = fileOffset(descriptor->Name);
        std::string name;
        for (size_t i = nameOffset; i < file.size() && file[i] != 0; ++i) {
            name += static_cast<char>(::toupper(file[i]));
        }
        names.push_back(name);
    }
    return names;
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

// Only the system's known DLLs are imported at load time; everything else
// (version.dll, wintrust.dll) is bound later from the System folder, so no
// copy placed beside a program is ever loaded in its stead.
TEST(ProgramImports, OnlyKnownSystemLibrariesAreImportedAtLoadTime) {
    const std::vector<std::string> known = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL",
                                            "OLE32.DLL",    "SHELL32.DLL",  "SHLWAPI.DLL"};
    for (const wchar_t* program : {L"gatesvc.exe", L"hvlogcfg.exe"}) {
        const std::vector<std::string> imports =
            ImportedLibraries(ProgramFolder() + L"\\" + program);
        EXPECT_FALSE(imports.empty());
        for (const std::string& name : imports) {
            EXPECT_NE(std::find(known.begin(), known.end(), name), known.end())
                << name << " imported by " << testing::PrintToString(std::wstring(program));
        }
    }
}
