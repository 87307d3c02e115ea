#include "basalt/SystemLibrary.h"

#include <knownfolders.h>

#include <string>

#include "basalt/ShlObjAPI.h"
#include "basalt/StringHelpers.h"

namespace Basalt {

HMODULE LoadSystemLibrary(const wchar_t* libraryName, DWORD flags) {
    if (libraryName == nullptr) return nullptr;
    ShlObjAPI shell;
    std::wstring folder;
    if (!QueryKnownFolder(shell, FOLDERID_System, /*flags=*/0, folder)) return nullptr;
    const std::wstring path = FormatString(L"%s\\%s", folder.c_str(), libraryName);
    return ::LoadLibraryExW(path.c_str(), nullptr, flags & ~LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace Basalt
