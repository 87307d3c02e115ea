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

// The paths the file logger would use for the options' group and module.
bool ResolvePaths(const Options& options, FileLoggerPaths& paths) {
    Basalt::ShlObjAPI shell;
    std::wstring programData;
    if (!Basalt::QueryKnownFolder(shell, FOLDERID_ProgramData, KF_FLAG_CREATE, programData)) {
        PrintError(L"cannot locate the common application data folder");
        return false;
    }
    const DWORD code = ETWLogging::ComputeFileLoggerPaths(
        programData, options.group.empty() ? nullptr : options.group.c_str(), options.module,
        paths);
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot build the log paths: " + DescribeError(code));
        return false;
    }
    return true;
}

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

// The whole of a small file that others may be writing meanwhile. A missing
// file reads as absent; false with the error code for any other failure.
bool ReadWholeFile(const std::wstring& path, bool& exists, std::string& bytes, DWORD& error) {
    constexpr LONGLONG kMaxIniBytes = 16 << 20;  // a log.ini holds a handful of lines
    exists = false;
    bytes.clear();
    Basalt::UniqueHandle file(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    exists = true;
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size)) {
        error = ::GetLastError();
        return false;
    }
    if (size.QuadPart > kMaxIniBytes) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    bytes.resize(read);
    return true;
}

// What in a log.ini, saved by hand, keeps the framework's reader from its
// values although the profile functions (and so editors and this tool's
// writes) still find them; empty when nothing does.
std::wstring UnreadableForm(const std::string& bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return L"starts with a UTF-8 byte order mark, which the logging framework does not read "
               L"(save it as ANSI text)";
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        return L"is saved as UTF-16, which the logging framework does not read (save it as ANSI "
               L"text)";
    }
    if (bytes.find('\x1A') != std::string::npos) {
        return L"holds an end-of-file mark (Ctrl+Z), after which the logging framework reads "
               L"nothing (remove it)";
    }
    std::vector<std::wstring> keys;  // of the section [Config]
    bool inConfig = false;
    for (std::wstring line :
         Basalt::SplitString(Basalt::WideFromCodePage(CP_ACP, bytes), L'\n', /*skipEmpty=*/true)) {
        line = Basalt::TrimWhiteSpace(line);
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
            const std::wstring name = Basalt::TrimWhiteSpace(line.substr(1, line.size() - 2));
            inConfig = name == kConfigSection;
            if (!inConfig && _wcsicmp(name.c_str(), kConfigSection) == 0) {
                return L"has a section [" + name +
                       L"]; the logging framework reads only [Config], in that case";
            }
            continue;
        }
        const size_t equals = line.find(L'=');
        if (!inConfig || equals == std::wstring::npos || line[0] == L';') continue;
        const std::wstring key = Basalt::TrimWhiteSpace(line.substr(0, equals));
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            return L"holds the key " + key +
                   L" twice; the logging framework reads the first value with the last header";
        }
        keys.push_back(key);
    }
    return L"";
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
    std::wstring folder = paths.programData;
    for (const std::wstring& level : levels) folder += L"\\" + level;
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

// The value a fresh reader of the framework finds for `key`, if any.
bool ReadBack(const std::wstring& file, const wchar_t* key, DWORD& value) {
    Basalt::CObfuscatedIniReader reader;
    return reader.Load(file) && reader.GetDword(kConfigSection, key, value);
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

DWORD ReadLastLogIdx(const std::wstring& folderIniPath) {
    DWORD index = 0;
    return ReadBack(folderIniPath, ETWLogging::kLastLogIdxKey, index) ? index : 0;
}

// Whether the first bytes of a file without a byte order mark are UTF-16
// little-endian text of the framework's (a line starts with the date's
// digits): a log that someone emptied, and that the logger then appended to.
bool LooksLikeUtf16Log(const BYTE* bytes, DWORD count) {
    if (count < 4) return false;
    for (DWORD i = 0; i + 1 < count; i += 2) {
        if (bytes[i] == 0 || bytes[i] >= 0x80 || bytes[i + 1] != 0) return false;
    }
    return true;
}

// How many lines `text` holds; a last line without its line feed counts.
size_t CountLines(const std::wstring& text) {
    const size_t feeds = static_cast<size_t>(std::count(text.begin(), text.end(), L'\n'));
    return feeds + (!text.empty() && text.back() != L'\n' ? 1 : 0);
}

// The text at the end of a log file: enough of it for `lines` whole lines
// (a line is at most a few thousand characters), never more than a bounded
// amount however large the file or the count. A line longer than what is
// read is shown from where the reading began, marked "[...]" there. A file
// that is neither marked as UTF-16 nor starts like a log's text is not one
// of the framework's logs.
DWORD ReadLogTail(HANDLE file, DWORD lines, std::wstring& text) {
    constexpr ULONGLONG kBytesPerLine = 16384;
    constexpr ULONGLONG kMaxTailBytes = 64ull << 20;
    constexpr DWORD kProbeBytes = 16;
    text.clear();
    BYTE probe[kProbeBytes] = {};
    DWORD read = 0;
    if (!::ReadFile(file, probe, sizeof(probe), &read, nullptr)) return ::GetLastError();
    if (read == 0) return ERROR_SUCCESS;  // created, nothing written yet
    ULONGLONG markBytes = 2;
    if (read < 2 || probe[0] != 0xFF || probe[1] != 0xFE) {
        if (!LooksLikeUtf16Log(probe, read & ~1ul)) return ERROR_BAD_FORMAT;
        markBytes = 0;
    }

    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) return ::GetLastError();
    const ULONGLONG body = static_cast<ULONGLONG>(size.QuadPart) - markBytes;
    const ULONGLONG wanted = std::min<ULONGLONG>(
        body, std::min<ULONGLONG>((ULONGLONG{lines} + 1) * kBytesPerLine, kMaxTailBytes));
    // Stay on a character boundary: characters start at even offsets.
    const ULONGLONG start = (markBytes + body - wanted + 1) & ~ULONGLONG{1};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(start);
    if (!::SetFilePointerEx(file, offset, nullptr, FILE_BEGIN)) return ::GetLastError();
    std::vector<BYTE> bytes(static_cast<size_t>(static_cast<ULONGLONG>(size.QuadPart) - start));
    DWORD total = 0;
    while (total < bytes.size()) {
        if (!::ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size() - total), &read,
                        nullptr)) {
            return ::GetLastError();
        }
        if (read == 0) break;  // shortened meanwhile
        total += read;
    }
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), total / sizeof(wchar_t));
    if (start > markBytes) {
        // Begun inside a line: that partial line is dropped when enough whole
        // lines follow it, and otherwise shown with a mark where it was cut.
        const size_t end = text.find(L'\n');
        const std::wstring rest = end == std::wstring::npos ? std::wstring() : text.substr(end + 1);
        text = CountLines(rest) >= lines ? rest : L"[...]" + text;
    }
    return ERROR_SUCCESS;
}

// Why a privileged writer does not read the log.ini in the folder `levels`
// below the common application data folder: the folder or the file fails the
// checks, or the file's owner is not trusted. Empty when it reads it, or when
// there is nothing to read.
std::wstring WhyServicesIgnore(const FileLoggerPaths& paths,
                               const std::vector<std::wstring>& levels,
                               Basalt::CFolderChain& chain) {
    std::wstring folder = paths.programData;
    for (const std::wstring& level : levels) folder += L"\\" + level;
    std::wstring folderFinal;
    std::wstring failedAt;
    DWORD code = chain.Open(paths.programData, levels, /*create=*/false, folderFinal, failedAt);
    Basalt::UniqueHandle file;
    if (code == ERROR_SUCCESS) {
        BY_HANDLE_FILE_INFORMATION information = {};
        bool created = false;
        code = Basalt::OpenCheckedFile(folder, folderFinal, ETWLogging::kIniFileName,
                                       FILE_READ_ATTRIBUTES | READ_CONTROL, /*create=*/false, file,
                                       information, created);
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
        if (ReadWholeFile(path, exists, bytes, code)) view.unreadableForm = UnreadableForm(bytes);
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
    PrintF(L"  LastLogIdx %lu\n", ReadLastLogIdx(paths.folderIniPath));

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

int TailCommand(const Options& options) {
    if (options.words.size() != 1) {
        PrintError(L"tail takes no arguments");
        return kExitUsage;
    }
    FileLoggerPaths paths;
    if (!ResolvePaths(options, paths)) return kExitFailure;
    const DWORD index = ReadLastLogIdx(paths.folderIniPath);
    const std::wstring file =
        ETWLogging::LogFileName(paths.logFolder, options.module, nullptr, index);
    Basalt::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        PrintError(L"cannot open " + file + L": " + DescribeError(::GetLastError()));
        return kExitFailure;
    }
    std::wstring text;
    const DWORD code = ReadLogTail(handle.get(), options.lines, text);
    if (code == ERROR_BAD_FORMAT) {
        PrintError(file + L" is not a log of the framework (not UTF-16 text)");
        return kExitFailure;
    }
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot read " + file + L": " + DescribeError(code));
        return kExitFailure;
    }
    std::vector<std::wstring> lines = Basalt::SplitString(text, L'\n', /*skipEmpty=*/false);
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    const size_t first = lines.size() > options.lines ? lines.size() - options.lines : 0;
    for (size_t i = first; i < lines.size(); ++i) {
        std::wstring& line = lines[i];
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        Print(line + L"\n");
    }
    return kExitSuccess;
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
