#include "logging/LogMacro.h"

#include <stdarg.h>

#include "basalt/PathHelpers.h"
#include "basalt/ScopeGuard.h"
#include "basalt/StringHelpers.h"

namespace ETWLogging {

std::wstring SourceNameFromPath(const wchar_t* path) {
    if (path == nullptr) return std::wstring();
    std::wstring name = path;
    const size_t separator = name.find_last_of(L"\\/");
    if (separator != std::wstring::npos) name.erase(0, separator + 1);
    return Basalt::WithoutExtension(name);
}

namespace internal {

bool IsLevelEnabledForSource(DWORD level) noexcept {
    try {
        return IsLogLevelEnabled(level);
    } catch (...) {
        return false;  // the facade could not be made (memory exhausted)
    }
}

DWORD LogFromSource(DWORD level, const wchar_t* sourcePath, const char* function, int line,
                    const wchar_t* format, ...) {
    // The log is a by-product of the caller's work: nothing here may stop it.
    try {
        CLogFacade* facade = GetLogFacade();
        if (facade == nullptr || format == nullptr) return kErrorNoLogger;
        const std::wstring source = SourceNameFromPath(sourcePath);
        const std::wstring functionName =
            Basalt::WideFromCodePage(CP_ACP, function != nullptr ? function : "");
        // Formatted once, by the logger, exactly as the installer's own messages.
        va_list args;
        va_start(args, format);
        Basalt::ScopeGuard argsEnd([&args] { va_end(args); });
        return facade->LogPrintableV(level, source.c_str(), functionName.c_str(), line, format,
                                     args);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace internal

}  // namespace ETWLogging
