// The registry side of the tool: the back-end choice and the ETW overrides.
#include <windows.h>

#include <vector>

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/RegKey.h"
#include "basalt/StringHelpers.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Tool.h"
#include "logging/LogBuilder.h"
#include "logging/LoggingIf.h"
#include "logging/etw/ETWAppProperties.h"
#include "logging/etw/ETWConfigurationListener.h"
#include "logging/etw/ETWLogging.h"

namespace Hvlogcfg {
namespace {

constexpr DWORD kMechanismEtw = 0;
using ETWLogging::kEnableOverrideValue;
using ETWLogging::kSeverityOverrideValue;

// The ETW configuration the logger would load for the default product.
ETWLogging::internal::ETWAppProperties LoadEtwProperties(bool& complete) {
    ETWLogging::internal::ETWAppProperties properties;
    complete = properties.LoadConfiguration(nullptr);
    return properties;
}

bool IsOverrideName(const std::wstring& name) {
    return name == kEnableOverrideValue || name == kSeverityOverrideValue;
}

int UnknownOverride(const std::wstring& name) {
    return Usage(L"etw setting must be Enable or Severity, not " + name);
}

// The override key a set or unset addresses: the logger's key with --logger,
// the group's with --group, the Provider key otherwise, each as the listener
// reads it. False, with the reason printed, when the ETW configuration names
// no Provider key.
bool OverrideKeyPath(const Options& options, HKEY& root, std::wstring& path) {
    bool complete = false;
    const auto properties = LoadEtwProperties(complete);
    if (properties.ProviderKeyPath().empty()) {
        PrintError(L"the ETW configuration names no Provider key");
        return false;
    }
    const auto keys =
        ETWLogging::OverrideKeyPaths(properties.ProviderKeyPath(), options.group,
                                     ETWLogging::LoggerName(options.group, options.logger));
    path = keys[options.loggerGiven  ? ETWLogging::kLoggerOverrides
                : options.groupGiven ? ETWLogging::kGroupOverrides
                                     : ETWLogging::kProviderOverrides];
    root = properties.RootKey();
    return true;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

// The registry type of a value as text ("REG_SZ"), for a value of the wrong type.
std::wstring TypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return L"REG_SZ";
        case REG_EXPAND_SZ:
            return L"REG_EXPAND_SZ";
        case REG_BINARY:
            return L"REG_BINARY";
        case REG_DWORD:
            return L"REG_DWORD";
        case REG_MULTI_SZ:
            return L"REG_MULTI_SZ";
        case REG_QWORD:
            return L"REG_QWORD";
        default:
            return Basalt::FormatString(L"type %lu", type);
    }
}

// The type of value `name` of `key`; false when it cannot be read.
bool ValueType(Basalt::CRegKey& key, const wchar_t* name, DWORD& type) {
    return key.QueryValue(name, &type, nullptr, nullptr) == ERROR_SUCCESS;
}

// The line "name = value" for a plain DWORD override, or why it is ignored and
// what writes the form the logger reads; empty when the value is not there.
std::wstring OverrideLine(HKEY root, const std::wstring& path, const wchar_t* name) {
    Basalt::CRegKey key;
    if (key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return L"";
    DWORD value = 0;
    const LONG code = key.QueryDWORDValue(name, value);
    if (code == ERROR_FILE_NOT_FOUND) return L"";
    if (code == ERROR_SUCCESS) {
        return Basalt::FormatString(L"    HKLM\\%s: %s = %lu\n", path.c_str(), name, value);
    }
    DWORD type = REG_NONE;
    const std::wstring why = ValueType(key, name, type) && type != REG_DWORD
                                 ? L"a " + TypeName(type) + L", not a REG_DWORD"
                                 : DescribeError(code);
    return Basalt::FormatString(
        L"    HKLM\\%s: %s present but ignored: %s (hvlogcfg set etw %s N writes the form the "
        L"logger reads)\n",
        path.c_str(), name, why.c_str(), name);
}

}  // namespace

int SetMechanism(const std::wstring& value) {
    DWORD mechanism;
    if (value == L"file") {
        mechanism = ETWLogging::kMechanismFile;
    } else if (value == L"etw") {
        mechanism = kMechanismEtw;
    } else {
        return Usage(L"mechanism must be file or etw, not " + value);
    }
    Basalt::CObfuscatedRegKey key;
    LONG code = key.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (code == ERROR_SUCCESS)
        code = key.SetDWORDValue(ETWLogging::kLoggingMechanismValue, mechanism);
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot store \"Logging Mechanism\": " + DescribeError(code));
        return kExitFailure;
    }
    PrintF(L"Logging Mechanism = %lu (%s)\n", mechanism, value.c_str());
    return kExitSuccess;
}

int UnsetMechanism() {
    Basalt::CRegKey key;
    LONG code = key.Open(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, KEY_SET_VALUE);
    if (code == ERROR_SUCCESS) code = key.DeleteValue(ETWLogging::kLoggingMechanismValue);
    if (code == ERROR_FILE_NOT_FOUND) {
        Print(L"Logging Mechanism was not set (ETW)\n");
        return kExitSuccess;
    }
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot remove \"Logging Mechanism\": " + DescribeError(code));
        return kExitFailure;
    }
    Print(L"Logging Mechanism removed (ETW)\n");
    return kExitSuccess;
}

void ShowMechanism() {
    Print(L"Back end\n");
    Basalt::CObfuscatedRegKey key;
    LONG code = key.Open(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, KEY_QUERY_VALUE);
    DWORD value = 0;
    if (code == ERROR_SUCCESS)
        code = key.QueryDWORDValue(ETWLogging::kLoggingMechanismValue, value);
    if (code == ERROR_SUCCESS) {
        PrintF(L"  Logging Mechanism = %lu: %s\n", value,
               value == ETWLogging::kMechanismFile ? L"file" : L"ETW");
    } else if (code == ERROR_FILE_NOT_FOUND) {
        Print(L"  Logging Mechanism absent: ETW\n");
    } else {
        // The logger reads only the enciphered record: a plain number (written
        // by hand, say) is not taken.
        Basalt::CRegKey plain;
        DWORD type = REG_NONE;
        const bool typed = plain.Open(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                      KEY_QUERY_VALUE) == ERROR_SUCCESS &&
                           ValueType(plain, ETWLogging::kLoggingMechanismValue, type);
        const std::wstring form =
            typed ? L"a plain " + TypeName(type) + L", not the enciphered record"
                  : DescribeError(code);
        PrintF(
            L"  Logging Mechanism present but unreadable (%s): ETW; hvlogcfg set mechanism "
            L"file (or etw) writes the form the logger reads\n",
            form.c_str());
    }
}

int SetEtwOverride(const Options& options, const std::wstring& name, const std::wstring& value) {
    if (!IsOverrideName(name)) return UnknownOverride(name);
    DWORD number = 0;
    if (!ParseNumber(value, number)) return Usage(name + L" needs a number, not " + value);
    // The logger clamps a threshold to 1..6; anything else would not take
    // effect as written.
    if (name == kSeverityOverrideValue &&
        (number < ETWLogging::kLevelMin || number > ETWLogging::kLevelMax)) {
        return Usage(Basalt::FormatString(L"Severity must be %lu to %lu, not %s",
                                          ETWLogging::kLevelMin, ETWLogging::kLevelMax,
                                          value.c_str()));
    }
    HKEY root = nullptr;
    std::wstring path;
    if (!OverrideKeyPath(options, root, path)) return kExitFailure;
    Basalt::CRegKey key;
    LONG code = key.Create(root, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE);
    if (code == ERROR_SUCCESS) code = key.SetDWORDValue(name.c_str(), number);
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot store " + name + L": " + DescribeError(code));
        return kExitFailure;
    }
    PrintF(L"HKLM\\%s: %s = %lu\n", path.c_str(), name.c_str(), number);
    return kExitSuccess;
}

int UnsetEtwOverride(const Options& options, const std::wstring& name) {
    if (!IsOverrideName(name)) return UnknownOverride(name);
    HKEY root = nullptr;
    std::wstring path;
    if (!OverrideKeyPath(options, root, path)) return kExitFailure;
    Basalt::CRegKey key;
    LONG code = key.Open(root, path.c_str(), KEY_SET_VALUE);
    if (code == ERROR_SUCCESS) code = key.DeleteValue(name.c_str());
    if (code == ERROR_FILE_NOT_FOUND) {
        PrintF(L"HKLM\\%s: %s was not set\n", path.c_str(), name.c_str());
        return kExitSuccess;
    }
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot remove " + name + L": " + DescribeError(code));
        return kExitFailure;
    }
    PrintF(L"HKLM\\%s: %s removed\n", path.c_str(), name.c_str());
    return kExitSuccess;
}

void ShowEtw(const Options& options) {
    bool complete = false;
    auto properties = LoadEtwProperties(complete);
    Print(L"ETW\n");
    Basalt::CRegKey product;
    const bool productKey =
        product.Open(properties.RootKey(), properties.GetKeyPath(nullptr).c_str(),
                     KEY_QUERY_VALUE) == ERROR_SUCCESS;
    PrintF(L"  product %s: %s\n", properties.ProductTag().c_str(),
           !complete    ? L"configuration incomplete (the logger would not start)"
           : productKey ? L"from the registry"
                        : L"built-in defaults");
    PrintF(L"  provider GUID %s\n", GuidText(properties.ProviderGuid()).c_str());
    PrintF(L"  session %s %s\n", GuidText(properties.SessionGuid()).c_str(),
           properties.SessionName().c_str());
    PrintF(L"  log path %s\n  ETL file %s\n", properties.LogPath().c_str(),
           properties.EtlFile().c_str());
    const std::wstring provider = properties.ProviderKeyPath();
    if (provider.empty()) {
        Print(L"  Enable/Severity overrides: none read (no Provider key)\n");
        return;
    }
    const std::wstring loggerName = ETWLogging::LoggerName(options.group, options.module);
    std::wstring lines;
    for (const std::wstring& path :
         ETWLogging::OverrideKeyPaths(provider, options.group, loggerName)) {
        lines += OverrideLine(properties.RootKey(), path, kEnableOverrideValue);
        lines += OverrideLine(properties.RootKey(), path, kSeverityOverrideValue);
    }
    Print(lines.empty() ? L"  Enable/Severity overrides: none set\n"
                        : L"  Enable/Severity overrides (later ones win):\n" + lines);
}

}  // namespace Hvlogcfg
