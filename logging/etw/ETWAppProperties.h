// The registry-driven configuration of the ETW logger: which keys describe the
// logging set-up of a product, and what they say.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "basalt/RegKey.h"
#include "basalt/ShlObjAPI.h"

namespace ETWLogging {
namespace internal {

// The product tag that has built-in defaults when its product key is absent.
constexpr wchar_t kDefaultProductTag[] = L"NGX";

// Loaded once from HKEY_LOCAL_MACHINE\SOFTWARE\Halvik.logging\<tag> and its
// subkeys "Session", "Provider" and "Controller" (every value an obfuscated
// record), or from the built-in defaults of "NGX" when that key is absent.
// Copyable; not thread-safe while loading, read-only afterwards.
class ETWAppProperties {
  public:
    // `shell` finds the common application data folder; none gives the plain service.
    explicit ETWAppProperties(std::shared_ptr<Basalt::ShlObjAPI> shell = nullptr);
    virtual ~ETWAppProperties() = default;
    ETWAppProperties(const ETWAppProperties&) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = default;

    // Loads the configuration of `productTag` (NULL or empty: "NGX"). True when
    // a complete configuration is in place; false on any failure and for every
    // call after the first, which changes nothing.
    virtual bool LoadConfiguration(const wchar_t* productTag);
    // The common application data folder: 0, or ERROR_INVALID_PARAMETER when
    // the known folder cannot be obtained (`out` unchanged).
    virtual DWORD GetProgramDataFolder(std::wstring& out);
    // Reads every value below the open product key (its handle is taken over).
    // False when a subkey is missing or a required value cannot be read; what
    // was read before the failure stays stored.
    virtual bool ReadFromRegistry(std::wstring programDataFolder, Basalt::CRegKey& productKey);
    // The built-in configuration; false, changing nothing, unless the tag is "NGX".
    virtual bool SetDefaults(std::wstring programDataFolder);
    // Always "hvlogs.etl".
    virtual std::wstring GetEtlFileName();
    // Always "SOFTWARE\Halvik.logging".
    virtual std::wstring GetConfigRootPath();
    // The root path, "\" and the product tag, then "\" and `subkey` when given.
    virtual std::wstring GetKeyPath(const wchar_t* subkey);

    const std::wstring& ProductTag() const { return productTag_; }
    const std::wstring& ProgramDataFolder() const { return programDataFolder_; }
    const GUID& SessionGuid() const { return sessionGuid_; }
    const std::wstring& SessionName() const { return sessionName_; }
    const GUID& ProviderGuid() const { return providerGuid_; }
    const std::wstring& OwnerMutexName() const { return ownerMutexName_; }
    const std::wstring& LogPath() const { return logPath_; }
    const std::wstring& EtlPath() const { return etlPath_; }
    const std::wstring& EtlFile() const { return etlFile_; }
    const std::wstring& ControllerPath() const { return controllerPath_; }
    HKEY RootKey() const { return rootKey_; }
    const std::wstring& LoggingKeyPath() const { return loggingKeyPath_; }
    const std::wstring& ControllerKeyPath() const { return controllerKeyPath_; }
    const std::wstring& ProviderKeyPath() const { return providerKeyPath_; }
    const std::wstring& ConfigKeyPath() const { return configKeyPath_; }

  private:
    void SetPaths(const std::wstring& folder, const std::wstring& logSubPath,
                  const std::wstring& etlSubPath);

    std::wstring productTag_;
    std::wstring programDataFolder_;
    GUID sessionGuid_ = {};
    std::wstring sessionName_;
    GUID providerGuid_ = {};
    std::wstring ownerMutexName_;
    std::wstring logPath_;
    std::wstring etlPath_;
    std::wstring etlFile_;
    std::wstring controllerPath_;
    HKEY rootKey_ = HKEY_LOCAL_MACHINE;
    std::wstring loggingKeyPath_;
    std::wstring controllerKeyPath_;
    std::wstring providerKeyPath_;
    std::wstring configKeyPath_;
    std::shared_ptr<Basalt::ShlObjAPI> shell_;
};

}  // namespace internal
}  // namespace ETWLogging
