// The file-version functions of version.dll, bound on first use from the
// System folder only.
//
// version.dll is not one of the system's known DLLs: imported at load time,
// it would be searched for beside the program first, so a copy planted there
// would run before any start-up code could restrict the search. Bound here,
// it never appears in a program's import table.
#pragma once

#include <windows.h>

#include "basalt/UniqueHandle.h"

namespace Basalt {

class VersionAPI {
  public:
    // The process-wide instance; binds the library the first time.
    static const VersionAPI& Instance();

    // GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW. When the
    // library or the function could not be bound: 0 or FALSE, last error
    // ERROR_PROC_NOT_FOUND.
    DWORD GetInfoSize(const wchar_t* path, DWORD* handle) const;
    BOOL GetInfo(const wchar_t* path, DWORD handle, DWORD byteCount, void* data) const;
    BOOL QueryValue(const void* block, const wchar_t* subBlock, void** buffer, UINT* length) const;

    VersionAPI(const VersionAPI&) = delete;
    VersionAPI& operator=(const VersionAPI&) = delete;

  private:
    VersionAPI();

    using GetFileVersionInfoSizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using GetFileVersionInfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using VerQueryValueFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

    UniqueHmodule module_;
    GetFileVersionInfoSizeFn getFileVersionInfoSize_ = nullptr;
    GetFileVersionInfoFn getFileVersionInfo_ = nullptr;
    VerQueryValueFn verQueryValue_ = nullptr;
};

}  // namespace Basalt
