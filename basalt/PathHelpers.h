// Directory, current-folder and path-text helpers, and the file name of a module.
//
// Free functions without state of their own: any thread may call them; the
// strings they return are the caller's.
#pragma once

#include <windows.h>

#include <string>

namespace Basalt {

// True when `path` is non-null, non-empty and names an existing directory.
bool DirectoryExists(const wchar_t* path);

// Creates the directory `fullPath` and its missing parents. Keeps a leading
// "\\?\" on every path it creates. Returns 0 when the directory exists
// afterwards, ERROR_DIRECTORY when a file holds one of the names, else the Win32
// code of the failing CreateDirectoryW. A name
// without any backslash returns 0 and creates nothing.
DWORD CreateDirectoryTree(const wchar_t* fullPath);

// Creates the directory `path`, absolute or relative, with its parents. A
// relative path with a backslash is taken from the root of the current drive.
// True when the directory existed (code ERROR_ALREADY_EXISTS) or was created (code 0); false
// with ERROR_INVALID_PARAMETER for an empty path or with the code of the failure.
bool CreateDirectoryPath(const wchar_t* path, DWORD* code = nullptr);

// Whether `name` is one plain component of a path: not empty, "." or "..";
// none of \ / : * ? " < > | nor a control character; no trailing dot or
// blank; not a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// with or without an extension).
bool IsPlainPathComponent(const std::wstring& name);

// The current directory, or an empty string when it cannot be read.
std::wstring GetCurrentDirectoryString();

// The text after the last backslash of `path` (the file name of a full path); all of
// it when it has no backslash.
std::wstring TextAfterLastBackslash(const std::wstring& path);

// `name` cut before its last "."; all of it when it has no ".".
std::wstring WithoutExtension(const std::wstring& name);

// The full file name of `module` (the executable for none), however long; empty when
// the system cannot give it.
std::wstring ModuleFilePath(HMODULE module);

// The file name of `module` (the executable for none), after the last "" of its full
// path; false when the system gives no path or one without "".
bool ModuleImageName(HMODULE module, std::wstring& imageName);

}  // namespace Basalt
