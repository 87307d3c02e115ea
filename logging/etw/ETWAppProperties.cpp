#include "logging/etw/ETWAppProperties.h"

#include <wchar.h>

#include "basalt/ObfuscatedRegKey.h"
#include "logging/LoggingKeys.h"

namespace ETWLogging {
namespace internal {
namespace {

constexpr wchar_t kConfigRootPath[] = L"SOFTWARE\\Halvik.logging";
constexpr wchar_t kEtlFileName[] = L"hvlogs.etl";
constexpr wchar_t kDefaultControllerKeyPath[] = L"SOFTWARE\\Halvik\\Logging\\Controller";
constexpr wchar_t kDefaultProviderKeyPath[] = L"SOFTWARE\\Halvik\\Logging\\Provider";
constexpr wchar_t kDefaultLogSubPath[] = L"\\Halvik\\HVLOGS";
constexpr wchar_t kDefaultEtlSubPath[] = L"\\Halvik\\HVLOGS\\ETW";
constexpr wchar_t kDefaultOwnerMutexName[] =
    L"Global\\Halvik.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
constexpr wchar_t kDefaultSessionName[] = L"Halvik.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
constexpr GUID kDefaultSessionGuid = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr GUID kDefaultProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

constexpr wchar_t kSessionKey[] = L"Session";
constexpr wchar_t kProviderKey[] = L"Provider";
constexpr wchar_t kControllerKey[] = L"Controller";
constexpr wchar_t kLogPathValue[] = L"Log Path";
constexpr wchar_t kEtlPathValue[] = L"ETL Path";
constexpr wchar_t kControllerPathValue[] = L"Controller Path";
constexpr wchar_t kOwnerMutexNameValue[] = L"Owner Mutex Name";
constexpr wchar_t kSessionGuidValue[] = L"Session ID Guid";
constexpr wchar_t kSessionNameValue[] = L"Session Name";
constexpr wchar_t kProviderGuidValue[] = L"Provider Guid";

}  // namespace

ETWAppProperties::ETWAppProperties(std::shared_ptr<Basalt::ShlObjAPI> shell)
    : shell_(shell ? std::move(shell) : std::make_shared<Basalt::ShlObjAPI>()) {}

bool ETWAppProperties::LoadConfiguration(const wchar_t* productTag) {
    if (!productTag_.empty()) return false;  // only the first load counts
    productTag_ = (productTag != nullptr && *productTag != L'\0') ? productTag : kDefaultProductTag;
    if (programDataFolder_.empty() && GetProgramDataFolder(programDataFolder_) != ERROR_SUCCESS) {
        return false;
    }
    Basalt::CRegKey productKey;
    if (productKey.Open(rootKey_, GetKeyPath(nullptr).c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS) {
        return ReadFromRegistry(programDataFolder_, productKey);
    }
    return SetDefaults(programDataFolder_);
}

DWORD ETWAppProperties::GetProgramDataFolder(std::wstring& out) {
    std::wstring folder;
    if (!Basalt::QueryKnownFolder(*shell_, FOLDERID_ProgramData, KF_FLAG_CREATE, folder)) {
        return ERROR_INVALID_PARAMETER;
    }
    out = folder;
    return ERROR_SUCCESS;
}

bool ETWAppProperties::ReadFromRegistry(std::wstring programDataFolder,
                                        Basalt::CRegKey& productKey) {
    Basalt::CObfuscatedRegKey baseKey;
    baseKey.Attach(productKey.Detach());
    Basalt::CObfuscatedRegKey session, provider, controller;
    if (session.Open(baseKey.GetHandle(), kSessionKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        provider.Open(baseKey.GetHandle(), kProviderKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controller.Open(baseKey.GetHandle(), kControllerKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return false;
    }
    loggingKeyPath_ = GetKeyPath(nullptr);
    controllerKeyPath_ = GetKeyPath(kControllerKey);
    providerKeyPath_ = GetKeyPath(kProviderKey);
    configKeyPath_ = loggingKeyPath_;

    std::wstring logSubPath = kDefaultLogSubPath;
    std::wstring etlSubPath = kDefaultEtlSubPath;
    // A value that is missing or unreadable leaves its default in place.
    (void)baseKey.QueryStringValue(kLogPathValue, logSubPath);
    (void)baseKey.QueryStringValue(kEtlPathValue, etlSubPath);
    SetPaths(programDataFolder, logSubPath, etlSubPath);

    // In this order, stopping at the first value that cannot be read.
    return controller.QueryStringValue(kControllerPathValue, controllerPath_) == ERROR_SUCCESS &&
           controller.QueryStringValue(kOwnerMutexNameValue, ownerMutexName_) == ERROR_SUCCESS &&
           session.QueryGUIDValue(kSessionGuidValue, sessionGuid_) == ERROR_SUCCESS &&
           session.QueryStringValue(kSessionNameValue, sessionName_) == ERROR_SUCCESS &&
           provider.QueryGUIDValue(kProviderGuidValue, providerGuid_) == ERROR_SUCCESS;
}

bool ETWAppProperties::SetDefaults(std::wstring programDataFolder) {
    if (::_wcsicmp(productTag_.c_str(), kDefaultProductTag) != 0) return false;
    loggingKeyPath_ = kLoggingKeyPath;
    controllerKeyPath_ = kDefaultControllerKeyPath;
    providerKeyPath_ = kDefaultProviderKeyPath;
    configKeyPath_ = kLoggingKeyPath;
    SetPaths(programDataFolder, kDefaultLogSubPath, kDefaultEtlSubPath);
    ownerMutexName_ = kDefaultOwnerMutexName;
    sessionGuid_ = kDefaultSessionGuid;
    sessionName_ = kDefaultSessionName;
    providerGuid_ = kDefaultProviderGuid;
    return true;
}

void ETWAppProperties::SetPaths(const std::wstring& folder, const std::wstring& logSubPath,
                                const std::wstring& etlSubPath) {
    // The sub-paths are appended unchanged: a stored one starts with a backslash.
    logPath_ = folder + logSubPath;
    etlPath_ = folder + etlSubPath;
    etlFile_ = etlPath_ + L"\\" + GetEtlFileName();
}

std::wstring ETWAppProperties::GetEtlFileName() { return kEtlFileName; }

std::wstring ETWAppProperties::GetConfigRootPath() { return kConfigRootPath; }

std::wstring ETWAppProperties::GetKeyPath(const wchar_t* subkey) {
    std::wstring path = GetConfigRootPath() + L"\\" + productTag_;
    if (subkey != nullptr) path += std::wstring(L"\\") + subkey;
    return path;
}

}  // namespace internal
}  // namespace ETWLogging
