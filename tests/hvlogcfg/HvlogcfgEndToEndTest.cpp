// The built hvlogcfg.exe driven end to end in the test prefix, together with gatesvc.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <string>
#include <thread>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/LogBuilder.h"
#include "tests/support/ReadyProgram.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

constexpr int kNonZero = -2;  // any failure exit code

// The bytes of a literal, zero bytes inside it included.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::wstring SharedIni() { return LogRoot() + L"\\log.ini"; }
std::wstring FolderIni() { return LogRoot() + L"\\RQD\\gatesvc\\log.ini"; }

std::wstring ProfileText(const std::wstring& file, const wchar_t* key) {
    wchar_t text[512] = {};
    ::GetPrivateProfileStringW(L"Config", key, L"", text, 512, file.c_str());
    return text;
}

class Hvlogcfg : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        RemoveTree(LogRoot());
        ::DeleteFileW(DriverDestination().c_str());
        RemoveLoggingMechanism();
        ClearPendingRenames();
    }

    // Runs the tool, its output kept in output_; expects its exit code and these pieces of output.
    void Expect(const std::wstring& arguments, int code,
                std::initializer_list<const char*> pieces = {}) {
        const int result = RunProgramWithOutput(
            L"\"" + ProgramFolder() + L"\\hvlogcfg.exe\" " + arguments, output_);
        const std::string context = testing::PrintToString(arguments) + "\n" + output_;
        EXPECT_TRUE(code == kNonZero ? result != 0 : result == code) << result << " " << context;
        for (const char* piece : pieces) {
            EXPECT_NE(output_.find(piece), std::string::npos) << piece << " in " << context;
        }
    }

    // The path of gatesvc's first log file, its folder made.
    std::wstring FirstLog() {
        const std::wstring folder = LogRoot() + L"\\RQD\\gatesvc";
        EXPECT_TRUE(Basalt::CreateDirectoryPath(folder.c_str()));
        return folder + L"\\gatesvc000.log";
    }

    ScratchFolder folder_{PerTestFolderName(L"hvlogcfg")};
    std::string output_;
};

TEST_F(Hvlogcfg, FileMechanismMakesTheInstallerLogOptionsChangeTheFieldsTailShowsIt) {
    Expect(L"set mechanism file", 0);
    ASSERT_EQ(InstallWhileDriverHeld(folder_), 0);
    Expect(
        L"tail -n 1", 0,
        {"-- (Information)$ [    gatesvc.exe]$ Copy file to ", "Try to delay copy until reboot"});
    Expect(L"set file Options 60", 0);
    ASSERT_EQ(InstallWhileDriverHeld(folder_), 0);
    Expect(L"tail -n 1", 0,
           {"[PID:", "gatesvc:  136]$ [", "InstallHipsDriverFile()]$ Copy file to"});
}

TEST_F(Hvlogcfg, OutOfRangeValueIsRefusedLeavingTheFileAsItWas) {
    Expect(L"set file MaxEntries 5 --shared", 0);
    const auto before = ReadFileBytes(SharedIni());
    ASSERT_FALSE(before.empty());
    Expect(L"set file MaxEntries 500 --shared", kNonZero, {"MaxEntries must be 2 to 100"});
    EXPECT_EQ(ReadFileBytes(SharedIni()), before);
    Expect(L"set file MaxEntries 500", kNonZero);
    EXPECT_FALSE(FileExists(FolderIni()));
}

TEST_F(Hvlogcfg, ShowReportsTamperedOrPlainValues) {
    Expect(L"set file Severity 2", 0);
    // One changed data digit: the digest no longer matches.
    std::wstring cipher = ProfileText(FolderIni(), L"Severity");
    ASSERT_GE(cipher.size(), 2u);
    cipher[0] = cipher[0] == L'0' ? L'1' : L'0';
    ASSERT_TRUE(
        ::WritePrivateProfileStringW(L"Config", L"Severity", cipher.c_str(), FolderIni().c_str()));
    ASSERT_TRUE(
        ::WritePrivateProfileStringW(L"Config", L"MaxSize", L"300000", SharedIni().c_str()));
    Expect(L"show", 0,
           {"folder log.ini: tampered", "shared log.ini: plain", "Severity   3 (default)"});
}

// Saved by an editor with a byte order mark: said so, not taken for tampering.
TEST_F(Hvlogcfg, FileWithAUtf8ByteOrderMarkIsReportedAsIgnored) {
    Expect(L"set file MaxEntries 5 --shared", 0);
    const auto bytes = ReadFileBytes(SharedIni());
    ASSERT_TRUE(
        WriteFileText(SharedIni(), "\xEF\xBB\xBF" + std::string(bytes.begin(), bytes.end())));
    Expect(L"set file MaxEntries 5 --shared", 1, {"UTF-8 byte order mark", "would not be seen"});
    Expect(L"show", 0, {"shared log.ini: ignored, the file starts with a UTF-8 byte order mark"});
}

// Forms the framework does not read are named, with what reads or writes the right one.
TEST_F(Hvlogcfg, ShowAndSetNameWhatTheFrameworkDoesNotRead) {
    const struct {
        std::string ini;       // the folder log.ini, "" for none
        const wchar_t* setup;  // a registry value to plant, "" for none
        const wchar_t* command;
        int code;
        const char* piece;
    } cases[] = {
        {"\xEF\xBB\xBF[Config]\r\n", L"", L"show", 0,
         "LastLogIdx not used (log.ini starts with a UTF-8"},
        {Bytes("[Config]\r\nA=\x01\0\x02\r\n"), L"", L"show", 0,
         "is not text (it holds zero bytes)"},
        {"Stray=1\r\n[Config]\r\n", L"", L"show", 0,
         "keys outside any section, which nothing reads: Stray"},
        {"Stray=1\r\n[Config]\r\n", L"", L"set file Options 60", 1,
         "keys outside any section (Stray)"},
        {"", L"mechanism", L"show", 0,
         "a plain REG_DWORD, not the enciphered record): ETW; hvlogcfg set mechanism"},
        {"", L"override", L"show", 0,
         "Enable present but ignored: a REG_SZ, not a REG_DWORD (hvlogcfg set etw Enable N"},
        {"", L"", L"show", 0, "Enable/Severity overrides: none set"},
    };
    const wchar_t* provider = L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD\\gatesvc";
    for (const auto& test : cases) {
        TearDown();
        if (!test.ini.empty()) {
            ASSERT_TRUE(WriteFileText(FirstLog(), "\xFF\xFE"));
            ASSERT_TRUE(WriteFileText(FolderIni(), test.ini));
        }
        if (wcscmp(test.setup, L"mechanism") == 0) {
            const DWORD one = 1;
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging",
                                        L"Logging Mechanism", REG_DWORD, &one, sizeof(one)));
        } else if (wcscmp(test.setup, L"override") == 0) {
            ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, provider, L"Enable",
                                                       REG_SZ, L"1", 2 * sizeof(wchar_t)));
        }
        Expect(test.command, test.code, {test.piece});
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD");
    }
}

// tail -f beside a program that turns the ring over: every line once, in order, from the
// first file and the next.
TEST_F(Hvlogcfg, TailFollowsTheLinesAcrossATurnOver) {
    std::string followed;
    std::thread tail([&] {
        RunProgramWithOutput(L"\"" + ProgramFolder() +
                                 L"\\hvlogcfg.exe\" tail -f --seconds 8 --module file_log_writer",
                             followed);
    });
    ::Sleep(1000);
    EXPECT_EQ(0, RunProgram(L"\"" + ProgramFolder() + L"\\file_log_writer.exe\" - f 1000"));
    tail.join();
    size_t at = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string line =
            Basalt::CodePageFromWide(CP_ACP, Basalt::FormatString(L"f %06d ", i));
        const size_t found = followed.find(line, at);
        ASSERT_NE(std::string::npos, found) << i;
        at = found + line.size();
    }
    EXPECT_TRUE(FileExists(LogRoot() + L"\\RQD\\file_log_writer\\file_log_writer001.log"));
}

// The tool changes a log.ini under the lock that loggers of that folder take: while a
// program logs 3,000 lines, twenty changes all succeed and the last one stays, and not
// one line is lost.
TEST_F(Hvlogcfg, ChangesWhileAProgramLogsApplyWithoutLosingALine) {
    const std::wstring module = L" --module file_log_writer";
    Expect(L"set file MaxEntries 100" + module, 0);
    Basalt::UniqueKernelHandle writer =
        StartProgram(L"\"" + ProgramFolder() + L"\\file_log_writer.exe\" - changes 3000");
    ASSERT_TRUE(writer);
    DWORD options = 0;
    for (int i = 0; i < 20; ++i) {
        options = i % 2 == 0 ? 0x14 : 0x34;
        Expect(Basalt::FormatString(L"set file Options %lu", options) + module, 0);
    }
    EXPECT_EQ(0, WaitForExit(writer.get()));
    Expect(L"show" + module, 0,
           {Basalt::CodePageFromWide(
                CP_ACP, Basalt::FormatString(L"Options    %lu (folder log.ini)", options))
                .c_str(),
            "MaxEntries 100 (folder log.ini)"});
    std::set<std::wstring> seen;
    const std::wstring folder = LogRoot() + L"\\RQD\\file_log_writer\\file_log_writer";
    for (int index = 0; index < 100; ++index) {
        for (const std::wstring& message :
             ReadLogMessages(folder + Basalt::FormatString(L"%03d.log", index))) {
            seen.insert(message);
        }
    }
    EXPECT_EQ(3000u, seen.size());
}

TEST_F(Hvlogcfg, DecodeReadsBackWhatSetWrote) {
    Expect(L"set mechanism file", 0);
    BYTE record[64] = {};
    DWORD size = sizeof(record), type = 0;
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                             ETWLogging::kLoggingMechanismValue, RRF_RT_ANY, &type, record, &size),
              0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    std::wstring hex;
    for (DWORD i = 0; i < size; ++i) hex += Basalt::FormatString(L"%02x", record[i]);
    Expect(L"decode " + hex, 0, {"checks out: REG_DWORD 1"});
    hex[70] = hex[70] == L'0' ? L'1' : L'0';  // a payload byte
    Expect(L"decode " + hex, kNonZero);

    Expect(L"set file MaxSize 300000 --shared", 0);
    const std::wstring header = ProfileText(SharedIni(), L"_MaxSize");
    const std::wstring value = ProfileText(SharedIni(), L"MaxSize");
    EXPECT_EQ(header.size(), 74u);
    Expect(L"decode " + header + L" " + value, 0, {"integer \"300000\""});
    // A header the framework would not take for one does not check out.
    Expect(L"decode " + header.substr(0, 72) + L" " + value, 1);
}

TEST_F(Hvlogcfg, EtwOverridesGoUnderTheProviderKeys) {
    Expect(L"set etw Severity 5 --group RQD --logger gatesvc", 0);
    const wchar_t* logger = L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD\\gatesvc";
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, logger, L"Severity", RRF_RT_REG_DWORD, nullptr,
                             &value, &size),
              0);
    EXPECT_EQ(value, 5u);
    Expect(L"show", 0, {"Provider\\RQD\\gatesvc: Severity = 5"});
    Expect(L"unset etw Severity --group RQD --logger gatesvc", 0);
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, logger, L"Severity", RRF_RT_ANY, nullptr, nullptr,
                             nullptr),
              ERROR_FILE_NOT_FOUND);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging\\Provider\\RQD");
}

// Names become one folder or key name: nothing that climbs out or names two levels is taken.
TEST_F(Hvlogcfg, NameOptionsTakeOnlyPlainNames) {
    Expect(L"set file Enable 0 --group .. --module gatesvc", 2, {"--group must be a plain name"});
    Expect(L"set file Enable 0 --group RQD --module ..\\..\\x", 2);
    Expect(L"tail --group RQD --module a/b", 2);
    Expect(L"set etw Enable 0 --group RQD --logger a\\b", 2);
    EXPECT_FALSE(FileExists(LogRoot()));
}

// A differently-cased section ahead of [Config] would take the write while the framework
// went on reading the old value: the change is refused and the file kept.
TEST_F(Hvlogcfg, ChangeTheFrameworkWouldNotSeeIsRefusedLeavingTheFile) {
    Expect(L"set file Severity 2", 0);
    auto bytes = ReadFileBytes(FolderIni());
    const std::string shadowed = "[config]\r\n" + std::string(bytes.begin(), bytes.end());
    ASSERT_TRUE(WriteFileText(FolderIni(), shadowed));
    Expect(L"set file Severity 4", 1, {"has a section [config]", "would not be seen"});
    bytes = ReadFileBytes(FolderIni());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), shadowed);
    EXPECT_FALSE(FileExists(FolderIni() + L".hvlogcfg-tmp"));
}

// The folder's lock lets only LocalSystem and the administrators in: a change whose lock
// shuts this account out (here a lock name taken with an empty DACL) is refused in one
// line, and the file is not written.
TEST_F(Hvlogcfg, ChangeWhoseLockShutsTheAccountOutIsRefusedInOneLine) {
    const std::wstring folder = LogRoot() + L"\\RQD\\gatesvc";
    Basalt::UniqueKernelHandle squatter = StartProgramUntilOutput(
        L"\"" + ProgramFolder() + L"\\squat_lock.exe\" \"" + folder + L"\" empty-dacl 120",
        "ready");
    ASSERT_TRUE(squatter);
    Expect(L"set file Severity 2", 1, {"cannot take the lock of", "(5)"});
    ::TerminateProcess(squatter.get(), 0);
    ::WaitForSingleObject(squatter.get(), INFINITE);
    EXPECT_FALSE(FileExists(FolderIni()));
}

TEST_F(Hvlogcfg, TailReadsOnlyTheEndOfALongLog) {
    std::wstring text = L"\xFEFF";
    for (int i = 0; i < 20000; ++i) text += L"line " + std::to_wstring(i) + L"\r\n";
    const std::wstring log = FirstLog();
    ASSERT_TRUE(WriteFileBytes(log, text.data(), text.size() * sizeof(wchar_t)));
    Expect(L"tail -n 2", 0);
    EXPECT_EQ(output_, "line 19998\r\nline 19999\r\n");  // text-mode output
    Expect(L"tail -n 20000", 0);
    EXPECT_EQ(0u, output_.find("line 0\r\n"));
    // A last line longer than what tail reads is shown from where it began reading, marked.
    const std::wstring longLine =
        L"\xFEFF"
        L"first\r\n" +
        std::wstring(40000, L'y') + L"\r\n";
    ASSERT_TRUE(WriteFileBytes(log, longLine.data(), longLine.size() * sizeof(wchar_t)));
    Expect(L"tail -n 1", 0);
    EXPECT_EQ(0u, output_.find("[...]yyyy"));
    EXPECT_EQ(output_.size() - 3, output_.find("y\r\n"));
}

// Emptied by someone and appended to since: no byte order mark, still UTF-16.
TEST_F(Hvlogcfg, TailReadsALogWithoutAByteOrderMark) {
    const std::wstring unmarked = L"12/09/2026 01:02:03 AM$ -- (Error)$ one\r\n";
    ASSERT_TRUE(WriteFileBytes(FirstLog(), unmarked.data(), unmarked.size() * sizeof(wchar_t)));
    Expect(L"tail", 0, {"-- (Error)$ one"});
}

TEST_F(Hvlogcfg, TailRefusesAFileThatIsNotALogOfTheFramework) {
    ASSERT_TRUE(WriteFileText(FirstLog(), "not a log\r\n"));
    Expect(L"tail", 1, {"not a log of the framework"});
}

// Wine's event tracing records nothing: trace says so in one line, naming the cause (not a
// lack of elevation: the tool runs as administrator here), and ends; a missing file is not found.
TEST_F(Hvlogcfg, TraceWithoutASessionEndsAtOnceWithOneLineGivingTheReason) {
    const struct {
        const wchar_t* arguments;
        const char* says;
    } kCases[] = {
        {L"trace",
         "hvlogcfg: no trace session \"hvlogcfg trace\" could be opened: OpenTraceW "
         "failed with "},
        {L"trace --file C:\\absent.etl --count 1",
         "hvlogcfg: the trace file C:\\absent.etl was "
         "not found"},
    };
    for (const auto& c : kCases) {
        Expect(c.arguments, 1, {c.says});
        EXPECT_EQ(output_.find('\n'), output_.size() - 1) << output_;
        EXPECT_EQ(output_.find("run as administrator"), std::string::npos) << output_;
    }
}

// One convention for every answer: 0 done (unset of a value that is not there included), 1 a
// well-formed request that cannot be done, 2 a command line that is not understood, a
// malformed or out-of-range value or an option of another command included.
TEST_F(Hvlogcfg, AnswersFollowOneExitCodeConvention) {
    const struct {
        const wchar_t* arguments;
        int code;
        const char* says;
    } kCases[] = {
        {L"--version", 0, "hvlogcfg " GATESVC_PROJECT_VERSION},
        {L"--help", 0, "Exit codes: 0 done; 1 a request that cannot be done"},
        {L"trace --help", 0, "5 (their \"verbose\")   Information, Critical: Error is lost"},
        {L"set --help", 0, "reported as not set"},
        {L"unset mechanism", 0, "Logging Mechanism was not set"},
        {L"unset etw Severity --group RQD", 0, "Severity was not set"},
        {L"unset file Severity", 0, "Severity was not set"},
        {L"set file MaxEntries 010", 0, "MaxEntries = 10 "},
        {L"set file Options 0x3C", 0, "Options = 60 "},
        {L"unset file Severity", 0, "Severity was not set"},
        {L"unset file Options", 0, "Options removed"},
        {L"", 2, "no command given"},
        {L"frobnicate", 2, "unknown command frobnicate"},
        {L"bogus --help", 2, "unknown command bogus"},
        {L"--version show", 2, "--version takes nothing else"},
        {L"tail -n -1", 2, "-n needs a number of lines"},
        {L"tail -n 5x", 2, "-n needs a number of lines"},
        {L"tail -n 99999999999", 2, "-n needs a number of lines"},
        {L"trace --seconds abc", 2, "--seconds needs a number"},
        {L"trace --seconds 4294967", 2, "--seconds must be 0 to 4294966"},
        {L"trace --level 0", 2, "--level must be 1 to 6"},
        {L"trace --session", 2, "--session needs a value"},
        {L"set file Severity 7", 2, "Severity must be 0 to 6, not 7"},
        {L"set file Options +5", 2, "Options must be"},
        {L"set file Loudness 1", 2, "unknown file setting Loudness"},
        {L"unset file Loudness", 2, "unknown file setting Loudness"},
        {L"set mechanism carrier-pigeon", 2, "mechanism must be file or etw"},
        {L"set etw Loudness 3", 2, "must be Enable or Severity"},
        {L"set etw Severity 0", 2, "Severity must be 1 to 6"},
        {L"set etw Enable x", 2, "Enable needs a number"},
        {L"decode zz", 2, "not hexadecimal bytes"},
        {L"show --seconds 5", 2, "show takes no --seconds"},
        {L"decode --group X 00", 2, "decode takes no --group"},
        {L"set mechanism file --module m", 2, "set mechanism takes no --module"},
        {L"set etw Severity 3 --logger gatesvc", 2, "--logger needs --group"},
        {L"set file Enable 1 --shared --group RQD", 2, "--shared takes no --group"},
        {L"trace --file x.etl --level 3", 2, "trace --file takes no --level"},
        {L"decode 48565247", 1, "does not check out"},
        {L"trace", 1, "could be opened"},
    };
    for (const auto& c : kCases) Expect(c.arguments, c.code, {c.says});
}

}  // namespace
