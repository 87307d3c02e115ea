// The log builder, which applies the back-end choice and builds the process
// logger.
//
// The facade uses it once, inside its once-only creation; the process-wide
// builder lives until exit. A logger it builds belongs to the caller (one
// reference, AddRef'd), which the facade then owns.
#pragma once

#include <windows.h>

#include "logging/LoggingIf.h"
#include "logging/LoggingKeys.h"

namespace Basalt {
class CRegKey;
}

namespace ETWLogging {

// "Logging Mechanism" value that selects the file back end; any other value,
// or none, selects ETW.
constexpr DWORD kMechanismFile = 1;

// Builds an initialised logger for a program identity. `logger` must hold
// none on entry; on success it holds the logger and the caller owns its
// reference. `configKey` is an open key to read "Logging Mechanism" from, or
// none to read it from the registry's logging key.
class CLogBuilderIf {
  public:
    virtual bool Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                       DWORD forceFileLogging, CLoggingIf** logger, Basalt::CRegKey* configKey) = 0;

  protected:
    ~CLogBuilderIf() = default;
};

// Adds the product tag, which selects the ETW configuration layout.
class CLogBuilderIf_ex : public CLogBuilderIf {
  public:
    virtual bool BuildEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                         const wchar_t* hostName, DWORD forceFileLogging, CLoggingIf** logger,
                         Basalt::CRegKey* configKey) = 0;

  protected:
    ~CLogBuilderIf_ex() = default;
};

// The file back end when forced or when "Logging Mechanism" is exactly 1;
// otherwise the ETW back end. There is no second attempt with the other one.
class CDefaultLogBuilder final : public CLogBuilderIf_ex {
  public:
    bool Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
               DWORD forceFileLogging, CLoggingIf** logger, Basalt::CRegKey* configKey) override;
    bool BuildEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                 const wchar_t* hostName, DWORD forceFileLogging, CLoggingIf** logger,
                 Basalt::CRegKey* configKey) override;
};

// Create and initialise a back end. False when `logger` already holds one,
// when a group or host name is given but empty, or when the back end cannot
// be allocated or initialised.
bool CreateETWLogger(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                     const wchar_t* hostName, CLoggingIf** logger);
bool CreateFileLogger(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                      const wchar_t* hostName, CLoggingIf** logger);

// Reads "Logging Mechanism": from `configKey` when given (true whatever the
// read gives), else through an obfuscated key on the logging key (false when
// that cannot be opened). `value` changes only when the read succeeds.
bool ReadLoggingMechanism(Basalt::CRegKey* configKey, DWORD& value);

// The process-wide builder, created on first use; none if it could not be.
CLogBuilderIf* GetLogBuilder();

// Registers the at-exit action that deletes the process-wide log builder.
// Start-up calls it once, after the foundation logger's default handler.
void RegisterLogBuilderCleanup();

}  // namespace ETWLogging
