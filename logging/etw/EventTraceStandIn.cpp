#include "logging/etw/EventTraceStandIn.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace ETWLogging {
namespace {

// Registration and session handles: both halves differ from one handle to the
// next, so a handle torn between two of them is one that was never issued.
constexpr ULONG64 kRegistrationBase = 0x5200000052000000ull;
constexpr ULONG64 kSessionHighBase = 0xA000;
constexpr ULONG64 kSessionLowBase = 0x0B00;
constexpr ULONG kMaxMofFields = 16;

TRACEHANDLE InvalidTraceHandle() {
    return static_cast<TRACEHANDLE>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE));
}

}  // namespace

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
    std::lock_guard<std::mutex> lock(state_);
    if (failNextRegistration_ != ERROR_SUCCESS) {
        return std::exchange(failNextRegistration_, static_cast<ULONG>(ERROR_SUCCESS));
    }
    const TRACEHANDLE handle = kRegistrationBase + ++nextRegistration_;
    providers_[handle] = Provider{callback, context, *controlGuid};
    ++registrations_;
    lastControlGuid_ = *controlGuid;
    *registrationHandle = handle;
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    // Wait for a callback in progress: after this the context may be gone.
    std::lock_guard<std::recursive_mutex> delivery(delivery_);
    std::lock_guard<std::mutex> lock(state_);
    return providers_.erase(registrationHandle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

ULONG CEventTraceStandIn::TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER event) {
    if (event == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveSession(sessionHandle)) {
        ++refused_;
        if (sessionHandle != 0 && sessions_.count(sessionHandle) == 0) ++foreign_;
        return ERROR_INVALID_HANDLE;
    }
    if (event->Size < sizeof(EVENT_TRACE_HEADER)) return ERROR_INVALID_PARAMETER;
    if ((event->Flags & WNODE_FLAG_USE_MOF_PTR) != 0 &&
        (event->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD) > kMaxMofFields) {
        return ERROR_INVALID_PARAMETER;
    }
    ++accepted_;
    if (recordEvents_) Record(sessionHandle, *event);
    return ERROR_SUCCESS;
}

void CEventTraceStandIn::Record(TRACEHANDLE sessionHandle, const EVENT_TRACE_HEADER& event) {
    RecordedTraceEvent copy;
    copy.sessionHandle = sessionHandle;
    copy.header = event;
    if ((event.Flags & WNODE_FLAG_USE_MOF_PTR) != 0) {
        const size_t count = (event.Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
        const MOF_FIELD* fields = reinterpret_cast<const MOF_FIELD*>(&event + 1);
        for (size_t i = 0; i < count; ++i) {
            copy.mofEntries.push_back(fields[i]);
            const BYTE* data =
                reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(fields[i].DataPtr));
            copy.fields.emplace_back(data, data + (data != nullptr ? fields[i].Length : 0));
        }
    }
    events_.push_back(std::move(copy));
}

TRACEHANDLE CEventTraceStandIn::GetTraceLoggerHandle(PVOID buffer) {
    if (buffer == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return InvalidTraceHandle();
    }
    const TRACEHANDLE handle = static_cast<const WNODE_HEADER*>(buffer)->HistoricalContext;
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveSession(handle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return InvalidTraceHandle();
    }
    return handle;
}

UCHAR CEventTraceStandIn::GetTraceEnableLevel(TRACEHANDLE sessionHandle) {
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveSession(sessionHandle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    ::SetLastError(ERROR_SUCCESS);
    return sessions_[sessionHandle].level;
}

ULONG CEventTraceStandIn::GetTraceEnableFlags(TRACEHANDLE sessionHandle) {
    std::lock_guard<std::mutex> lock(state_);
    if (!IsLiveSession(sessionHandle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    ::SetLastError(ERROR_SUCCESS);
    return sessions_[sessionHandle].flags;
}

TRACEHANDLE CEventTraceStandIn::StartSession() {
    std::lock_guard<std::mutex> lock(state_);
    const ULONG64 n = ++nextSession_;
    const TRACEHANDLE handle = ((kSessionHighBase + n) << 32) | (kSessionLowBase + n);
    sessions_[handle] = Session{};
    return handle;
}

void CEventTraceStandIn::StopSession(TRACEHANDLE sessionHandle) {
    std::lock_guard<std::mutex> lock(state_);
    auto it = sessions_.find(sessionHandle);
    if (it != sessions_.end()) it->second.live = false;
}

ULONG CEventTraceStandIn::EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level,
                                         ULONG flags) {
    return Submit(WMI_ENABLE_EVENTS, session, controlGuid, level, flags);
}

ULONG CEventTraceStandIn::DisableProvider(TRACEHANDLE session, const GUID& controlGuid) {
    return Submit(WMI_DISABLE_EVENTS, session, controlGuid, 0, 0);
}

ULONG CEventTraceStandIn::Submit(ULONG code, TRACEHANDLE session, const GUID& controlGuid,
                                 UCHAR level, ULONG flags) {
    Request request{code, session, controlGuid, level, flags};
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
        Deliver(*request);
        lock.lock();
        request->done = true;
        queueChanged_.notify_all();
    }
}

void CEventTraceStandIn::Deliver(Request& request) {
    std::lock_guard<std::recursive_mutex> delivery(delivery_);
    Provider provider = {};
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (!IsLiveSession(request.session)) {
            request.result = kErrorSessionNotFound;
            return;
        }
        for (const auto& entry : providers_) {
            if (::IsEqualGUID(entry.second.controlGuid, request.controlGuid)) {
                provider = entry.second;
                found = true;
            }
        }
        if (!found) {
            request.result = kErrorProviderNotFound;
            return;
        }
        Session& session = sessions_[request.session];
        session.level = request.code == WMI_ENABLE_EVENTS ? request.level : 0;
        session.flags = request.code == WMI_ENABLE_EVENTS ? request.flags : 0;
    }
    WNODE_HEADER buffer = {};
    buffer.BufferSize = sizeof(buffer);
    buffer.HistoricalContext = request.session;
    buffer.Guid = request.controlGuid;
    buffer.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG bufferSize = sizeof(buffer);
    request.result = provider.callback(static_cast<WMIDPREQUESTCODE>(request.code),
                                       provider.context, &bufferSize, &buffer);
}

bool CEventTraceStandIn::IsLiveSession(TRACEHANDLE handle) {
    auto it = sessions_.find(handle);
    return it != sessions_.end() && it->second.live;
}

void CEventTraceStandIn::FailNextRegistration(ULONG error) {
    std::lock_guard<std::mutex> lock(state_);
    failNextRegistration_ = error;
}

void CEventTraceStandIn::SetRecordEvents(bool record) {
    std::lock_guard<std::mutex> lock(state_);
    recordEvents_ = record;
}

std::vector<RecordedTraceEvent> CEventTraceStandIn::Events() {
    std::lock_guard<std::mutex> lock(state_);
    return events_;
}

void CEventTraceStandIn::ClearEvents() {
    std::lock_guard<std::mutex> lock(state_);
    events_.clear();
}

size_t CEventTraceStandIn::RegistrationCount() {
    std::lock_guard<std::mutex> lock(state_);
    return registrations_;
}

size_t CEventTraceStandIn::ProviderCount() {
    std::lock_guard<std::mutex> lock(state_);
    return providers_.size();
}

ULONG64 CEventTraceStandIn::AcceptedEventCount() {
    std::lock_guard<std::mutex> lock(state_);
    return accepted_;
}

ULONG64 CEventTraceStandIn::RefusedEventCount() {
    std::lock_guard<std::mutex> lock(state_);
    return refused_;
}

ULONG64 CEventTraceStandIn::ForeignHandleEventCount() {
    std::lock_guard<std::mutex> lock(state_);
    return foreign_;
}

GUID CEventTraceStandIn::LastControlGuid() {
    std::lock_guard<std::mutex> lock(state_);
    return lastControlGuid_;
}

}  // namespace ETWLogging
