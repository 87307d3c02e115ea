#include "logging/LogBuilder.h"

#include <stdlib.h>

#include <memory>
#include <new>

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/RegKey.h"
#include "logging/LogFacade.h"
#include "logging/etw/ETWLogging.h"
#include "logging/file/FileLogging.h"

namespace ETWLogging {
namespace {

CDefaultLogBuilder* g_builder = nullptr;

void DeleteLogBuilder() {
    delete g_builder;
    g_builder = nullptr;
}

// Allocates a back end of type T and initialises it: the extended form first
// when T has it, then the plain one (without product tag).
template <typename T>
bool CreateLogger(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                  const wchar_t* hostName, CLoggingIf** logger) {
    if (logger == nullptr || *logger != nullptr) return false;
    if (groupName != nullptr && *groupName == L'\0') return false;
    if (hostName != nullptr && *hostName == L'\0') return false;

    // Owned here until it is handed out, so that a refusal or an exception
    // from initialisation does not leak it.
    std::unique_ptr<CLoggingIf> candidate(new (std::nothrow) T());
    if (!candidate) return false;
    auto* extended = dynamic_cast<CLoggingIf_ex*>(candidate.get());
    if (extended == nullptr ||
        extended->InitEx(productTag, groupName, module, hostName, nullptr) != ERROR_SUCCESS) {
        if (candidate->Init(groupName, module, hostName, nullptr) != ERROR_SUCCESS) return false;
    }
    *logger = candidate.release();
    (*logger)->AddRef();
    return true;
}

}  // namespace

bool CDefaultLogBuilder::Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                               DWORD forceFileLogging, CLoggingIf** logger,
                               Basalt::CRegKey* configKey) {
    return BuildEx(nullptr, groupName, module, hostName, forceFileLogging, logger, configKey);
}

bool CDefaultLogBuilder::BuildEx(const wchar_t* productTag, const wchar_t* groupName,
                                 HMODULE module, const wchar_t* hostName, DWORD forceFileLogging,
                                 CLoggingIf** logger, Basalt::CRegKey* configKey) {
    bool useFile = forceFileLogging == 1;
    if (!useFile) {
        DWORD mechanism = 0;
        useFile = ReadLoggingMechanism(configKey, mechanism) && mechanism == kMechanismFile;
    }
    return useFile ? CreateFileLogger(productTag, groupName, module, hostName, logger)
                   : CreateETWLogger(productTag, groupName, module, hostName, logger);
}

bool CreateETWLogger(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                     const wchar_t* hostName, CLoggingIf** logger) {
    return CreateLogger<CETWLogging>(productTag, groupName, module, hostName, logger);
}

bool CreateFileLogger(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                      const wchar_t* hostName, CLoggingIf** logger) {
    return CreateLogger<CLogging>(productTag, groupName, module, hostName, logger);
}

bool ReadLoggingMechanism(Basalt::CRegKey* configKey, DWORD& value) {
    // Read into a local: a typed read that fails may still have written the
    // buffer (a 4-byte binary value, say), and that must not select a back end.
    DWORD read = 0;
    if (configKey != nullptr) {
        if (configKey->QueryDWORDValue(kLoggingMechanismValue, read) == ERROR_SUCCESS) value = read;
        return true;
    }
    Basalt::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return false;
    }
    if (key.QueryDWORDValue(kLoggingMechanismValue, read) == ERROR_SUCCESS) value = read;
    return true;
}

CLogBuilderIf* GetLogBuilder() {
    if (g_builder == nullptr) g_builder = new (std::nothrow) CDefaultLogBuilder();
    return g_builder;
}

void RegisterLogBuilderCleanup() {
    static const bool registered = ::atexit(DeleteLogBuilder) == 0;
    (void)registered;
}

}  // namespace ETWLogging
