// The file logger's write path. First where one message's time goes, step by
// step (FileLogProfile.cpp). Then the logger through CLogFacade::Log against
// the earlier message path (bench/reference) and the I/O floor. Every message
// re-reads the folder's log.ini, looks the current file up, opens it, appends
// one line and closes it, under the log folder's lock; the floor does exactly
// that I/O with the same bytes and nothing else, without the lock. All run in
// a scratch program data folder under the temporary folder, alternately, and
// the best of several rounds is reported.
//
// Then the same folder shared: this program started as 1 and as 4 workers
// (`file_log_bench --worker FOLDER COUNT`), which log at once from a common
// start signal; their combined messages per second are compared.
//
// Last, one logger beside a program that takes its folder's lock name
// (squat_lock.exe, built with the tests, beside this program) in each of its
// modes, against the same logger alone: messages per second from Init to
// Stop, so that the wait that finds the lock unavailable counts too, and of
// the messages alone, once that wait is behind.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "bench/BenchSupport.h"
#include "bench/FileLogProfile.h"
#include "bench/reference/ReferenceFileLogging.h"
#include "logging/LogFacade.h"
#include "logging/file/FileLogging.h"
#include "logging/file/IniReader.h"
#include "tests/support/ReadyProgram.h"

namespace {

constexpr unsigned long kIterations = 1000;
constexpr unsigned long kWorkerMessages = 1500;
constexpr int kWorkers = 4;
constexpr unsigned long kSquatMessages = 2000;
// Runs of each, alternating: the best counts, the machine being shared.
constexpr int kSquatRounds = 5;
// What squat_lock.exe does with the lock's name; none for the logger alone.
constexpr const wchar_t* kSquatModes[] = {nullptr, L"hold", L"mutex", L"empty-dacl", L"event"};
constexpr wchar_t kReadyName[] = L"Local\\FileLogBenchReady";
constexpr wchar_t kStartName[] = L"Local\\FileLogBenchStart";
constexpr int kRepeats = 5;
constexpr int kCompareRounds = 25;
constexpr unsigned long kCompareIterations = 200;
constexpr DWORD kIniBytes = 4096;
// A message of 138 characters, as a format and its arguments and as the text they give.
constexpr wchar_t kMessageFormat[] =
    L"Copy file to %s failed from %s. Try to delay copy until reboot";
constexpr wchar_t kMessageTarget[] = L"C:\\Windows\\System32\\drivers\\BulwarkK.sys";
constexpr wchar_t kMessageSource[] = L"C:\\Program Files\\Halvik\\Gsv\\BulwarkK.sys";
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

// The shared folder's logger of one worker: the same group and module for all.
DWORD InitLogger(ETWLogging::CLogging& logger) {
    const DWORD code = logger.Init(L"RQD", nullptr, nullptr, nullptr);
    logger.SetMaxSize(10485760);  // no rollover inside the measurement
    return code;
}

// One worker: ready, wait for the start, log `count` messages.
int RunWorker(const std::wstring& folder, unsigned long count) {
    ETWLogging::CLogging logger(std::make_shared<FolderShell>(folder));
    if (InitLogger(logger) != ERROR_SUCCESS) return 1;
    Basalt::UniqueKernelHandle ready(::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kReadyName));
    Basalt::UniqueKernelHandle start(::OpenEventW(SYNCHRONIZE, FALSE, kStartName));
    if (!ready || !start) return 1;
    ::ReleaseSemaphore(ready.get(), 1, nullptr);
    ::WaitForSingleObject(start.get(), INFINITE);
    unsigned long failed = 0;
    for (unsigned long i = 0; i < count; ++i) {
        if (logger.LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage) != 0) {
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}

// Messages per second of `workers` copies of this program logging at once into
// one folder, from the moment all are ready; 0 when one failed.
double SharedRate(const std::wstring& folder, int workers) {
    Basalt::UniqueKernelHandle ready(::CreateSemaphoreW(nullptr, 0, workers, kReadyName));
    Basalt::UniqueKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, kStartName));
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<Basalt::UniqueKernelHandle> processes;
    for (int i = 0; i < workers; ++i) {
        std::wstring line = Basalt::FormatString(L"\"%s\" --worker \"%s\" %lu", self,
                                                 folder.c_str(), kWorkerMessages);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process)) {
            return 0;
        }
        Basalt::UniqueKernelHandle thread(process.hThread);
        processes.emplace_back(process.hProcess);
    }
    for (int i = 0; i < workers; ++i) ::WaitForSingleObject(ready.get(), INFINITE);
    LARGE_INTEGER frequency, begin, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    ::SetEvent(start.get());
    bool succeeded = true;
    for (const auto& process : processes) {
        DWORD code = 1;
        ::WaitForSingleObject(process.get(), INFINITE);
        succeeded = succeeded && ::GetExitCodeProcess(process.get(), &code) && code == 0;
    }
    ::QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - begin.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    return succeeded ? workers * static_cast<double>(kWorkerMessages) / seconds : 0;
}

// The folder of this program.
std::wstring ProgramFolder() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder = self;
    return folder.substr(0, folder.rfind(L'\\'));
}

// Messages per second of one logger.
struct Rates {
    double whole = 0;     // from Init to Stop
    double messages = 0;  // from the first message to the last
};

double Seconds(const LARGE_INTEGER& begin, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - begin.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// The rates of one logger of a fresh folder below `folder` while squat_lock.exe
// holds the lock's name as `mode` says (none: alone); 0 when the squatter did
// not start or a message failed.
Rates SquattedRates(const std::wstring& folder, const wchar_t* mode) {
    const std::wstring data = folder + L"\\squat-" + (mode != nullptr ? mode : L"none");
    ETWLogging::CLogging logger(std::make_shared<FolderShell>(data));
    if (InitLogger(logger) != ERROR_SUCCESS) return {};
    const std::wstring logFolder = logger.LogFolder();
    Basalt::CreateDirectoryPath(logFolder.c_str());
    Basalt::CObfuscatedIniReader reader;
    reader.Load(logger.FolderIniPath());
    reader.SetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, 0);
    logger.Stop();

    Basalt::UniqueKernelHandle squatter;
    if (mode != nullptr) {
        squatter = TestSupport::StartProgramUntilOutput(
            Basalt::FormatString(L"\"%s\\squat_lock.exe\" \"%s\" %s 600", ProgramFolder().c_str(),
                                 logFolder.c_str(), mode),
            "ready");
        if (!squatter) return {};
    }
    LARGE_INTEGER begin, first, last, end;
    ::QueryPerformanceCounter(&begin);
    bool succeeded = InitLogger(logger) == ERROR_SUCCESS;
    ::QueryPerformanceCounter(&first);
    for (unsigned long i = 0; succeeded && i < kSquatMessages; ++i) {
        succeeded = logger.LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage) == 0;
    }
    ::QueryPerformanceCounter(&last);
    logger.Stop();
    ::QueryPerformanceCounter(&end);
    if (squatter) {
        ::TerminateProcess(squatter.get(), 0);
        ::WaitForSingleObject(squatter.get(), INFINITE);
    }
    RemoveFiles(data);
    ::RemoveDirectoryW(data.c_str());
    if (!succeeded) return {};
    return {kSquatMessages / Seconds(begin, end), kSquatMessages / Seconds(first, last)};
}

}  // namespace

int main() {
    int argc = 0;
    Basalt::UniqueLocal argvOwner(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    wchar_t** argv = static_cast<wchar_t**>(argvOwner.get());
    if (argc == 4 && wcscmp(argv[1], L"--worker") == 0) {
        return RunWorker(argv[2], wcstoul(argv[3], nullptr, 10));
    }
    const std::wstring folder = ScratchFolder();
    Bench::PrintFileLogProfile(folder + L"\\profile",
                               {kMessageFormat, kMessageTarget, kMessageSource, kMessage});

    // The logger and the earlier path, each behind a facade of its own, log
    // into one folder: the same log.ini, the same ring file.
    auto* logger = new ETWLogging::CLogging(std::make_shared<FolderShell>(folder));
    auto* reference = new Reference::CReferenceLogging(std::make_shared<FolderShell>(folder));
    ETWLogging::CLogFacade facade;
    ETWLogging::CLogFacade referenceFacade;
    facade.SetLogger(std::unique_ptr<ETWLogging::CLoggingIf>(logger));
    referenceFacade.SetLogger(std::unique_ptr<ETWLogging::CLoggingIf>(reference));
    if (InitLogger(*logger) != ERROR_SUCCESS ||
        reference->Init(L"RQD", nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    reference->SetMaxSize(10485760);
    // The first message makes the folder and file 000; a stored index makes
    // every message read and decipher log.ini, as in a long-running program.
    logger->LogMessage(L"gatesvc", L"InstallHipsDriverFile", 136, 3, kMessage);
    Basalt::CObfuscatedIniReader reader;
    reader.Load(logger->FolderIniPath());
    reader.SetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, 0);

    const std::wstring line = L"12/08/2026 01:02:03 AM$ -- (Information)$ [    gatesvc.exe]$ " +
                              std::wstring(kMessage) + L"\r\n";
    const std::wstring logPath =
        ETWLogging::LogFileName(logger->LogFolder(), logger->ModuleBaseName(), nullptr, 0);
    Floor floor(logger->FolderIniPath(), logPath, line);

    auto logThrough = [](ETWLogging::CLogFacade& through) {
        through.Log(3, L"gatesvc", L"InstallHipsDriverFile", 136, kMessageFormat, kMessageTarget,
                    kMessageSource);
    };
    // Short rounds, alternating which goes first, so that the load of a
    // shared machine falls on both alike: the best round of each, and the
    // median of the rounds' ratios.
    double bestLogger = 1e30;
    double bestReference = 1e30;
    double bestFloor = 1e30;
    std::vector<double> ratios;
    for (int round = 0; round < kCompareRounds; ++round) {
        double referenceRound = 0;
        double loggerRound = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + round) % 2 == 0) {
                referenceRound = Bench::NanosecondsPerCall(kCompareIterations,
                                                           [&] { logThrough(referenceFacade); });
            } else {
                loggerRound =
                    Bench::NanosecondsPerCall(kCompareIterations, [&] { logThrough(facade); });
            }
        }
        bestReference = std::min(bestReference, referenceRound);
        bestLogger = std::min(bestLogger, loggerRound);
        ratios.push_back(loggerRound / referenceRound);
        bestFloor = std::min(
            bestFloor, Bench::NanosecondsPerCall(kCompareIterations, [&] { floor.WriteOne(); }));
    }
    std::sort(ratios.begin(), ratios.end());
    const double medianRatio = ratios[ratios.size() / 2];
    const double allocations = Bench::AllocationsPerCall(kIterations, [&] { logThrough(facade); });
    const double referenceAllocations =
        Bench::AllocationsPerCall(kIterations, [&] { logThrough(referenceFacade); });
    printf("\nCLogFacade::Log, a %u-character message:\n", static_cast<unsigned>(wcslen(kMessage)));
    printf("earlier path: %5.0f messages/s (%6.1f us each, %4.1f heap allocations)\n",
           1e9 / bestReference, bestReference / 1000.0, referenceAllocations);
    printf("logger:       %5.0f messages/s (%6.1f us each, %4.1f heap allocations)\n",
           1e9 / bestLogger, bestLogger / 1000.0, allocations);
    printf("I/O floor:    %5.0f messages/s (%6.1f us each)\n", 1e9 / bestFloor, bestFloor / 1000.0);
    printf(
        "ratio:        %.2fx the earlier path's cost, median of %d rounds (best rounds: %.2fx; "
        "target at most 0.5x, 4 allocations); %.2fx the floor's\n",
        medianRatio, kCompareRounds, bestLogger / bestReference, bestLogger / bestFloor);
    logger->Stop();
    reference->Stop();
    // --one: the profile and the comparison alone.
    if (argc == 2 && wcscmp(argv[1], L"--one") == 0) {
        RemoveFiles(folder);
        ::RemoveDirectoryW(folder.c_str());
        return 0;
    }

    double bestOne = 0;
    double bestShared = 0;
    for (int round = 0; round < 3; ++round) {
        bestOne = std::max(bestOne, SharedRate(folder, 1));
        bestShared = std::max(bestShared, SharedRate(folder, kWorkers));
    }
    printf("1 process:  %.0f messages/s\n", bestOne);
    printf(
        "%d processes at once: %.0f messages/s combined, %.2fx one process (target at least "
        "0.8x)\n",
        kWorkers, bestShared, bestOne > 0 ? bestShared / bestOne : 0.0);

    constexpr size_t kModes = sizeof(kSquatModes) / sizeof(kSquatModes[0]);
    Rates best[kModes];
    for (int round = 0; round < kSquatRounds; ++round) {
        for (size_t mode = 0; mode < kModes; ++mode) {
            const Rates rates = SquattedRates(folder, kSquatModes[mode]);
            best[mode].whole = std::max(best[mode].whole, rates.whole);
            best[mode].messages = std::max(best[mode].messages, rates.messages);
        }
    }
    printf("one logger, %lu messages: Init to Stop; the messages alone\n", kSquatMessages);
    printf("no squatter:         %5.0f messages/s;       %5.0f messages/s\n", best[0].whole,
           best[0].messages);
    for (size_t mode = 1; mode < kModes; ++mode) {
        const auto ratio = [](double rate, double alone) { return alone > 0 ? rate / alone : 0.0; };
        printf(
            "squatter %-11ls %5.0f messages/s, %.2fx; %5.0f messages/s, %.2fx (target at least "
            "0.5x)\n",
            kSquatModes[mode], best[mode].whole, ratio(best[mode].whole, best[0].whole),
            best[mode].messages, ratio(best[mode].messages, best[0].messages));
    }
    RemoveFiles(folder);
    ::RemoveDirectoryW(folder.c_str());
    return 0;
}
