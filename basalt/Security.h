// Security descriptors of registry keys, with the security functions of
// advapi32.dll bound at run time.
#pragma once

#include <windows.h>

namespace Basalt {

// Gives the well-known group Everyone full access (GENERIC_ALL, inherited by
// subkeys) to the open key `key` and, when `recursive`, to every key below it
// that can be opened. 0 on success (and, doing nothing, on a platform that is
// not NT); 2 when the functions cannot be bound; otherwise the failing call's
// code. The caller checks that the key is open.
LONG GrantEveryoneFullAccessToKey(HKEY key, bool recursive);

}  // namespace Basalt
