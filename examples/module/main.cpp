// A module that logs through the framework: it sets the logging identity
// once, then logs from two threads; each message is one line or one event.
#include <windows.h>

#include <thread>

#include "logging/LogMacro.h"

int wmain() {
    ETWLogging::LogIdentity& identity = ETWLogging::ProcessLogIdentity();
    identity.groupName = L"Examples";  // HVLOGS\Examples\my_module\my_module000.log
    identity.hostName = nullptr;
    identity.module = ::GetModuleHandleW(nullptr);

    std::thread worker([] { ETWLOGGING_ERROR(L"Worker %s: error %lu", L"copy", 5ul); });
    ETWLOGGING_INFORMATION(L"Started with %d worker", 1);
    ETWLOGGING_WARNING(L"Dropped unless the threshold is 2 or lower");
    worker.join();
    return 0;
}
