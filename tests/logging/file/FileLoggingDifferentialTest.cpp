// The logger and the earlier message path (bench/reference) through one
// scripted sequence each, in folders of their own: they must leave the same
// files, byte for byte but for the time of each line.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "bench/reference/ReferenceFileLogging.h"
#include "logging/file/FileLogging.h"
#include "tests/support/TestSupport.h"

namespace {

using TestSupport::ProgramFolder;
using TestSupport::RunProgram;

// The module name of this program's loggers: the second process runs under it too.
constexpr wchar_t kModule[] = L"file_logging_differential_test";
// Lines of about 6 KB: 256 KiB files turn over every 40 or so.
constexpr size_t kPadding = 3000;
// Where each line's time stands: "MM/DD/YYYY hh:mm:ss AM".
constexpr size_t kTimeChars = 22;

class Sequence {
  public:
    Sequence(const wchar_t* group, bool reference)
        : group_(group), reference_(reference), folder_(TestSupport::LogRoot() + L"\\" + group) {
        TestSupport::RemoveTree(folder_);
    }
    ~Sequence() { TestSupport::RemoveTree(folder_); }

    std::wstring ModuleFolder() const { return folder_ + L"\\" + kModule; }

    // This process's logger, of the path under test.
    void Start() {
        if (reference_) {
            logger_ = std::make_unique<Reference::CReferenceLogging>();
        } else {
            logger_ = std::make_unique<ETWLogging::CLogging>();
        }
        ASSERT_EQ(0u, logger_->Init(group_, nullptr, nullptr, nullptr));
    }
    void Stop() { logger_.reset(); }

    void Log(const wchar_t* step, int count) {
        const std::wstring padding(kPadding, L'y');
        for (int i = 0; i < count; ++i) {
            const std::wstring message = Basalt::FormatString(L"%s %04d ", step, i) + padding;
            EXPECT_EQ(0u, logger_->LogMessage(L"Differential.cpp", L"Log", i,
                                              ETWLogging::kLevelError, message.c_str()))
                << step << " " << i;
        }
    }

    // Another process of the same module name, of the same path, logging `count` lines.
    void LogFromAnotherProcess(const wchar_t* tag, int count) {
        const std::wstring writer = WriterUnderModuleName();
        ASSERT_EQ(0, RunProgram(Basalt::FormatString(
                         L"\"%s\" - %s %d %s %lu%s", writer.c_str(), tag, count, group_,
                         static_cast<unsigned long>(kPadding), reference_ ? L" reference" : L"")));
    }

    void Tool(const std::wstring& arguments) {
        ASSERT_EQ(0, RunProgram(L"\"" + ProgramFolder() + L"\\hvlogcfg.exe\" " + arguments +
                                L" --group " + group_ + L" --module " + kModule));
    }

  private:
    // The test writer copied under this program's module name, so that it logs into the
    // same folder.
    std::wstring WriterUnderModuleName() {
        const std::wstring copy = writerFolder_ / (std::wstring(kModule) + L".exe");
        if (!TestSupport::FileExists(copy)) {
            EXPECT_TRUE(::CopyFileW((ProgramFolder() + L"\\file_log_writer.exe").c_str(),
                                    copy.c_str(), TRUE));
        }
        return copy;
    }

    const wchar_t* group_;
    bool reference_;
    std::wstring folder_;
    std::unique_ptr<ETWLogging::CLoggingIf> logger_;
    TestSupport::ScratchFolder writerFolder_{TestSupport::PerTestFolderName(L"writer")};
};

// Messages, turn-overs, a setting changed by the operator tool, a second process turning
// the ring, the folder deleted underneath, log.ini held unreadable, and a log.ini in a form
// the reader cannot see into.
void RunScript(Sequence& sequence) {
    sequence.Start();
    sequence.Log(L"first", 100);
    sequence.Tool(L"set file MaxEntries 2");
    sequence.LogFromAnotherProcess(L"second", 120);
    sequence.Log(L"after", 60);
    TestSupport::RemoveTree(sequence.ModuleFolder());
    sequence.Log(L"deleted", 60);
    {
        // Open without sharing: log.ini cannot be read while these lines are written.
        const std::wstring ini = sequence.ModuleFolder() + L"\\log.ini";
        Basalt::UniqueHandle held(::CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(held) << ::GetLastError();
        sequence.Log(L"held", 60);
    }
    sequence.Log(L"released", 60);
    {
        // Saved as UTF-16, as a text editor may: the reader finds no index there.
        std::wstring text = L"\xFEFF[Config]\r\nLastLogIdx=1\r\n";
        EXPECT_TRUE(TestSupport::WriteFileBytes(sequence.ModuleFolder() + L"\\log.ini", text.data(),
                                                text.size() * sizeof(wchar_t)));
    }
    sequence.Log(L"utf16", 50);
    sequence.Stop();
    sequence.LogFromAnotherProcess(L"last", 60);
}

// The files of a folder by name, each line's time blanked in the log files.
std::vector<std::pair<std::wstring, std::vector<unsigned char>>> FolderFiles(
    const std::wstring& folder) {
    std::vector<std::pair<std::wstring, std::vector<unsigned char>>> files;
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return files;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::vector<unsigned char> bytes =
            TestSupport::ReadFileBytes(folder + L"\\" + data.cFileName);
        const std::wstring name = data.cFileName;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".log") == 0) {
            // Each line starts after the byte order mark or after a CR LF.
            for (size_t at = 0; at + 2 * kTimeChars <= bytes.size(); at += 2) {
                const bool starts =
                    at == 2 || (at >= 4 && bytes[at - 4] == '\r' && bytes[at - 3] == 0 &&
                                bytes[at - 2] == '\n' && bytes[at - 1] == 0);
                if (starts) std::fill(bytes.begin() + at, bytes.begin() + at + 2 * kTimeChars, 0);
            }
        }
        files.emplace_back(name, std::move(bytes));
    } while (::FindNextFileW(find.get(), &data));
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FileLoggingDifferentialTest, TheEarlierPathAndTheLoggerLeaveTheSameFiles) {
    Sequence reference(L"DiffReference", /*reference=*/true);
    Sequence logger(L"DiffLogger", /*reference=*/false);
    RunScript(reference);
    RunScript(logger);
    const auto expected = FolderFiles(reference.ModuleFolder());
    const auto actual = FolderFiles(logger.ModuleFolder());
    // The script reached what it is for: a turned ring and its log.ini.
    ASSERT_GE(expected.size(), 3u);
    EXPECT_EQ(L"log.ini", expected.back().first);
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, actual[i].first);
        EXPECT_TRUE(expected[i].second == actual[i].second)
            << std::string(expected[i].first.begin(), expected[i].first.end()) << ": "
            << expected[i].second.size() << " and " << actual[i].second.size() << " bytes";
    }
}

}  // namespace
