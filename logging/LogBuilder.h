// The log builder: applies the back-end choice and builds the process-wide
// logger.
#pragma once

#include <windows.h>

namespace ETWLogging {

// Registers the at-exit action that deletes the process-wide log builder.
// Start-up calls it once, after the foundation logger's default handler.
void RegisterLogBuilderCleanup();

}  // namespace ETWLogging
