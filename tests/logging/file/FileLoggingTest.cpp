// The file logger under Wine in a scratch program data folder: identity and
// paths, settings with repair, the write path with rotation, the folder check,
// filtering and cutting, sharing, and several threads logging at once.
#include "logging/file/FileLogging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/file/IniReader.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using TestSupport::ScratchFolder;

// The program data folder of the tests: a scratch folder, or a failure.
class FolderShell : public Basalt::ShlObjAPI {
  public:
    explicit FolderShell(std::wstring folder) : folder_(std::move(folder)) {}
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD, HANDLE, PWSTR* path) override {
        if (folder_.empty() || !::IsEqualGUID(folderId, FOLDERID_ProgramData)) return E_FAIL;
        const size_t bytes = (folder_.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        memcpy(*path, folder_.c_str(), bytes);
        return S_OK;
    }

  private:
    std::wstring folder_;
};

class FixedClock : public LocalClockAPI {
  public:
    void Now(SYSTEMTIME& time) override { time = {2026, 12, 2, 8, 13, 2, 3, 0}; }
};

class RecordingDebugOutput : public Basalt::DebugOutputAPI {
  public:
    void Write(const wchar_t* text) override { lines.push_back(text); }
    std::vector<std::wstring> lines;
};

std::wstring Utf16(const std::vector<unsigned char>& bytes, size_t from = 0) {
    std::wstring text;
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return text;
}

// The messages of a log file's lines (the text after the header fields).
std::vector<std::wstring> Messages(const std::wstring& path) {
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(path);
    std::vector<std::wstring> messages;
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return messages;
    const std::wstring text = Utf16(bytes, 2);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        const std::wstring line = text.substr(start, end - start);
        const size_t cut = line.rfind(L"]$ ");
        messages.push_back(cut == std::wstring::npos ? line : line.substr(cut + 3));
    }
    return messages;
}

DWORD FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return data.nFileSizeLow;
}

bool WriteSetting(const std::wstring& iniPath, const wchar_t* key, DWORD value) {
    const std::wstring folder = iniPath.substr(0, iniPath.rfind(L'\\'));
    Basalt::CreateDirectoryPath(folder.c_str());
    Basalt::CObfuscatedIniReader reader;
    reader.Load(iniPath);
    return reader.SetDword(kConfigSection, key, value);
}

bool ReadSetting(const std::wstring& iniPath, const wchar_t* key, DWORD& value) {
    Basalt::CObfuscatedIniReader reader;
    return reader.Load(iniPath) && reader.GetDword(kConfigSection, key, value);
}

class FileLoggingTest : public ::testing::Test {
  protected:
    FileLoggingTest()
        : folder_(L"FileLoggingTest"),
          shell_(std::make_shared<FolderShell>(folder_.path())),
          debug_(std::make_shared<RecordingDebugOutput>()),
          logger_(shell_, std::make_shared<FixedClock>(), debug_) {}

    void SetUp() override {
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  logger_.Init(L"RQD", nullptr, nullptr, nullptr));
        root_ = folder_.path() + L"\\Halvik\\HVLOGS\\";
    }

    std::wstring LogFile(DWORD index) {
        return LogFileName(logger_.LogFolder(), logger_.ModuleBaseName(), nullptr, index);
    }

    DWORD Write(const std::wstring& message, DWORD level = kLevelError) {
        return logger_.LogMessage(L"src\\FileLoggingTest", L"Write", 42, level, message.c_str());
    }

    DWORD StoredIndex() {
        DWORD index = 12345;
        return ReadSetting(logger_.FolderIniPath(), kLastLogIdxKey, index) ? index : 12345;
    }

    ScratchFolder folder_;
    std::shared_ptr<FolderShell> shell_;
    std::shared_ptr<RecordingDebugOutput> debug_;
    CLogging logger_;
    std::wstring root_;
};

TEST_F(FileLoggingTest, DefaultsWithoutAnyLogIni) {
    EXPECT_TRUE(logger_.IsEnabled());
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    EXPECT_EQ(3u, logger_.GetMaxEntries());
    EXPECT_EQ(3u, logger_.GetSeverity());
    EXPECT_EQ(16u, logger_.GetOptions());
    EXPECT_FALSE(TestSupport::FileExists(logger_.LogFolder()));  // not made before a message
}

TEST_F(FileLoggingTest, IdentityAndPaths) {
    wchar_t executable[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
    const std::wstring image = wcsrchr(executable, L'\\') + 1;
    const std::wstring base = image.substr(0, image.rfind(L'.'));
    EXPECT_EQ(image, logger_.ProcessImageName());
    EXPECT_EQ(base, logger_.ModuleBaseName());
    EXPECT_EQ(root_ + L"RQD\\" + base, logger_.LogFolder());
    EXPECT_EQ(root_ + L"RQD\\" + base + L"\\log.ini", logger_.FolderIniPath());
    EXPECT_EQ(root_ + L"log.ini", logger_.SharedIniPath());
    EXPECT_EQ(logger_.LogFolder() + L"\\" + base + L"000.log", LogFile(0));
    EXPECT_EQ(logger_.LogFolder() + L"\\" + base + L"_srv012.log",
              LogFileName(logger_.LogFolder(), base, L"srv", 12));
    EXPECT_EQ(L"f\\m1234.log", LogFileName(L"f", L"m", nullptr, 1234));

    CLogging ungrouped(shell_);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              ungrouped.Init(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(root_ + base, ungrouped.LogFolder());
}

TEST_F(FileLoggingTest, ModuleNameGivesTheFolderAndFileNames) {
    // A copy of this program named gatesvc.exe, mapped as a module of its own.
    wchar_t executable[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
    const std::wstring copy = folder_ / L"gatesvc.exe";
    ASSERT_TRUE(::CopyFileW(executable, copy.c_str(), /*failIfExists=*/FALSE));
    HMODULE module = ::LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, module) << ::GetLastError();
    CLogging logger(shell_);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Init(L"RQD", module, L"srv", nullptr));
    EXPECT_EQ(root_ + L"RQD\\gatesvc", logger.LogFolder());
    EXPECT_EQ(L"gatesvc", logger.ModuleBaseName());
    EXPECT_EQ(std::wstring(wcsrchr(executable, L'\\') + 1), logger.ProcessImageName());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.LogMessage(nullptr, nullptr, 0, 1, L"m"));
    EXPECT_TRUE(TestSupport::FileExists(root_ + L"RQD\\gatesvc\\gatesvc_srv000.log"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Stop());
    ::FreeLibrary(module);
}

TEST_F(FileLoggingTest, InitAndStopCodes) {
    EXPECT_EQ(kErrorAlreadyInitialized, logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    CLogging logger(shell_);
    EXPECT_EQ(kErrorNotInitialized, logger.Stop());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger.Init(L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger.Init(L"RQD", nullptr, L"", nullptr));
    EXPECT_TRUE(logger.LogFolder().empty());
    EXPECT_EQ(kErrorNotInitialized, logger.Stop());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Stop());
    EXPECT_TRUE(logger.LogFolder().empty());
}

TEST_F(FileLoggingTest, ProgramDataFolderFailuresFailInit) {
    CLogging failing(std::make_shared<FolderShell>(L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              failing.Init(L"RQD", nullptr, nullptr, nullptr));
    // The log root ("\Halvik\HVLOGS\" and the terminator) must fit 260 characters.
    const std::wstring fits = L"C:\\" + std::wstring(MAX_PATH - 1 - 15 - 3, L'p');
    const std::wstring tooLong = fits + L"p";
    CLogging atLimit(std::make_shared<FolderShell>(fits));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), atLimit.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<size_t>(MAX_PATH - 1), atLimit.SharedIniPath().size() - 7);
    CLogging beyond(std::make_shared<FolderShell>(tooLong));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE),
              beyond.Init(L"RQD", nullptr, nullptr, nullptr));
    // A folder that does not even fit the buffer is cut: STRUNCATE (80).
    CLogging cut(std::make_shared<FolderShell>(L"C:\\" + std::wstring(300, L'p')));
    EXPECT_EQ(80u, cut.Init(L"RQD", nullptr, nullptr, nullptr));
    wchar_t buffer[8] = {};
    EXPECT_EQ(80u, logger_.GetProgramDataFolder(buffer, 8));
    EXPECT_EQ(folder_.path().substr(0, 7), buffer);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_.GetProgramDataFolder(nullptr, 8));
}

TEST_F(FileLoggingTest, SettersClampAndSeverityIsProcessWide) {
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
    EXPECT_TRUE(logger_.IsLevelEnabled(6));
    EXPECT_FALSE(logger_.IsLevelEnabled(5));
    logger_.SetEnabled(false);
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_TRUE(logger_.IsLevelEnabled(6));  // the level test ignores "enabled"
}

TEST_F(FileLoggingTest, SettingsComeFromTheFolderFileThenTheSharedOne) {
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), L"MaxEntries", 1));  // out of range
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"MaxEntries", 50));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), L"Severity", 0));
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"Severity", 5));   // folder wins
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"MaxSize", 100));  // repaired in shared
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"Options", 0x2D));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), L"Enable", 0));
    ASSERT_TRUE(::WritePrivateProfileStringW(kConfigSection, L"Options", L"1",
                                             logger_.FolderIniPath().c_str()));  // plain: ignored
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Stop());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Init(L"RQD", nullptr, nullptr, nullptr));

    EXPECT_EQ(50u, logger_.GetMaxEntries());
    EXPECT_EQ(0u, logger_.GetSeverity());
    EXPECT_TRUE(logger_.IsLevelEnabled(0));
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    EXPECT_EQ(0x2Du, logger_.GetOptions());
    EXPECT_FALSE(logger_.IsEnabled());
    DWORD value = 0;
    EXPECT_TRUE(ReadSetting(logger_.FolderIniPath(), L"MaxEntries", value));
    EXPECT_EQ(3u, value);
    EXPECT_TRUE(ReadSetting(logger_.SharedIniPath(), L"MaxEntries", value));
    EXPECT_EQ(50u, value);
    EXPECT_TRUE(ReadSetting(logger_.SharedIniPath(), L"MaxSize", value));
    EXPECT_EQ(262144u, value);

    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Stop());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, logger_.GetMaxEntries());  // the repaired folder value from now on
}

TEST_F(FileLoggingTest, FirstLineCarriesTheByteOrderMarkAndLaterOnesDoNot) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"one"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"two\n"));
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(LogFile(0));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    const std::wstring prefix =
        L"12/08/2026 01:02:03 PM$ -- (Error)$ [" +
        std::wstring(15 - std::min<size_t>(15, logger_.ProcessImageName().size()), L' ') +
        logger_.ProcessImageName().substr(0, 15) + L"]$ ";
    EXPECT_EQ(prefix + L"one\r\n" + prefix + L"two\n", Utf16(bytes, 2));
    EXPECT_TRUE(TestSupport::FileExists(logger_.LogFolder()));
    EXPECT_FALSE(TestSupport::FileExists(logger_.FolderIniPath()));  // "LastLogIdx" unchanged
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
              ::GetFileAttributesW(LogFile(0).c_str()) & FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FileLoggingTest, RotatesThroughThreeFilesOfTheSmallestSize) {
    const std::wstring message(4000, L'x');
    int written = 0;
    auto writeUntil = [&](auto done) {
        for (int i = 0; i < 200 && !done(); ++i, ++written) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(message));
        }
    };
    writeUntil([&] { return TestSupport::FileExists(LogFile(1)); });
    EXPECT_GE(FileSize(LogFile(0)), 262144u);
    EXPECT_LT(FileSize(LogFile(0)), 262144u + 8200u);  // at most one line beyond
    EXPECT_EQ(1u, StoredIndex());
    writeUntil([&] { return TestSupport::FileExists(LogFile(2)); });
    EXPECT_EQ(2u, StoredIndex());
    writeUntil([&] { return StoredIndex() == 0; });
    // 000 was created anew: its old lines are gone.
    EXPECT_EQ(1u, Messages(LogFile(0)).size());
    EXPECT_GE(FileSize(LogFile(2)), 262144u);
    EXPECT_FALSE(TestSupport::FileExists(LogFile(3)));
    const std::vector<unsigned char> first = TestSupport::ReadFileBytes(LogFile(1));
    EXPECT_EQ(std::wstring::npos, Utf16(first, 2).find(L'\xFEFF'));  // one mark, at the start

    // "LastLogIdx" is replaced in place: one header and one value in the file.
    const std::vector<unsigned char> ini = TestSupport::ReadFileBytes(logger_.FolderIniPath());
    const std::string text(ini.begin(), ini.end());
    EXPECT_EQ(0u, text.find("[Config]\r\n_LastLogIdx=48565247"));
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n'));  // section, header, value
    wchar_t value[100] = {};
    ::GetPrivateProfileStringW(kConfigSection, kLastLogIdxKey, L"", value, 100,
                               logger_.FolderIniPath().c_str());
    EXPECT_EQ(10u, wcslen(value));
}

// When "LastLogIdx" cannot be stored (here the folder's log.ini is a folder,
// so it can be neither read nor written), every message finds the full file
// again and rolls over to the same next one: that file is appended to, never
// emptied, so no line is lost.
TEST_F(FileLoggingTest, UnstorableIndexAppendsToTheNextFileInsteadOfEmptyingIt) {
    ASSERT_TRUE(Basalt::CreateDirectoryPath(logger_.LogFolder().c_str()));
    ASSERT_TRUE(::CreateDirectoryW(logger_.FolderIniPath().c_str(), nullptr));
    const std::wstring message(4000, L'x');
    for (int i = 0; i < 200 && !TestSupport::FileExists(LogFile(1)); ++i) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(message));
    }
    ASSERT_TRUE(TestSupport::FileExists(LogFile(1)));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"later"));
    const std::vector<std::wstring> kept = Messages(LogFile(1));
    ASSERT_EQ(4u, kept.size());
    EXPECT_EQ(L"later", kept[3]);
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(LogFile(1));
    EXPECT_EQ(std::wstring::npos, Utf16(bytes, 2).find(L'\xFEFF'));  // one mark, at the start
    EXPECT_FALSE(TestSupport::FileExists(LogFile(2)));
    ::RemoveDirectoryW(logger_.FolderIniPath().c_str());
}

// A level that no line can carry is refused before the file is opened, so
// it never turns the ring over.
TEST_F(FileLoggingTest, UnknownLevelIsRefusedBeforeTheRingTurns) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"old"));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 5));  // beyond the ring
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L"bad", 7));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L"bad", 0));
    EXPECT_EQ(std::vector<std::wstring>{L"old"}, Messages(LogFile(0)));
    EXPECT_EQ(5u, StoredIndex());
}

TEST_F(FileLoggingTest, StoredIndexBeyondTheCountStartsAgainAtZero) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"old"));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 5));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"new"));
    EXPECT_EQ(std::vector<std::wstring>{L"new"}, Messages(LogFile(0)));
    EXPECT_EQ(0u, StoredIndex());
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 0xFFFFFFFF));  // -1
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"again"));
    EXPECT_EQ(std::vector<std::wstring>{L"again"}, Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, DeletedCurrentFileIsCreatedAgainUnderItsNumber) {
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 1));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"a"));
    ASSERT_TRUE(::DeleteFileW(LogFile(1).c_str()));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"b"));
    EXPECT_EQ(std::vector<std::wstring>{L"b"}, Messages(LogFile(1)));
    EXPECT_EQ(1u, StoredIndex());
    EXPECT_FALSE(TestSupport::FileExists(LogFile(0)));
}

TEST_F(FileLoggingTest, PlainLastLogIdxIsNotRead) {
    Basalt::CreateDirectoryPath(logger_.LogFolder().c_str());
    ASSERT_TRUE(::WritePrivateProfileStringW(kConfigSection, kLastLogIdxKey, L"2",
                                             logger_.FolderIniPath().c_str()));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"a"));
    EXPECT_TRUE(TestSupport::FileExists(LogFile(0)));
    EXPECT_FALSE(TestSupport::FileExists(LogFile(2)));
}

TEST_F(FileLoggingTest, UncreatableFolderSilencesTheLoggerUntilStop) {
    // A file where the vendor folder should be: nothing below it can be made.
    ASSERT_TRUE(TestSupport::WriteFileText(folder_ / L"Halvik", "blocks"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L"a"));
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_EQ(10000u, logger_.GetSeverity());
    ASSERT_TRUE(::DeleteFileW((folder_ / L"Halvik").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L"b"));  // still silent
    logger_.Log(kLevelCritical, nullptr, nullptr, 0, L"c");
    EXPECT_FALSE(TestSupport::FileExists(LogFile(0)));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Stop());
    EXPECT_TRUE(logger_.IsEnabled());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"d"));
    EXPECT_EQ(std::vector<std::wstring>{L"d"}, Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, MessageBeforeInitMakesTheLoggerUnusableUntilStop) {
    CLogging logger(shell_);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger.LogMessage(nullptr, nullptr, 0, 1, L"a"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger.LogMessage(nullptr, nullptr, 0, 1, L"b"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Stop());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.Init(L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger.LogMessage(nullptr, nullptr, 0, 1, L"c"));
}

TEST_F(FileLoggingTest, EmptyMessageFailsButChecksTheFolder) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_.LogMessage(nullptr, nullptr, 0, 1, nullptr));
    EXPECT_TRUE(TestSupport::FileExists(logger_.LogFolder()));
    EXPECT_FALSE(TestSupport::FileExists(LogFile(0)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Write(L"bad level", 7));
}

TEST_F(FileLoggingTest, LogFiltersAndCutsWhileLogMessageWritesWhole) {
    const std::wstring long5000(5000, L'y');
    logger_.Log(kLevelWarning, nullptr, nullptr, 0, L"%s", L"filtered");  // 2 < severity 3
    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s %d", L"wide", 7);
    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s", long5000.c_str());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"direct", kLevelWarning));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(long5000));
    logger_.SetEnabled(false);
    logger_.Log(kLevelCritical, nullptr, nullptr, 0, L"disabled");
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"still written"));
    EXPECT_EQ((std::vector<std::wstring>{L"wide 7", long5000.substr(0, 4159), L"direct", long5000,
                                         L"still written"}),
              Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, DebuggerOptionSendsEachLine) {
    ASSERT_TRUE(WriteSetting(logger_.SharedIniPath(), L"Options", 0x01));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Stop());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), logger_.Init(L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"seen"));
    ASSERT_EQ(1u, debug_->lines.size());
    EXPECT_EQ(L"12/08/2026 01:02:03 PM$ -- (Error)$ seen\r\n", debug_->lines[0]);
    EXPECT_EQ(std::vector<std::wstring>{L"12/08/2026 01:02:03 PM$ -- (Error)$ seen"},
              Messages(LogFile(0)));
}

TEST_F(FileLoggingTest, OthersReadWhileTheLoggerWritesAndABlockedFileFailsOneMessage) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"first"));
    Basalt::UniqueHandle reader(::CreateFileW(LogFile(0).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"second"));
    std::vector<unsigned char> bytes(64 * 1024);
    DWORD read = 0;
    ASSERT_TRUE(
        ::ReadFile(reader.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr));
    bytes.resize(read);
    const std::wstring text = Utf16(bytes, 2);
    EXPECT_NE(std::wstring::npos, text.find(L"first\r\n"));
    EXPECT_NE(std::wstring::npos, text.find(L"second\r\n"));
    reader.reset();

    Basalt::UniqueHandle exclusive(::CreateFileW(LogFile(0).c_str(), GENERIC_READ, 0, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(exclusive);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), Write(L"blocked"));
    exclusive.reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Write(L"third"));
    EXPECT_EQ(3u, Messages(LogFile(0)).size());
}

TEST_F(FileLoggingTest, ThreadsLoseNoLineAndTearNone) {
    logger_.SetMaxSize(10485760);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::wstring message =
                    Basalt::FormatString(L"thread %d line %d ", t, i) + std::wstring(200, L'a' + t);
                if (i % 2 == 0) {
                    if (Write(message) != ERROR_SUCCESS) ++failures;
                } else {
                    logger_.Log(kLevelError, nullptr, nullptr, 0, L"%s", message.c_str());
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    const std::vector<std::wstring> messages = Messages(LogFile(0));
    EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), messages.size());
    std::set<std::wstring> distinct;
    for (const std::wstring& message : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, swscanf(message.c_str(), L"thread %d line %d ", &t, &i)) << message;
        EXPECT_EQ(Basalt::FormatString(L"thread %d line %d ", t, i) + std::wstring(200, L'a' + t),
                  message);
        distinct.insert(message);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), distinct.size());
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

}  // namespace
