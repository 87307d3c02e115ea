// The six provider functions of Event Tracing for Windows behind a replaceable
// service.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <wmistr.h>

namespace ETWLogging {

// Passes each call to the advapi32 function of the same name, unchanged, with
// that function's results and last-error behaviour. Users hold it in shared
// ownership and create the plain one when given none; where the system has no
// working tracing service, tests hand in a stand-in derived from it.
class EventTraceAPI {
  public:
    virtual ~EventTraceAPI() = default;

    // RegisterTraceGuidsW: 0 or a Win32 error; the handle goes to *registrationHandle.
    virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                     ULONG guidCount, PTRACE_GUID_REGISTRATION guidRegistrations,
                                     LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                     PTRACEHANDLE registrationHandle);
    // UnregisterTraceGuids: 0 or a Win32 error.
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    // TraceEvent: 0 or a Win32 error (ERROR_INVALID_PARAMETER for a null handle,
    // ERROR_INVALID_HANDLE for a session it does not know, ERROR_MORE_DATA for an event
    // larger than the session's buffer).
    virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER event);
    // GetTraceLoggerHandle: the session handle of a control request's buffer, or
    // INVALID_HANDLE_VALUE (low 32 bits all ones) with the last error set.
    virtual TRACEHANDLE GetTraceLoggerHandle(PVOID buffer);
    // GetTraceEnableLevel: the enable level the handle carries; 0 with the last error set on
    // failure. Success leaves the last error as it was: clear it first to tell 0 from failure.
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle);
    // GetTraceEnableFlags: the enable flags the handle carries; 0 with the last error set on
    // failure. Success leaves the last error as it was, as for GetTraceEnableLevel.
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle);
};

// Whether `handle` is the invalid handle of GetTraceLoggerHandle: its low 32
// bits all ones, whatever the process's pointer width.
inline bool IsInvalidTraceHandle(TRACEHANDLE handle) {
    constexpr ULONG64 kLow32Bits = 0xFFFFFFFFull;
    return (handle & kLow32Bits) == kLow32Bits;
}

// The session a logger handle belongs to. The handle a control callback receives is the
// session's enable context (TRACE_ENABLE_CONTEXT): the logger id in its low 16 bits, then
// the enable level, an internal flag byte and the enable flags, so one session sends a
// different handle whenever its level or flags change.
inline USHORT TraceLoggerId(TRACEHANDLE handle) {
    constexpr ULONG64 kLoggerIdBits = 0xFFFFull;
    return static_cast<USHORT>(handle & kLoggerIdBits);
}

}  // namespace ETWLogging
