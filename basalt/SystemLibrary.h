// Run-time binding of system libraries: loading one from the System folder only,
// and looking up its functions by name with their types.
#pragma once

#include <windows.h>

#include <string>

namespace Basalt {

class ShlObjAPI;

// Restricts the process's DLL search path to the System folder
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32) when the system
// offers the function; true when it did. Call it first thing in a program's entry
// point, before any library is bound late.
bool HardenDllSearchPath();

// The full path of `libraryName` in the System folder as `shell` finds it; false,
// `path` unchanged, when the name is null or the folder cannot be found.
bool SystemLibraryPath(ShlObjAPI& shell, const wchar_t* libraryName, std::wstring& path);

// Loads `libraryName` from the System folder only, with `flags` less
// LOAD_WITH_ALTERED_SEARCH_PATH; none when the folder or the library is missing.
HMODULE LoadSystemLibrary(const wchar_t* libraryName, DWORD flags);

// A looked-up address as the function type `Fn` (a pointer to a WINAPI function);
// the one place such an address changes its type.
template <typename Fn>
Fn ProcedureAs(FARPROC procedure) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(procedure));
}

// The function `name` of `module` as `Fn`; none when the module is none or has no
// such name.
template <typename Fn>
Fn FindProcedure(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    return ProcedureAs<Fn>(::GetProcAddress(module, name));
}

}  // namespace Basalt
