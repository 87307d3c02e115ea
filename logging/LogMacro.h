// One line per message for the program's other modules:
//
//     ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s: %lu", path, error);
//
// logs through the process-wide facade when the level is enabled, with the
// caller's source file name (without folder and extension), function and
// line, as the installer's own messages carry them. The arguments are not
// evaluated when the level is not enabled. The format is a wide printf-style
// format in which "%s" takes a wide string.
#pragma once

#include <windows.h>

#include <string>

#include "logging/LogFacade.h"

namespace ETWLogging {

// The source name a message carries: `path` after its last "\" or "/", cut
// before its last ".".
std::wstring SourceNameFromPath(const wchar_t* path);

// IsLogLevelEnabled for the macro: false, not an exception, when the facade
// cannot be made.
bool IsLevelEnabledForSource(DWORD level) noexcept;

// Logs through the facade with the source name of `sourcePath` and the
// narrow `function` name widened. 0; kErrorNoLogger without a logger; the
// logger's start code. Never throws: a message that cannot be made is dropped.
DWORD LogFromSource(DWORD level, const wchar_t* sourcePath, const char* function, int line,
                    const wchar_t* format, ...);

}  // namespace ETWLogging

// The format is the first of the variable arguments, so that a message
// without arguments needs no compiler extension.
#define ETWLOGGING_LOG(level, ...)                                                             \
    (::ETWLogging::IsLevelEnabledForSource(level)                                              \
         ? ::ETWLogging::LogFromSource((level), L"" __FILE__, __func__, __LINE__, __VA_ARGS__) \
         : static_cast<DWORD>(ERROR_SUCCESS))
