// The built gatesvc.exe on the file road: "Logging Mechanism" 1 in the test
// prefix's registry and the log files under its common application data.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/PathHelpers.h"
#include "basalt/RegKey.h"
#include "basalt/UniqueHandle.h"
#include "logging/LogBuilder.h"
#include "logging/file/FileLogging.h"
#include "logging/file/IniReader.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

std::wstring FirstLogFile() { return LogRoot() + L"\\RQD\\gatesvc\\gatesvc000.log"; }

void SetMechanism(DWORD value) {
    Basalt::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath), 0);
    ASSERT_EQ(key.SetDWORDValue(ETWLogging::kLoggingMechanismValue, value), 0);
}

// The log file's text after its byte order mark, which must be there.
std::wstring ReadLog(const std::wstring& path) {
    auto bytes = ReadFileBytes(path);
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return L"(no byte order mark)";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                        (bytes.size() - 2) / sizeof(wchar_t));
}

std::wstring RegexEscape(const std::wstring& text) {
    static const std::wregex special(L"[.^$|()\\[\\]{}*+?\\\\]");
    return std::regex_replace(text, special, L"\\$&");
}

class GatesvcFileLogging : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTree(LogRoot());
        ::DeleteFileW(destination_.c_str());
        SetMechanism(ETWLogging::kMechanismFile);
        ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\gatesvc.exe").c_str(),
                                (folder_ / L"gatesvc.exe").c_str(), FALSE));
        ASSERT_TRUE(WriteFileText(folder_ / L"BulwarkK.sys", "sample driver"));
        ASSERT_TRUE(WriteFileText(folder_ / L"bulwarkk_x86.cat", "sample catalog"));
    }
    void TearDown() override {
        RemoveLoggingMechanism();
        RemoveTree(LogRoot());
        ::DeleteFileW(destination_.c_str());
        ClearPendingRenames();
    }

    void InstallWhileHeld() { ASSERT_EQ(InstallWhileDriverHeld(folder_), 0); }

    std::wstring CopyMessage() const {
        return L"Copy file to " + destination_ + L" failed from " + (folder_ / L"BulwarkK.sys") +
               L". Try to delay copy until reboot";
    }

    ScratchFolder folder_{PerTestFolderName(L"e2e-file")};
    const std::wstring destination_ = DriverDestination();
};

TEST_F(GatesvcFileLogging, HeldDestinationWritesExactlyTheInformationLine) {
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    InstallWhileHeld();
    const std::wstring log = ReadLog(FirstLogFile());
    const std::wregex line(L"(\\d\\d)/(\\d\\d)/(\\d{4}) \\d\\d:\\d\\d:\\d\\d [AP]M\\$ -- "
                           L"\\(Information\\)\\$ \\[    gatesvc\\.exe\\]\\$ " +
                           RegexEscape(CopyMessage()) + L"\r\n",
                           std::regex_constants::icase);  // paths may differ in case
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(log, match, line)) << log;
    EXPECT_EQ(std::stoi(match[1].str()), before.wMonth);
    EXPECT_EQ(std::stoi(match[2].str()), before.wDay);
    EXPECT_EQ(std::stoi(match[3].str()), before.wYear);
}

TEST_F(GatesvcFileLogging, SharedOptionsSelectTheLineFields) {
    Basalt::CObfuscatedIniReader shared;
    ASSERT_TRUE(Basalt::CreateDirectoryPath(LogRoot().c_str()));
    shared.Load(LogRoot() + L"\\log.ini");
    ASSERT_TRUE(shared.SetDword(L"Config", L"Options", 0x3C));
    InstallWhileHeld();
    const std::wstring log = ReadLog(FirstLogFile());
    const std::wregex line(L".*\\(Information\\)\\$ \\[    gatesvc\\.exe\\]\\$ "
                           L"\\[PID:[ \\d]{5,} TID:[ \\d]{5,}\\]\\$ "
                           L"\\[             gatesvc:  136\\]\\$ "
                           L"\\[                   InstallHipsDriverFile\\(\\)\\]\\$ " +
                           RegexEscape(CopyMessage()) + L"\r\n",
                           std::regex_constants::icase);
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(GatesvcFileLogging, SuccessfulRunWritesNoLog) {
    ASSERT_EQ(RunProgram(L"\"" + (folder_ / L"gatesvc.exe") + L"\" /InstallCat", folder_.path()),
              0);
    EXPECT_FALSE(FileExists(FirstLogFile()));
}

}  // namespace
