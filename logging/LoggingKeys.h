// Where the logging configuration lives in the registry (below HKEY_LOCAL_MACHINE),
// for every part of the logging library and the tools that write it.
// Constants only.
#pragma once

#include <windows.h>

namespace ETWLogging {

constexpr wchar_t kLoggingKeyPath[] = L"SOFTWARE\\Halvik\\Logging";
// The back-end choice below kLoggingKeyPath (see kMechanismFile).
constexpr wchar_t kLoggingMechanismValue[] = L"Logging Mechanism";

}  // namespace ETWLogging
