#include "logging/LogMacro.h"

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>

#include "basalt/ScopeGuard.h"

namespace ETWLogging {
namespace {

// A message's source and function names are made on the stack, so that the
// macros cost no allocation of their own; longer names are cut.
constexpr size_t kNameChars = MAX_PATH;

// The part of `path` that a message carries: after the last "\" or "/",
// before the last "." after that (all of it when there is none).
void FindSourceName(const wchar_t* path, const wchar_t*& name, size_t& charCount) {
    name = path;
    for (const wchar_t* c = path; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/') name = c + 1;
    }
    const wchar_t* dot = ::wcsrchr(name, L'.');
    charCount = dot != nullptr ? static_cast<size_t>(dot - name) : ::wcslen(name);
}

// `function` (a narrow name from __func__) widened through the ANSI code page.
void WidenFunctionName(const char* function, wchar_t (&wide)[kNameChars]) {
    const size_t byteCount = std::min(::strlen(function), kNameChars - 1);
    const int charCount = ::MultiByteToWideChar(CP_ACP, 0, function, static_cast<int>(byteCount),
                                                wide, static_cast<int>(kNameChars - 1));
    wide[charCount > 0 ? charCount : 0] = L'\0';
}

}  // namespace

std::wstring SourceNameFromPath(const wchar_t* path) {
    if (path == nullptr) return std::wstring();
    const wchar_t* name = nullptr;
    size_t charCount = 0;
    FindSourceName(path, name, charCount);
    return std::wstring(name, charCount);
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
        wchar_t source[kNameChars] = {};
        if (sourcePath != nullptr) {
            const wchar_t* name = nullptr;
            size_t charCount = 0;
            FindSourceName(sourcePath, name, charCount);
            ::wmemcpy(source, name, std::min(charCount, kNameChars - 1));
        }
        wchar_t functionName[kNameChars] = {};
        if (function != nullptr) WidenFunctionName(function, functionName);
        // Formatted once, by the logger, exactly as the installer's own messages.
        va_list args;
        va_start(args, format);
        Basalt::ScopeGuard argsEnd([&args] { va_end(args); });
        return facade->LogPrintableV(level, source, functionName, line, format, args);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace internal

}  // namespace ETWLogging
