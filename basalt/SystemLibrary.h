// Run-time binding of system libraries: loading one from the System folder only,
// and looking up its functions by name with their types.
#pragma once

#include <windows.h>

namespace Basalt {

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
