// The built hvlogcfg.exe driven end to end in the test prefix, together with
// gatesvc.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "basalt/PathHelpers.h"
#include "basalt/RegKey.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "logging/LogBuilder.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

std::wstring SharedIni() { return LogRoot() + L"\\log.ini"; }
std::wstring FolderIni() { return LogRoot() + L"\\RQD\\gatesvc\\log.ini"; }

std::wstring ProfileText(const std::wstring& file, const wchar_t* key) {
    wchar_t text[512] = {};
    ::GetPrivateProfileStringW(L"Config", key, L"", text, 512, file.c_str());
    return text;
}

class Hvlogcfg : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    void Clean() {
        RemoveTree(LogRoot());
        ::DeleteFileW(DriverDestination().c_str());
        RemoveLoggingMechanism();
        ClearPendingRenames();
    }

    int Tool(const std::wstring& arguments, std::string* output = nullptr) {
        std::string ignored;
        return RunProgramWithOutput(
            L"\"" + ProgramFolder() + L"\\hvlogcfg.exe\" " + arguments,
            output != nullptr ? *output : ignored);
    }

    void InstallWhileHeld() { ASSERT_EQ(InstallWhileDriverHeld(folder_), 0); }

    ScratchFolder folder_{PerTestFolderName(L"hvlogcfg")};
};

TEST_F(Hvlogcfg, FileMechanismMakesTheInstallerLogAndTailShowsTheLine) {
    ASSERT_EQ(Tool(L"set mechanism file"), 0);
    InstallWhileHeld();
    std::string tail;
    ASSERT_EQ(Tool(L"tail -n 5", &tail), 0);
    EXPECT_NE(tail.find("-- (Information)$ [    gatesvc.exe]$ Copy file to "), std::string::npos)
        << tail;
    EXPECT_NE(tail.find("Try to delay copy until reboot"), std::string::npos) << tail;
}

TEST_F(Hvlogcfg, FileOptionsChangeTheLineFields) {
    ASSERT_EQ(Tool(L"set mechanism file"), 0);
    ASSERT_EQ(Tool(L"set file Options 60"), 0);
    InstallWhileHeld();
    std::string tail;
    ASSERT_EQ(Tool(L"tail", &tail), 0);
    EXPECT_NE(tail.find("[PID:"), std::string::npos) << tail;
    EXPECT_NE(tail.find("gatesvc:  136]$ ["), std::string::npos) << tail;
    EXPECT_NE(tail.find("InstallHipsDriverFile()]$ Copy file to"), std::string::npos) << tail;
}

TEST_F(Hvlogcfg, OutOfRangeValueIsRefusedAndTheFileLeftAsItWas) {
    ASSERT_EQ(Tool(L"set file MaxEntries 5 --shared"), 0);
    const auto before = ReadFileBytes(SharedIni());
    ASSERT_FALSE(before.empty());
    std::string output;
    EXPECT_NE(Tool(L"set file MaxEntries 500 --shared", &output), 0);
    EXPECT_NE(output.find("MaxEntries must be 2 to 100"), std::string::npos) << output;
    EXPECT_EQ(ReadFileBytes(SharedIni()), before);
    EXPECT_NE(Tool(L"set file MaxEntries 500"), 0);
    EXPECT_FALSE(FileExists(FolderIni()));
}

TEST_F(Hvlogcfg, ShowReportsTamperedAndPlainValues) {
    ASSERT_EQ(Tool(L"set file Severity 2"), 0);
    // One changed data digit: the digest no longer matches.
    std::wstring cipher = ProfileText(FolderIni(), L"Severity");
    ASSERT_GE(cipher.size(), 2u);
    cipher[0] = cipher[0] == L'0' ? L'1' : L'0';
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Config", L"Severity", cipher.c_str(),
                                             FolderIni().c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Config", L"MaxSize", L"300000",
                                             SharedIni().c_str()));
    std::string show;
    ASSERT_EQ(Tool(L"show", &show), 0);
    EXPECT_NE(show.find("folder log.ini: tampered"), std::string::npos) << show;
    EXPECT_NE(show.find("shared log.ini: plain"), std::string::npos) << show;
    EXPECT_NE(show.find("Severity   3 (default)"), std::string::npos) << show;
}

TEST_F(Hvlogcfg, DecodeReadsBackWhatSetWrote) {
    ASSERT_EQ(Tool(L"set mechanism file"), 0);
    Basalt::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, KEY_QUERY_VALUE), 0);
    BYTE record[64] = {};
    DWORD size = sizeof(record);
    DWORD type = 0;
    ASSERT_EQ(key.QueryValue(ETWLogging::kLoggingMechanismValue, &type, record, &size), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    std::wstring hex;
    for (DWORD i = 0; i < size; ++i) hex += Basalt::FormatString(L"%02x", record[i]);
    std::string output;
    ASSERT_EQ(Tool(L"decode " + hex, &output), 0);
    EXPECT_NE(output.find("checks out: REG_DWORD 1"), std::string::npos) << output;
    hex[70] = hex[70] == L'0' ? L'1' : L'0';  // a payload byte
    EXPECT_NE(Tool(L"decode " + hex, &output), 0);

    ASSERT_EQ(Tool(L"set file MaxSize 300000 --shared"), 0);
    const std::wstring header = ProfileText(SharedIni(), L"_MaxSize");
    const std::wstring value = ProfileText(SharedIni(), L"MaxSize");
    EXPECT_EQ(header.size(), 74u);
    ASSERT_EQ(Tool(L"decode " + header + L" " + value, &output), 0);
    EXPECT_NE(output.find("integer \"300000\""), std::string::npos) << output;
    // A header the framework would not take for one does not check out.
    EXPECT_EQ(Tool(L"decode " + header.substr(0, 72) + L" " + value, &output), 1);
}

TEST_F(Hvlogcfg, HelpAndMistakes) {
    std::string output;
    EXPECT_EQ(Tool(L"--help", &output), 0);
    EXPECT_NE(output.find("hvlogcfg show"), std::string::npos);
    EXPECT_EQ(Tool(L"set --help", &output), 0);
    EXPECT_EQ(Tool(L"frobnicate", &output), 2);
    EXPECT_EQ(Tool(L"set mechanism carrier-pigeon", &output), 1);
    EXPECT_NE(output.find("hvlogcfg: "), std::string::npos);
    EXPECT_EQ(Tool(L"set etw Loudness 3", &output), 1);
    EXPECT_EQ(Tool(L"bogus --help", &output), 2);
    EXPECT_EQ(Tool(L"tail -n -1", &output), 2);
    EXPECT_EQ(Tool(L"tail -n 99999999999", &output), 2);
}

TEST_F(Hvlogcfg, NumbersAreDecimalOrHexadecimalNeverOctal) {
    std::string output;
    ASSERT_EQ(Tool(L"set file MaxEntries 010", &output), 0);
    EXPECT_NE(output.find("MaxEntries = 10 "), std::string::npos) << output;
    ASSERT_EQ(Tool(L"set file Options 0x3C", &output), 0);
    EXPECT_NE(output.find("Options = 60 "), std::string::npos) << output;
    EXPECT_EQ(Tool(L"set file Options +5", &output), 1);
    EXPECT_EQ(Tool(L"set file Options 0x", &output), 1);
}

TEST_F(Hvlogcfg, EtwOverridesGoUnderTheProviderKeys) {
    ASSERT_EQ(Tool(L"set etw Severity 5 --group RQD --logger gatesvc"), 0);
    Basalt::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD\\gatesvc",
                       KEY_QUERY_VALUE),
              0);
    DWORD value = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"Severity", value), 0);
    EXPECT_EQ(value, 5u);
    std::string show;
    ASSERT_EQ(Tool(L"show", &show), 0);
    EXPECT_NE(show.find("Provider\\RQD\\gatesvc: Severity = 5"), std::string::npos) << show;
    ASSERT_EQ(Tool(L"unset etw Severity --group RQD --logger gatesvc"), 0);
    EXPECT_EQ(key.QueryDWORDValue(L"Severity", value), ERROR_FILE_NOT_FOUND);
    TestSupport::DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD");
}

}  // namespace

// Names become one folder or key name: nothing that climbs out of the log root
// or the Provider key, or names more than one level, is taken.
TEST_F(Hvlogcfg, GroupModuleAndLoggerNamesArePlainNames) {
    std::string output;
    EXPECT_EQ(Tool(L"set file Enable 0 --group .. --module gatesvc", &output), 2);
    EXPECT_NE(output.find("--group must be a plain name"), std::string::npos) << output;
    EXPECT_EQ(Tool(L"set file Enable 0 --group RQD --module ..\\..\\x", &output), 2);
    EXPECT_EQ(Tool(L"tail --group RQD --module a/b", &output), 2);
    EXPECT_EQ(Tool(L"set etw Enable 0 --group RQD --logger a\\b", &output), 2);
    EXPECT_FALSE(FileExists(LogRoot()));
}

// The file is changed only when the framework's own reader then sees the new
// value: a differently-cased section ahead of [Config] would take the write
// while the framework went on reading the old value.
TEST_F(Hvlogcfg, ChangeTheFrameworkWouldNotSeeIsRefusedAndTheFileKept) {
    ASSERT_EQ(Tool(L"set file Severity 2"), 0);
    auto bytes = ReadFileBytes(FolderIni());
    const std::string shadowed = "[config]\r\n" + std::string(bytes.begin(), bytes.end());
    ASSERT_TRUE(WriteFileText(FolderIni(), shadowed));
    std::string output;
    EXPECT_EQ(Tool(L"set file Severity 4", &output), 1);
    EXPECT_NE(output.find("would read instead"), std::string::npos) << output;
    bytes = ReadFileBytes(FolderIni());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), shadowed);
    EXPECT_FALSE(FileExists(FolderIni() + L".hvlogcfg-tmp"));
    EXPECT_EQ(Tool(L"set etw Severity 0", &output), 1);
    EXPECT_NE(output.find("Severity must be 1 to 6"), std::string::npos) << output;
}

// tail reads only the end of a long log, and only a log of the framework.
TEST_F(Hvlogcfg, TailReadsTheEndOfALongLogAndRefusesOtherFiles) {
    const std::wstring folder = LogRoot() + L"\\RQD\\gatesvc";
    ASSERT_TRUE(Basalt::CreateDirectoryPath(folder.c_str()));
    std::wstring text = L"\xFEFF";
    for (int i = 0; i < 20000; ++i) text += L"line " + std::to_wstring(i) + L"\r\n";
    const std::wstring log = folder + L"\\gatesvc000.log";
    ASSERT_TRUE(WriteFileBytes(log, text.data(), text.size() * sizeof(wchar_t)));
    std::string output;
    ASSERT_EQ(Tool(L"tail -n 2", &output), 0);
    EXPECT_EQ(output, "line 19998\r\nline 19999\r\n");  // text-mode output
    ASSERT_EQ(Tool(L"tail -n 20000", &output), 0);
    EXPECT_EQ(0u, output.find("line 0\r\n"));
    ASSERT_TRUE(WriteFileText(log, "not a log\r\n"));
    EXPECT_EQ(Tool(L"tail", &output), 1);
    EXPECT_NE(output.find("not a log of the framework"), std::string::npos) << output;
}
