#include "hvlogcfg/LogFolder.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <wchar.h>

#include <unordered_set>

#include "basalt/ShlObjAPI.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Tool.h"
#include "logging/file/IniChange.h"
#include "logging/file/IniReader.h"

namespace Hvlogcfg {
namespace {

using ETWLogging::FileLoggerPaths;
using ETWLogging::kConfigSection;

// Whether a line of a log.ini names a section; its name in `name`.
bool SectionLine(const std::wstring& line, std::wstring& name) {
    if (line.size() < 2 || line.front() != L'[' || line.back() != L']') return false;
    name = Basalt::TrimWhiteSpace(line.substr(1, line.size() - 2));
    return true;
}

// The number of a ring file's name "<base>NNN.log" (at least three digits);
// false for any other name.
bool RingFileNumber(const std::wstring& name, const std::wstring& base, DWORD& number) {
    constexpr size_t kExtensionChars = 4;  // ".log"
    if (name.size() < base.size() + 3 + kExtensionChars ||
        _wcsnicmp(name.c_str(), base.c_str(), base.size()) != 0 ||
        _wcsicmp(name.c_str() + name.size() - kExtensionChars, L".log") != 0) {
        return false;
    }
    const std::wstring digits =
        name.substr(base.size(), name.size() - base.size() - kExtensionChars);
    if (digits.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    number = static_cast<DWORD>(wcstoul(digits.c_str(), nullptr, 10));
    return true;
}

}  // namespace

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

bool ReadWholeFile(const std::wstring& path, bool& exists, std::string& bytes, DWORD& error) {
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
    error = ETWLogging::ReadSmallFile(file.get(), bytes);
    return error == ERROR_SUCCESS;
}

std::wstring UnreadableForm(const std::string& bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return L"starts with a UTF-8 byte order mark, which the logging framework does not read "
               L"(save it as ANSI text)";
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        return L"is saved as UTF-16, which the logging framework does not read (save it as ANSI "
               L"text)";
    }
    if (bytes.find('\0') != std::string::npos) {
        return L"is not text (it holds zero bytes); the logging framework reads nothing from it";
    }
    if (bytes.find('\x1A') != std::string::npos) {
        return L"holds an end-of-file mark (Ctrl+Z), after which the logging framework reads "
               L"nothing (remove it)";
    }
    std::unordered_set<std::wstring> keys;  // of the section [Config]
    bool inConfig = false;
    for (std::wstring line :
         Basalt::SplitString(Basalt::WideFromCodePage(CP_ACP, bytes), L'\n', /*skipEmpty=*/true)) {
        line = Basalt::TrimWhiteSpace(line);
        std::wstring name;
        if (SectionLine(line, name)) {
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
        if (!keys.insert(key).second) {
            return L"holds the key " + key +
                   L" twice; the logging framework reads the first value with the last header";
        }
    }
    return L"";
}

std::vector<std::wstring> KeysOutsideSections(const std::string& bytes) {
    std::vector<std::wstring> keys;
    const bool marked = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;  // a mark is no key
    for (std::wstring line : Basalt::SplitString(
             Basalt::WideFromCodePage(CP_ACP, marked ? bytes.substr(3) : bytes), L'\n',
             /*skipEmpty=*/true)) {
        line = Basalt::TrimWhiteSpace(line);
        std::wstring name;
        if (SectionLine(line, name)) break;
        const size_t equals = line.find(L'=');
        if (equals != std::wstring::npos && line[0] != L';') {
            keys.push_back(Basalt::TrimWhiteSpace(line.substr(0, equals)));
        }
    }
    return keys;
}

bool ReadBack(const std::wstring& file, const wchar_t* key, DWORD& value) {
    Basalt::CObfuscatedIniReader reader;
    return reader.Load(file) && reader.GetDword(kConfigSection, key, value);
}

bool CurrentRingFile(const FileLoggerPaths& paths, const std::wstring& module, const wchar_t* host,
                     std::wstring& file, std::wstring& uncertain) {
    uncertain.clear();
    bool exists = false;
    std::string bytes;
    DWORD code = 0;
    DWORD index = 0;
    bool unstored = false;  // no index yet: certain while the ring has not turned
    if (!ReadWholeFile(paths.folderIniPath, exists, bytes, code)) {
        uncertain = L"log.ini cannot be read: " + DescribeError(code);
    } else if (!exists) {
        uncertain = L"there is no log.ini";
        unstored = true;
    } else if (!UnreadableForm(bytes).empty()) {
        uncertain = L"log.ini " + UnreadableForm(bytes);
    } else if (!ReadBack(paths.folderIniPath, ETWLogging::kLastLogIdxKey, index)) {
        uncertain = L"log.ini holds no LastLogIdx";
        unstored = true;
    }
    if (uncertain.empty()) {
        file = ETWLogging::LogFileName(paths.logFolder, module, host, index);
        return true;
    }
    // As the logger does then: the ring file written last.
    const std::wstring base =
        module + (host != nullptr ? Basalt::FormatString(L"_%s", host) : std::wstring());
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(
        ::FindFirstFileW((paths.logFolder + L"\\" + base + L"*.log").c_str(), &data));
    if (!find) return false;
    FILETIME newest = {};
    DWORD newestNumber = 0;
    file.clear();
    do {
        DWORD number = 0;
        if (!RingFileNumber(data.cFileName, base, number)) continue;
        if (file.empty() || ::CompareFileTime(&data.ftLastWriteTime, &newest) > 0) {
            newest = data.ftLastWriteTime;
            newestNumber = number;
            file = ETWLogging::LogFileName(paths.logFolder, module, host, number);
        }
    } while (::FindNextFileW(find.get(), &data));
    if (unstored && newestNumber == 0) uncertain.clear();
    return !file.empty();
}

}  // namespace Hvlogcfg
