// The file side of the tool: the five settings in the two log.ini files,
// "LastLogIdx", the log folder and its files.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "basalt/FileChecks.h"
#include "basalt/PathHelpers.h"
#include "basalt/ShlObjAPI.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Decode.h"
#include "hvlogcfg/LogFolder.h"
#include "hvlogcfg/Tool.h"
#include "logging/file/FileLogging.h"
#include "logging/file/FolderLock.h"
#include "logging/file/IniChange.h"
#include "logging/file/IniReader.h"

namespace Hvlogcfg {
namespace {

using ETWLogging::FileLoggerPaths;
using ETWLogging::FileSetting;
using ETWLogging::kConfigSection;

constexpr DWORD kProfileTextCapacity = 1024;
// A person waits a little longer than a logger for a folder that is busy.
constexpr DWORD kToolLockWaitMs = 10000;

const FileSetting* FindSetting(const std::wstring& key) {
    for (const FileSetting& setting : ETWLogging::kFileSettings) {
        if (_wcsicmp(setting.key, key.c_str()) == 0) return &setting;
    }
    return nullptr;
}

std::wstring RangeText(const FileSetting& setting) {
    if (setting.minimum == 0 && setting.maximum == 0xFFFFFFFFu) return L"any value";
    return Basalt::FormatString(L"%lu to %lu", setting.minimum, setting.maximum);
}

std::wstring ReadProfileText(const std::wstring& file, const std::wstring& key, bool& present) {
    wchar_t text[kProfileTextCapacity] = {};
    constexpr wchar_t kMissing[] = L"\x1F";  // a default no file can hold
    ::GetPrivateProfileStringW(kConfigSection, key.c_str(), kMissing, text, kProfileTextCapacity,
                               file.c_str());
    present = wcscmp(text, kMissing) != 0;
    return present ? text : L"";
}

// The path of the folder `levels` below the common application data folder.
std::wstring LevelsPath(const FileLoggerPaths& paths, const std::vector<std::wstring>& levels) {
    std::wstring folder = paths.programData;
    for (const std::wstring& level : levels) folder += L"\\" + level;
    return folder;
}

// Why the folder's lock is not held for a change of `iniPath`; empty when it is.
std::wstring LockFailure(const ETWLogging::CFolderLockHolder& held, const std::wstring& iniPath,
                         const std::wstring& folder) {
    if (held.result() == ETWLogging::CFolderLock::Result::kTimedOut) {
        return iniPath + L" is held by a running program that logs into " + folder +
               Basalt::FormatString(L" (its lock was not released within %lu s); try again",
                                    kToolLockWaitMs / 1000);
    }
    if (!held.owned()) {
        return L"cannot take the lock of " + folder + L": " + DescribeError(::GetLastError());
    }
    return L"";
}

// Why a change that the framework's reader does not see in the changed copy
// of `iniPath`, whose content was `before`, was not made.
std::wstring UnseenChangeReason(const std::wstring& iniPath, const std::string& before) {
    const std::wstring form = UnreadableForm(before);
    if (!form.empty()) {
        return iniPath + L" " + form + L"; the change would not be seen, so it was not made";
    }
    return iniPath +
           L" holds another entry for this setting that the logging framework would read "
           L"instead (a repeated or differently-cased key or section); correct it by hand";
}

// Why the change of `iniPath` stopped where `failure` says.
std::wstring ChangeFailure(const std::wstring& iniPath,
                           const ETWLogging::IniChangeFailure& failure) {
    using ETWLogging::IniChangeStep;
    if (const wchar_t* refusal = Basalt::DescribeRefusal(failure.code)) {
        return L"refusing to change " + iniPath + L": " + refusal;
    }
    if (failure.step == IniChangeStep::kCheck) return UnseenChangeReason(iniPath, failure.before);
    std::wstring reason;
    switch (failure.step) {
        case IniChangeStep::kRead:
            reason = L"cannot read " + iniPath + L": ";
            break;
        case IniChangeStep::kCopy:
        case IniChangeStep::kChange:
            reason = L"cannot write a copy of " + iniPath + L": ";
            break;
        default:
            reason = L"cannot replace " + iniPath + L": ";
            break;
    }
    if (failure.code == ERROR_ACCESS_DENIED || failure.code == ERROR_SHARING_VIOLATION) {
        return reason + Basalt::FormatString(
                            L"a program holds it open, or this account may not "
                            L"change it (error %lu; run as administrator)",
                            failure.code);
    }
    return reason + DescribeError(failure.code);
}

// Changes the log.ini in `folder` (below the common application data folder
// as `levels`) through a copy that replaces it only once the change is
// complete and `check` finds that the framework's own reader sees it, so the
// file is either changed whole or left as it was. Every folder on the way is
// checked as the logger checks it, and made as the logger makes it. The
// folder's lock, which every logger of that folder takes to store
// "LastLogIdx", is held throughout; a file that someone else changed meanwhile
// all the same (a logger of an older version) is never put back as it was:
// the change starts again from the new content.
bool ChangeIniFile(const FileLoggerPaths& paths, const std::vector<std::wstring>& levels,
                   const std::function<bool(const std::wstring&)>& change,
                   const std::function<bool(const std::wstring&)>& check, std::wstring& reason) {
    Basalt::CFolderChain chain;
    const std::wstring folder = LevelsPath(paths, levels);
    const std::wstring iniPath = folder + L"\\" + ETWLogging::kIniFileName;
    std::wstring folderFinal;
    std::wstring failedAt;
    const DWORD code =
        chain.Open(paths.programData, levels, /*create=*/true, folderFinal, failedAt);
    if (code != ERROR_SUCCESS) {
        const wchar_t* refusal = Basalt::DescribeRefusal(code);
        reason = refusal != nullptr
                     ? L"refusing to change " + iniPath + L": " + failedAt + L": " + refusal
                     : L"cannot create " + failedAt + L": " + DescribeError(code);
        return false;
    }
    ETWLogging::CFolderLock lock(folder);
    ETWLogging::CFolderLockHolder held(lock, kToolLockWaitMs);
    reason = LockFailure(held, iniPath, folder);
    if (!reason.empty()) return false;
    constexpr int kAttempts = 5;
    ETWLogging::IniChangeFailure failure;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (ETWLogging::ChangeIniThroughCopy(folder, folderFinal, chain, change, check, failure)) {
            return true;
        }
        if (failure.step != ETWLogging::IniChangeStep::kRaced) {
            reason = ChangeFailure(iniPath, failure);
            return false;
        }
    }
    reason = iniPath + L" kept changing while it was being written; try again";
    return false;
}

// Which log.ini a set or unset addresses: its path, and its folder as levels
// below the common application data folder.
bool TargetIni(const Options& options, FileLoggerPaths& paths, std::vector<std::wstring>& levels,
               std::wstring& iniPath) {
    if (options.shared && (options.groupGiven || options.moduleGiven)) {
        PrintError(L"--shared takes no --group or --module");
        return false;
    }
    if (!ResolvePaths(options, paths)) return false;
    iniPath = options.shared ? paths.sharedIniPath : paths.folderIniPath;
    levels = paths.folderLevels;
    if (options.shared) levels.resize(ETWLogging::kLogRootLevels);
    return true;
}

// How one log.ini holds a setting: accepted, or present and why not.
enum class ValueState { kAbsent, kAccepted, kOutOfRange, kPlain, kTampered };

ValueState Classify(const std::wstring& iniPath, Basalt::CObfuscatedIniReader& reader,
                    const FileSetting& setting, DWORD& value) {
    if (reader.GetDword(kConfigSection, setting.key, value)) {
        return ETWLogging::IsAcceptableSetting(setting, value) ? ValueState::kAccepted
                                                               : ValueState::kOutOfRange;
    }
    bool valuePresent = false;
    bool headerPresent = false;
    ReadProfileText(iniPath, setting.key, valuePresent);
    ReadProfileText(iniPath, std::wstring(L"_") + setting.key, headerPresent);
    if (!valuePresent && !headerPresent) return ValueState::kAbsent;
    return headerPresent ? ValueState::kTampered : ValueState::kPlain;
}

const wchar_t* StateText(ValueState state) {
    switch (state) {
        case ValueState::kOutOfRange:
            return L"out of range";
        case ValueState::kPlain:
            return L"plain (not enciphered), ignored";
        case ValueState::kTampered:
            return L"tampered (does not check out), ignored";
        default:
            return L"";
    }
}

// A log.ini as `show` reads it: the framework's reader, and what of the file's
// form keeps that reader from values the profile functions still see.
struct IniView {
    std::wstring path;
    Basalt::CObfuscatedIniReader reader;
    std::wstring unreadableForm;
};

void ShowSetting(IniView& folder, IniView& shared, const FileSetting& setting) {
    DWORD folderValue = 0;
    DWORD sharedValue = 0;
    const ValueState inFolder = Classify(folder.path, folder.reader, setting, folderValue);
    const ValueState inShared = Classify(shared.path, shared.reader, setting, sharedValue);
    std::wstring effective;
    if (inFolder == ValueState::kAccepted) {
        effective = Basalt::FormatString(L"%lu (folder log.ini)", folderValue);
    } else if (inShared == ValueState::kAccepted) {
        effective = Basalt::FormatString(L"%lu (shared log.ini)", sharedValue);
    } else {
        effective = Basalt::FormatString(L"%lu (default)", setting.defaultValue);
    }
    PrintF(L"  %-10s %s   [accepted: %s]\n", setting.key, effective.c_str(),
           RangeText(setting).c_str());
    // Each value present but not accepted, and why.
    auto note = [](const wchar_t* where, const IniView& view, ValueState state, DWORD value) {
        if (state == ValueState::kAbsent || state == ValueState::kAccepted) return;
        if (state != ValueState::kOutOfRange && !view.unreadableForm.empty()) {
            // Not tampered with: the file is in a form the reader does not take.
            PrintF(L"      %s log.ini: ignored, the file %s\n", where, view.unreadableForm.c_str());
            return;
        }
        const std::wstring detail =
            state == ValueState::kOutOfRange
                ? Basalt::FormatString(L" (%lu; the logger writes the default back)", value)
                : std::wstring();
        PrintF(L"      %s log.ini: %s%s\n", where, StateText(state), detail.c_str());
    };
    note(L"folder", folder, inFolder, folderValue);
    note(L"shared", shared, inShared, sharedValue);
}

// "a, b, c".
std::wstring JoinNames(const std::vector<std::wstring>& names) {
    std::wstring joined;
    for (const std::wstring& name : names) joined += (joined.empty() ? L"" : L", ") + name;
    return joined;
}

// Why a privileged writer does not read the log.ini in the folder `levels`
// below the common application data folder: the folder or the file fails the
// checks, or the file's owner is not trusted. Empty when it reads it, or when
// there is nothing to read.
std::wstring WhyServicesIgnore(const FileLoggerPaths& paths,
                               const std::vector<std::wstring>& levels,
                               Basalt::CFolderChain& chain) {
    const std::wstring folder = LevelsPath(paths, levels);
    std::wstring folderFinal;
    std::wstring failedAt;
    DWORD code = chain.Open(paths.programData, levels, /*create=*/false, folderFinal, failedAt);
    Basalt::UniqueHandle file;
    if (code == ERROR_SUCCESS) {
        Basalt::FileFacts facts;
        bool created = false;
        code = Basalt::OpenCheckedFile(folder, folderFinal, ETWLogging::kIniFileName,
                                       FILE_READ_ATTRIBUTES | READ_CONTROL, /*create=*/false, file,
                                       facts, created);
        if (code == ERROR_SUCCESS && !chain.OwnerTrusted(file.get())) {
            code = Basalt::kErrorUntrustedOwner;
        }
    }
    const wchar_t* refusal = Basalt::DescribeRefusal(code);
    return refusal != nullptr ? refusal : L"";
}

}  // namespace

int SetFileSetting(const Options& options, const std::wstring& key, const std::wstring& value) {
    const FileSetting* setting = FindSetting(key);
    if (setting == nullptr) {
        PrintError(L"unknown file setting " + key +
                   L" (Enable, MaxSize, MaxEntries, Severity, Options)");
        return kExitUsage;
    }
    DWORD number = 0;
    if (!ParseNumber(value, number) || !ETWLogging::IsAcceptableSetting(*setting, number)) {
        PrintError(Basalt::FormatString(L"%s must be %s, not %s", setting->key,
                                        RangeText(*setting).c_str(), value.c_str()));
        return kExitUsage;
    }
    FileLoggerPaths paths;
    std::vector<std::wstring> levels;
    std::wstring iniPath;
    if (!TargetIni(options, paths, levels, iniPath)) return kExitFailure;
    // A change would add a section and leave these keys where nothing reads them.
    bool exists = false;
    std::string bytes;
    DWORD code = 0;
    if (ReadWholeFile(iniPath, exists, bytes, code) && UnreadableForm(bytes).empty() &&
        !KeysOutsideSections(bytes).empty()) {
        PrintError(iniPath + L" has keys outside any section (" +
                   JoinNames(KeysOutsideSections(bytes)) +
                   L"), which nothing reads; put them under [Config] or remove them first");
        return kExitFailure;
    }
    std::wstring reason;
    const bool changed = ChangeIniFile(
        paths, levels,
        [&](const std::wstring& file) {
            Basalt::CObfuscatedIniReader reader;
            reader.Load(file);  // a missing file is created by the write
            return reader.SetDword(kConfigSection, setting->key, number);
        },
        [&](const std::wstring& file) {
            DWORD stored = 0;
            return ReadBack(file, setting->key, stored) && stored == number;
        },
        reason);
    if (!changed) {
        PrintError(reason);
        return kExitFailure;
    }
    PrintF(L"%s: %s = %lu (enciphered)\n", iniPath.c_str(), setting->key, number);
    return kExitSuccess;
}

int UnsetFileSetting(const Options& options, const std::wstring& key) {
    const FileSetting* setting = FindSetting(key);
    if (setting == nullptr) {
        PrintError(L"unknown file setting " + key);
        return kExitUsage;
    }
    FileLoggerPaths paths;
    std::vector<std::wstring> levels;
    std::wstring iniPath;
    if (!TargetIni(options, paths, levels, iniPath)) return kExitFailure;
    if (::GetFileAttributesW(iniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PrintF(L"%s: %s was not set (no such file)\n", iniPath.c_str(), setting->key);
        return kExitSuccess;
    }
    std::wstring reason;
    const std::wstring header = std::wstring(L"_") + setting->key;
    bool wasSet = false;  // told by the checked copy, once the folder and file pass the checks
    const bool changed = ChangeIniFile(
        paths, levels,
        [&](const std::wstring& file) {
            bool valuePresent = false;
            bool headerPresent = false;
            ReadProfileText(file, setting->key, valuePresent);
            ReadProfileText(file, header, headerPresent);
            wasSet = valuePresent || headerPresent;
            return !wasSet || (::WritePrivateProfileStringW(kConfigSection, header.c_str(), nullptr,
                                                            file.c_str()) &&
                               ::WritePrivateProfileStringW(kConfigSection, setting->key, nullptr,
                                                            file.c_str()));
        },
        [&](const std::wstring& file) {
            DWORD stored = 0;
            return !ReadBack(file, setting->key, stored);
        },
        reason);
    if (!changed) {
        PrintError(reason);
        return kExitFailure;
    }
    PrintF(wasSet ? L"%s: %s removed\n" : L"%s: %s was not set\n", iniPath.c_str(), setting->key);
    return kExitSuccess;
}

bool ShowFile(const Options& options) {
    Print(L"File logger\n");
    FileLoggerPaths paths;
    if (!ResolvePaths(options, paths)) return false;
    PrintF(L"  folder log.ini %s\n  shared log.ini %s\n", paths.folderIniPath.c_str(),
           paths.sharedIniPath.c_str());
    bool readable = true;
    // A file that exists but cannot be read here may well be readable by the
    // logger's own account: what follows is then not what it sees.
    Basalt::CFolderChain chain;
    auto load = [&](IniView& view, const std::wstring& path, std::vector<std::wstring> levels) {
        view.path = path;
        const std::wstring ignored = WhyServicesIgnore(paths, levels, chain);
        if (!ignored.empty()) {
            PrintF(L"  %s is ignored by services and elevated programs: %s\n", path.c_str(),
                   ignored.c_str());
            return;
        }
        if (!view.reader.Load(path) &&
            ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            PrintError(L"cannot read " + path + L": the values below may not be the logger's");
            readable = false;
        }
        bool exists = false;
        std::string bytes;
        DWORD code = 0;
        if (!ReadWholeFile(path, exists, bytes, code) || !exists) return;
        view.unreadableForm = UnreadableForm(bytes);
        if (!view.unreadableForm.empty()) {
            PrintF(L"  %s is ignored by the logging framework: it %s\n", path.c_str(),
                   view.unreadableForm.c_str());
        }
        const std::vector<std::wstring> outside = KeysOutsideSections(bytes);
        if (!outside.empty()) {
            PrintF(L"  %s has keys outside any section, which nothing reads: %s\n", path.c_str(),
                   JoinNames(outside).c_str());
        }
    };
    IniView folder;
    IniView shared;
    load(folder, paths.folderIniPath, paths.folderLevels);
    load(shared, paths.sharedIniPath,
         std::vector<std::wstring>(paths.folderLevels.begin(),
                                   paths.folderLevels.begin() + ETWLogging::kLogRootLevels));
    for (const FileSetting& setting : ETWLogging::kFileSettings) {
        ShowSetting(folder, shared, setting);
    }
    std::wstring current;
    std::wstring uncertain;
    DWORD index = 0;
    if (!CurrentRingFile(paths, options.module, nullptr, current, uncertain)) {
        Print(L"  LastLogIdx none: the ring starts at 000\n");
    } else if (uncertain.empty() &&
               ReadBack(paths.folderIniPath, ETWLogging::kLastLogIdxKey, index)) {
        PrintF(L"  LastLogIdx %lu\n", index);
    } else {
        PrintF(L"  LastLogIdx not used (%s): new lines go to the file written last, %s\n",
               uncertain.c_str(), Basalt::TextAfterLastBackslash(current).c_str());
    }

    PrintF(L"  log folder %s\n", paths.logFolder.c_str());
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(::FindFirstFileW((paths.logFolder + L"\\*.log").c_str(), &data));
    if (!find) {
        Print(L"    (no log files)\n");
        return readable;
    }
    do {
        const ULONGLONG bytes = (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        PrintF(L"    %-24s %llu bytes\n", data.cFileName, bytes);
    } while (::FindNextFileW(find.get(), &data));
    return readable;
}

int DecodeIniPair(const std::wstring& header, const std::wstring& value) {
    if (!Basalt::IsObfuscatedIniHeaderText(header)) {
        PrintError(L"not an INI header: the framework reads only 74 characters starting 48565247");
        return kExitFailure;
    }
    DWORD type = 0;
    std::wstring plain;
    const LONG code = Basalt::DecodeObfuscatedIniPair(header, value, type, plain);
    if (code != ERROR_SUCCESS) {
        PrintError(L"INI pair does not check out: " + DescribeError(code));
        return kExitFailure;
    }
    PrintF(L"INI pair, checks out: %s \"%s\"\n", type == REG_DWORD ? L"integer" : L"string",
           plain.c_str());
    return kExitSuccess;
}

}  // namespace Hvlogcfg
