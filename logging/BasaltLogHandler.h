// The bridge that carries the foundation library's messages into the process
// logger.
#pragma once

#include <windows.h>

#include "basalt/Logging/Logger.h"

namespace ETWLogging {

// Carries the foundation library's messages to the facade's Write, mapping
// type 0 and 1 to level 1, 2 to level 4 and any other to level 2.
class CBasaltLogHandler final : public Basalt::ILoggingHandler {
  public:
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override;
    // Clears the facade's record of this handler and unregisters it.
    virtual ~CBasaltLogHandler();

    // The process-wide bridge, created on first use; destroyed at exit before
    // everything that was set up earlier.
    static CBasaltLogHandler& Instance();

    static DWORD MapType(DWORD type);
};

}  // namespace ETWLogging
