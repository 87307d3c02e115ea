// Told of every change of a logger's enabled state and level.
//
// A logger owns the listener that its InitEx accepted and deletes it. The ETW
// back end calls it on the tracing service's thread, while others may log.
#pragma once

#include <windows.h>

namespace ETWLogging {

class LoggingConfigListenerIf {
  public:
    // Applies the new state to the logger, then any registry overrides.
    virtual void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
};

}  // namespace ETWLogging
