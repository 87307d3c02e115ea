// Told of every change of a logger's enabled state and level.
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
