// The file logger under Wine in a scratch program data folder: names, settings with repair,
// the write path with rotation, the folder check, filtering, sharing and threads.
#include "logging/file/FileLogging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/UniqueHandle.h"
#include "basalt/StringHelpers.h"
#include "logging/file/IniReader.h"
#include "tests/logging/file/FileTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using TestSupport::FileExists;
using TestSupport::FolderShell;
using TestSupport::RecordingDebugOutput;

constexpr DWORD kOk = ERROR_SUCCESS;
constexpr DWORD kBad = ERROR_INVALID_PARAMETER;

class FixedClock : public LocalClockAPI {
  public:
    void Now(SYSTEMTIME& time) override { time = {2026, 12, 2, 8, 13, 2, 3, 0}; }
};

std::wstring Utf16(const std::vector<unsigned char>& bytes, size_t from = 2) {
    std::wstring text;
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return text;
}

// The messages of a log file's lines; none when the file does not start with the
// byte order mark.
std::vector<std::wstring> Messages(const std::wstring& path) {
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(path);
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return {};
    return TestSupport::ReadLogMessages(path);
}

// True when a file's text after its leading byte order mark holds no other.
bool OneMarkAtTheStart(const std::wstring& path) {
    return Utf16(TestSupport::ReadFileBytes(path)).find(L'\xFEFF') == std::wstring::npos;
}

using FileTestSupport::ReadSetting;
using FileTestSupport::WriteSetting;

class FileLoggingTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kOk, logger_.Init(L"RQD", nullptr, nullptr, nullptr)); }

    void Restart() {
        ASSERT_EQ(kOk, logger_.Stop());
        ASSERT_EQ(kOk, logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    }

    std::wstring LogFile(DWORD index) {
        return LogFileName(logger_.LogFolder(), logger_.ModuleBaseName(), nullptr, index);
    }

    DWORD Write(const std::wstring& message, DWORD level = kLevelError) {
        return logger_.LogMessage(L"src\\FileLoggingTest", L"Write", 42, level, message.c_str());
    }

    // Writes 4000-character lines until `done` (at most 200).
    void WriteUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 200 && !done(); ++i) ASSERT_EQ(kOk, Write(std::wstring(4000, L'x')));
    }

    DWORD StoredIndex() { return ReadSetting(logger_.FolderIniPath(), kLastLogIdxKey); }

    TestSupport::ScratchFolder folder_{L"FileLoggingTest"};
    std::shared_ptr<FolderShell> shell_ = std::make_shared<FolderShell>(folder_.path());
    std::shared_ptr<RecordingDebugOutput> debug_ = std::make_shared<RecordingDebugOutput>();
    CLogging logger_{shell_, std::make_shared<FixedClock>(), debug_};
    std::wstring root_ = folder_.path() + L"\\Halvik\\HVLOGS\\";
};

TEST_F(FileLoggingTest, DefaultsWithoutAnyLogIni) {
    EXPECT_TRUE(logger_.IsEnabled());
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    EXPECT_EQ(3u, logger_.GetMaxEntries());
    EXPECT_EQ(3u, logger_.GetSeverity());
    EXPECT_EQ(16u, logger_.GetOptions());
    EXPECT_FALSE(FileExists(logger_.LogFolder()));  // not made before a message
}

TEST_F(FileLoggingTest, SettersKeepToTheirBounds) {
    logger_.SetMaxSize(100);
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    logger_.SetMaxSize(20000000);
    EXPECT_EQ(10485760u, logger_.GetMaxSize());
    logger_.SetMaxEntries(0);
    EXPECT_EQ(2u, logger_.GetMaxEntries());
    logger_.SetMaxEntries(1000);
    EXPECT_EQ(100u, logger_.GetMaxEntries());
    logger_.SetSeverity(0);
    EXPECT_EQ(1u, logger_.GetSeverity());
    EXPECT_EQ(1u, logger_.SetSeverity(9));
    EXPECT_EQ(6u, logger_.GetSeverity());
}

TEST_F(FileLoggingTest, LevelTestFollowsTheSeverityButNotEnabled) {
    logger_.SetSeverity(6);
    EXPECT_FALSE(logger_.IsLevelEnabled(5));
    logger_.SetEnabled(false);
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_TRUE(logger_.IsLevelEnabled(6));  // the level test ignores "enabled"
}

TEST_F(FileLoggingTest, LogPathsNameTheModuleUnderItsGroup) {
    wchar_t executable[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
    const std::wstring image = wcsrchr(executable, L'\\') + 1;
    const std::wstring base = image.substr(0, image.rfind(L'.'));
    EXPECT_EQ(image, logger_.ProcessImageName());
    EXPECT_EQ(root_ + L"RQD\\" + base, logger_.LogFolder());
    EXPECT_EQ(root_ + L"RQD\\" + base + L"\\log.ini", logger_.FolderIniPath());
    EXPECT_EQ(root_ + L"log.ini", logger_.SharedIniPath());
    EXPECT_EQ(logger_.LogFolder() + L"\\" + base + L"000.log", LogFile(0));
    EXPECT_EQ(L"f\\m_srv012.log", LogFileName(L"f", L"m", L"srv", 12));
    EXPECT_EQ(L"f\\m1234.log", LogFileName(L"f", L"m", nullptr, 1234));
    CLogging ungrouped(shell_);
    ASSERT_EQ(kOk, ungrouped.Init(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(root_ + base, ungrouped.LogFolder());

    // A copy of this program named gatesvc.exe, mapped as a module of its own.
    const std::wstring copy = folder_ / L"gatesvc.exe";
    ASSERT_TRUE(::CopyFileW(executable, copy.c_str(), /*failIfExists=*/FALSE));
    Basalt::UniqueHmodule module(
        ::LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(module) << ::GetLastError();
    CLogging logger(shell_);
    ASSERT_EQ(kOk, logger.Init(L"RQD", module.get(), L"srv", nullptr));
    EXPECT_EQ(root_ + L"RQD\\gatesvc", logger.LogFolder());
    EXPECT_EQ(image, logger.ProcessImageName());
    ASSERT_EQ(kOk, logger.LogMessage(nullptr, nullptr, 0, 1, L"m"));
    EXPECT_TRUE(FileExists(root_ + L"RQD\\gatesvc\\gatesvc_srv000.log"));
    ASSERT_EQ(kOk, logger.Stop());
}

TEST_F(FileLoggingTest, InitOrStopMisuseGivesItsCode) {
    EXPECT_EQ(kErrorAlreadyInitialized, logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    CLogging logger(shell_);
    EXPECT_EQ(kBad, logger.Init(L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(kBad, logger.Init(L"RQD", nullptr, L"", nullptr));
    EXPECT_EQ(kErrorNotInitialized, logger.Stop());
}

TEST_F(FileLoggingTest, InitRefusesNamesThatAreNotOnePathComponent) {
    const struct {
        const wchar_t* group;
        const wchar_t* host;
    } cases[] = {{L"..", nullptr}, {L"a\\b", nullptr},   {L"CON", nullptr}, {L"RQD.", nullptr},
                 {L"RQD", L"a/b"}, {L"RQD", L"NUL.txt"}, {L"RQD", L".."}};
    for (const auto& test : cases) {
        CLogging logger(shell_);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME),
                  logger.Init(test.group, nullptr, test.host, nullptr))
            << test.group << L" " << (test.host ? test.host : L"");
    }
}

TEST_F(FileLoggingTest, MessageBeforeInitSilencesTheLoggerUntilStop) {
    CLogging logger(shell_);
    EXPECT_EQ(kBad, logger.LogMessage(nullptr, nullptr, 0, 1, L"a"));
    ASSERT_EQ(kOk, logger.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(kBad, logger.LogMessage(nullptr, nullptr, 0, 1, L"b"));  // still unusable
    ASSERT_EQ(kOk, logger.Stop());
    EXPECT_TRUE(logger.LogFolder().empty());
    ASSERT_EQ(kOk, logger.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(kOk, logger.LogMessage(nullptr, nullptr, 0, 1, L"c"));
}

TEST_F(FileLoggingTest, ProgramDataFolderFailuresFailInit) {
    auto initWith = [](const std::wstring& folder) {
        return CLogging(std::make_shared<FolderShell>(folder))
            .Init(L"RQD", nullptr, nullptr, nullptr);
    };
    EXPECT_EQ(kBad, initWith(L""));
    // The log root ("\Halvik\HVLOGS\" and the terminator) must fit 260 characters.
    const std::wstring fits = L"C:\\" + std::wstring(MAX_PATH - 1 - 15 - 3, L'p');
    CLogging atLimit(std::make_shared<FolderShell>(fits));
    EXPECT_EQ(kOk, atLimit.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(MAX_PATH - 1u + 7, atLimit.SharedIniPath().size());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), initWith(fits + L"p"));
    EXPECT_EQ(80u, initWith(L"C:\\" + std::wstring(300, L'p')));  // cut to the buffer: STRUNCATE
    wchar_t buffer[8] = {};
    EXPECT_EQ(80u, logger_.GetProgramDataFolder(buffer, 8));
    EXPECT_EQ(folder_.path().substr(0, 7), buffer);
    EXPECT_EQ(kBad, logger_.GetProgramDataFolder(nullptr, 8));
}

TEST_F(FileLoggingTest, SettingsComeFromTheFolderFileThenTheSharedOneWithRepair) {
    const std::wstring folderIni = logger_.FolderIniPath();
    const std::wstring sharedIni = logger_.SharedIniPath();
    ASSERT_TRUE(WriteSetting(folderIni, L"MaxEntries", 1));  // out of range
    ASSERT_TRUE(WriteSetting(sharedIni, L"MaxEntries", 50));
    ASSERT_TRUE(WriteSetting(folderIni, L"Severity", 0));
    ASSERT_TRUE(WriteSetting(sharedIni, L"Severity", 5));   // the folder's wins
    ASSERT_TRUE(WriteSetting(sharedIni, L"MaxSize", 100));  // repaired in the shared file
    ASSERT_TRUE(WriteSetting(sharedIni, L"Options", 0x2D));
    ASSERT_TRUE(WriteSetting(folderIni, L"Enable", 0));
    ASSERT_TRUE(::WritePrivateProfileStringW(kConfigSection, L"Options", L"1", folderIni.c_str()));
    Restart();
    EXPECT_EQ(50u, logger_.GetMaxEntries());
    EXPECT_EQ(0u, logger_.GetSeverity());
    EXPECT_TRUE(logger_.IsLevelEnabled(0));
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    EXPECT_EQ(0x2Du, logger_.GetOptions());  // the plain folder value is ignored
    EXPECT_FALSE(logger_.IsEnabled());
    ASSERT_EQ(kOk, Write(L"seen"));  // the debugger bit sends each line there too
    EXPECT_EQ(std::vector<std::wstring>{Utf16(TestSupport::ReadFileBytes(LogFile(0)))},
              debug_->lines);
    EXPECT_EQ(3u, ReadSetting(folderIni, L"MaxEntries"));
    EXPECT_EQ(50u, ReadSetting(sharedIni, L"MaxEntries"));
    EXPECT_EQ(262144u, ReadSetting(sharedIni, L"MaxSize"));
    Restart();
    EXPECT_EQ(3u, logger_.GetMaxEntries());  // the repaired folder value from now on
}

TEST_F(FileLoggingTest, OnlyTheFirstLineCarriesTheByteOrderMark) {
    ASSERT_EQ(kOk, Write(L"one"));
    ASSERT_EQ(kOk, Write(L"two\n"));
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(LogFile(0));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    const std::wstring& image = logger_.ProcessImageName();
    const std::wstring prefix = L"12/08/2026 01:02:03 PM$ -- (Error)$ [" +
                                std::wstring(15 - std::min<size_t>(15, image.size()), L' ') +
                                image.substr(0, 15) + L"]$ ";
    EXPECT_EQ(prefix + L"one\r\n" + prefix + L"two\n", Utf16(bytes));
    EXPECT_FALSE(FileExists(logger_.FolderIniPath()));  // "LastLogIdx" unchanged
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
              ::GetFileAttributesW(LogFile(0).c_str()) & FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FileLoggingTest, RotatesThroughThreeFilesOfTheSmallestSize) {
    WriteUntil([&] { return FileExists(LogFile(1)); });
    EXPECT_GE(TestSupport::ReadFileBytes(LogFile(0)).size(), 262144u);
    EXPECT_LT(TestSupport::ReadFileBytes(LogFile(0)).size(), 262144u + 8200u);  // one line over
    EXPECT_EQ(1u, StoredIndex());
    WriteUntil([&] { return FileExists(LogFile(2)); });
    EXPECT_EQ(2u, StoredIndex());
    WriteUntil([&] { return StoredIndex() == 0; });
    EXPECT_EQ(1u, Messages(LogFile(0)).size());  // 000 was created anew
    EXPECT_GE(TestSupport::ReadFileBytes(LogFile(2)).size(), 262144u);
    EXPECT_FALSE(FileExists(LogFile(3)));
    EXPECT_TRUE(OneMarkAtTheStart(LogFile(1)));
    // "LastLogIdx" (read enciphered above) is replaced in place: one header and one value.
    const std::vector<unsigned char> ini = TestSupport::ReadFileBytes(logger_.FolderIniPath());
    const std::string text(ini.begin(), ini.end());
    EXPECT_EQ(0u, text.find("[Config]\r\n_LastLogIdx=48565247"));
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n'));
}

// With log.ini unreadable (here a folder) the current file cannot be known for sure: each
// message is appended to the file last known, which grows past MaxSize, and nothing is
// emptied or stored.
TEST_F(FileLoggingTest, UnreadableLogIniKeepsWritingTheCurrentFile) {
    ASSERT_TRUE(Basalt::CreateDirectoryPath(logger_.LogFolder().c_str()));
    ASSERT_TRUE(::CreateDirectoryW(logger_.FolderIniPath().c_str(), nullptr));
    for (int i = 0; i < 70; ++i) ASSERT_EQ(kOk, Write(std::wstring(4000, L'x')));
    EXPECT_EQ(70u, Messages(LogFile(0)).size());
    EXPECT_GT(TestSupport::ReadFileBytes(LogFile(0)).size(), 262144u + 8200u);
    EXPECT_TRUE(OneMarkAtTheStart(LogFile(0)));
    EXPECT_FALSE(FileExists(LogFile(1)));
    ::RemoveDirectoryW(logger_.FolderIniPath().c_str());
}

// An operator's edits that keep the framework's reader from "LastLogIdx" while the
// profile functions still store it: the ring's position is never certain, so full files
// are appended to rather than emptied, and no line is lost.
TEST_F(FileLoggingTest, HandEditedLogIniLosesNoLine) {
    const struct {
        const char* name;
        std::function<std::string(const std::string&)> edit;
    } kEdits[] = {
        {"UTF-8 byte order mark", [](const std::string& text) { return "\xEF\xBB\xBF" + text; }},
        {"lower-case section",
         [](const std::string& text) { return "[config]" + text.substr(text.find("\r\n")); }},
        {"end-of-file mark", [](const std::string& text) { return "\x1A" + text; }},
        {"header twice",
         [](const std::string& text) {
             const size_t start = text.find("_LastLogIdx=");
             return text + text.substr(start, text.find("\r\n", start) + 2 - start);
         }},
    };
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"MaxEntries", 100));
    Restart();
    const std::wstring message(1000, L'm');
    for (const auto& edit : kEdits) {
        SCOPED_TRACE(edit.name);
        TestSupport::RemoveTree(logger_.LogFolder());
        ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 0));
        const std::vector<unsigned char> ini = TestSupport::ReadFileBytes(logger_.FolderIniPath());
        ASSERT_TRUE(TestSupport::WriteFileText(logger_.FolderIniPath(),
                                               edit.edit(std::string(ini.begin(), ini.end()))));
        constexpr int kLines = 400;  // about three files' worth
        for (int i = 0; i < kLines; ++i) {
            ASSERT_EQ(kOk, Write(message + Basalt::FormatString(L" %d", i)));
        }
        std::set<std::wstring> seen;
        for (DWORD index = 0; index < 100; ++index) {
            for (const std::wstring& text : Messages(LogFile(index))) seen.insert(text);
        }
        EXPECT_EQ(static_cast<size_t>(kLines), seen.size());
    }
}

// A log folder deleted while the program runs is made again by the next message.
TEST_F(FileLoggingTest, DeletedLogFolderIsMadeAgainByTheNextMessage) {
    ASSERT_EQ(kOk, Write(L"before"));
    TestSupport::RemoveTree(logger_.LogFolder());
    ASSERT_FALSE(FileExists(logger_.LogFolder()));
    ASSERT_EQ(kOk, Write(L"after"));
    EXPECT_EQ(std::vector<std::wstring>{L"after"}, Messages(LogFile(0)));
    EXPECT_TRUE(logger_.IsEnabled());
}

// Refused before the file is opened, so a bad level never turns the ring over; an empty
// message still has the folder checked.
TEST_F(FileLoggingTest, BadMessagesAreRefusedBeforeTheRingTurns) {
    EXPECT_EQ(kBad, Write(L""));
    EXPECT_EQ(kBad, logger_.LogMessage(nullptr, nullptr, 0, 1, nullptr));
    EXPECT_TRUE(FileExists(logger_.LogFolder()));
    EXPECT_FALSE(FileExists(LogFile(0)));
    ASSERT_EQ(kOk, Write(L"old"));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 5));  // beyond the ring
    EXPECT_EQ(kBad, Write(L"bad", 7));
    EXPECT_EQ(kBad, Write(L"bad", 0));
    EXPECT_EQ(std::vector<std::wstring>{L"old"}, Messages(LogFile(0)));
    EXPECT_EQ(5u, StoredIndex());
}

// A plain or out-of-range stored index starts again at 000; a deleted current file is
// created again under its number.
TEST_F(FileLoggingTest, StoredIndexChoosesTheFileOrStartsAgainAtZero) {
    Basalt::CreateDirectoryPath(logger_.LogFolder().c_str());
    ASSERT_TRUE(::WritePrivateProfileStringW(kConfigSection, kLastLogIdxKey, L"2",
                                             logger_.FolderIniPath().c_str()));
    ASSERT_EQ(kOk, Write(L"old"));  // the plain value is not read
    EXPECT_FALSE(FileExists(LogFile(2)));
    for (DWORD stored : {5ul, 0xFFFFFFFFul}) {
        ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, stored));
        ASSERT_EQ(kOk, Write(L"new"));
        EXPECT_EQ(std::vector<std::wstring>{L"new"}, Messages(LogFile(0))) << stored;
        EXPECT_EQ(0u, StoredIndex());
    }
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 1));
    ASSERT_EQ(kOk, Write(L"a"));
    ASSERT_TRUE(::DeleteFileW(LogFile(1).c_str()));
    ASSERT_EQ(kOk, Write(L"b"));
    EXPECT_EQ(std::vector<std::wstring>{L"b"}, Messages(LogFile(1)));
    EXPECT_EQ(1u, StoredIndex());
}

TEST_F(FileLoggingTest, UncreatableFolderSilencesTheLoggerUntilStop) {
    // A file where the vendor folder should be: nothing below it can be made.
    ASSERT_TRUE(TestSupport::WriteFileText(folder_ / L"Halvik", "blocks"));
    EXPECT_EQ(kBad, Write(L"a"));
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_EQ(10000u, logger_.GetSeverity());
    ASSERT_TRUE(::DeleteFileW((folder_ / L"Halvik").c_str()));
    EXPECT_EQ(kBad, Write(L"b"));         // still silent
    EXPECT_EQ(1u, debug_->lines.size());  // said once, as debugger output
    logger_.Log(kLevelCritical, nullptr, nullptr, 0, L"c");
    EXPECT_FALSE(FileExists(LogFile(0)));
    ASSERT_EQ(kOk, logger_.Stop());
    EXPECT_TRUE(logger_.IsEnabled());
    ASSERT_EQ(kOk, logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(kOk, Write(L"d"));
    EXPECT_EQ(std::vector<std::wstring>{L"d"}, Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, LogDropsMessagesBelowTheSeverityOrWhileDisabled) {
    logger_.Log(kLevelWarning, nullptr, nullptr, 0, L"%s", L"filtered");  // 2 < severity 3
    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s %d", L"wide", 7);
    logger_.SetEnabled(false);
    logger_.Log(kLevelCritical, nullptr, nullptr, 0, L"disabled");
    EXPECT_EQ(std::vector<std::wstring>{L"wide 7"}, Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, LogCutsTheMessageAt4159Characters) {
    const std::wstring long5000(5000, L'y');
    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s", long5000.c_str());
    EXPECT_EQ(std::vector<std::wstring>{long5000.substr(0, 4159)}, Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, LogMessageWritesWholeWhateverTheLevelOrEnabled) {
    const std::wstring long5000(5000, L'y');
    ASSERT_EQ(kOk, Write(L"direct", kLevelWarning));
    ASSERT_EQ(kOk, Write(long5000));
    logger_.SetEnabled(false);
    ASSERT_EQ(kOk, Write(L"still written"));
    EXPECT_EQ((std::vector<std::wstring>{L"direct", long5000, L"still written"}),
              Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, OthersMayReadWhileTheLoggerWrites) {
    ASSERT_EQ(kOk, Write(L"first"));
    Basalt::UniqueHandle reader(::CreateFileW(LogFile(0).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    ASSERT_EQ(kOk, Write(L"second"));
    std::vector<unsigned char> bytes(64 * 1024);
    DWORD read = 0;
    ASSERT_TRUE(
        ::ReadFile(reader.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr));
    bytes.resize(read);
    EXPECT_NE(std::wstring::npos, Utf16(bytes).find(L"first\r\n"));
    EXPECT_NE(std::wstring::npos, Utf16(bytes).find(L"second\r\n"));
}

TEST_F(FileLoggingTest, BlockedFileFailsOnlyTheMessageWrittenMeanwhile) {
    ASSERT_EQ(kOk, Write(L"first"));
    Basalt::UniqueHandle exclusive(::CreateFileW(LogFile(0).c_str(), GENERIC_READ, 0, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(exclusive);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), Write(L"blocked"));
    exclusive.reset();
    EXPECT_EQ(kOk, Write(L"third"));
    EXPECT_EQ((std::vector<std::wstring>{L"first", L"third"}), Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, ConcurrentThreadsKeepEveryLineWhole) {
    logger_.SetMaxSize(10485760);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    auto message = [](int t, int i) {
        return Basalt::FormatString(L"thread %d line %d ", t, i) + std::wstring(200, L'a' + t);
    };
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    std::set<std::wstring> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) expected.insert(message(t, i));
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (i % 2 == 1) {
                    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s", message(t, i).c_str());
                } else if (Write(message(t, i)) != kOk) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    // Every line once, whole: none lost, torn or doubled.
    const std::vector<std::wstring> messages = Messages(LogFile(0));
    EXPECT_EQ(expected.size(), messages.size());
    EXPECT_TRUE(expected == std::set<std::wstring>(messages.begin(), messages.end()));
}

// Counts its own destruction, to see Release delete it.
class CountedLogging : public CLogging {
  public:
    explicit CountedLogging(int& destroyed) : destroyed_(destroyed) {}
    ~CountedLogging() override { ++destroyed_; }

  private:
    int& destroyed_;
};

TEST(FileLoggingReferenceTest, ReleaseDeletesAtZero) {
    int destroyed = 0;
    CLogging* logger = new CountedLogging(destroyed);
    EXPECT_EQ(1, logger->AddRef());
    EXPECT_EQ(2, logger->AddRef());
    EXPECT_EQ(1, logger->Release());
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0, logger->Release());
    EXPECT_EQ(1, destroyed);
}

// A service or an elevated program, with the owners of a real machine modelled.
class PrivilegedFileLoggingTest : public FileLoggingTest {
  protected:
    void SetUp() override { ASSERT_EQ(kOk, logger_.Init(L"RQD", nullptr, nullptr, nullptr)); }
    void Restart() {
        logger_.Stop();
        ASSERT_EQ(kOk, logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    }

    std::shared_ptr<TestSupport::ModelFileSecurity> security_ =
        std::make_shared<TestSupport::ModelFileSecurity>();
    CLogging logger_{shell_, std::make_shared<FixedClock>(), debug_, security_};
};

TEST_F(PrivilegedFileLoggingTest, SharedLogIniIsReadOnlyFromATrustedOwner) {
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"Severity", 6));
    const struct {
        const wchar_t* sddl;
        DWORD severity;
    } cases[] = {{TestSupport::ModelFileSecurity::kUserFolderSddl, 3u}, {L"O:BAD:", 6u}};
    for (const auto& test : cases) {
        security_->rules = {{L"\\HVLOGS\\log.ini", test.sddl}};
        Restart();
        EXPECT_EQ(test.severity, logger_.GetSeverity()) << test.sddl;
    }
}

TEST_F(PrivilegedFileLoggingTest, LogFileOfAnUntrustedOwnerMakesTheFolderUnusable) {
    ASSERT_EQ(kOk, logger_.LogMessage(nullptr, nullptr, 0, kLevelError, L"a"));
    security_->rules = {{L"000.log", TestSupport::ModelFileSecurity::kUserFolderSddl}};
    EXPECT_EQ(kBad, logger_.LogMessage(nullptr, nullptr, 0, kLevelError, L"b"));
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_EQ(1u, debug_->lines.size());
}

}  // namespace
