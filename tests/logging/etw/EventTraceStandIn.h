// A stand-in for the classic (MOF) event tracing service, for tests and
// benchmarks on systems whose event tracing does nothing (Wine's is a stub).
//
// Provider side: the six functions of EventTraceAPI with the results and
// failures Microsoft documents for them. Controller side: sessions are
// started, enable and disable providers, and stop. Consumer side: every
// accepted event is kept with its data block as a consumer receives it.
//
// What it models, as documented for classic providers:
// - The handle a control callback receives is the session's enable context
//   (TRACE_ENABLE_CONTEXT of evntrace.h): logger id in bits 0-15, enable
//   level in 16-23, an internal flag byte in 24-31 (always 0 here), enable
//   flags in 32-63. A level or flags change sends a different handle.
//   GetTraceEnableLevel and GetTraceEnableFlags read the handle and, on
//   success, leave the last error as it was.
// - A provider can be enabled before it registers; it then gets its enable
//   callback inside RegisterTraceGuids, on the registering thread, and
//   RegisterTraceGuids returns what the callback returned. Otherwise the
//   callback's result never reaches the controller.
// - One session at a time enables a classic provider: a second session's
//   enable takes the provider over and the first stops receiving its events.
// - Stopping a session disables the providers it enabled.
// - TraceEvent: ERROR_INVALID_PARAMETER for a null handle or event or a wrong
//   Size, ERROR_INVALID_FLAG_NUMBER without WNODE_FLAG_TRACED_GUID,
//   ERROR_INVALID_HANDLE for a handle of no live session, ERROR_MORE_DATA for
//   data larger than the session's buffer (at most 64 KB) less the header.
// Controller and consumer side, through TraceSessionAPI:
// - StartTrace: ERROR_INVALID_PARAMETER for a missing argument, properties
//   without WNODE_FLAG_TRACED_GUID or a mode other than real time (the only
//   one modelled); ERROR_BAD_LENGTH when Wnode.BufferSize cannot hold the
//   properties and the name at LoggerNameOffset; ERROR_ALREADY_EXISTS for the
//   name of a live session. The session's handle is its logger id.
// - ControlTrace: stop or query a session by handle, or by name when the
//   handle is 0; ERROR_WMI_INSTANCE_NOT_FOUND for no live session.
// - EnableTrace: EnableProvider or DisableProvider below.
// - OpenTrace: real-time sessions only, PROCESS_TRACE_MODE_EVENT_RECORD only
//   (ERROR_INVALID_PARAMETER otherwise; no trace files exist here);
//   ERROR_WMI_INSTANCE_NOT_FOUND for a session not live. ProcessTrace (one
//   handle) delivers each event of the session from its start, on the calling
//   thread, as an EVENT_RECORD with a classic header (the class GUID as
//   provider id, Class.Type, Level and Version in the descriptor) stamped with
//   the time, process and thread of its TraceEvent call; it returns 0 once the
//   session has stopped and its events are delivered, or the handle is closed.
//   The buffer callback is not called. CloseTrace during ProcessTrace gives
//   ERROR_CTX_CLOSE_PENDING, as documented.
// Where the documentation is silent the stand-in is stricter, and says so
// where it decides. Every operation is thread-safe; callbacks for requests
// of controllers run one at a time on the service's own thread.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/etw/EventTraceAPI.h"
#include "logging/etw/TraceSessionAPI.h"

namespace ETWLogging {

// One event as the stand-in accepted it.
struct RecordedTraceEvent {
    TRACEHANDLE traceHandle = 0;  // the handle the provider passed
    TRACEHANDLE session = 0;      // the controller's handle of the session that took it
    EVENT_TRACE_HEADER header = {};
    std::vector<MOF_FIELD> mofEntries;      // the MOF field entries as passed
    std::vector<std::vector<BYTE>> fields;  // the bytes each entry points at
    std::vector<BYTE> data;  // what a consumer receives: the fields one after another
    // What the service adds: the time (UTC file time) and the calling process and thread.
    LONGLONG timeStamp = 0;
    DWORD processId = 0;
    DWORD threadId = 0;
    ULONG64 sessionSerial = 0;  // tells a session from a later one with the same logger id
};

class CEventTraceStandIn : public EventTraceAPI, public TraceSessionAPI {
  public:
    // Error of the controller functions for a session that is not live.
    static constexpr ULONG kErrorSessionNotFound = ERROR_WMI_INSTANCE_NOT_FOUND;
    // The largest session buffer, in kilobytes.
    static constexpr ULONG kMaxBufferKilobytes = 64;

    // The enable context that `session` hands to a provider it enables with `level` and `flags`.
    static TRACEHANDLE EnableContext(TRACEHANDLE session, UCHAR level, ULONG flags);

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
    // Once it returns, the provider's callback is not running and is not called again. The
    // sessions that enabled the provider keep it enabled for a later registration.
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override;
    ULONG TraceEvent(TRACEHANDLE traceHandle, PEVENT_TRACE_HEADER event) override;
    TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) override;
    UCHAR GetTraceEnableLevel(TRACEHANDLE traceHandle) override;
    ULONG GetTraceEnableFlags(TRACEHANDLE traceHandle) override;

    ULONG StartTrace(PTRACEHANDLE sessionHandle, LPCWSTR sessionName,
                     PEVENT_TRACE_PROPERTIES properties) override;
    ULONG ControlTrace(TRACEHANDLE sessionHandle, LPCWSTR sessionName,
                       PEVENT_TRACE_PROPERTIES properties, ULONG controlCode) override;
    ULONG EnableTrace(ULONG enable, ULONG enableFlags, ULONG enableLevel, LPCGUID controlGuid,
                      TRACEHANDLE sessionHandle) override;
    TRACEHANDLE OpenTrace(PEVENT_TRACE_LOGFILEW logfile) override;
    ULONG ProcessTrace(PTRACEHANDLE handles, ULONG handleCount, LPFILETIME startTime,
                       LPFILETIME endTime) override;
    ULONG CloseTrace(TRACEHANDLE traceHandle) override;
    // Live sessions.
    size_t SessionCount() {
        return UnderLock([this] { return sessions_.size(); });
    }

    // Starts a session with the largest buffers and returns the controller's handle: its
    // logger id, the lowest one free (a stopped session's id is used again). 0 when every
    // logger id is taken.
    TRACEHANDLE StartSession();
    // Disables, on the service's thread, the providers the session holds, then ends it.
    // 0, or kErrorSessionNotFound.
    ULONG StopSession(TRACEHANDLE session);
    // Enables the provider registered under `controlGuid` for the session, or changes its
    // level and flags, taking it over from another session. With no provider registered
    // the enable waits for the registration. 0 once any callback has run (its result is
    // not reported, see LastCallbackResult); kErrorSessionNotFound; ERROR_INVALID_FUNCTION
    // for a level or flags change while the provider is not registered.
    ULONG EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level, ULONG flags);
    // Disables the provider for the session: 0, or kErrorSessionNotFound.
    ULONG DisableProvider(TRACEHANDLE session, const GUID& controlGuid);

    // What the provider's callback returned the last time it ran.
    ULONG LastCallbackResult() {
        return UnderLock([this] { return lastCallbackResult_; });
    }
    // Makes the next registration fail with `error` (a condition that cannot be produced at will).
    void FailNextRegistration(ULONG error) {
        UnderLock([&] { failNextRegistration_ = error; });
    }
    // With false, accepted events are counted but not copied (for benchmarks).
    void SetRecordEvents(bool record) {
        UnderLock([&] { recordEvents_ = record; });
    }

    std::vector<RecordedTraceEvent> Events() {
        return UnderLock([this] { return events_; });
    }
    // Successful registrations so far, and providers registered now.
    size_t RegistrationCount() {
        return UnderLock([this] { return registrations_; });
    }
    size_t ProviderCount() {
        return UnderLock([this] { return providers_.size(); });
    }
    // Events accepted; events refused, with the error of the last one; of those, events
    // whose handle this service never issued (a torn handle, say).
    ULONG64 AcceptedEventCount() {
        return UnderLock([this] { return accepted_; });
    }
    ULONG64 RefusedEventCount() {
        return UnderLock([this] { return refused_; });
    }
    ULONG LastRefusal() {
        return UnderLock([this] { return lastRefusal_; });
    }
    ULONG64 ForeignHandleEventCount() {
        return UnderLock([this] { return foreign_; });
    }
    // The control GUID given at the last successful registration.
    GUID LastControlGuid() {
        return UnderLock([this] { return lastControlGuid_; });
    }

  private:
    struct Provider {
        WMIDPREQUEST callback;
        PVOID context;
        GUID controlGuid;
    };
    // A classic provider's one enabling session: its enable context.
    struct Enablement {
        GUID controlGuid;
        TRACEHANDLE context;
    };
    struct Session {
        ULONG64 dataLimit;  // the largest event data it takes
        ULONG64 serial;
        std::wstring name;  // empty for StartSession's sessions
    };
    // A reader of one session's events.
    struct Consumer {
        PEVENT_RECORD_CALLBACK callback;
        PVOID context;
        ULONG64 sessionSerial;
        bool processing;
        bool closed;
    };
    struct Request {
        enum class Kind { kEnable, kDisable, kStop } kind;
        TRACEHANDLE session;
        GUID controlGuid;
        UCHAR level;
        ULONG flags;
        ULONG result = ERROR_SUCCESS;
        bool done = false;
    };
    // A callback to make once the state lock is released.
    struct Delivery {
        Provider provider;
        ULONG code;
        TRACEHANDLE context;
    };

    // Runs `access` with the state lock held and returns what it returns.
    template <typename Access>
    auto UnderLock(Access access) -> decltype(access()) {
        std::lock_guard<std::mutex> lock(state_);
        return access();
    }
    ULONG Submit(Request request);
    void DeliveryLoop();
    void Carry(Request& request);
    // The state changes of a request and the callbacks they call for; state lock held.
    ULONG Plan(const Request& request, std::vector<Delivery>& deliveries);
    ULONG PlanEnable(const Request& request, std::vector<Delivery>& deliveries);
    ULONG PlanDisable(const Request& request, std::vector<Delivery>& deliveries);
    void PlanDeliveries(const GUID& controlGuid, ULONG code, TRACEHANDLE context,
                        std::vector<Delivery>& deliveries);
    ULONG Deliver(const std::vector<Delivery>& deliveries);
    Enablement* FindEnablement(const GUID& controlGuid);
    bool IsRegistered(const GUID& controlGuid);
    bool IsLiveLogger(TRACEHANDLE handle);
    TRACEHANDLE StartNamedSession(ULONG bufferKilobytes, const std::wstring& name);
    bool IsLiveSerial(ULONG64 serial);
    static void DeliverRecord(const Consumer& consumer, const RecordedTraceEvent& event);
    ULONG CheckEvent(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER* event);
    void Record(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER& event);

    std::mutex state_;                           // guards everything below but the delivery lock
    std::map<TRACEHANDLE, Provider> providers_;  // by registration handle
    std::map<USHORT, Session> sessions_;         // live sessions by logger id
    std::map<TRACEHANDLE, Consumer> consumers_;  // by consumer handle
    std::condition_variable eventsChanged_;      // an event, a session stopped, a reader closed
    ULONG64 nextSerial_ = 0;
    ULONG64 nextConsumer_ = 0;
    std::vector<Enablement> enablements_;  // one per enabled control GUID
    std::set<TRACEHANDLE> issued_;         // every enable context handed out
    std::vector<RecordedTraceEvent> events_;
    std::deque<Request*> queue_;
    std::condition_variable queueChanged_;
    bool stopping_ = false;
    bool recordEvents_ = true;
    ULONG failNextRegistration_ = ERROR_SUCCESS;
    ULONG lastCallbackResult_ = ERROR_SUCCESS;
    ULONG lastRefusal_ = ERROR_SUCCESS;
    ULONG64 nextRegistration_ = 0;
    size_t registrations_ = 0;
    ULONG64 accepted_ = 0;
    ULONG64 refused_ = 0;
    ULONG64 foreign_ = 0;
    GUID lastControlGuid_ = {};
    // Held while callbacks run, so that they come one at a time and unregistration waits.
    std::recursive_mutex delivery_;
    std::thread thread_;
};

}  // namespace ETWLogging
