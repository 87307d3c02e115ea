// The system calls of the driver installer that tests must be able to fail,
// behind a replaceable service: conditions which cannot be produced for real
// (no System folder, no program path, a catalog library without one of its
// functions, a delayed move that fails). The file reads and writes are real.
#pragma once

#include <windows.h>

#include "basalt/ShlObjAPI.h"

namespace Gatesvc {

// Each operation calls the Win32 function named in its comment with the same
// arguments and returns its result; the last error is left as that call left
// it. (The names differ from the Win32 ones, which are macros.)
class InstallerSystemAPI : public Basalt::ShlObjAPI {
  public:
    // GetModuleFileNameW
    virtual DWORD ModuleFileName(HMODULE module, wchar_t* buffer, DWORD capacity);
    // MoveFileExW
    virtual BOOL MoveFileWithFlags(const wchar_t* source, const wchar_t* destination, DWORD flags);
    // LoadLibraryW, given a full path; the caller owns the module and frees it.
    virtual HMODULE LoadModule(const wchar_t* path);
    // GetProcAddress
    virtual FARPROC FindProc(HMODULE module, const char* name);
};

}  // namespace Gatesvc
