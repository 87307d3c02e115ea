#include "tests/logging/etw/EventTraceStandIn.h"

#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <utility>

namespace ETWLogging {
namespace {

// Registration handles: far from any enable context, so that neither is taken for the other.
constexpr ULONG64 kRegistrationBase = 0x5200000052000000ull;
// Logger ids start at 1, so that no enable context is the null handle; a system has at
// most 64 loggers.
constexpr USHORT kFirstLoggerId = 1;
constexpr USHORT kLoggerIdLimit = 64;
constexpr int kLevelShift = 16;
constexpr int kFlagsShift = 32;
constexpr ULONG64 kBytesPerKilobyte = 1024;
// Consumer handles: far from registration handles and enable contexts.
constexpr ULONG64 kConsumerBase = 0x7100000071000000ull;

TRACEHANDLE InvalidTraceHandle() {
    return static_cast<TRACEHANDLE>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE));
}

}  // namespace

TRACEHANDLE CEventTraceStandIn::EnableContext(TRACEHANDLE session, UCHAR level, ULONG flags) {
    // TRACE_ENABLE_CONTEXT: LoggerId (16 bits), Level (8), InternalFlag (8), EnableFlags (32).
    return TraceLoggerId(session) | (static_cast<ULONG64>(level) << kLevelShift) |
           (static_cast<ULONG64>(flags) << kFlagsShift);
}

CEventTraceStandIn::CEventTraceStandIn() : thread_([this] { DeliveryLoop(); }) {}

CEventTraceStandIn::~CEventTraceStandIn() {
    {
        std::lock_guard<std::mutex> lock(state_);
        stopping_ = true;
    }
    queueChanged_.notify_all();
    thread_.join();
}

ULONG CEventTraceStandIn::RegisterTraceGuids(WMIDPREQUEST callback, PVOID context,
                                             LPCGUID controlGuid, ULONG guidCount,
                                             PTRACE_GUID_REGISTRATION guidRegistrations,
                                             LPCWSTR /*mofImagePath*/, LPCWSTR /*mofResourceName*/,
                                             PTRACEHANDLE registrationHandle) {
    if (callback == nullptr || controlGuid == nullptr || registrationHandle == nullptr ||
        guidCount == 0 || guidRegistrations == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> delivery(delivery_);
    std::vector<Delivery> deliveries;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (failNextRegistration_ != ERROR_SUCCESS) {
            return std::exchange(failNextRegistration_, static_cast<ULONG>(ERROR_SUCCESS));
        }
        const TRACEHANDLE handle = kRegistrationBase + ++nextRegistration_;
        const Provider provider{callback, context, *controlGuid};
        providers_[handle] = provider;
        ++registrations_;
        lastControlGuid_ = *controlGuid;
        *registrationHandle = handle;
        if (const Enablement* held = FindEnablement(*controlGuid)) {
            issued_.insert(held->context);
            deliveries.push_back(Delivery{provider, WMI_ENABLE_EVENTS, held->context});
        }
    }
    // Enabled before it registered: the callback runs now, on this thread, and the
    // registration reports its result.
    return deliveries.empty() ? ERROR_SUCCESS : Deliver(deliveries);
}

ULONG CEventTraceStandIn::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    // Wait for a callback in progress: after this the context may be gone.
    std::lock_guard<std::recursive_mutex> delivery(delivery_);
    std::lock_guard<std::mutex> lock(state_);
    return providers_.erase(registrationHandle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

ULONG CEventTraceStandIn::TraceEvent(TRACEHANDLE traceHandle, PEVENT_TRACE_HEADER event) {
    std::lock_guard<std::mutex> lock(state_);
    const ULONG result = CheckEvent(traceHandle, event);
    if (result != ERROR_SUCCESS) {
        ++refused_;
        lastRefusal_ = result;
        if (traceHandle != 0 && issued_.count(traceHandle) == 0) ++foreign_;
        return result;
    }
    ++accepted_;
    if (recordEvents_) Record(traceHandle, *event);
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::CheckEvent(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER* event) {
    if (traceHandle == 0 || event == nullptr || event->Size < sizeof(EVENT_TRACE_HEADER)) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((event->Flags & WNODE_FLAG_TRACED_GUID) == 0) return ERROR_INVALID_FLAG_NUMBER;
    ULONG64 dataBytes = event->Size - sizeof(EVENT_TRACE_HEADER);
    if ((event->Flags & WNODE_FLAG_USE_MOF_PTR) != 0) {
        // Not documented: a Size that is not a whole number of MOF fields is refused.
        const size_t fieldCount = static_cast<size_t>(dataBytes / sizeof(MOF_FIELD));
        if (dataBytes % sizeof(MOF_FIELD) != 0 || fieldCount > MAX_MOF_FIELDS) {
            return ERROR_INVALID_PARAMETER;
        }
        const MOF_FIELD* fields = reinterpret_cast<const MOF_FIELD*>(event + 1);
        dataBytes = 0;
        for (size_t i = 0; i < fieldCount; ++i) dataBytes += fields[i].Length;
    }
    const auto session = sessions_.find(TraceLoggerId(traceHandle));
    if (session == sessions_.end()) return ERROR_INVALID_HANDLE;
    // Not documented: a live session's handle that is not its current enable context (one
    // from before a level change, or from before another session took the provider over)
    // is refused, so that a provider which keeps an outdated handle is noticed.
    const bool current = std::any_of(enablements_.begin(), enablements_.end(),
                                     [&](const Enablement& e) { return e.context == traceHandle; });
    if (!current) return ERROR_INVALID_HANDLE;
    return dataBytes > session->second.dataLimit ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

void CEventTraceStandIn::Record(TRACEHANDLE traceHandle, const EVENT_TRACE_HEADER& event) {
    RecordedTraceEvent copy;
    copy.traceHandle = traceHandle;
    copy.session = TraceLoggerId(traceHandle);
    copy.header = event;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    copy.timeStamp =
        static_cast<LONGLONG>((static_cast<ULONG64>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    copy.processId = ::GetCurrentProcessId();
    copy.threadId = ::GetCurrentThreadId();
    copy.sessionSerial = sessions_[copy.session].serial;
    const BYTE* inlineData = reinterpret_cast<const BYTE*>(&event + 1);
    if ((event.Flags & WNODE_FLAG_USE_MOF_PTR) != 0) {
        const size_t count = (event.Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
        const MOF_FIELD* fields = reinterpret_cast<const MOF_FIELD*>(inlineData);
        for (size_t i = 0; i < count; ++i) {
            copy.mofEntries.push_back(fields[i]);
            const BYTE* data =
                reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(fields[i].DataPtr));
            copy.fields.emplace_back(data, data + (data != nullptr ? fields[i].Length : 0));
            copy.data.insert(copy.data.end(), copy.fields.back().begin(), copy.fields.back().end());
        }
    } else {
        copy.data.assign(inlineData, inlineData + (event.Size - sizeof(EVENT_TRACE_HEADER)));
    }
    events_.push_back(std::move(copy));
    eventsChanged_.notify_all();
}

TRACEHANDLE CEventTraceStandIn::GetTraceLoggerHandle(PVOID buffer) {
    if (buffer == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return InvalidTraceHandle();
    }
    const TRACEHANDLE handle = static_cast<const WNODE_HEADER*>(buffer)->HistoricalContext;
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveLogger(handle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return InvalidTraceHandle();
    }
    return handle;
}

// Both read the handle itself. On success the last error is left as it was: the caller
// clears it first to tell a level or flags of 0 from a failure.
UCHAR CEventTraceStandIn::GetTraceEnableLevel(TRACEHANDLE traceHandle) {
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveLogger(traceHandle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<UCHAR>(traceHandle >> kLevelShift);
}

ULONG CEventTraceStandIn::GetTraceEnableFlags(TRACEHANDLE traceHandle) {
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveLogger(traceHandle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<ULONG>(traceHandle >> kFlagsShift);
}

TRACEHANDLE CEventTraceStandIn::StartSession() {
    std::lock_guard<std::mutex> lock(state_);
    return StartNamedSession(kMaxBufferKilobytes, std::wstring());
}

TRACEHANDLE CEventTraceStandIn::StartNamedSession(ULONG bufferKilobytes, const std::wstring& name) {
    for (USHORT id = kFirstLoggerId; id < kLoggerIdLimit; ++id) {
        if (sessions_.count(id) != 0) continue;
        // An event's data may fill the buffer less the event's header.
        sessions_[id] = Session{bufferKilobytes * kBytesPerKilobyte - sizeof(EVENT_TRACE_HEADER),
                                ++nextSerial_, name};
        return id;
    }
    return 0;
}

ULONG CEventTraceStandIn::StartTrace(PTRACEHANDLE sessionHandle, LPCWSTR sessionName,
                                     PEVENT_TRACE_PROPERTIES properties) {
    if (sessionHandle == nullptr || sessionName == nullptr || *sessionName == L'\0' ||
        properties == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring name = sessionName;
    const ULONG64 nameEnd =
        static_cast<ULONG64>(properties->LoggerNameOffset) + (name.size() + 1) * sizeof(wchar_t);
    if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES) ||
        properties->LoggerNameOffset < sizeof(EVENT_TRACE_PROPERTIES) ||
        nameEnd > properties->Wnode.BufferSize) {
        return ERROR_BAD_LENGTH;
    }
    if ((properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0 ||
        properties->LogFileMode != EVENT_TRACE_REAL_TIME_MODE ||
        properties->LogFileNameOffset != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(state_);
    for (const auto& session : sessions_) {
        if (!session.second.name.empty() &&
            ::_wcsicmp(session.second.name.c_str(), sessionName) == 0) {
            return ERROR_ALREADY_EXISTS;
        }
    }
    // The service adjusts a size out of its range, as Windows does.
    const ULONG kilobytes = properties->BufferSize == 0
                                ? kMaxBufferKilobytes
                                : std::min(properties->BufferSize, kMaxBufferKilobytes);
    const TRACEHANDLE session = StartNamedSession(kilobytes, name);
    if (session == 0) return ERROR_NO_SYSTEM_RESOURCES;
    properties->BufferSize = kilobytes;
    properties->Wnode.HistoricalContext = session;
    ::memcpy(reinterpret_cast<BYTE*>(properties) + properties->LoggerNameOffset, name.c_str(),
             (name.size() + 1) * sizeof(wchar_t));
    *sessionHandle = session;
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::ControlTrace(TRACEHANDLE sessionHandle, LPCWSTR sessionName,
                                       PEVENT_TRACE_PROPERTIES properties, ULONG controlCode) {
    if (properties == nullptr || (sessionHandle == 0 && sessionName == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
    TRACEHANDLE session = 0;
    {
        std::lock_guard<std::mutex> lock(state_);
        for (const auto& entry : sessions_) {
            const bool named = sessionName != nullptr && !entry.second.name.empty() &&
                               ::_wcsicmp(entry.second.name.c_str(), sessionName) == 0;
            if (sessionHandle != 0 ? entry.first == sessionHandle : named) session = entry.first;
        }
    }
    if (session == 0) return kErrorSessionNotFound;
    properties->Wnode.HistoricalContext = session;
    if (controlCode == EVENT_TRACE_CONTROL_QUERY) return ERROR_SUCCESS;
    // Not modelled: updates and flushes.
    if (controlCode != EVENT_TRACE_CONTROL_STOP) return ERROR_INVALID_PARAMETER;
    return StopSession(session);
}

ULONG CEventTraceStandIn::EnableTrace(ULONG enable, ULONG enableFlags, ULONG enableLevel,
                                      LPCGUID controlGuid, TRACEHANDLE sessionHandle) {
    constexpr ULONG kMaxEnableLevel = 0xFF;
    if (controlGuid == nullptr || enableLevel > kMaxEnableLevel) return ERROR_INVALID_PARAMETER;
    if (enable == FALSE) return DisableProvider(sessionHandle, *controlGuid);
    return EnableProvider(sessionHandle, *controlGuid, static_cast<UCHAR>(enableLevel),
                          enableFlags);
}

TRACEHANDLE CEventTraceStandIn::OpenTrace(PEVENT_TRACE_LOGFILEW logfile) {
    constexpr ULONG kModes = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    if (logfile == nullptr || logfile->LoggerName == nullptr || logfile->LogFileName != nullptr ||
        logfile->ProcessTraceMode != kModes || logfile->EventRecordCallback == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    std::lock_guard<std::mutex> lock(state_);
    for (const auto& session : sessions_) {
        if (session.second.name.empty() ||
            ::_wcsicmp(session.second.name.c_str(), logfile->LoggerName) != 0) {
            continue;
        }
        const TRACEHANDLE handle = kConsumerBase + ++nextConsumer_;
        consumers_[handle] = Consumer{logfile->EventRecordCallback, logfile->Context,
                                      session.second.serial, false, false};
        return handle;
    }
    ::SetLastError(kErrorSessionNotFound);
    return INVALID_PROCESSTRACE_HANDLE;
}

ULONG CEventTraceStandIn::ProcessTrace(PTRACEHANDLE handles, ULONG handleCount,
                                       LPFILETIME /*startTime*/, LPFILETIME /*endTime*/) {
    // Stricter: one handle at a time.
    if (handles == nullptr || handleCount != 1) return ERROR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(state_);
    const auto found = consumers_.find(handles[0]);
    if (found == consumers_.end() || found->second.processing) return ERROR_INVALID_HANDLE;
    Consumer& consumer = found->second;  // map nodes stay where they are
    consumer.processing = true;
    for (size_t next = 0;;) {
        while (next < events_.size()) {
            if (events_[next].sessionSerial != consumer.sessionSerial) {
                ++next;
                continue;
            }
            const RecordedTraceEvent event = events_[next++];
            lock.unlock();
            DeliverRecord(consumer, event);
            lock.lock();
        }
        if (consumer.closed || !IsLiveSerial(consumer.sessionSerial)) break;
        eventsChanged_.wait(lock);
    }
    consumer.processing = false;
    if (consumer.closed) consumers_.erase(found);
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::CloseTrace(TRACEHANDLE traceHandle) {
    std::lock_guard<std::mutex> lock(state_);
    const auto found = consumers_.find(traceHandle);
    if (found == consumers_.end()) return ERROR_INVALID_HANDLE;
    if (!found->second.processing) {
        consumers_.erase(found);
        return ERROR_SUCCESS;
    }
    found->second.closed = true;
    eventsChanged_.notify_all();
    return ERROR_CTX_CLOSE_PENDING;
}

void CEventTraceStandIn::DeliverRecord(const Consumer& consumer, const RecordedTraceEvent& event) {
    EVENT_RECORD record = {};
    EVENT_HEADER& header = record.EventHeader;
    header.Size = sizeof(EVENT_HEADER);
    header.Flags =
        EVENT_HEADER_FLAG_CLASSIC_HEADER |
        (sizeof(void*) == 8 ? EVENT_HEADER_FLAG_64_BIT_HEADER : EVENT_HEADER_FLAG_32_BIT_HEADER);
    header.ThreadId = event.threadId;
    header.ProcessId = event.processId;
    header.TimeStamp.QuadPart = event.timeStamp;
    header.ProviderId = event.header.Guid;
    header.EventDescriptor.Opcode = event.header.Class.Type;
    header.EventDescriptor.Level = event.header.Class.Level;
    header.EventDescriptor.Version = static_cast<UCHAR>(event.header.Class.Version);
    record.UserDataLength = static_cast<USHORT>(event.data.size());
    record.UserData = const_cast<BYTE*>(event.data.data());
    record.UserContext = consumer.context;
    consumer.callback(&record);
}

bool CEventTraceStandIn::IsLiveSerial(ULONG64 serial) {
    return std::any_of(sessions_.begin(), sessions_.end(),
                       [&](const auto& session) { return session.second.serial == serial; });
}

ULONG CEventTraceStandIn::StopSession(TRACEHANDLE session) {
    return Submit(Request{Request::Kind::kStop, session, GUID{}, 0, 0});
}

ULONG CEventTraceStandIn::EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level,
                                         ULONG flags) {
    return Submit(Request{Request::Kind::kEnable, session, controlGuid, level, flags});
}

ULONG CEventTraceStandIn::DisableProvider(TRACEHANDLE session, const GUID& controlGuid) {
    return Submit(Request{Request::Kind::kDisable, session, controlGuid, 0, 0});
}

ULONG CEventTraceStandIn::Submit(Request request) {
    std::unique_lock<std::mutex> lock(state_);
    queue_.push_back(&request);
    queueChanged_.notify_all();
    queueChanged_.wait(lock, [&] { return request.done; });
    return request.result;
}

void CEventTraceStandIn::DeliveryLoop() {
    std::unique_lock<std::mutex> lock(state_);
    for (;;) {
        queueChanged_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Request* request = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Carry(*request);
        lock.lock();
        request->done = true;
        queueChanged_.notify_all();
    }
}

void CEventTraceStandIn::Carry(Request& request) {
    std::lock_guard<std::recursive_mutex> delivery(delivery_);
    std::vector<Delivery> deliveries;
    {
        std::lock_guard<std::mutex> lock(state_);
        request.result = Plan(request, deliveries);
    }
    // The callbacks' results are not the controller's business.
    Deliver(deliveries);
    if (request.kind == Request::Kind::kStop && request.result == ERROR_SUCCESS) {
        // Only now: the disable callbacks may still ask for the session's handle.
        std::lock_guard<std::mutex> lock(state_);
        sessions_.erase(TraceLoggerId(request.session));
        eventsChanged_.notify_all();
    }
}

ULONG CEventTraceStandIn::Plan(const Request& request, std::vector<Delivery>& deliveries) {
    if (!IsLiveLogger(request.session) || TraceLoggerId(request.session) != request.session) {
        return kErrorSessionNotFound;
    }
    switch (request.kind) {
        case Request::Kind::kEnable:
            return PlanEnable(request, deliveries);
        case Request::Kind::kDisable:
            return PlanDisable(request, deliveries);
        case Request::Kind::kStop:
            break;
    }
    // A stopped session disables every provider it holds.
    for (auto it = enablements_.begin(); it != enablements_.end();) {
        if (TraceLoggerId(it->context) != request.session) {
            ++it;
            continue;
        }
        PlanDeliveries(it->controlGuid, WMI_DISABLE_EVENTS, it->context, deliveries);
        it = enablements_.erase(it);
    }
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::PlanEnable(const Request& request, std::vector<Delivery>& deliveries) {
    const TRACEHANDLE context = EnableContext(request.session, request.level, request.flags);
    Enablement* held = FindEnablement(request.controlGuid);
    const bool registered = IsRegistered(request.controlGuid);
    // Documented: the level and flags cannot change while the provider is not registered.
    if (!registered && held != nullptr && TraceLoggerId(held->context) == request.session &&
        held->context != context) {
        return ERROR_INVALID_FUNCTION;
    }
    // One session at a time: a second session's enable takes the provider over.
    if (held != nullptr) {
        held->context = context;
    } else {
        enablements_.push_back(Enablement{request.controlGuid, context});
    }
    PlanDeliveries(request.controlGuid, WMI_ENABLE_EVENTS, context, deliveries);
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::PlanDisable(const Request& request, std::vector<Delivery>& deliveries) {
    const auto held = std::find_if(enablements_.begin(), enablements_.end(), [&](const auto& e) {
        return ::IsEqualGUID(e.controlGuid, request.controlGuid);
    });
    if (held != enablements_.end() && TraceLoggerId(held->context) == request.session) {
        PlanDeliveries(request.controlGuid, WMI_DISABLE_EVENTS, held->context, deliveries);
        enablements_.erase(held);
        return ERROR_SUCCESS;
    }
    // Not documented: a disable from a session that does not hold the provider (another
    // took it over, or it never enabled it). Stricter: the provider is told, with that
    // session's handle, and stays enabled for the session that holds it.
    PlanDeliveries(request.controlGuid, WMI_DISABLE_EVENTS, EnableContext(request.session, 0, 0),
                   deliveries);
    return ERROR_SUCCESS;
}

void CEventTraceStandIn::PlanDeliveries(const GUID& controlGuid, ULONG code, TRACEHANDLE context,
                                        std::vector<Delivery>& deliveries) {
    for (const auto& entry : providers_) {
        if (!::IsEqualGUID(entry.second.controlGuid, controlGuid)) continue;
        issued_.insert(context);
        deliveries.push_back(Delivery{entry.second, code, context});
    }
}

ULONG CEventTraceStandIn::Deliver(const std::vector<Delivery>& deliveries) {
    ULONG result = ERROR_SUCCESS;
    for (const Delivery& delivery : deliveries) {
        WNODE_HEADER buffer = {};
        buffer.BufferSize = sizeof(buffer);
        buffer.HistoricalContext = delivery.context;
        buffer.Guid = delivery.provider.controlGuid;
        buffer.Flags = WNODE_FLAG_TRACED_GUID;
        ULONG bufferSize = sizeof(buffer);
        result = delivery.provider.callback(static_cast<WMIDPREQUESTCODE>(delivery.code),
                                            delivery.provider.context, &bufferSize, &buffer);
        std::lock_guard<std::mutex> lock(state_);
        lastCallbackResult_ = result;
    }
    return result;
}

CEventTraceStandIn::Enablement* CEventTraceStandIn::FindEnablement(const GUID& controlGuid) {
    for (Enablement& enablement : enablements_) {
        if (::IsEqualGUID(enablement.controlGuid, controlGuid)) return &enablement;
    }
    return nullptr;
}

bool CEventTraceStandIn::IsRegistered(const GUID& controlGuid) {
    return std::any_of(providers_.begin(), providers_.end(), [&](const auto& entry) {
        return ::IsEqualGUID(entry.second.controlGuid, controlGuid);
    });
}

bool CEventTraceStandIn::IsLiveLogger(TRACEHANDLE handle) {
    return sessions_.count(TraceLoggerId(handle)) != 0;
}

}  // namespace ETWLogging
