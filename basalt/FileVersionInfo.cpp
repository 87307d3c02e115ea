#include "basalt/FileVersionInfo.h"

#include <knownfolders.h>

#include "basalt/StringHelpers.h"
#include "basalt/VersionAPI.h"

namespace Basalt {
namespace {

constexpr wchar_t kTranslationTable[] = L"\\VarFileInfo\\Translation";
constexpr wchar_t kStringValueFormat[] = L"\\StringFileInfo\\%04X%04X\\%s";

struct Translation {
    WORD language;
    WORD codePage;
};

}  // namespace

std::wstring VersionStringPath(WORD language, WORD codePage, const wchar_t* valueName) {
    return FormatString(kStringValueFormat, language, codePage, valueName);
}

bool FileVersionInfo::Load(const std::wstring& path) {
    if (loaded_) return false;
    const VersionAPI& api = VersionAPI::Instance();
    DWORD handle = 0;
    const DWORD size = api.GetInfoSize(path.c_str(), &handle);
    if (size == 0) return false;
    resource_.assign(size, 0);
    loaded_ = api.GetInfo(path.c_str(), 0, size, resource_.data()) == 1;
    return loaded_;
}

std::wstring FileVersionInfo::GetString(const std::wstring& valueName) {
    if (!loaded_) return std::wstring();
    const VersionAPI& api = VersionAPI::Instance();
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!api.QueryValue(resource_.data(), kTranslationTable, &table, &tableBytes) ||
        table == nullptr) {
        return std::wstring();
    }
    const auto* translations = static_cast<const Translation*>(table);
    for (UINT i = 0; i < tableBytes / sizeof(Translation); ++i) {
        const std::wstring path = VersionStringPath(translations[i].language,
                                                    translations[i].codePage, valueName.c_str());
        void* value = nullptr;
        UINT valueChars = 0;
        if (api.QueryValue(resource_.data(), path.c_str(), &value, &valueChars) &&
            value != nullptr) {
            // The text up to its terminator, but never past the characters
            // the resource says the value holds: a malformed file may omit
            // the terminator of its last value.
            const wchar_t* text = static_cast<const wchar_t*>(value);
            return std::wstring(text, ::wcsnlen(text, valueChars));
        }
    }
    return std::wstring();
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : shell_(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

bool SystemFileVersionInfo::Load(const std::wstring& fileName) {
    std::wstring folder = systemFolder_;
    if (folder.empty()) {
        // Kept only once found; a failed lookup leaves "\" for this call.
        if (QueryKnownFolder(*shell_, FOLDERID_System, /*flags=*/0, folder)) {
            systemFolder_ = folder + L"\\";
            folder = systemFolder_;
        } else {
            folder = L"\\";
        }
    }
    return FileVersionInfo::Load(folder + fileName);
}

}  // namespace Basalt
