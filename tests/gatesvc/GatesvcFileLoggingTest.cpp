// The built gatesvc.exe on the file road: "Logging Mechanism" 1 in the test prefix's registry,
// the log files under its common application data.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "basalt/ObfuscatedRegKey.h"
#include "logging/LogBuilder.h"
#include "logging/file/IniReader.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

std::wstring FirstLogFile() { return LogRoot() + L"\\RQD\\gatesvc\\gatesvc000.log"; }

// The log file's text after its byte order mark, which must be there.
std::wstring ReadLog() {
    auto bytes = ReadFileBytes(FirstLogFile());
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return L"(no byte order mark)";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                        (bytes.size() - 2) / sizeof(wchar_t));
}

// A pattern matching `text` literally.
std::wstring Literal(const std::wstring& text) {
    static const std::wregex special(L"[.^$|()\\[\\]{}*+?\\\\]");
    return std::regex_replace(text, special, L"\\$&");
}

class GatesvcFileLogging : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveTree(LogRoot());
        ::DeleteFileW(DriverDestination().c_str());
        Basalt::CObfuscatedRegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath), 0);
        ASSERT_EQ(key.SetDWORDValue(ETWLogging::kLoggingMechanismValue, ETWLogging::kMechanismFile),
                  0);
        ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\gatesvc.exe").c_str(),
                                (folder_ / L"gatesvc.exe").c_str(), FALSE));
        ASSERT_TRUE(WriteFileText(folder_ / L"BulwarkK.sys", "sample driver"));
        ASSERT_TRUE(WriteFileText(folder_ / L"bulwarkk_x86.cat", "sample catalog"));
    }
    void TearDown() override {
        RemoveLoggingMechanism();
        RemoveTree(LogRoot());
        ::DeleteFileW(DriverDestination().c_str());
        ClearPendingRenames();
    }

    ScratchFolder folder_{PerTestFolderName(L"e2e-file")};
};

// Twice with the destination held: the exact Information line naming destination then source,
// then the same line with the fields that an enciphered shared "Options" selects.
TEST_F(GatesvcFileLogging, HeldDestinationWritesTheInformationLineWithTheFieldsOptionsSelect) {
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    ASSERT_EQ(InstallWhileDriverHeld(folder_), 0);
    Basalt::CObfuscatedIniReader shared;
    shared.Load(LogRoot() + L"\\log.ini");
    ASSERT_TRUE(shared.SetDword(L"Config", L"Options", 0x3C));
    ASSERT_EQ(InstallWhileDriverHeld(folder_), 0);

    const std::wstring copy =
        Literal(L"Copy file to " + DriverDestination() + L" failed from " +
                (folder_ / L"BulwarkK.sys") + L". Try to delay copy until reboot\r\n");
    const std::wstring date = L"(\\d\\d)/(\\d\\d)/(\\d{4}) \\d\\d:\\d\\d:\\d\\d [AP]M\\$ -- ";
    const std::wstring head = L"\\(Information\\)\\$ \\[    gatesvc\\.exe\\]\\$ ";
    const std::wstring fields =
        L"\\[PID:[ \\d]{5,} TID:[ \\d]{5,}\\]\\$ "
        L"\\[             gatesvc:  136\\]\\$ "
        L"\\[                   InstallHipsDriverFile\\(\\)\\]\\$ ";
    const std::wregex lines(date + head + copy + L".*" + head + fields + copy,
                            std::regex_constants::icase);  // paths may differ in case
    const std::wstring log = ReadLog();
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(log, match, lines)) << log;
    EXPECT_EQ(std::stoi(match[1].str()), before.wMonth);
    EXPECT_EQ(std::stoi(match[2].str()), before.wDay);
    EXPECT_EQ(std::stoi(match[3].str()), before.wYear);
}

TEST_F(GatesvcFileLogging, SuccessfulRunWritesNoLog) {
    ASSERT_EQ(RunProgram(L"\"" + (folder_ / L"gatesvc.exe") + L"\" /InstallCat", folder_.path()),
              0);
    EXPECT_FALSE(FileExists(FirstLogFile()));
}

}  // namespace
