// The file steps of the driver installer: reading the driver from the program's
// folder through one checked handle, and writing those bytes over the installed
// driver or into a new file beside it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Gatesvc {

// The largest driver file the installer reads into memory.
constexpr DWORD kMaxDriverBytes = 64 * 1024 * 1024;

// Reads the file `fileName` of `folder` whole, through one handle that denies
// writers and is checked before it is read: a plain file, not a reparse point,
// whose final path is `folder`'s own final path and `fileName` (so not a link to
// a file elsewhere), of at most `maxBytes`. Returns 0 with the bytes, or the Win32
// code of the failing call, a refusal of Basalt::CheckFileHandle (a link, a hard
// link) or ERROR_BAD_PATHNAME (not a disk file) for a file that fails a check,
// ERROR_FILE_TOO_LARGE or ERROR_HANDLE_EOF (the file was shorter than its size).
DWORD ReadCheckedFile(const std::wstring& folder, const wchar_t* fileName, DWORD maxBytes,
                      std::vector<BYTE>& bytes);

// Opens (or creates) the file at `path` for writing without sharing, writes
// `bytes` and cuts it there; 0 or the Win32 code of the failing call.
DWORD WriteFileContents(const std::wstring& path, const std::vector<BYTE>& bytes);

// Writes `bytes` into a file created new (CREATE_NEW) in `folder` under the name
// `prefix`, a random GUID and `suffix`, and returns its path in `path`. A file
// whose writing fails is deleted. 0 or the Win32 code of the failing call.
DWORD WriteNewFile(const std::wstring& folder, const std::wstring& prefix,
                   const std::wstring& suffix, const std::vector<BYTE>& bytes, std::wstring& path);

// Whether `path` names a file in `folder` whose name is `prefix`, something and
// `suffix` (as WriteNewFile names them), compared case-insensitively.
bool IsNewFileName(const std::wstring& path, const std::wstring& folder, const std::wstring& prefix,
                   const std::wstring& suffix);

}  // namespace Gatesvc
