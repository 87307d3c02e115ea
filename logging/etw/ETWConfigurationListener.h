// Applies a logger's enabled state and severity threshold, then the registry's
// "Enable" and "Severity" overrides below the Provider key.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "logging/LoggingConfigListenerIf.h"
#include "logging/LoggingIf.h"
#include "logging/etw/ETWAppProperties.h"

namespace ETWLogging {

// The override values, plain REG_DWORDs, that each override key may hold.
constexpr wchar_t kEnableOverrideValue[] = L"Enable";
constexpr wchar_t kSeverityOverrideValue[] = L"Severity";

// The keys that carry overrides, in the order they apply (a later one wins).
enum OverrideKey { kProviderOverrides, kGroupOverrides, kLoggerOverrides, kOverrideKeyCount };

// The override keys of the logger `loggerName` of group `groupName`, by OverrideKey:
// the Provider key `providerPath`, Provider\<group name> and Provider\<logger name>.
std::array<std::wstring, kOverrideKeyCount> OverrideKeyPaths(const std::wstring& providerPath,
                                                             const std::wstring& groupName,
                                                             const std::wstring& loggerName);

// Reads the plain REG_DWORD values "Enable" and "Severity" from the Provider
// key, Provider\<group name> and Provider\<logger name>, the most specific
// last. No thread, no lock and no change notification of its own: a registry
// change is seen at the next notification, which may come on the tracing
// service's thread while others log.
class CETWConfigurationListener : public LoggingConfigListenerIf {
  public:
    // Keeps a copy of `properties`; `logger` (not owned) may be set later.
    explicit CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                       CLoggingIf* logger = nullptr);
    // Sets enabled state and threshold on the logger, then applies the three
    // keys; does nothing while no logger is set. Unreadable values are skipped.
    void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) override;
    ~CETWConfigurationListener() override = default;

    // Stores `logger`: false, unchanged, when one is already set or `logger` is none.
    virtual bool SetLogger(CLoggingIf* logger);
    // The registry root and the Provider key path of the configuration.
    virtual void GetProviderKey(HKEY& root, std::wstring& path);
    // Applies the "Enable" and "Severity" of root\path; a key that cannot be
    // opened or a value that is not a readable REG_DWORD is skipped.
    virtual void ApplyKey(const HKEY& root, const std::wstring& path);

  private:
    internal::ETWAppProperties properties_;
    CLoggingIf* logger_;
};

}  // namespace ETWLogging
