#include "logging/etw/TraceSessionAPI.h"

#include "basalt/SystemLibrary.h"

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

ULONG TraceSessionAPI::EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS infoClass, PVOID inBuffer,
                                             ULONG inBufferSize, PVOID outBuffer,
                                             ULONG outBufferSize, PULONG returnLength) {
    // Bound late: not every advapi32 exports it (Wine's keeps it in sechost only), and a
    // program that imported it would not load there.
    using EnumerateFn = ULONG(WINAPI*)(TRACE_QUERY_INFO_CLASS, PVOID, ULONG, PVOID, ULONG, PULONG);
    const auto enumerate = Basalt::FindProcedure<EnumerateFn>(::GetModuleHandleW(L"advapi32.dll"),
                                                              "EnumerateTraceGuidsEx");
    if (enumerate == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    return enumerate(infoClass, inBuffer, inBufferSize, outBuffer, outBufferSize, returnLength);
}

}  // namespace ETWLogging
