#include "logging/etw/LoggingModuleInfo.h"

#include <stdlib.h>
#include <wchar.h>

#include <vector>

#include "basalt/FileVersionInfo.h"
#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "basalt/VersionAPI.h"

namespace ETWLogging {
namespace internal {
namespace {

constexpr size_t kVersionQueryChars = 128;
constexpr UINT kTranslationBytes = 4;

// Any static object of this code: its address lies inside the logging module.
const int kModuleAnchor = 0;

LoggingModuleInfo ComputeLoggingModuleInfo() {
    LoggingModuleInfo info;
    const HMODULE module = ModuleFromAddress(&kModuleAnchor);
    if (module == nullptr) return info;
    info.modulePath = Basalt::ModuleFilePath(module);
    info.moduleFileName = ModuleFileNameFromPath(info.modulePath);
    info.fileVersion = QueryFileVersion(info.modulePath);
    return info;
}

}  // namespace

const LoggingModuleInfo& GetLoggingModuleInfo() {
    static const LoggingModuleInfo info = ComputeLoggingModuleInfo();
    return info;
}

HMODULE ModuleFromAddress(const void* address) {
    MEMORY_BASIC_INFORMATION memory = {};
    if (::VirtualQuery(address, &memory, sizeof(memory)) != sizeof(memory)) return nullptr;
    return static_cast<HMODULE>(memory.AllocationBase);
}

std::wstring ModuleFileNameFromPath(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    // A name right after a leading "\" is no module's file name.
    if (slash == 0) return std::wstring();
    return Basalt::TextAfterLastBackslash(path);
}

std::wstring QueryFileVersion(const std::wstring& path) {
    const Basalt::VersionAPI& api = Basalt::VersionAPI::Instance();
    DWORD handle = 0;
    const DWORD size = api.GetInfoSize(path.c_str(), &handle);
    if (size == 0) return std::wstring();
    std::vector<BYTE> data(size);
    if (!api.GetInfo(path.c_str(), 0, size, data.data())) return std::wstring();

    void* translation = nullptr;
    UINT translationBytes = 0;
    if (!api.QueryValue(data.data(), L"\\VarFileInfo\\Translation", &translation,
                        &translationBytes) ||
        translation == nullptr || translationBytes < kTranslationBytes) {
        return std::wstring();
    }
    const WORD* languageAndCodePage = static_cast<const WORD*>(translation);
    const std::wstring query =
        Basalt::VersionStringPath(languageAndCodePage[0], languageAndCodePage[1], L"FileVersion");
    if (query.size() >= kVersionQueryChars) return std::wstring();
    void* text = nullptr;
    UINT textChars = 0;
    if (!api.QueryValue(data.data(), query.c_str(), &text, &textChars) || text == nullptr ||
        textChars == 0) {
        return std::wstring();
    }
    // The count includes the terminator when there is one; never read past it.
    const wchar_t* chars = static_cast<const wchar_t*>(text);
    return NormalizeFileVersion(std::wstring(chars, ::wcsnlen(chars, textChars)));
}

std::wstring NormalizeFileVersion(const std::wstring& text) {
    // Four unsigned numbers separated by commas ("%u,%u,%u,%u"): blanks before a
    // number are allowed, anything after the fourth is ignored.
    constexpr int kParts = 4;
    constexpr int kDecimal = 10;
    unsigned long part[kParts] = {};
    const wchar_t* cursor = text.c_str();
    for (int i = 0; i < kParts; ++i) {
        wchar_t* end = nullptr;
        part[i] = ::wcstoul(cursor, &end, kDecimal);
        if (end == cursor) return text;
        if (i + 1 < kParts) {
            if (*end != L',') return text;
            ++end;
        }
        cursor = end;
    }
    return Basalt::FormatString(L"%lu.%lu.%lu.%lu", part[0], part[1], part[2], part[3]);
}

}  // namespace internal
}  // namespace ETWLogging
