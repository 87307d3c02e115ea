#include "basalt/SystemLibrary.h"

#include <knownfolders.h>

#include "basalt/ShlObjAPI.h"
#include "basalt/StringHelpers.h"

namespace Basalt {

bool HardenDllSearchPath() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefaultDllDirectories = FindProcedure<SetDefaultDllDirectoriesFn>(
        ::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDllDirectories == nullptr) return false;
    return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}

bool SystemLibraryPath(ShlObjAPI& shell, const wchar_t* libraryName, std::wstring& path) {
    if (libraryName == nullptr) return false;
    std::wstring folder;
    if (!QueryKnownFolder(shell, FOLDERID_System, /*flags=*/0, folder)) return false;
    path = FormatString(L"%s\\%s", folder.c_str(), libraryName);
    return true;
}

HMODULE LoadSystemLibrary(const wchar_t* libraryName, DWORD flags) {
    ShlObjAPI shell;
    std::wstring path;
    if (!SystemLibraryPath(shell, libraryName, path)) return nullptr;
    return ::LoadLibraryExW(path.c_str(), nullptr, flags & ~LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace Basalt
