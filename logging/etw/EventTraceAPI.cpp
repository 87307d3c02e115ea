#include "logging/etw/EventTraceAPI.h"

namespace ETWLogging {

ULONG EventTraceAPI::RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                        ULONG guidCount, PTRACE_GUID_REGISTRATION guidRegistrations,
                                        LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                        PTRACEHANDLE registrationHandle) {
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, guidRegistrations,
                                 mofImagePath, mofResourceName, registrationHandle);
}

ULONG EventTraceAPI::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    return ::UnregisterTraceGuids(registrationHandle);
}

ULONG EventTraceAPI::TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER event) {
    return ::TraceEvent(sessionHandle, event);
}

TRACEHANDLE EventTraceAPI::GetTraceLoggerHandle(PVOID buffer) {
    return ::GetTraceLoggerHandle(buffer);
}

UCHAR EventTraceAPI::GetTraceEnableLevel(TRACEHANDLE sessionHandle) {
    return ::GetTraceEnableLevel(sessionHandle);
}

ULONG EventTraceAPI::GetTraceEnableFlags(TRACEHANDLE sessionHandle) {
    return ::GetTraceEnableFlags(sessionHandle);
}

}  // namespace ETWLogging
