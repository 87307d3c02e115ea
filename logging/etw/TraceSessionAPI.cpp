#include "logging/etw/TraceSessionAPI.h"

namespace ETWLogging {

ULONG TraceSessionAPI::StartTrace(PTRACEHANDLE sessionHandle, LPCWSTR sessionName,
                                  PEVENT_TRACE_PROPERTIES properties) {
    return ::StartTraceW(sessionHandle, sessionName, properties);
}

ULONG TraceSessionAPI::ControlTrace(TRACEHANDLE sessionHandle, LPCWSTR sessionName,
                                    PEVENT_TRACE_PROPERTIES properties, ULONG controlCode) {
    return ::ControlTraceW(sessionHandle, sessionName, properties, controlCode);
}

ULONG TraceSessionAPI::EnableTrace(ULONG enable, ULONG enableFlags, ULONG enableLevel,
                                   LPCGUID controlGuid, TRACEHANDLE sessionHandle) {
    return ::EnableTrace(enable, enableFlags, enableLevel, controlGuid, sessionHandle);
}

TRACEHANDLE TraceSessionAPI::OpenTrace(PEVENT_TRACE_LOGFILEW logfile) {
    return ::OpenTraceW(logfile);
}

ULONG TraceSessionAPI::ProcessTrace(PTRACEHANDLE handles, ULONG handleCount, LPFILETIME startTime,
                                    LPFILETIME endTime) {
    return ::ProcessTrace(handles, handleCount, startTime, endTime);
}

ULONG TraceSessionAPI::CloseTrace(TRACEHANDLE traceHandle) { return ::CloseTrace(traceHandle); }

}  // namespace ETWLogging
