// The controller and consumer functions of Event Tracing for Windows behind a
// replaceable service: sessions are started, enable providers, are read and stop.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>

namespace ETWLogging {

// Passes each call to the advapi32 function of the same name, unchanged, with
// that function's results and last-error behaviour. Users hold it in shared
// ownership and create the plain one when given none; where the system has no
// working tracing service, tests hand in a stand-in derived from it.
class TraceSessionAPI {
  public:
    virtual ~TraceSessionAPI() = default;

    // StartTraceW: 0 with the session's handle, ERROR_ALREADY_EXISTS for a live session of
    // that name, or another Win32 error.
    virtual ULONG StartTrace(PTRACEHANDLE sessionHandle, LPCWSTR sessionName,
                             PEVENT_TRACE_PROPERTIES properties);
    // ControlTraceW: by handle, or by name when the handle is 0; 0 or a Win32 error.
    virtual ULONG ControlTrace(TRACEHANDLE sessionHandle, LPCWSTR sessionName,
                               PEVENT_TRACE_PROPERTIES properties, ULONG controlCode);
    // EnableTrace: enables (or changes the level of) a classic provider for the session, or
    // disables it; 0 or a Win32 error.
    virtual ULONG EnableTrace(ULONG enable, ULONG enableFlags, ULONG enableLevel,
                              LPCGUID controlGuid, TRACEHANDLE sessionHandle);
    // OpenTraceW: a consumer handle, or INVALID_PROCESSTRACE_HANDLE with the last error set.
    virtual TRACEHANDLE OpenTrace(PEVENT_TRACE_LOGFILEW logfile);
    // ProcessTrace: delivers the events to the callbacks; returns when a file ends, a
    // real-time session stops or the handle is closed. 0 or a Win32 error.
    virtual ULONG ProcessTrace(PTRACEHANDLE handles, ULONG handleCount, LPFILETIME startTime,
                               LPFILETIME endTime);
    // CloseTrace: 0, ERROR_CTX_CLOSE_PENDING while events are still being delivered, or a
    // Win32 error.
    virtual ULONG CloseTrace(TRACEHANDLE traceHandle);
    // EnumerateTraceGuidsEx: 0, ERROR_INSUFFICIENT_BUFFER with the size needed, or a Win32 error
    // (ERROR_WMI_GUID_NOT_FOUND for a provider neither registered nor enabled). Looked up at run
    // time: ERROR_CALL_NOT_IMPLEMENTED where advapi32 lacks it.
    virtual ULONG EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS infoClass, PVOID inBuffer,
                                        ULONG inBufferSize, PVOID outBuffer, ULONG outBufferSize,
                                        PULONG returnLength);
};

// Whether `handle` is OpenTrace's invalid handle: all ones, or INVALID_HANDLE_VALUE widened
// without its sign (0x00000000FFFFFFFF), which 32-bit programs receive on Windows Vista and 7.
// Both count in every build.
inline bool IsInvalidProcessTraceHandle(TRACEHANDLE handle) {
    constexpr TRACEHANDLE kAllOnes = ~TRACEHANDLE{0};
    constexpr TRACEHANDLE kLow32Bits = 0xFFFFFFFFull;
    return handle == kAllOnes || handle == kLow32Bits;
}

}  // namespace ETWLogging
