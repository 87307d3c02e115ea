// The file logger's write path against its I/O floor. Every message re-reads
// the folder's log.ini, looks the current file up, opens it, appends one line
// and closes it; the floor does exactly that I/O with the same bytes and
// nothing else. Both run in a scratch program data folder under the
// temporary folder, alternately, and the best of several rounds is reported.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <memory>
#include <string>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "bench/BenchSupport.h"
#include "logging/file/FileLogging.h"
#include "logging/file/IniReader.h"

namespace {

constexpr unsigned long kIterations = 1000;
constexpr int kRepeats = 5;
constexpr DWORD kIniBytes = 4096;
constexpr wchar_t kMessage[] =
    L"Copy file to C:\\Windows\\System32\\drivers\\BulwarkK.sys failed from "
    L"C:\\Program Files\\Halvik\\Gsv\\BulwarkK.sys. Try to delay copy until reboot";

class FolderShell : public Basalt::ShlObjAPI {
  public:
    explicit FolderShell(std::wstring folder) : folder_(std::move(folder)) {}
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override {
        const size_t bytes = (folder_.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        memcpy(*path, folder_.c_str(), bytes);
        return S_OK;
    }

  private:
    std::wstring folder_;
};

// The I/O of one message and nothing else: read log.ini, find the file, open
// it with the logger's sharing, append the line, close.
class Floor {
  public:
    Floor(std::wstring iniPath, std::wstring logPath, std::wstring line)
        : iniPath_(std::move(iniPath)), logPath_(std::move(logPath)), line_(std::move(line)) {}

    void WriteOne() {
        char ini[kIniBytes];
        DWORD read = 0;
        {
            Basalt::UniqueHandle file(::CreateFileW(iniPath_.c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ::ReadFile(file.get(), ini, sizeof(ini), &read, nullptr);
        }
        WIN32_FIND_DATAW data;
        Basalt::UniqueFindHandle find(::FindFirstFileW(logPath_.c_str(), &data));
        Basalt::UniqueHandle log(::CreateFileW(logPath_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ::SetFilePointer(log.get(), 0, nullptr, FILE_END);
        DWORD written = 0;
        ::WriteFile(log.get(), line_.data(), static_cast<DWORD>(line_.size() * sizeof(wchar_t)),
                    &written, nullptr);
    }

  private:
    std::wstring iniPath_;
    std::wstring logPath_;
    std::wstring line_;
};

std::wstring ScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        Basalt::FormatString(L"%sFileLogBench%lu", temp, ::GetCurrentProcessId());
    Basalt::CreateDirectoryPath(folder.c_str());
    return folder;
}

void RemoveFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveFiles(path);
            ::RemoveDirectoryW(path.c_str());
        } else {
            ::DeleteFileW(path.c_str());
        }
    } while (::FindNextFileW(find.get(), &data));
}

}  // namespace

int main() {
    const std::wstring folder = ScratchFolder();
    ETWLogging::CLogging logger(std::make_shared<FolderShell>(folder));
    if (logger.Init(L"RQD", nullptr, nullptr, nullptr) != ERROR_SUCCESS) return 1;
    logger.SetMaxSize(10485760);  // no rollover inside the measurement
    // The first message makes the folder and file 000; a stored index makes
    // every message read and decipher log.ini, as in a long-running program.
    logger.LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage);
    Basalt::CObfuscatedIniReader reader;
    reader.Load(logger.FolderIniPath());
    reader.SetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, 0);

    const std::wstring line = L"12/08/2026 01:02:03 AM$ -- (Information)$ [    gatesvc.exe]$ " +
                              std::wstring(kMessage) + L"\r\n";
    const std::wstring logPath =
        ETWLogging::LogFileName(logger.LogFolder(), logger.ModuleBaseName(), nullptr, 0);
    Floor floor(logger.FolderIniPath(), logPath, line);

    double bestLogger = 1e30;
    double bestFloor = 1e30;
    for (int round = 0; round < kRepeats; ++round) {
        bestLogger =
            std::min(bestLogger, Bench::NanosecondsPerCall(kIterations, [&] {
                         logger.LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage);
                     }));
        bestFloor =
            std::min(bestFloor, Bench::NanosecondsPerCall(kIterations, [&] { floor.WriteOne(); }));
    }
    const double allocations = Bench::AllocationsPerCall(kIterations, [&] {
        logger.LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage);
    });
    printf("LogMessage: %.0f messages/s (%.1f us each, %.1f heap allocations)\n", 1e9 / bestLogger,
           bestLogger / 1000.0, allocations);
    printf("I/O floor:  %.0f messages/s (%.1f us each)\n", 1e9 / bestFloor, bestFloor / 1000.0);
    printf("ratio:      %.2fx the floor's cost per message (target at most 1.5x)\n",
           bestLogger / bestFloor);
    logger.Stop();
    RemoveFiles(folder);
    ::RemoveDirectoryW(folder.c_str());
    return 0;
}
