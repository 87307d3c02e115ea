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
#include "logging/file/LineFormat.h"

namespace Bench {
namespace {

constexpr unsigned long kStepIterations = 500;
constexpr int kStepRounds = 5;
constexpr unsigned long kStoreIterations = 40;

struct StepFigures {
    double microseconds = 0;
    double allocations = 0;
};

// The best of several rounds of `body`, and its allocations.
template <typename Body>
StepFigures Measure(unsigned long iterations, Body&& body) {
    StepFigures figures;
    figures.microseconds = 1e30;
    for (int round = 0; round < kStepRounds; ++round) {
        figures.microseconds =
            std::min(figures.microseconds, NanosecondsPerCall(iterations, body) / 1000.0);
    }
    figures.allocations = AllocationsPerCall(iterations, body);
    return figures;
}

void PrintRow(const char* step, const StepFigures& figures) {
    printf("| %-58s | %7.1f | %5.1f |\n", step, figures.microseconds, figures.allocations);
}

// The facade's formatting of a plain logger's message.
std::wstring FacadeText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = Basalt::FormatStringV(format, args);
    va_end(args);
    return text;
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
    if (chain.Open(paths.programData, paths.folderLevels, /*create=*/true, folderFinal,
                   failedAt) != ERROR_SUCCESS) {
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
    constexpr DWORD kRingAccess = GENERIC_READ | FILE_APPEND_DATA | READ_CONTROL;
    constexpr DWORD kIniAccess = GENERIC_READ | READ_CONTROL;

    auto openChecked = [&](const std::wstring& name, DWORD access, Basalt::UniqueHandle& file) {
        Basalt::FileFacts facts;
        bool created = false;
        Basalt::OpenCheckedFile(paths.logFolder, folderFinal, name, access, /*create=*/true, file,
                                facts, created);
        chain.WriterTrusts(file.get());
    };

    ETWLogging::LineContext context;
    context.options = ETWLogging::kOptionProcessName;
    context.processImageName = L"file_log_bench.exe";
    context.processId = ::GetCurrentProcessId();

    printf("\nWhere one message's time goes (each step alone, best of %d rounds of %lu):\n",
           kStepRounds, kStepIterations);
    printf("| %-58s | %7s | %5s |\n", "step", "us", "alloc");
    printf("|%s|%s|%s|\n", std::string(60, '-').c_str(), std::string(9, '-').c_str(),
           std::string(7, '-').c_str());

    PrintRow("facade: format the message (FormatStringV)", Measure(kStepIterations, [&] {
                 FacadeText(message.format, message.first, message.second);
             }));
    PrintRow("line: date, fields and message (FormatLine)", Measure(kStepIterations, [&] {
                 DWORD bytes = 0;
                 std::unique_ptr<wchar_t[]> text;
                 Reference::ReferenceFormatLine(context, L"gatesvc", L"Install", 1, 3,
                                                message.text, &bytes, &text);
             }));
    ETWLogging::CFolderLock lock;
    lock.SetFolder(paths.logFolder);
    PrintRow("lock: wait for the folder's mutex and release it", Measure(kStepIterations, [&] {
                 lock.Acquire();
                 lock.Release();
             }));
    PrintRow("ring file name (LogFileName)", Measure(kStepIterations, [&] {
                 Reference::ReferenceLogFileName(paths.logFolder, L"file_log_bench", nullptr, 0);
             }));

    const StepFigures iniOpen = Measure(kStepIterations, [&] {
        Basalt::UniqueHandle file;
        openChecked(ETWLogging::kIniFileName, kIniAccess, file);
    });
    PrintRow("log.ini: open, check (facts, final path, owner), close", iniOpen);
    const StepFigures iniOpenRead = Measure(kStepIterations, [&] {
        Basalt::UniqueHandle file;
        openChecked(ETWLogging::kIniFileName, kIniAccess, file);
        Basalt::CObfuscatedIniReader reader;
        reader.LoadFromHandle(paths.folderIniPath, std::move(file));
        DWORD index = 0;
        reader.GetDword(ETWLogging::kConfigSection, ETWLogging::kLastLogIdxKey, index);
    });
    PrintRow("log.ini: read, parse, decipher (text stream, INI reader)",
             {iniOpenRead.microseconds - iniOpen.microseconds,
              iniOpenRead.allocations - iniOpen.allocations});
    {
        std::string bytes;
        const StepFigures iniOpenFind = Measure(kStepIterations, [&] {
            Basalt::UniqueHandle file;
            openChecked(ETWLogging::kIniFileName, kIniAccess, file);
            ETWLogging::ReadSmallFile(file.get(), bytes);
            DWORD index = 0;
            Basalt::FindObfuscatedDword(bytes.data(), bytes.size(), ETWLogging::kConfigSection,
                                        ETWLogging::kLastLogIdxKey, index);
        });
        PrintRow("log.ini: read, parse, decipher (one read, FindObfuscatedDword)",
                 {iniOpenFind.microseconds - iniOpen.microseconds,
                  iniOpenFind.allocations - iniOpen.allocations});
    }
    PrintRow("ring file: open, check (facts, final path, owner), close",
             Measure(kStepIterations, [&] {
                 Basalt::UniqueHandle file;
                 openChecked(ringName, kRingAccess, file);
             }));
    {
        Basalt::UniqueHandle file;
        openChecked(ringName, kRingAccess, file);
        DWORD bytes = 0;
        std::unique_ptr<wchar_t[]> text;
        Reference::ReferenceFormatLine(context, L"gatesvc", L"Install", 1, 3, message.text, &bytes,
                                       &text);
        bytes -= sizeof(wchar_t);
        PrintRow("write the line (one append)", Measure(kStepIterations, [&] {
                     DWORD written = 0;
                     ::WriteFile(file.get(), text.get(), bytes, &written, nullptr);
                 }));
    }

    printf("\nWhat the checks cost, one call each (in the rows above):\n");
    {
        const std::wstring iniPath = paths.folderIniPath;
        PrintRow("  CreateFileW + CloseHandle", Measure(kStepIterations, [&] {
                     Basalt::UniqueHandle file(::CreateFileW(
                         iniPath.c_str(), kIniAccess,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
                 }));
        Basalt::UniqueHandle file(::CreateFileW(iniPath.c_str(), kIniAccess,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                    FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        PrintRow("  FileBasicInfo + FileStandardInfo", Measure(kStepIterations, [&] {
                     FILE_BASIC_INFO basic;
                     FILE_STANDARD_INFO standard;
                     ::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic,
                                                    sizeof(basic));
                     ::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard,
                                                    sizeof(standard));
                 }));
        PrintRow("  GetFinalPathNameByHandleW", Measure(kStepIterations, [&] {
                     Basalt::FinalPathOf(file.get());
                 }));
        PrintRow("  owner (GetKernelObjectSecurity)", Measure(kStepIterations, [&] {
                     chain.OwnerTrusted(file.get());
                 }));
        PrintRow("  ReadFile of the whole log.ini", Measure(kStepIterations, [&] {
                     char bytes[4096];
                     DWORD read = 0;
                     OVERLAPPED at = {};
                     ::ReadFile(file.get(), bytes, sizeof(bytes), &read, &at);
                 }));
    }

    printf("\nOnce per turn-over, not per message:\n");
    PrintRow("store the index (copy, change, check, rename)", Measure(kStoreIterations, [&] {
                 ETWLogging::IniChangeFailure failure;
                 ETWLogging::ChangeIniThroughCopy(
                     paths.logFolder, folderFinal, chain,
                     [](const std::wstring& copy) {
                         Basalt::CObfuscatedIniReader reader;
                         reader.Load(copy);
                         return reader.SetDword(ETWLogging::kConfigSection,
                                                ETWLogging::kLastLogIdxKey, 0);
                     },
                     [](const std::wstring&) { return true; }, failure);
             }));
}

}  // namespace Bench
