// A stand-in for the classic (MOF) event tracing service, for tests and
// benchmarks on systems whose event tracing does nothing (Wine's is a stub).
//
// Provider side: the six functions of EventTraceAPI. Controller and consumer
// side: the functions of TraceSessionAPI. Each with the results and failures
// Microsoft documents for it:
// - The handle a control callback receives is the session's enable context
//   (TRACE_ENABLE_CONTEXT of evntrace.h): logger id in bits 0-15, enable
//   level in 16-23, an internal flag byte in 24-31 (always 0 here), enable
//   flags in 32-63. A level or flags change sends a different handle.
//   GetTraceLoggerHandle, GetTraceEnableLevel and GetTraceEnableFlags read the
//   handle (ERROR_INVALID_HANDLE for one this service never handed out) and,
//   on success, leave the last error as it was.
// - EnableTrace changes the service's state before it returns; the provider
//   hears of it afterwards, asynchronously, on the service's own thread, one
//   callback at a time (Settle waits for them). A provider enabled before it
//   registers gets its enable callbacks inside RegisterTraceGuids, on the
//   registering thread, and RegisterTraceGuids returns what the last one
//   returned. Otherwise a callback's result never reaches the controller.
// - Every session that enables a provider is remembered, as
//   EnumerateTraceGuidsEx lists them, and the provider hears of each enable
//   and disable with that session's handle: which session it serves is its
//   own decision. Not documented: a provider that registers after several
//   sessions enabled it hears of each, the oldest first.
// - Stopping a session ends it at once; the providers it enabled hear of the
//   disable afterwards, like any other.
// - UnregisterTraceGuids: once it has returned, the service begins no
//   callback of that registration. Not documented: whether it waits for one
//   the service has already begun. Stricter, it does not, and such a callback
//   may even reach the provider's function only afterwards.
// - TraceEvent: ERROR_INVALID_PARAMETER for a null handle or event or a wrong
//   Size, ERROR_INVALID_FLAG_NUMBER without WNODE_FLAG_TRACED_GUID,
//   ERROR_INVALID_HANDLE for a handle that is not the latest enable context of
//   a live session, ERROR_MORE_DATA for an event (header and data) larger than
//   the session's buffer less the buffer's own 72-byte header.
// - StartTrace: a real-time session, or a sequential file that holds the
//   session's events once it stops (in this service's own format);
//   ERROR_INVALID_PARAMETER for a missing argument, properties without
//   WNODE_FLAG_TRACED_GUID or another mode; ERROR_BAD_LENGTH when
//   Wnode.BufferSize cannot hold the properties and the names at their
//   offsets; ERROR_ALREADY_EXISTS for the name of a live session. The
//   session's handle is its logger id; one started without a GUID gets one.
// - ControlTrace: queries or stops a session by handle (its logger id), or by
//   name when the handle is 0, filling in its GUID, handle, mode, buffer size
//   and name; ERROR_WMI_INSTANCE_NOT_FOUND for no live session.
// - EnumerateTraceGuidsEx, TraceGuidQueryInfo: one instance per registration
//   (or one pre-enabled instance, process id 0) with the sessions that enable
//   the provider; ERROR_WMI_GUID_NOT_FOUND when neither exists,
//   ERROR_INSUFFICIENT_BUFFER with the size needed. Other classes are not
//   modelled (ERROR_NOT_SUPPORTED).
// - OpenTrace (PROCESS_TRACE_MODE_EVENT_RECORD only): a real-time session by
//   name, running or not, or a file this service wrote (the file's error when
//   it cannot be opened, ERROR_BAD_FORMAT for another file). A failure returns
//   the invalid handle with the last error set: all ones, or 0x00000000FFFFFFFF
//   as 32-bit programs receive it on Windows Vista and 7.
// - ProcessTrace (one handle) delivers each event on the calling thread as an
//   EVENT_RECORD with a classic header (the class GUID as provider id,
//   Class.Type, Level and Version in the descriptor) stamped with the time,
//   process and thread of its TraceEvent call, and calls the buffer callback
//   after each buffer: FALSE ends it with ERROR_CANCELLED. A real-time session
//   is read from its start: ERROR_WMI_INSTANCE_NOT_FOUND when it is not
//   running, 0 once it has stopped and its events are delivered, or once the
//   handle is closed. A file is read to its end, in the buffers the session
//   wrote. CloseTrace during ProcessTrace gives ERROR_CTX_CLOSE_PENDING.
// Where the documentation is silent the stand-in is stricter, and says so
// where it decides. Every operation is thread-safe.
#pragma once

#include <windows.h>

#include <algorithm>
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
    // The bytes of a buffer that its own header takes.
    static constexpr ULONG kBufferHeaderBytes = 72;
    // OpenTrace's invalid handle for 32-bit programs on Windows Vista and 7.
    static constexpr TRACEHANDLE kInvalidTraceHandle32 = 0x00000000FFFFFFFFull;

    // The calls a test can make fail once, for conditions that cannot be produced at will.
    enum class Call {
        kRegisterTraceGuids,
        kStartTrace,
        kEnableTrace,
        kOpenTrace,
        kProcessTrace,
        kEnumerateTraceGuidsEx,
    };

    // The enable context that `session` hands to a provider it enables with `level` and `flags`.
    static TRACEHANDLE EnableContext(TRACEHANDLE session, UCHAR level, ULONG flags);

    // Starts the delivery thread.
    CEventTraceStandIn();
    // Stops the delivery thread after the callbacks already queued.
    ~CEventTraceStandIn() override;
    CEventTraceStandIn(const CEventTraceStandIn&) = delete;
    CEventTraceStandIn& operator=(const CEventTraceStandIn&) = delete;

    ULONG RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                             ULONG guidCount, PTRACE_GUID_REGISTRATION guidRegistrations,
                             LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                             PTRACEHANDLE registrationHandle) override;
    // The sessions that enabled the provider keep it enabled for a later registration.
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
    ULONG EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS infoClass, PVOID inBuffer,
                                ULONG inBufferSize, PVOID outBuffer, ULONG outBufferSize,
                                PULONG returnLength) override;

    // A controller's shortcuts. StartSession starts a real-time session with the largest
    // buffers and no name and returns its handle, its logger id: the lowest one free (a
    // stopped session's id is used again), 0 when every one is taken.
    TRACEHANDLE StartSession();
    // Ends the session; 0, or kErrorSessionNotFound.
    ULONG StopSession(TRACEHANDLE session);
    // EnableTrace's enable and disable.
    ULONG EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level, ULONG flags);
    ULONG DisableProvider(TRACEHANDLE session, const GUID& controlGuid);
    // Waits until the callbacks of everything done so far have returned.
    void Settle();

    // Makes the next call of `call` fail with `error`.
    void FailNext(Call call, ULONG error) {
        UnderLock([&] { failures_[call] = error; });
    }
    // The invalid handle OpenTrace returns: all ones (the default) or kInvalidTraceHandle32.
    void SetInvalidTraceHandle(TRACEHANDLE invalid) {
        UnderLock([&] { invalidTraceHandle_ = invalid; });
    }
    // With false, accepted events are counted but not copied (for benchmarks).
    void SetRecordEvents(bool record) {
        UnderLock([&] { recordEvents_ = record; });
    }

    // What the provider's callback returned the last time it ran.
    ULONG LastCallbackResult() {
        return UnderLock([this] { return lastCallbackResult_; });
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
    // Live sessions, and trace handles opened and not closed.
    size_t SessionCount() {
        return UnderLock([this] { return sessions_.size(); });
    }
    size_t ConsumerCount() {
        return UnderLock([this] { return consumers_.size(); });
    }
    // Trace handles inside ProcessTrace now.
    size_t ReadingCount() {
        return UnderLock([this] {
            return static_cast<size_t>(
                std::count_if(consumers_.begin(), consumers_.end(),
                              [](const auto& entry) { return entry.second.processing; }));
        });
    }
    // The logger ids of the sessions that have the provider enabled, the oldest first.
    std::vector<USHORT> EnablingSessions(const GUID& controlGuid);
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
    // One session's enable of one provider: its enable context.
    struct Enablement {
        GUID controlGuid;
        TRACEHANDLE context;
    };
    struct Session {
        ULONG bufferBytes;
        ULONG64 serial;
        std::wstring name;  // empty for StartSession's sessions
        GUID guid;
        ULONG logFileMode;
        std::wstring logFile;  // a file session's file
    };
    // A reader of one real-time session or one file.
    struct Consumer {
        EVENT_TRACE_LOGFILEW logfile;  // the caller's, copied: what the buffer callback receives
        std::wstring loggerName;       // a real-time session's name
        std::wstring logFileName;      // a file's path
        std::vector<RecordedTraceEvent> fileEvents;
        ULONG fileBufferBytes;
        bool processing;
        bool closed;
    };
    // A callback to make on the service's thread, to the registration that still exists then.
    struct Delivery {
        TRACEHANDLE registration;
        ULONG code;
        TRACEHANDLE context;
    };

    // Runs `access` with the state lock held and returns what it returns.
    template <typename Access>
    auto UnderLock(Access access) -> decltype(access()) {
        std::lock_guard<std::mutex> lock(state_);
        return access();
    }
    // The error to fail `call` with now, once; 0 for none. State lock held.
    ULONG TakeFailure(Call call);
    void DeliveryLoop();
    ULONG Invoke(const Provider& provider, ULONG code, TRACEHANDLE context);
    // Queues the callbacks of every registration of `controlGuid`; state lock held.
    void Queue(const GUID& controlGuid, ULONG code, TRACEHANDLE context);
    ULONG Enable(TRACEHANDLE session, const GUID& controlGuid, UCHAR level, ULONG flags);
    ULONG Disable(TRACEHANDLE session, const GUID& controlGuid);
    // Ends a live session; state lock held.
    void EndSession(USHORT loggerId);
    Enablement* FindEnablement(const GUID& controlGuid, USHORT loggerId);
    bool IsRegistered(const GUID& controlGuid);
    // The live session named `name` (case-insensitive) or with id `loggerId`; none: end().
    std::map<USHORT, Session>::iterator FindSession(TRACEHANDLE loggerId, LPCWSTR name);
    TRACEHANDLE StartNamedSession(ULONG bufferKilobytes, const std::wstring& name);
    void DescribeSession(USHORT loggerId, const Session& session,
                         EVENT_TRACE_PROPERTIES& properties);
    bool IsLiveSerial(ULONG64 serial);
    ULONG OpenFile(const std::wstring& path, Consumer& consumer);
    ULONG WriteFile(const Session& session);
    ULONG ProcessRealTime(std::unique_lock<std::mutex>& lock, Consumer& consumer);
    ULONG ProcessFile(std::unique_lock<std::mutex>& lock, Consumer& consumer);
    static void DeliverRecord(const Consumer& consumer, const RecordedTraceEvent& event);
    ULONG CheckEvent(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER* event);
    void Record(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER& event);

    std::mutex state_;                           // guards everything below but calling_
    std::map<TRACEHANDLE, Provider> providers_;  // by registration handle
    std::map<USHORT, Session> sessions_;         // live sessions by logger id
    std::map<TRACEHANDLE, Consumer> consumers_;  // by trace handle
    std::condition_variable eventsChanged_;      // an event, a session stopped, a reader closed
    std::vector<Enablement> enablements_;        // per provider and session, the oldest first
    std::set<TRACEHANDLE> issued_;               // every enable context handed out
    std::vector<RecordedTraceEvent> events_;
    std::deque<Delivery> queue_;
    size_t unsettled_ = 0;  // deliveries queued or running
    std::condition_variable queueChanged_;
    std::map<Call, ULONG> failures_;
    TRACEHANDLE invalidTraceHandle_ = INVALID_PROCESSTRACE_HANDLE;
    bool stopping_ = false;
    bool recordEvents_ = true;
    ULONG lastCallbackResult_ = ERROR_SUCCESS;
    ULONG lastRefusal_ = ERROR_SUCCESS;
    ULONG64 nextSerial_ = 0;
    ULONG64 nextConsumer_ = 0;
    ULONG64 nextRegistration_ = 0;
    size_t registrations_ = 0;
    ULONG64 accepted_ = 0;
    ULONG64 refused_ = 0;
    ULONG64 foreign_ = 0;
    GUID lastControlGuid_ = {};
    // Held while a callback runs, so that callbacks come one at a time.
    std::recursive_mutex calling_;
    std::thread thread_;
};

}  // namespace ETWLogging
