#include "logging/LoggingIf.h"

#include <stdio.h>
#include <wchar.h>

#include <atomic>

#include "logging/FormatCheck.h"

namespace ETWLogging {
namespace {

std::atomic<DWORD> g_processSeverity{kDefaultSeverity};

}  // namespace

DWORD ClampLevel(DWORD level) {
    if (level < kLevelMin) return kLevelMin;
    if (level > kLevelMax) return kLevelMax;
    return level;
}

DWORD ExchangeProcessSeverity(DWORD level) { return g_processSeverity.exchange(level); }

DWORD CLoggingIf::FormatAndLog(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, va_list args) {
    // Zero-filled, so that a format the runtime gives up on part way still
    // leaves a terminated text.
    wchar_t buffer[kFormatBufferChars] = {};
    if (format != nullptr && !IsPrintableFormat(format)) {
        // The printer's invalid-parameter handler would end the process on
        // Windows: the format is logged as text, cut as a message is.
        ::_snwprintf(buffer, kFormatBufferChars - 1, L"%s%s", kUnprintableFormatMarker, format);
    } else if (format != nullptr) {
        // At most 4159 characters; a cut or failed format ends at position 4159.
        const int written = ::_vsnwprintf(buffer, kFormatBufferChars - 1, format, args);
        if (written < 0) buffer[kFormatBufferChars - 1] = L'\0';
    }
    return LogMessage(file, function, line, level, buffer);
}

#define ETWLOGGING_FIXED_LEVEL(Name, Level)                                        \
    DWORD CLoggingIf::Name(const wchar_t* file, const wchar_t* function, int line, \
                           const wchar_t* format, ...) {                           \
        va_list args;                                                              \
        va_start(args, format);                                                    \
        DWORD code = FormatAndLog(Level, file, function, line, format, args);      \
        va_end(args);                                                              \
        return code;                                                               \
    }

ETWLOGGING_FIXED_LEVEL(LogNormal, kLevelNormal)
ETWLOGGING_FIXED_LEVEL(LogError, kLevelError)
ETWLOGGING_FIXED_LEVEL(LogWarning, kLevelWarning)
ETWLOGGING_FIXED_LEVEL(LogCritical, kLevelCritical)
ETWLOGGING_FIXED_LEVEL(LogInformation, kLevelInformation)

#undef ETWLOGGING_FIXED_LEVEL

}  // namespace ETWLogging
