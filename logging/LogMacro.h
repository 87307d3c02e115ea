// One line per message for the program's other modules:
//
//     ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s: %lu", path, error);
//     ETWLOGGING_WARNING(L"Retrying %s", path);
//
// logs through the process-wide facade when the level is enabled, with the
// caller's source file name (without folder and extension), function and
// line. The arguments are not evaluated when the level is not enabled.
//
// The format is a wide literal, checked at compile time against its
// arguments (FormatCheck.h): "%s" takes a wide string (const wchar_t*), "%hs"
// a narrow one, "%d" an int, "%lu" a DWORD, "%I64d" or "%lld" a 64-bit
// integer, "%zu" a size_t, "%p" a pointer. A conversion that does not match its
// argument, a missing or extra argument, or a conversion that the printer
// refuses, does not compile. The message logged is the printer's output for
// the format, unchanged. A format made at run time goes through
// GetLogFacade()->Log, which logs one that the printer would refuse as
// "[unprintable format] " and the format's text.
//
// Levels (LoggingIf.h), in order: 1 Normal, 2 Warning, 3 Information,
// 4 Error, 5 Critical. A message is written when its level is at or above the
// back end's threshold, which is 3 unless configured: so by default Normal
// and Warning messages are dropped. Level 3 always passes the ETW back end.
// The threshold is set by the operator (hvlogcfg set file Severity N, or
// hvlogcfg set etw Severity N) or in code with
// GetLogFacade()->GetLogger()->SetSeverity(N).
//
// Result: 0 when the message was written or filtered out by its level alike;
// ERROR_FUNCTION_FAILED (kErrorNoLogger) when no logger could be built; the
// code of a logger that could not start; ERROR_NOT_ENOUGH_MEMORY when the
// message could not be made. Logging never throws and never stops the caller.
//
// Threads: any thread may log once the identity (LogFacade.h) is set; the
// first message builds the logger, concurrent first callers wait for it.
// Nothing to own: the facade owns the logger.
#pragma once

#include <windows.h>

#include <string>

#include "logging/FormatCheck.h"
#include "logging/LogFacade.h"

namespace ETWLogging {

// The source name a message carries: `path` after its last "\" or "/", cut
// before its last ".".
std::wstring SourceNameFromPath(const wchar_t* path);

namespace internal {

// IsLogLevelEnabled for the macros: false, not an exception, when the facade
// cannot be made.
bool IsLevelEnabledForSource(DWORD level) noexcept;

// The macros' call: logs through the facade with the source name of
// `sourcePath` and the narrow `function` name widened. The format has been
// checked at compile time, so it is handed to the printer without the
// facade's run-time check. 0; kErrorNoLogger without a logger; the logger's
// start code. Never throws: a message that cannot be made is dropped.
DWORD LogFromSource(DWORD level, const wchar_t* sourcePath, const char* function, int line,
                    const wchar_t* format, ...);

}  // namespace internal
}  // namespace ETWLogging

// The format is the first of the variable arguments, so that a message
// without arguments needs no compiler extension.
#define ETWLOGGING_LOG(level, ...)                                                          \
    (ETWLOGGING_CHECK_FORMAT(__VA_ARGS__),                                                  \
     ::ETWLogging::internal::IsLevelEnabledForSource(level)                                 \
         ? ::ETWLogging::internal::LogFromSource((level), L"" __FILE__, __func__, __LINE__, \
                                                 __VA_ARGS__)                               \
         : static_cast<DWORD>(ERROR_SUCCESS))

// One per level, for a level that reads where it is used.
#define ETWLOGGING_NORMAL(...) ETWLOGGING_LOG(::ETWLogging::kLevelNormal, __VA_ARGS__)
#define ETWLOGGING_WARNING(...) ETWLOGGING_LOG(::ETWLogging::kLevelWarning, __VA_ARGS__)
#define ETWLOGGING_INFORMATION(...) ETWLOGGING_LOG(::ETWLogging::kLevelInformation, __VA_ARGS__)
#define ETWLOGGING_ERROR(...) ETWLOGGING_LOG(::ETWLogging::kLevelError, __VA_ARGS__)
#define ETWLOGGING_CRITICAL(...) ETWLOGGING_LOG(::ETWLogging::kLevelCritical, __VA_ARGS__)
