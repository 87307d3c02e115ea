// Helpers of the file back end's tests: enciphered settings written and read
// as an operator's tool would, through the framework's own INI reader.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/PathHelpers.h"
#include "logging/file/FileLogging.h"
#include "logging/file/IniReader.h"

namespace FileTestSupport {

// What ReadSetting answers for a setting it cannot read.
constexpr DWORD kUnread = 12345;

// Writes `key` = `value` enciphered into section "Config" of `iniPath`, making its folder.
inline bool WriteSetting(const std::wstring& iniPath, const wchar_t* key, DWORD value) {
    Basalt::CreateDirectoryPath(iniPath.substr(0, iniPath.rfind(L'\\')).c_str());
    Basalt::CObfuscatedIniReader reader;
    reader.Load(iniPath);
    return reader.SetDword(ETWLogging::kConfigSection, key, value);
}

// The enciphered value of `key` in section "Config" of `iniPath`, or kUnread.
inline DWORD ReadSetting(const std::wstring& iniPath, const wchar_t* key) {
    Basalt::CObfuscatedIniReader reader;
    DWORD value = 0;
    return reader.Load(iniPath) && reader.GetDword(ETWLogging::kConfigSection, key, value)
               ? value
               : kUnread;
}

}  // namespace FileTestSupport
