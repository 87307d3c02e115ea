// The file operations that Windows carries out at the next restart: the value
// "PendingFileRenameOperations" (REG_MULTI_SZ) of
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager, which MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT appends to. It holds pairs of strings: the source
// ("\??\C:\..."), then the destination ("!\??\C:\..." to replace an existing
// file, "\??\C:\..." otherwise) or an empty string, which deletes the source.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace Gatesvc {

// One scheduled operation, both strings exactly as stored.
struct PendingRename {
    std::wstring source;
    std::wstring destination;

    bool operator==(const PendingRename& other) const {
        return source == other.source && destination == other.destination;
    }
};

// The pairs of a REG_MULTI_SZ value of `charCount` characters. Empty strings are
// kept (they mark deletions); the closing empty string of the list, and a last
// string without a partner, are left out.
std::vector<PendingRename> ParsePendingRenames(const wchar_t* text, size_t charCount);

// The characters of the value that holds `renames`: every string with its zero,
// then the zero that closes the list.
std::vector<wchar_t> FormatPendingRenames(const std::vector<PendingRename>& renames);

// The path an entry names, without the "!" replace mark and the "\??\" prefix;
// empty for the deletion mark.
std::wstring PendingRenamePath(const std::wstring& entry);

// Whether an entry names `path` (compared as the file system compares names,
// case-insensitively).
bool PendingRenameNames(const std::wstring& entry, const std::wstring& path);

// Removes from the registry value every pair for which `cancel` returns true and
// appends them to `cancelled`; every other pair is written back exactly as it
// was, and the value is deleted when no pair is left. Returns 0 (also when there
// is no value or nothing to cancel) or the Win32 code of the failing registry
// call, in which case the value is left as it was.
LONG CancelPendingRenames(const std::function<bool(const PendingRename&)>& cancel,
                          std::vector<PendingRename>& cancelled);

}  // namespace Gatesvc
