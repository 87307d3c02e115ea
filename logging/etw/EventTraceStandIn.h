// A stand-in for the tracing service, for tests and tools on systems whose
// event tracing does nothing (Wine's is a stub).
//
// It keeps the contract of the real provider functions: RegisterTraceGuids
// records the provider with its control callback and context; a controller
// (the test) starts sessions and enables or disables a provider from one of
// them, and the request reaches the callback on the service's own thread with
// a WNODE_HEADER buffer carrying the session handle, as ETW delivers it. The
// logger then reads the session handle, enable level and flags through the
// same functions as on Windows, with the same failures: the invalid handle
// (low 32 bits all ones) and ERROR_INVALID_HANDLE for a buffer that names no
// live session, level 0 with the last error for a handle that is not one.
// TraceEvent refuses a handle that names no live session with
// ERROR_INVALID_HANDLE and records each accepted event by copying its header
// and the bytes its MOF fields point at. All operations are thread-safe.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "logging/etw/EventTraceAPI.h"

namespace ETWLogging {

// One event as the stand-in received it.
struct RecordedTraceEvent {
    TRACEHANDLE sessionHandle = 0;
    EVENT_TRACE_HEADER header = {};
    std::vector<MOF_FIELD> mofEntries;      // the MOF field entries as passed
    std::vector<std::vector<BYTE>> fields;  // the bytes each entry points at
};

class CEventTraceStandIn : public EventTraceAPI {
  public:
    // Error of EnableProvider/DisableProvider when no provider has that control GUID.
    static constexpr ULONG kErrorProviderNotFound = ERROR_WMI_GUID_NOT_FOUND;
    // Error of EnableProvider/DisableProvider for a session that is not live.
    static constexpr ULONG kErrorSessionNotFound = ERROR_WMI_INSTANCE_NOT_FOUND;

    // Starts the delivery thread.
    CEventTraceStandIn();
    // Stops the delivery thread after the requests already queued.
    ~CEventTraceStandIn() override;
    CEventTraceStandIn(const CEventTraceStandIn&) = delete;
    CEventTraceStandIn& operator=(const CEventTraceStandIn&) = delete;

    ULONG RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                             ULONG guidCount, PTRACE_GUID_REGISTRATION guidRegistrations,
                             LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                             PTRACEHANDLE registrationHandle) override;
    // Once it returns, the provider's callback is not running and is not called again.
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override;
    ULONG TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER event) override;
    TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) override;
    UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle) override;
    ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle) override;

    // Starts a session and returns its handle (never 0, never the invalid handle).
    TRACEHANDLE StartSession();
    // Ends a session: its handle is refused from then on.
    void StopSession(TRACEHANDLE sessionHandle);
    // Sends an enable request from `session` to the provider registered under
    // `controlGuid`, on the service's thread, and waits: the callback's result,
    // or one of the two errors above when the provider or session is missing.
    ULONG EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level, ULONG flags);
    // The same for a disable request.
    ULONG DisableProvider(TRACEHANDLE session, const GUID& controlGuid);

    // Makes the next registration fail with `error` (a condition that cannot be produced at will).
    void FailNextRegistration(ULONG error);
    // With false, accepted events are counted but not copied (for benchmarks).
    void SetRecordEvents(bool record);

    std::vector<RecordedTraceEvent> Events();
    void ClearEvents();
    // Successful registrations so far, and providers registered now.
    size_t RegistrationCount();
    size_t ProviderCount();
    // Events accepted; events refused for a handle of no live session; of those,
    // events whose handle was never issued by this service (a torn handle, say).
    ULONG64 AcceptedEventCount();
    ULONG64 RefusedEventCount();
    ULONG64 ForeignHandleEventCount();
    // The control GUID given at the last successful registration.
    GUID LastControlGuid();

  private:
    struct Provider {
        WMIDPREQUEST callback;
        PVOID context;
        GUID controlGuid;
    };
    struct Session {
        bool live = true;
        UCHAR level = 0;
        ULONG flags = 0;
    };
    struct Request {
        ULONG code;
        TRACEHANDLE session;
        GUID controlGuid;
        UCHAR level;
        ULONG flags;
        ULONG result = 0;
        bool done = false;
    };

    ULONG Submit(ULONG code, TRACEHANDLE session, const GUID& controlGuid, UCHAR level,
                 ULONG flags);
    void DeliveryLoop();
    void Deliver(Request& request);
    bool IsLiveSession(TRACEHANDLE handle);  // state lock held by the caller
    void Record(TRACEHANDLE sessionHandle, const EVENT_TRACE_HEADER& event);

    std::mutex state_;  // guards everything below but the delivery lock
    std::map<TRACEHANDLE, Provider> providers_;
    std::map<TRACEHANDLE, Session> sessions_;  // every session ever started
    std::vector<RecordedTraceEvent> events_;
    std::deque<Request*> queue_;
    std::condition_variable queueChanged_;
    bool stopping_ = false;
    bool recordEvents_ = true;
    ULONG failNextRegistration_ = ERROR_SUCCESS;
    ULONG64 nextRegistration_ = 0;
    ULONG64 nextSession_ = 0;
    size_t registrations_ = 0;
    ULONG64 accepted_ = 0;
    ULONG64 refused_ = 0;
    ULONG64 foreign_ = 0;
    GUID lastControlGuid_ = {};
    // Held while a callback runs, so that unregistration waits for it.
    std::recursive_mutex delivery_;
    std::thread thread_;
};

}  // namespace ETWLogging
