// The identity of the module that contains the logging code: computed once
// per process and carried in every event.
#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging {
namespace internal {

struct LoggingModuleInfo {
    std::wstring modulePath;
    std::wstring moduleFileName;
    std::wstring fileVersion;  // "a.b.c.d", the raw "FileVersion" text, or empty
};

// The process-wide record, computed on first use (thread-safe) and kept until
// exit. Fields the system cannot give stay empty; nothing is reported.
const LoggingModuleInfo& GetLoggingModuleInfo();

// The module containing `address` (VirtualQuery's allocation base), or NULL.
HMODULE ModuleFromAddress(const void* address);
// The text after the last backslash; the whole path without one; empty when
// the only backslash is the first character.
std::wstring ModuleFileNameFromPath(const std::wstring& path);
// The "FileVersion" string of the first translation of `path`'s version
// resource, as "%u.%u.%u.%u" when it holds four comma-separated numbers, else
// unchanged; empty when the file has none.
std::wstring QueryFileVersion(const std::wstring& path);
// "1, 2, 3, 4" becomes "1.2.3.4"; any other text is returned unchanged.
std::wstring NormalizeFileVersion(const std::wstring& text);

}  // namespace internal
}  // namespace ETWLogging
