// Changing a log.ini so that nothing planted in its folder can redirect the
// write: the file is read through a checked handle, the change is made on a
// new copy under an unpredictable name in the same folder, and the copy is
// renamed over log.ini through its own handle. Shared by the file logger and
// the operator tool.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "basalt/FileChecks.h"

namespace ETWLogging {

constexpr wchar_t kIniFileName[] = L"log.ini";

// Where a change of a log.ini stopped.
enum class IniChangeStep {
    kNone,
    kRead,     // log.ini could not be read, or was refused
    kCopy,     // the copy could not be made
    kChange,   // the change could not be written to the copy
    kCheck,    // the change does not read back from the copy
    kRaced,    // log.ini changed while the copy was made
    kReplace,  // the copy could not take log.ini's place
};

struct IniChangeFailure {
    IniChangeStep step = IniChangeStep::kNone;
    DWORD code = ERROR_SUCCESS;
    std::string before;  // log.ini's bytes as read, for a reason that names their form
};

// Reads the whole of the open `file` (read access), a small file that others
// may be writing meanwhile: 0 with its bytes, ERROR_FILE_TOO_LARGE past 16 MiB
// (a log.ini holds a handful of lines), ERROR_OUTOFMEMORY, or the failing
// call's code. `bytes` keeps its storage, so that a caller that reads again
// into the same string allocates only for a larger file.
DWORD ReadSmallFile(HANDLE file, std::string& bytes);

// Changes `folder`\log.ini through a copy: `change` edits the copy by its
// path (a missing log.ini gives an empty copy) and `check` confirms, from the
// copy, that the framework's reader sees the change. The copy replaces
// log.ini only when log.ini is still as it was read; a copy that does not
// is deleted through a handle checked to be the one created. True when log.ini
// was replaced; otherwise false with where and why in `failure`.
bool ChangeIniThroughCopy(const std::wstring& folder, const std::wstring& folderFinal,
                          Basalt::CFolderChain& chain,
                          const std::function<bool(const std::wstring&)>& change,
                          const std::function<bool(const std::wstring&)>& check,
                          IniChangeFailure& failure);

}  // namespace ETWLogging
