#include "bench/FileLogProfile.h"

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "basalt/FileChecks.h"
#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "bench/BenchSupport.h"
#include "bench/reference/ReferenceFileLogging.h"
#include "logging/file/FileLogging.h"
#include "logging/file/FolderLock.h"
#include "logging/file/IniChange.h"
#include "logging/file/IniReader.h"
#include "logging/LogFacade.h"
#include "logging/file/LineFormat.h"

namespace Bench {
namespace {

constexpr unsigned long kStepIterations = 300;
constexpr int kStepRounds = 9;
constexpr unsigned long kStoreIterations = 40;

struct StepFigures {
    double microseconds = 0;  // the best round
    double allocations = 0;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Each round of two ways of one step, run alternately so that the load of a
// shared machine falls on both alike.
template <typename Earlier, typename Now>
void MeasureRounds(unsigned long iterations, Earlier&& earlier, Now&& now,
                   std::vector<double>& earlierRounds, std::vector<double>& nowRounds) {
    for (int round = 0; round < kStepRounds; ++round) {
        earlierRounds.push_back(NanosecondsPerCall(iterations, earlier) / 1000.0);
        nowRounds.push_back(NanosecondsPerCall(iterations, now) / 1000.0);
    }
}

// Both ways' median round and allocations.
template <typename Earlier, typename Now>
std::pair<StepFigures, StepFigures> MeasurePair(unsigned long iterations, Earlier&& earlier,
                                                Now&& now) {
    std::vector<double> earlierRounds;
    std::vector<double> nowRounds;
    MeasureRounds(iterations, earlier, now, earlierRounds, nowRounds);
    return {{Median(earlierRounds), AllocationsPerCall(iterations, earlier)},
            {Median(nowRounds), AllocationsPerCall(iterations, now)}};
}

template <typename Body>
StepFigures Measure(unsigned long iterations, Body&& body) {
    return MeasurePair(iterations, body, body).first;
}

StepFigures Minus(const StepFigures& whole, const StepFigures& part) {
    return {std::max(0.0, whole.microseconds - part.microseconds),
            whole.allocations - part.allocations};
}

// A row: the step, its wine server requests (negative: not counted), the earlier path's
// figures (negative: not measured) and the logger's.
void PrintRow(const char* step, int requests, const StepFigures& earlier, const StepFigures& now) {
    char count[8] = "-";
    if (requests >= 0) snprintf(count, sizeof(count), "%d", requests);
    char before[32] = "      - |     -";
    if (earlier.microseconds >= 0) {
        snprintf(before, sizeof(before), "%7.1f | %5.0f", earlier.microseconds,
                 earlier.allocations);
    }
    printf("| %-56s | %3s | %s | %7.1f | %5.0f |\n", step, count, before, now.microseconds,
           now.allocations);
}

// The facade's formatting of a plain logger's message, as the earlier path had it.
std::wstring FacadeText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = Basalt::FormatStringV(format, args);
    va_end(args);
    return text;
}

// The same on the stack, as the facade has it now.
int FacadeTextOnStack(const wchar_t* format, ...) {
    wchar_t text[ETWLogging::kFacadeCutTrigger + 1];
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = ::_vscwprintf(format, measure);
    va_end(measure);
    const int written =
        length > static_cast<int>(ETWLogging::kFacadeCutTrigger)
            ? -1
            : ::_vsnwprintf_s(text, ETWLogging::kFacadeCutTrigger + 1, _TRUNCATE, format, args);
    va_end(args);
    return written;
}

}  // namespace

void PrintFileLogProfile(const std::wstring& programData, const ProfileMessage& message) {
    ETWLogging::FileLoggerPaths paths;
    if (ETWLogging::ComputeFileLoggerPaths(programData, L"RQD", L"file_log_bench", paths) !=
        ERROR_SUCCESS) {
        return;
    }
    Basalt::CreateDirectoryPath(programData.c_str());
    Basalt::CFolderChain chain;
    std::wstring folderFinal;
    std::wstring failedAt;
    if (chain.Open(paths.programData, paths.folderLevels, /*create=*/true, folderFinal, failedAt) !=
        ERROR_SUCCESS) {
        printf("profile: the log folder cannot be made\n");
        return;
    }
    {
        Basalt::CObfuscatedIniReader reader;
        reader.Load(paths.folderIniPath);
        reader.SetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, 0);
    }
    const std::wstring ringPath =
        Reference::ReferenceLogFileName(paths.logFolder, L"file_log_bench", nullptr, 0);
    const std::wstring ringName = Basalt::TextAfterLastBackslash(ringPath);
    const std::wstring ringFinal = folderFinal + L"\\" + ringName;
    const std::wstring iniFinal = folderFinal + L"\\" + ETWLogging::kIniFileName;
    constexpr DWORD kRingAccess = GENERIC_READ | FILE_APPEND_DATA | READ_CONTROL;
    constexpr DWORD kIniAccess = GENERIC_READ | READ_CONTROL;

    // Opened and checked as each path does it: by folder and name, and by prepared paths.
    auto openByName = [&](const std::wstring& name, DWORD access, Basalt::UniqueHandle& file) {
        Basalt::FileFacts facts;
        bool created = false;
        Basalt::OpenCheckedFile(paths.logFolder, folderFinal, name, access, /*create=*/true, file,
                                facts, created);
        chain.WriterTrusts(file.get());
    };
    auto openByPath = [&](const std::wstring& path, const std::wstring& final, DWORD access,
                          Basalt::UniqueHandle& file) {
        Basalt::FileFacts facts;
        bool created = false;
        Basalt::OpenCheckedPath(path, final, access, /*create=*/true, file, facts, created);
        chain.WriterTrusts(file.get());
    };

    ETWLogging::LineContext context;
    context.options = ETWLogging::kOptionProcessName;
    context.processImageName = L"file_log_bench.exe";
    context.processId = ::GetCurrentProcessId();

    printf(
        "\nWhere one message's time goes: each step alone, microseconds per call (the median "
        "of %d\nalternating rounds of %lu) and heap allocations; 'req': the wine server "
        "requests of the step.\n",
        kStepRounds, kStepIterations);
    printf("| %-56s | req | earlier | alloc |  logger | alloc |\n", "step");
    printf("|%s|-----|---------|-------|---------|-------|\n", std::string(58, '-').c_str());

    const auto facade = MeasurePair(
        kStepIterations, [&] { FacadeText(message.format, message.first, message.second); },
        [&] { FacadeTextOnStack(message.format, message.first, message.second); });
    PrintRow("facade: print the message", 0, facade.first, facade.second);

    std::wstring line;
    const auto format = MeasurePair(
        kStepIterations,
        [&] {
            DWORD bytes = 0;
            std::unique_ptr<wchar_t[]> text;
            Reference::ReferenceFormatLine(context, L"gatesvc", L"Install", 1, 3, message.text,
                                           &bytes, &text);
        },
        [&] {
            ETWLogging::FormatLineInto(context, L"gatesvc", L"Install", 1, 3, message.text, line);
        });
    PrintRow("line: date, fields and message", 0, format.first, format.second);

    ETWLogging::CFolderLock lock;
    lock.SetFolder(paths.logFolder);
    const StepFigures locked = Measure(kStepIterations, [&] {
        lock.Acquire();
        lock.Release();
    });
    PrintRow("lock: wait for the folder's mutex, release it", 2, locked, locked);

    std::wstring ringNamed =
        ETWLogging::RingFilePrefix(paths.logFolder, L"file_log_bench", nullptr);
    const size_t prefix = ringNamed.size();
    const auto naming = MeasurePair(
        kStepIterations,
        [&] { Reference::ReferenceLogFileName(paths.logFolder, L"file_log_bench", nullptr, 0); },
        [&] {
            ringNamed.resize(prefix);
            ETWLogging::AppendRingFileNumber(ringNamed, 0);
        });
    PrintRow("ring file's name", 0, naming.first, naming.second);

    // Opening and checking log.ini without and with reading it, all four in
    // alternating rounds: the read is what the second adds to the first.
    std::string bytes;
    const auto openEarlier = [&] {
        Basalt::UniqueHandle file;
        openByName(ETWLogging::kIniFileName, kIniAccess, file);
    };
    const auto openNow = [&] {
        Basalt::UniqueHandle file;
        openByPath(paths.folderIniPath, iniFinal, kIniAccess, file);
    };
    const auto readEarlier = [&] {
        Basalt::UniqueHandle file;
        openByName(ETWLogging::kIniFileName, kIniAccess, file);
        Basalt::CObfuscatedIniReader reader;
        reader.LoadFromHandle(paths.folderIniPath, std::move(file));
        DWORD index = 0;
        reader.GetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, index);
    };
    const auto readNow = [&] {
        Basalt::UniqueHandle file;
        openByPath(paths.folderIniPath, iniFinal, kIniAccess, file);
        ETWLogging::ReadSmallFile(file.get(), bytes);
        DWORD index = 0;
        Basalt::FindObfuscatedDword(bytes.data(), bytes.size(), ETWLogging::kConfigSection,
                                    ETWLogging::kLastLogIdxKey, index);
    };
    // Each round of the four in turn; what reading adds is the median of the
    // rounds' differences.
    std::vector<double> openRounds[2];
    std::vector<double> readRounds[2];
    for (int round = 0; round < 3; ++round) {
        MeasureRounds(kStepIterations, openEarlier, openNow, openRounds[0], openRounds[1]);
        MeasureRounds(kStepIterations, readEarlier, readNow, readRounds[0], readRounds[1]);
    }
    auto difference = [&](int way) {
        std::vector<double> added;
        for (size_t i = 0; i < readRounds[way].size(); ++i) {
            added.push_back(readRounds[way][i] - openRounds[way][i]);
        }
        return Median(added);
    };
    const std::pair<StepFigures, StepFigures> iniOpen = {
        {Median(openRounds[0]), AllocationsPerCall(kStepIterations, openEarlier)},
        {Median(openRounds[1]), AllocationsPerCall(kStepIterations, openNow)}};
    const std::pair<StepFigures, StepFigures> iniRead = {
        {difference(0),
         AllocationsPerCall(kStepIterations, readEarlier) - iniOpen.first.allocations},
        {difference(1), AllocationsPerCall(kStepIterations, readNow) - iniOpen.second.allocations}};
    PrintRow("log.ini: open, check (facts, final path, owner), close", 5, iniOpen.first,
             iniOpen.second);
    PrintRow("log.ini: read, parse, decipher (what reading adds)", 0, iniRead.first,
             iniRead.second);
    const auto parse = MeasurePair(
        kStepIterations, [] {},
        [&] {
            DWORD index = 0;
            Basalt::FindObfuscatedDword(bytes.data(), bytes.size(), ETWLogging::kConfigSection,
                                        ETWLogging::kLastLogIdxKey, index);
        });
    PrintRow("  the logger's parse and decipher alone, in memory", 0, StepFigures{-1, 0},
             parse.second);

    const auto ringOpen = MeasurePair(
        kStepIterations,
        [&] {
            Basalt::UniqueHandle file;
            openByName(ringName, kRingAccess, file);
        },
        [&] {
            Basalt::UniqueHandle file;
            openByPath(ringPath, ringFinal, kRingAccess, file);
        });
    PrintRow("ring file: open, check (facts, final path, owner), close", 5, ringOpen.first,
             ringOpen.second);
    {
        Basalt::UniqueHandle file;
        openByPath(ringPath, ringFinal, kRingAccess, file);
        ETWLogging::FormatLineInto(context, L"gatesvc", L"Install", 1, 3, message.text, line);
        const DWORD lineBytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
        const StepFigures write = Measure(kStepIterations, [&] {
            DWORD written = 0;
            ::WriteFile(file.get(), line.data(), lineBytes, &written, nullptr);
        });
        PrintRow("write the line (one append)", 0, write, write);
    }

    printf("\nThe calls inside the open and check rows, one each:\n");
    {
        const std::wstring iniPath = paths.folderIniPath;
        const StepFigures open = Measure(kStepIterations, [&] {
            Basalt::UniqueHandle file(::CreateFileW(
                iniPath.c_str(), kIniAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        });
        PrintRow("  CreateFileW + CloseHandle", 2, open, open);
        const StepFigures facts = Measure(kStepIterations, [&] {
            Basalt::UniqueHandle file(::CreateFileW(
                iniPath.c_str(), kIniAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            FILE_BASIC_INFO basic;
            FILE_STANDARD_INFO standard;
            ::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic));
            ::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard,
                                           sizeof(standard));
        });
        PrintRow("  basic and standard facts (the first fd of a handle)", 1, Minus(facts, open),
                 Minus(facts, open));
        Basalt::UniqueHandle file(::CreateFileW(
            iniPath.c_str(), kIniAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, 0, nullptr));
        const StepFigures final = Measure(kStepIterations, [&] {
            wchar_t path[MAX_PATH + 8];
            ::GetFinalPathNameByHandleW(file.get(), path, MAX_PATH + 8,
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        });
        PrintRow("  GetFinalPathNameByHandleW", 1, final, final);
        const StepFigures owner = Measure(kStepIterations, [&] { chain.OwnerTrusted(file.get()); });
        PrintRow("  owner (GetKernelObjectSecurity)", 1, owner, owner);
    }

    printf("\nOnce per turn-over, not per message (the same in both):\n");
    const StepFigures store = Measure(kStoreIterations, [&] {
        ETWLogging::IniChangeFailure failure;
        ETWLogging::ChangeIniThroughCopy(
            paths.logFolder, folderFinal, chain,
            [](const std::wstring& copy) {
                Basalt::CObfuscatedIniReader reader;
                reader.Load(copy);
                return reader.SetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, 0);
            },
            [](const std::wstring&) { return true; }, failure);
    });
    PrintRow("store the index (copy, change, check, rename)", -1, store, store);
}

}  // namespace Bench
