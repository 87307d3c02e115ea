// The file side of the tool: the five settings in the two log.ini files,
// "LastLogIdx", the log folder and its files.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/ShlObjAPI.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Decode.h"
#include "hvlogcfg/Tool.h"
#include "logging/file/FileLogging.h"
#include "logging/file/IniReader.h"

namespace Hvlogcfg {
namespace {

using ETWLogging::FileLoggerPaths;
using ETWLogging::FileSetting;
using ETWLogging::kConfigSection;

constexpr wchar_t kTempSuffix[] = L".hvlogcfg-tmp";
constexpr DWORD kProfileTextCapacity = 1024;

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

// Changes `iniPath` through a copy that replaces it only once the change is
// complete, so the file is either changed whole or left as it was.
template <typename Change>
bool ChangeIniFile(const std::wstring& iniPath, Change&& change, std::wstring& reason) {
    const std::wstring folder = iniPath.substr(0, iniPath.rfind(L'\\'));
    DWORD code = 0;
    if (!Basalt::CreateDirectoryPath(folder.c_str(), &code)) {
        reason = L"cannot create " + folder + L": " + DescribeError(code);
        return false;
    }
    const std::wstring temp = iniPath + kTempSuffix;
    ::DeleteFileW(temp.c_str());
    if (::GetFileAttributesW(iniPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !::CopyFileW(iniPath.c_str(), temp.c_str(), /*failIfExists=*/FALSE)) {
        reason = L"cannot copy " + iniPath + L": " + DescribeError(::GetLastError());
        return false;
    }
    if (!change(temp)) {
        ::DeleteFileW(temp.c_str());
        reason = L"cannot write " + iniPath + L": " + DescribeError(::GetLastError());
        return false;
    }
    if (!::MoveFileExW(temp.c_str(), iniPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        reason = L"cannot replace " + iniPath + L": " + DescribeError(::GetLastError());
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

// Which log.ini a set or unset addresses.
bool TargetIni(const Options& options, std::wstring& iniPath) {
    if (options.shared && (options.groupGiven || options.moduleGiven)) {
        PrintError(L"--shared takes no --group or --module");
        return false;
    }
    FileLoggerPaths paths;
    if (!ResolvePaths(options, paths)) return false;
    iniPath = options.shared ? paths.sharedIniPath : paths.folderIniPath;
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
        case ValueState::kOutOfRange: return L"out of range";
        case ValueState::kPlain: return L"plain (not enciphered), ignored";
        case ValueState::kTampered: return L"tampered (does not check out), ignored";
        default: return L"";
    }
}

void ShowSetting(const FileLoggerPaths& paths, Basalt::CObfuscatedIniReader& folderReader,
                 Basalt::CObfuscatedIniReader& sharedReader, const FileSetting& setting) {
    DWORD folderValue = 0;
    DWORD sharedValue = 0;
    const ValueState inFolder = Classify(paths.folderIniPath, folderReader, setting, folderValue);
    const ValueState inShared = Classify(paths.sharedIniPath, sharedReader, setting, sharedValue);
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
    if (inFolder != ValueState::kAbsent && inFolder != ValueState::kAccepted) {
        PrintF(L"      folder log.ini: %s%s\n", StateText(inFolder),
               inFolder == ValueState::kOutOfRange
                   ? Basalt::FormatString(L" (%lu; the logger writes the default back)",
                                          folderValue).c_str()
                   : L"");
    }
    if (inShared != ValueState::kAbsent && inShared != ValueState::kAccepted) {
        PrintF(L"      shared log.ini: %s%s\n", StateText(inShared),
               inShared == ValueState::kOutOfRange
                   ? Basalt::FormatString(L" (%lu; the logger writes the default back)",
                                          sharedValue).c_str()
                   : L"");
    }
}

DWORD ReadLastLogIdx(const std::wstring& folderIniPath) {
    Basalt::CObfuscatedIniReader reader;
    DWORD index = 0;
    if (!reader.Load(folderIniPath) || !reader.GetDword(kConfigSection, ETWLogging::kLastLogIdxKey, index)) {
        return 0;
    }
    return index;
}

}  // namespace

int SetFileSetting(const Options& options, const std::wstring& key, const std::wstring& value) {
    const FileSetting* setting = FindSetting(key);
    if (setting == nullptr) {
        PrintError(L"unknown file setting " + key +
                   L" (Enable, MaxSize, MaxEntries, Severity, Options)");
        return kExitFailure;
    }
    DWORD number = 0;
    if (!ParseNumber(value, number) || !ETWLogging::IsAcceptableSetting(*setting, number)) {
        PrintError(Basalt::FormatString(L"%s must be %s, not %s", setting->key,
                                        RangeText(*setting).c_str(), value.c_str()));
        return kExitFailure;
    }
    std::wstring iniPath;
    if (!TargetIni(options, iniPath)) return kExitFailure;
    std::wstring reason;
    const bool changed = ChangeIniFile(
        iniPath,
        [&](const std::wstring& file) {
            Basalt::CObfuscatedIniReader reader;
            reader.Load(file);  // a missing file is created by the write
            return reader.SetDword(kConfigSection, setting->key, number);
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
        return kExitFailure;
    }
    std::wstring iniPath;
    if (!TargetIni(options, iniPath)) return kExitFailure;
    if (::GetFileAttributesW(iniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PrintF(L"%s: no such file, nothing to remove\n", iniPath.c_str());
        return kExitSuccess;
    }
    std::wstring reason;
    const std::wstring header = std::wstring(L"_") + setting->key;
    const bool changed = ChangeIniFile(
        iniPath,
        [&](const std::wstring& file) {
            return ::WritePrivateProfileStringW(kConfigSection, header.c_str(), nullptr,
                                                file.c_str()) &&
                   ::WritePrivateProfileStringW(kConfigSection, setting->key, nullptr,
                                                file.c_str());
        },
        reason);
    if (!changed) {
        PrintError(reason);
        return kExitFailure;
    }
    PrintF(L"%s: %s removed\n", iniPath.c_str(), setting->key);
    return kExitSuccess;
}

void ShowFile(const Options& options) {
    Print(L"File logger\n");
    FileLoggerPaths paths;
    if (!ResolvePaths(options, paths)) return;
    PrintF(L"  folder log.ini %s\n  shared log.ini %s\n", paths.folderIniPath.c_str(),
           paths.sharedIniPath.c_str());
    Basalt::CObfuscatedIniReader folderReader;
    Basalt::CObfuscatedIniReader sharedReader;
    folderReader.Load(paths.folderIniPath);
    sharedReader.Load(paths.sharedIniPath);
    for (const FileSetting& setting : ETWLogging::kFileSettings) {
        ShowSetting(paths, folderReader, sharedReader, setting);
    }
    PrintF(L"  LastLogIdx %lu\n", ReadLastLogIdx(paths.folderIniPath));

    PrintF(L"  log folder %s\n", paths.logFolder.c_str());
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(
        ::FindFirstFileW((paths.logFolder + L"\\*.log").c_str(), &data));
    if (!find) {
        Print(L"    (no log files)\n");
        return;
    }
    do {
        PrintF(L"    %-24s %lu bytes\n", data.cFileName, data.nFileSizeLow);
    } while (::FindNextFileW(find.get(), &data));
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
    std::vector<wchar_t> units;
    wchar_t chunk[4096];
    DWORD read = 0;
    while (::ReadFile(handle.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        units.insert(units.end(), chunk, chunk + read / sizeof(wchar_t));
    }
    std::wstring text(units.begin(), units.end());
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
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
