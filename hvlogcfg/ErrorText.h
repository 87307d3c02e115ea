// How the operator tool names a Windows error code, and what an operator can do about it.
#pragma once

#include <windows.h>

#include <string>

namespace Hvlogcfg {

// Whether this process runs with an elevated token (as an administrator that UAC let through);
// false when that cannot be told.
bool IsProcessElevated();

// A Win32 code as "text (code)", or "error code" when the system has no text for it. Access
// denied says what may help: running as administrator, unless `elevated` says the process already
// does, when elevation cannot be the cause.
std::wstring DescribeError(DWORD code, bool elevated);

}  // namespace Hvlogcfg
