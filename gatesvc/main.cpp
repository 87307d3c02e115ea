// gatesvc: puts the protection driver's file and catalog in place
// ("/InstallCat") or takes them away ("/UninstallCat"). Exit code always 0.
#include <windows.h>

#include "gatesvc/Startup.h"

namespace {

// Runs before wmain so that the at-exit order of the logging objects is fixed
// whatever the order of the other static initialisers.
const bool g_startup = (Gatesvc::ProcessStartup(), true);

}  // namespace

int wmain(int argc, wchar_t** argv) { return Gatesvc::RunCommandLine(argc, argv); }
