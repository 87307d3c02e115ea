// One log folder shared by several writers: programs logging at once, the folder's lock
// and what a logger does when that lock's holder dies or never lets go.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/file/FileLogging.h"
#include "logging/file/FolderLock.h"
#include "logging/file/IniReader.h"
#include "tests/logging/file/FileTestSupport.h"
#include "tests/support/ReadyProgram.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using TestSupport::FileExists;
using TestSupport::ReadLogLines;

using FileTestSupport::ReadSetting;
using FileTestSupport::WriteSetting;

constexpr wchar_t kLockFolder[] = L"C:\\ProgramData\\Halvik\\HVLOGS\\RQD\\gatesvc";

TEST(FolderLockName, IsTheSameWhateverTheCaseOrATrailingSeparator) {
    const std::wstring name = FolderLockName(kLockFolder);
    EXPECT_EQ(name, FolderLockName(L"c:\\programdata\\HALVIK\\hvlogs\\rqd\\GATESVC\\"));
    EXPECT_NE(name, FolderLockName(L"C:\\ProgramData\\Halvik\\HVLOGS\\RQD\\gatesvc2"));
}

TEST(FolderLockName, IsAValidObjectNameForAnyFolder) {
    const std::wstring name = FolderLockName(kLockFolder);
    for (const std::wstring& folder :
         {std::wstring(), std::wstring(L"C:\\") + std::wstring(2000, L'\x00E9'), name}) {
        const std::wstring lockName = FolderLockName(folder);
        EXPECT_EQ(0u, lockName.find(L"Global\\"));
        EXPECT_EQ(std::wstring::npos, lockName.find(L'\\', 7)) << lockName;
        EXPECT_LT(lockName.size(), static_cast<size_t>(MAX_PATH));
        CFolderLock lock(folder);
        EXPECT_EQ(CFolderLock::Result::kAcquired, lock.Acquire(0));
        lock.Release();
    }
}

class SharedFolderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(ERROR_SUCCESS, Init(logger_)); }

    DWORD Init(CLogging& logger) { return logger.Init(L"RQD", nullptr, nullptr, nullptr); }

    std::wstring LogFile(DWORD index) {
        return LogFileName(logger_.LogFolder(), logger_.ModuleBaseName(), nullptr, index);
    }

    DWORD Write(const wchar_t* message) {
        return logger_.LogMessage(nullptr, nullptr, 0, kLevelError, message);
    }

    // Holds the log folder's lock on a thread of its own until release_ is signalled; with
    // `abandon` the thread ends still holding it, as a process that dies while it logs.
    void HoldLock(bool abandon) {
        ::ResetEvent(held_.get());
        holder_ = std::thread([this, abandon] {
            Basalt::UniqueKernelHandle mutex(
                ::CreateMutexExW(nullptr, FolderLockName(logger_.LogFolder()).c_str(), 0,
                                 SYNCHRONIZE | MUTEX_MODIFY_STATE));
            ::WaitForSingleObject(mutex.get(), INFINITE);
            ::SetEvent(held_.get());
            if (abandon) return;
            ::WaitForSingleObject(release_.get(), INFINITE);
            ::ReleaseMutex(mutex.get());
        });
        ::WaitForSingleObject(held_.get(), INFINITE);
        if (abandon) holder_.join();
    }

    void ReleaseLock() {
        ::SetEvent(release_.get());
        holder_.join();
    }

    // Appends raw bytes to a log file, as a writer that died in the middle of a line.
    void AppendBytes(const std::wstring& path, const void* bytes, DWORD count) {
        Basalt::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), bytes, count, &written, nullptr));
    }

    TestSupport::ScratchFolder folder_{TestSupport::PerTestFolderName(L"SharedFolder")};
    CLogging logger_{std::make_shared<TestSupport::FolderShell>(folder_.path())};
    Basalt::UniqueKernelHandle held_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Basalt::UniqueKernelHandle release_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread holder_;
};

// A holder that died leaves the lock abandoned: the next logger takes it and starts its
// line on a line of its own, on a character boundary even when the torn write was not.
TEST_F(SharedFolderTest, AbandonedLockIsTakenOverEndingTheTornLine) {
    ASSERT_EQ(ERROR_SUCCESS, Write(L"first"));
    const struct {
        std::string bytes;
        const wchar_t* tornLine;
    } kCases[] = {{std::string("t\0o\0r\0n\0", 8), L"torn"}, {std::string("t\0o", 3), L"to"}};
    std::vector<std::wstring> expected = {L"first"};
    for (const auto& torn : kCases) {
        AppendBytes(LogFile(0), torn.bytes.data(), static_cast<DWORD>(torn.bytes.size()));
        HoldLock(/*abandon=*/true);
        ASSERT_EQ(ERROR_SUCCESS, Write(L"next"));
        expected.push_back(torn.tornLine);
        expected.push_back(L"next");
    }
    EXPECT_EQ(expected, TestSupport::ReadLogMessages(LogFile(0)));
}

// A lock held past the wait: the line still goes to the end of the current file, which
// is full, and neither the next file nor "LastLogIdx" is touched.
TEST_F(SharedFolderTest, LockHeldTooLongKeepsWritingTheCurrentFile) {
    ASSERT_EQ(ERROR_SUCCESS, Write(L"zero"));
    ASSERT_TRUE(WriteSetting(logger_.FolderIniPath(), kLastLogIdxKey, 1));
    ASSERT_EQ(ERROR_SUCCESS, Write(L"one"));
    const std::wstring filler = L"\xFEFF" + std::wstring(140000, L'f') + L"\r\n";
    ASSERT_TRUE(TestSupport::WriteFileBytes(LogFile(1), filler.data(),
                                            filler.size() * sizeof(wchar_t)));  // full
    const std::wstring next = L"\xFEFFkept\r\n";
    ASSERT_TRUE(TestSupport::WriteFileBytes(LogFile(2), next.data(), next.size() * 2));

    HoldLock(/*abandon=*/false);
    EXPECT_EQ(ERROR_SUCCESS, Write(L"waited"));
    ReleaseLock();
    const std::wstring last = ReadLogLines(LogFile(1)).back();
    EXPECT_TRUE(TestSupport::LogLineMessage(last) == L"waited") << last.size();
    EXPECT_EQ(std::vector<std::wstring>{L"kept"}, ReadLogLines(LogFile(2)));
    EXPECT_EQ(1u, ReadSetting(logger_.FolderIniPath(), kLastLogIdxKey));

    ASSERT_EQ(ERROR_SUCCESS, Write(L"after"));  // with the lock the ring turns again
    EXPECT_EQ(std::vector<std::wstring>{L"after"}, TestSupport::ReadLogMessages(LogFile(2)));
    EXPECT_EQ(2u, ReadSetting(logger_.FolderIniPath(), kLastLogIdxKey));
}

// Four programs logging 1,000 numbered lines each into one folder, with rotation and
// without: every line once, whole and in its program's order (so the ring never moved
// back), one byte order mark per file, and the operator's settings still in log.ini.
TEST(FileLoggingProcesses, WritersAtOnceLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kLines = 1000;
    for (DWORD maxSize : {262144ul, 10485760ul}) {
        SCOPED_TRACE(maxSize);
        TestSupport::ScratchFolder data(TestSupport::PerTestFolderName(L"Writers") +
                                        std::to_wstring(maxSize));
        const std::wstring folder = data.path() + L"\\Halvik\\HVLOGS\\RQD\\file_log_writer";
        const std::wstring ini = folder + L"\\log.ini";
        const std::pair<const wchar_t*, DWORD> kSettings[] = {
            {L"MaxEntries", 100}, {L"Severity", 1}, {L"Options", 0x14}, {L"MaxSize", maxSize}};
        for (const auto& setting : kSettings) {
            ASSERT_TRUE(WriteSetting(ini, setting.first, setting.second));
        }

        std::vector<Basalt::UniqueKernelHandle> writers;
        for (int k = 0; k < kWriters; ++k) {
            writers.push_back(TestSupport::StartProgram(Basalt::FormatString(
                L"\"%s\\file_log_writer.exe\" \"%s\" w%d %d", TestSupport::ProgramFolder().c_str(),
                data.path().c_str(), k, kLines)));
            ASSERT_TRUE(writers.back());
        }
        for (const auto& writer : writers) EXPECT_EQ(0, TestSupport::WaitForExit(writer.get()));

        const std::wstring padding(150, L'x');
        std::vector<int> next(kWriters, 0);
        int misplaced = 0;
        DWORD last = 0;
        for (DWORD index = 0; index < 100; ++index) {
            const std::wstring file = LogFileName(folder, L"file_log_writer", nullptr, index);
            if (!FileExists(file)) break;
            last = index;
            size_t marks = 0;
            for (const std::wstring& line : ReadLogLines(file, &marks)) {
                const std::wstring message = TestSupport::LogLineMessage(line);
                int k = -1;
                int n = -1;
                if (swscanf(message.c_str(), L"w%d %d", &k, &n) == 2 && k >= 0 && k < kWriters &&
                    n == next[k] && message == Basalt::FormatString(L"w%d %06d ", k, n) + padding) {
                    ++next[k];
                } else if (++misplaced < 5) {
                    ADD_FAILURE() << "torn, doubled or out of order: "
                                  << testing::PrintToString(line);
                }
            }
            EXPECT_EQ(1u, marks) << index;
        }
        EXPECT_EQ(0, misplaced);
        EXPECT_EQ(std::vector<int>(kWriters, kLines), next);
        if (maxSize == 262144) {
            EXPECT_GE(last, 3u);
        }
        for (const auto& setting : kSettings) {
            EXPECT_EQ(setting.second, ReadSetting(ini, setting.first)) << setting.first;
        }
        if (last > 0) {
            EXPECT_EQ(last, ReadSetting(ini, kLastLogIdxKey));
        }
    }
}

// Whatever another user does with the lock's name (creates it first as a mutex, with the
// framework's security or none that lets anyone in, or as an event, or holds the mutex),
// a logger beside it loses no line, no file grows past twice MaxSize, the ring still
// turns, and the lock that cannot be had is reported once, as debugger output.
TEST(FileLoggingProcesses, SquattedLockLosesNothingAndKeepsTheRingTurning) {
    constexpr DWORD kMaxSize = 262144;
    constexpr int kLines = 800;  // about 240 lines of 2 KiB fill a file without the lock
    const struct {
        const wchar_t* mode;
        const wchar_t* reason;  // in the report
    } kSquatters[] = {{L"hold", L"held it"},
                      {L"mutex", L"held it"},
                      {L"empty-dacl", L"error 5"},
                      {L"event", L"error 6"}};
    for (const auto& squatter : kSquatters) {
        SCOPED_TRACE(squatter.mode);
        TestSupport::ScratchFolder data(TestSupport::PerTestFolderName(L"Squatted") +
                                        squatter.mode);
        auto debug = std::make_shared<TestSupport::RecordingDebugOutput>();
        CLogging logger(std::make_shared<TestSupport::FolderShell>(data.path()), nullptr, debug);
        ASSERT_EQ(ERROR_SUCCESS, logger.Init(L"RQD", nullptr, nullptr, nullptr));
        const std::wstring folder = logger.LogFolder();
        const std::wstring ini = logger.FolderIniPath();
        const std::wstring module = logger.ModuleBaseName();
        logger.Stop();
        ASSERT_TRUE(WriteSetting(ini, L"MaxSize", kMaxSize));
        ASSERT_TRUE(WriteSetting(ini, L"MaxEntries", 20));  // nothing is overwritten

        Basalt::UniqueKernelHandle squatting = TestSupport::StartProgramUntilOutput(
            Basalt::FormatString(L"\"%s\\squat_lock.exe\" \"%s\" %s 120",
                                 TestSupport::ProgramFolder().c_str(), folder.c_str(),
                                 squatter.mode),
            "ready");
        ASSERT_TRUE(squatting);
        ASSERT_EQ(ERROR_SUCCESS, logger.Init(L"RQD", nullptr, nullptr, nullptr));
        const std::wstring padding(1000, L'x');
        for (int i = 0; i < kLines; ++i) {
            const std::wstring message = Basalt::FormatString(L"s%06d ", i) + padding;
            ASSERT_EQ(ERROR_SUCCESS,
                      logger.LogMessage(nullptr, nullptr, 0, kLevelError, message.c_str()));
        }
        logger.Stop();
        ::TerminateProcess(squatting.get(), 0);
        ::WaitForSingleObject(squatting.get(), INFINITE);

        int next = 0;
        DWORD last = 0;
        for (DWORD index = 0; FileExists(LogFileName(folder, module, nullptr, index)); ++index) {
            const std::wstring file = LogFileName(folder, module, nullptr, index);
            last = index;
            EXPECT_LE(TestSupport::ReadFileBytes(file).size(), 2u * kMaxSize) << index;
            for (const std::wstring& message : TestSupport::ReadLogMessages(file)) {
                ASSERT_EQ(Basalt::FormatString(L"s%06d ", next) + padding, message);
                ++next;
            }
        }
        EXPECT_EQ(kLines, next);
        EXPECT_GE(last, 2u);  // turned at least twice
        ASSERT_EQ(1u, debug->lines.size());
        EXPECT_NE(std::wstring::npos, debug->lines[0].find(squatter.reason)) << debug->lines[0];
    }
}

// A log.ini saved with a byte order mark while a ring of three files stands at 002: one
// program writes while it is damaged, another after it is repaired. The damaged file is
// left as it was, the lines go to the newest file, and after the repair the ring goes on
// from there: the newest lines of before, and every line since, are all kept.
TEST(FileLoggingProcesses, DamagedLogIniLosesNoLineBeforeOrAfterItsRepair) {
    TestSupport::ScratchFolder data(TestSupport::PerTestFolderName(L"Damaged"));
    const std::wstring folder = data.path() + L"\\Halvik\\HVLOGS\\RQD\\file_log_writer";
    const std::wstring ini = folder + L"\\log.ini";
    ASSERT_TRUE(WriteSetting(ini, L"MaxEntries", 3));
    auto run = [&](const wchar_t* tag, int lines) {
        return TestSupport::RunProgram(Basalt::FormatString(
            L"\"%s\\file_log_writer.exe\" \"%s\" %s %d", TestSupport::ProgramFolder().c_str(),
            data.path().c_str(), tag, lines));
    };
    ASSERT_EQ(0, run(L"a", 1600));
    ASSERT_EQ(2u, ReadSetting(ini, kLastLogIdxKey));
    const std::vector<unsigned char> sound = TestSupport::ReadFileBytes(ini);
    const std::string damaged = "\xEF\xBB\xBF" + std::string(sound.begin(), sound.end());
    ASSERT_TRUE(TestSupport::WriteFileText(ini, damaged));

    ASSERT_EQ(0, run(L"b", 5));
    const std::vector<unsigned char> after = TestSupport::ReadFileBytes(ini);
    EXPECT_EQ(damaged, std::string(after.begin(), after.end()));  // nothing stored into it
    const std::wstring newest = LogFileName(folder, L"file_log_writer", nullptr, 2);
    EXPECT_EQ(0u, TestSupport::ReadLogMessages(newest).back().find(L"b 000004 "));

    ASSERT_TRUE(TestSupport::WriteFileBytes(ini, sound.data(), sound.size()));  // repaired
    ASSERT_EQ(0, run(L"c", 400));
    std::set<std::wstring> seen;
    for (DWORD index = 0; index < 3; ++index) {
        for (const std::wstring& message : TestSupport::ReadLogMessages(
                 LogFileName(folder, L"file_log_writer", nullptr, index))) {
            seen.insert(message.substr(0, 9));
        }
    }
    for (int i = 1400; i < 1600; ++i)
        EXPECT_EQ(1u, seen.count(Basalt::FormatString(L"a %06d ", i)));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(1u, seen.count(Basalt::FormatString(L"b %06d ", i)));
    for (int i = 0; i < 400; ++i) EXPECT_EQ(1u, seen.count(Basalt::FormatString(L"c %06d ", i)));
    EXPECT_EQ(0u, ReadSetting(ini, kLastLogIdxKey));  // on from 002 to 000, never back
}

}  // namespace
