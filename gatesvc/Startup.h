// What the program sets up before its entry point and tears down after it.
#pragma once

#include <windows.h>

namespace Gatesvc {

// The module handle of the image that holds this code, or none.
HMODULE GetCurrentModuleHandle();

// The process-wide objects in their fixed order: the facade's at-exit action,
// the foundation logger's default handler, the log builder's at-exit action,
// the module handle of the logging identity. At exit they go in reverse.
// Idempotent; runs from a static initialiser before the entry point.
void ProcessStartup();

// The entry point's work: harden, set the identity, run one command.
// Always returns 0.
int RunCommandLine(int argc, wchar_t** argv);

}  // namespace Gatesvc
