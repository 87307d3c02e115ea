// A module of the product that logs through the framework: it sets the
// process's logging identity once, then writes one line per message.
#include <windows.h>

#include "logging/LogMacro.h"

int wmain() {
    ETWLogging::LogIdentity& identity = ETWLogging::ProcessLogIdentity();
    identity.groupName = L"Examples";
    identity.hostName = nullptr;
    identity.module = ::GetModuleHandleW(nullptr);

    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Example module %s logged line %d", L"started", 1);
    return 0;
}
