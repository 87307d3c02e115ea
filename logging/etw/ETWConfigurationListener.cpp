#include "logging/etw/ETWConfigurationListener.h"

#include "basalt/RegKey.h"
#include "basalt/StringHelpers.h"

namespace ETWLogging {
namespace {

constexpr DWORD kSeverityPreset = 3;

}  // namespace

std::array<std::wstring, kOverrideKeyCount> OverrideKeyPaths(const std::wstring& providerPath,
                                                             const std::wstring& groupName,
                                                             const std::wstring& loggerName) {
    return {providerPath, Basalt::FormatString(L"%s\\%s", providerPath.c_str(), groupName.c_str()),
            Basalt::FormatString(L"%s\\%s", providerPath.c_str(), loggerName.c_str())};
}

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                                     CLoggingIf* logger)
    : properties_(properties), logger_(logger) {}

void CETWConfigurationListener::OnConfigurationChanged(bool enable, DWORD level, DWORD /*flags*/) {
    if (logger_ == nullptr) return;
    logger_->SetEnabled(enable);
    logger_->SetSeverity(level);

    HKEY root = nullptr;
    std::wstring path;
    GetProviderKey(root, path);
    std::wstring groupName;
    logger_->GetGroupName(groupName);
    std::wstring loggerName;
    logger_->GetLoggerName(loggerName);
    for (const std::wstring& keyPath : OverrideKeyPaths(path, groupName, loggerName)) {
        ApplyKey(root, keyPath);
    }
}

bool CETWConfigurationListener::SetLogger(CLoggingIf* logger) {
    if (logger_ != nullptr || logger == nullptr) return false;
    logger_ = logger;
    return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& path) {
    root = properties_.RootKey();
    path = properties_.ProviderKeyPath();
}

void CETWConfigurationListener::ApplyKey(const HKEY& root, const std::wstring& path) {
    if (logger_ == nullptr) return;
    Basalt::CRegKey key;
    if (key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
    DWORD enable = 0;
    if (key.QueryDWORDValue(kEnableOverrideValue, enable) == ERROR_SUCCESS)
        logger_->SetEnabled(enable != 0);
    DWORD severity = kSeverityPreset;
    if (key.QueryDWORDValue(kSeverityOverrideValue, severity) == ERROR_SUCCESS)
        logger_->SetSeverity(severity);
}

}  // namespace ETWLogging
