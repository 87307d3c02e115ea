#include "tests/logging/etw/EventTraceStandIn.h"

#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <utility>

#include "basalt/UniqueHandle.h"

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
constexpr ULONG kBytesPerKilobyte = 1024;
// Trace handles: far from registration handles and enable contexts.
constexpr ULONG64 kConsumerBase = 0x7100000071000000ull;
// The GUID a session started without one gets: this, with its serial in the last bytes.
constexpr GUID kSessionGuidBase = {0x53545344, 0x494E, 0x4755, {0x49, 0x44, 0, 0, 0, 0, 0, 0}};

// The stand-in's trace files: this header, then each event as a FileEvent followed by its data.
struct FileHeader {
    char magic[8];
    ULONG bufferBytes;
    ULONG eventCount;
};
constexpr char kFileMagic[8] = {'S', 'T', 'A', 'N', 'D', 'E', 'T', 'L'};
struct FileEvent {
    EVENT_TRACE_HEADER header;
    LONGLONG timeStamp;
    DWORD processId;
    DWORD threadId;
    ULONG dataBytes;
};

TRACEHANDLE InvalidLoggerHandle() {
    return static_cast<TRACEHANDLE>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE));
}

bool SameName(const std::wstring& name, LPCWSTR other) {
    return !name.empty() && other != nullptr && ::_wcsicmp(name.c_str(), other) == 0;
}

// The bytes an event takes in a buffer: its header and its data.
ULONG64 EventBytes(const RecordedTraceEvent& event) {
    return sizeof(EVENT_TRACE_HEADER) + event.data.size();
}

// The text that starts `offset` bytes into a properties block of `blockBytes` and ends
// with its terminator inside the block; false when it does not.
bool TextInBlock(const EVENT_TRACE_PROPERTIES& properties, ULONG offset, std::wstring& text) {
    const ULONG blockBytes = properties.Wnode.BufferSize;
    if (offset < sizeof(EVENT_TRACE_PROPERTIES) || offset >= blockBytes) return false;
    const wchar_t* start =
        reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(&properties) + offset);
    const size_t room = (blockBytes - offset) / sizeof(wchar_t);
    const size_t length = ::wcsnlen(start, room);
    if (length == room) return false;
    text.assign(start, length);
    return true;
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

ULONG CEventTraceStandIn::TakeFailure(Call call) {
    const auto found = failures_.find(call);
    if (found == failures_.end()) return ERROR_SUCCESS;
    const ULONG error = found->second;
    failures_.erase(found);
    return error;
}

// --- Provider side -------------------------------------------------------------------------

ULONG CEventTraceStandIn::RegisterTraceGuids(WMIDPREQUEST callback, PVOID context,
                                             LPCGUID controlGuid, ULONG guidCount,
                                             PTRACE_GUID_REGISTRATION guidRegistrations,
                                             LPCWSTR /*mofImagePath*/, LPCWSTR /*mofResourceName*/,
                                             PTRACEHANDLE registrationHandle) {
    if (callback == nullptr || controlGuid == nullptr || registrationHandle == nullptr ||
        guidCount == 0 || guidRegistrations == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // Callbacks come one at a time: none of the service's thread runs meanwhile.
    std::lock_guard<std::recursive_mutex> calling(calling_);
    const Provider provider{callback, context, *controlGuid};
    std::vector<TRACEHANDLE> enabledBy;
    {
        std::lock_guard<std::mutex> lock(state_);
        if (const ULONG error = TakeFailure(Call::kRegisterTraceGuids)) return error;
        const TRACEHANDLE handle = kRegistrationBase + ++nextRegistration_;
        providers_[handle] = provider;
        ++registrations_;
        lastControlGuid_ = *controlGuid;
        *registrationHandle = handle;
        for (const Enablement& enablement : enablements_) {
            if (!::IsEqualGUID(enablement.controlGuid, *controlGuid)) continue;
            issued_.insert(enablement.context);
            enabledBy.push_back(enablement.context);
        }
    }
    // Enabled before it registered: the callbacks run now, on this thread, and the
    // registration reports the result of the last.
    ULONG result = ERROR_SUCCESS;
    for (TRACEHANDLE enableContext : enabledBy) {
        result = Invoke(provider, WMI_ENABLE_EVENTS, enableContext);
    }
    return result;
}

ULONG CEventTraceStandIn::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    // No wait for a callback that the service's thread has begun (see the header).
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
    // from before a level change) is refused, so that a provider which keeps an outdated
    // handle is noticed.
    const bool current = std::any_of(enablements_.begin(), enablements_.end(),
                                     [&](const Enablement& e) { return e.context == traceHandle; });
    if (!current) return ERROR_INVALID_HANDLE;
    // An event may not span buffers, and each buffer starts with its own header.
    const ULONG64 room = session->second.bufferBytes - kBufferHeaderBytes;
    return sizeof(EVENT_TRACE_HEADER) + dataBytes > room ? ERROR_MORE_DATA : ERROR_SUCCESS;
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
    copy.sessionSerial = sessions_[TraceLoggerId(traceHandle)].serial;
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
    ULONG error = ERROR_SUCCESS;
    TRACEHANDLE handle = 0;
    if (buffer == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        handle = static_cast<const WNODE_HEADER*>(buffer)->HistoricalContext;
        std::lock_guard<std::mutex> lock(state_);
        if (issued_.count(handle) == 0) error = ERROR_INVALID_HANDLE;
    }
    if (error == ERROR_SUCCESS) return handle;
    ::SetLastError(error);
    return InvalidLoggerHandle();
}

// Both read the handle itself. On success the last error is left as it was: the caller
// clears it first to tell a level or flags of 0 from a failure.
UCHAR CEventTraceStandIn::GetTraceEnableLevel(TRACEHANDLE traceHandle) {
    if (UnderLock([&] { return issued_.count(traceHandle) == 0; })) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<UCHAR>(traceHandle >> kLevelShift);
}

ULONG CEventTraceStandIn::GetTraceEnableFlags(TRACEHANDLE traceHandle) {
    if (UnderLock([&] { return issued_.count(traceHandle) == 0; })) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<ULONG>(traceHandle >> kFlagsShift);
}

// --- Callbacks -----------------------------------------------------------------------------

void CEventTraceStandIn::Queue(const GUID& controlGuid, ULONG code, TRACEHANDLE context) {
    for (const auto& entry : providers_) {
        if (!::IsEqualGUID(entry.second.controlGuid, controlGuid)) continue;
        issued_.insert(context);
        queue_.push_back(Delivery{entry.first, code, context});
        ++unsettled_;
    }
    queueChanged_.notify_all();
}

void CEventTraceStandIn::DeliveryLoop() {
    for (;;) {
        Delivery delivery = {};
        Provider provider = {};
        bool registered = false;
        {
            std::unique_lock<std::mutex> lock(state_);
            queueChanged_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            delivery = queue_.front();
            queue_.pop_front();
            // Begun now: a registration gone by this point is not called.
            const auto found = providers_.find(delivery.registration);
            registered = found != providers_.end();
            if (registered) provider = found->second;
        }
        if (registered) {
            std::lock_guard<std::recursive_mutex> calling(calling_);
            Invoke(provider, delivery.code, delivery.context);
        }
        std::lock_guard<std::mutex> lock(state_);
        --unsettled_;
        queueChanged_.notify_all();
    }
}

ULONG CEventTraceStandIn::Invoke(const Provider& provider, ULONG code, TRACEHANDLE context) {
    WNODE_HEADER buffer = {};
    buffer.BufferSize = sizeof(buffer);
    buffer.HistoricalContext = context;
    buffer.Guid = provider.controlGuid;
    buffer.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG bufferSize = sizeof(buffer);
    const ULONG result = provider.callback(static_cast<WMIDPREQUESTCODE>(code), provider.context,
                                           &bufferSize, &buffer);
    std::lock_guard<std::mutex> lock(state_);
    lastCallbackResult_ = result;
    return result;
}

void CEventTraceStandIn::Settle() {
    std::unique_lock<std::mutex> lock(state_);
    queueChanged_.wait(lock, [this] { return unsettled_ == 0; });
}

// --- Controller side -----------------------------------------------------------------------

TRACEHANDLE CEventTraceStandIn::StartSession() {
    std::lock_guard<std::mutex> lock(state_);
    return StartNamedSession(kMaxBufferKilobytes, std::wstring());
}

TRACEHANDLE CEventTraceStandIn::StartNamedSession(ULONG bufferKilobytes, const std::wstring& name) {
    for (USHORT id = kFirstLoggerId; id < kLoggerIdLimit; ++id) {
        if (sessions_.count(id) != 0) continue;
        GUID guid = kSessionGuidBase;
        const ULONG64 serial = ++nextSerial_;
        ::memcpy(&guid.Data4[4], &serial, 4);
        sessions_[id] = Session{bufferKilobytes * kBytesPerKilobyte, serial,        name, guid,
                                EVENT_TRACE_REAL_TIME_MODE,          std::wstring()};
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
    std::wstring logFile;
    const bool realTime =
        properties->LogFileMode == EVENT_TRACE_REAL_TIME_MODE && properties->LogFileNameOffset == 0;
    const bool sequential = properties->LogFileMode == EVENT_TRACE_FILE_MODE_SEQUENTIAL &&
                            properties->LogFileNameOffset != 0;
    if (sequential && !TextInBlock(*properties, properties->LogFileNameOffset, logFile)) {
        return ERROR_BAD_LENGTH;
    }
    if ((properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0 || !(realTime || sequential) ||
        (sequential && logFile.empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(state_);
    if (const ULONG error = TakeFailure(Call::kStartTrace)) return error;
    if (FindSession(0, sessionName) != sessions_.end()) return ERROR_ALREADY_EXISTS;
    if (sequential) {
        // The file is made at the start, so that a path that cannot hold it fails here.
        Basalt::UniqueHandle file(::CreateFileW(logFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return ::GetLastError();
    }
    // The service adjusts a size out of its range, as Windows does.
    const ULONG kilobytes = properties->BufferSize == 0
                                ? kMaxBufferKilobytes
                                : std::min(properties->BufferSize, kMaxBufferKilobytes);
    const TRACEHANDLE session = StartNamedSession(kilobytes, name);
    if (session == 0) return ERROR_NO_SYSTEM_RESOURCES;
    Session& started = sessions_[TraceLoggerId(session)];
    if (!::IsEqualGUID(properties->Wnode.Guid, GUID{})) started.guid = properties->Wnode.Guid;
    started.logFileMode = properties->LogFileMode;
    started.logFile = logFile;
    DescribeSession(TraceLoggerId(session), started, *properties);
    *sessionHandle = session;
    return ERROR_SUCCESS;
}

void CEventTraceStandIn::DescribeSession(USHORT loggerId, const Session& session,
                                         EVENT_TRACE_PROPERTIES& properties) {
    properties.Wnode.Guid = session.guid;
    properties.Wnode.HistoricalContext = loggerId;
    properties.BufferSize = session.bufferBytes / kBytesPerKilobyte;
    properties.LogFileMode = session.logFileMode;
    const ULONG64 nameEnd = static_cast<ULONG64>(properties.LoggerNameOffset) +
                            (session.name.size() + 1) * sizeof(wchar_t);
    if (properties.LoggerNameOffset >= sizeof(EVENT_TRACE_PROPERTIES) &&
        nameEnd <= properties.Wnode.BufferSize) {
        ::memcpy(reinterpret_cast<BYTE*>(&properties) + properties.LoggerNameOffset,
                 session.name.c_str(), (session.name.size() + 1) * sizeof(wchar_t));
    }
}

std::map<USHORT, CEventTraceStandIn::Session>::iterator CEventTraceStandIn::FindSession(
    TRACEHANDLE loggerId, LPCWSTR name) {
    if (name == nullptr) {
        // A controller's handle is the logger id alone.
        if (TraceLoggerId(loggerId) != loggerId) return sessions_.end();
        return sessions_.find(TraceLoggerId(loggerId));
    }
    return std::find_if(sessions_.begin(), sessions_.end(),
                        [&](const auto& entry) { return SameName(entry.second.name, name); });
}

ULONG CEventTraceStandIn::ControlTrace(TRACEHANDLE sessionHandle, LPCWSTR sessionName,
                                       PEVENT_TRACE_PROPERTIES properties, ULONG controlCode) {
    if (properties == nullptr || (sessionHandle == 0 && sessionName == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
    // Not modelled: updates and flushes.
    if (controlCode != EVENT_TRACE_CONTROL_QUERY && controlCode != EVENT_TRACE_CONTROL_STOP) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(state_);
    const auto found = FindSession(sessionHandle, sessionHandle != 0 ? nullptr : sessionName);
    if (found == sessions_.end()) return kErrorSessionNotFound;
    DescribeSession(found->first, found->second, *properties);
    if (controlCode == EVENT_TRACE_CONTROL_STOP) EndSession(found->first);
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::StopSession(TRACEHANDLE session) {
    std::lock_guard<std::mutex> lock(state_);
    if (FindSession(session, nullptr) == sessions_.end()) return kErrorSessionNotFound;
    EndSession(TraceLoggerId(session));
    return ERROR_SUCCESS;
}

void CEventTraceStandIn::EndSession(USHORT loggerId) {
    // The providers it enabled hear of it afterwards.
    for (auto it = enablements_.begin(); it != enablements_.end();) {
        if (TraceLoggerId(it->context) != loggerId) {
            ++it;
            continue;
        }
        Queue(it->controlGuid, WMI_DISABLE_EVENTS, it->context);
        it = enablements_.erase(it);
    }
    const Session& session = sessions_[loggerId];
    if (session.logFileMode == EVENT_TRACE_FILE_MODE_SEQUENTIAL) WriteFile(session);
    sessions_.erase(loggerId);
    eventsChanged_.notify_all();
}

ULONG CEventTraceStandIn::EnableTrace(ULONG enable, ULONG enableFlags, ULONG enableLevel,
                                      LPCGUID controlGuid, TRACEHANDLE sessionHandle) {
    constexpr ULONG kMaxEnableLevel = 0xFF;
    if (controlGuid == nullptr || enableLevel > kMaxEnableLevel) return ERROR_INVALID_PARAMETER;
    if (enable == FALSE) return Disable(sessionHandle, *controlGuid);
    return Enable(sessionHandle, *controlGuid, static_cast<UCHAR>(enableLevel), enableFlags);
}

ULONG CEventTraceStandIn::EnableProvider(TRACEHANDLE session, const GUID& controlGuid, UCHAR level,
                                         ULONG flags) {
    return EnableTrace(TRUE, flags, level, &controlGuid, session);
}

ULONG CEventTraceStandIn::DisableProvider(TRACEHANDLE session, const GUID& controlGuid) {
    return EnableTrace(FALSE, 0, 0, &controlGuid, session);
}

ULONG CEventTraceStandIn::Enable(TRACEHANDLE session, const GUID& controlGuid, UCHAR level,
                                 ULONG flags) {
    std::lock_guard<std::mutex> lock(state_);
    if (const ULONG error = TakeFailure(Call::kEnableTrace)) return error;
    if (FindSession(session, nullptr) == sessions_.end()) return kErrorSessionNotFound;
    const TRACEHANDLE context = EnableContext(session, level, flags);
    Enablement* held = FindEnablement(controlGuid, TraceLoggerId(session));
    // Documented: the level and flags cannot change while the provider is not registered.
    if (held != nullptr && !IsRegistered(controlGuid) && held->context != context) {
        return ERROR_INVALID_FUNCTION;
    }
    if (held != nullptr) {
        held->context = context;
    } else {
        enablements_.push_back(Enablement{controlGuid, context});
    }
    Queue(controlGuid, WMI_ENABLE_EVENTS, context);
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::Disable(TRACEHANDLE session, const GUID& controlGuid) {
    std::lock_guard<std::mutex> lock(state_);
    if (const ULONG error = TakeFailure(Call::kEnableTrace)) return error;
    if (FindSession(session, nullptr) == sessions_.end()) return kErrorSessionNotFound;
    const auto held = std::find_if(enablements_.begin(), enablements_.end(), [&](const auto& e) {
        return ::IsEqualGUID(e.controlGuid, controlGuid) &&
               TraceLoggerId(e.context) == TraceLoggerId(session);
    });
    if (held != enablements_.end()) {
        Queue(controlGuid, WMI_DISABLE_EVENTS, held->context);
        enablements_.erase(held);
        return ERROR_SUCCESS;
    }
    // Not documented: a disable from a session that has not enabled the provider. Stricter:
    // the provider is told, with that session's handle, and must tell it from its own.
    Queue(controlGuid, WMI_DISABLE_EVENTS, EnableContext(session, 0, 0));
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS infoClass, PVOID inBuffer,
                                                ULONG inBufferSize, PVOID outBuffer,
                                                ULONG outBufferSize, PULONG returnLength) {
    if (returnLength == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_);
    if (const ULONG error = TakeFailure(Call::kEnumerateTraceGuidsEx)) return error;
    if (infoClass != TraceGuidQueryInfo) return ERROR_NOT_SUPPORTED;
    if (inBuffer == nullptr || inBufferSize != sizeof(GUID)) return ERROR_INVALID_PARAMETER;
    const GUID controlGuid = *static_cast<const GUID*>(inBuffer);
    std::vector<TRACE_ENABLE_INFO> enabledBy;
    for (const Enablement& enablement : enablements_) {
        if (!::IsEqualGUID(enablement.controlGuid, controlGuid)) continue;
        TRACE_ENABLE_INFO info = {};
        info.IsEnabled = TRUE;
        info.Level = static_cast<UCHAR>(enablement.context >> kLevelShift);
        info.LoggerId = TraceLoggerId(enablement.context);
        info.MatchAnyKeyword = static_cast<ULONG>(enablement.context >> kFlagsShift);
        enabledBy.push_back(info);
    }
    const auto registered =
        static_cast<ULONG>(std::count_if(providers_.begin(), providers_.end(), [&](const auto& e) {
            return ::IsEqualGUID(e.second.controlGuid, controlGuid);
        }));
    if (registered == 0 && enabledBy.empty()) return ERROR_WMI_GUID_NOT_FOUND;
    // One instance per registration; enabled but not registered: one pre-enabled instance.
    const ULONG instances = registered != 0 ? registered : 1;
    const ULONG instanceBytes = static_cast<ULONG>(sizeof(TRACE_PROVIDER_INSTANCE_INFO) +
                                                   enabledBy.size() * sizeof(TRACE_ENABLE_INFO));
    *returnLength = static_cast<ULONG>(sizeof(TRACE_GUID_INFO)) + instances * instanceBytes;
    if (outBuffer == nullptr || outBufferSize < *returnLength) return ERROR_INSUFFICIENT_BUFFER;
    BYTE* cursor = static_cast<BYTE*>(outBuffer);
    const TRACE_GUID_INFO guidInfo = {instances, 0};
    ::memcpy(cursor, &guidInfo, sizeof(guidInfo));
    cursor += sizeof(guidInfo);
    for (ULONG i = 0; i < instances; ++i) {
        TRACE_PROVIDER_INSTANCE_INFO instance = {};
        instance.NextOffset = i + 1 < instances ? instanceBytes : 0;
        instance.EnableCount = static_cast<ULONG>(enabledBy.size());
        instance.Pid = registered != 0 ? ::GetCurrentProcessId() : 0;
        instance.Flags = TRACE_PROVIDER_FLAG_LEGACY |
                         (registered != 0 ? 0 : static_cast<ULONG>(TRACE_PROVIDER_FLAG_PRE_ENABLE));
        ::memcpy(cursor, &instance, sizeof(instance));
        cursor += sizeof(instance);
        for (const TRACE_ENABLE_INFO& info : enabledBy) {
            ::memcpy(cursor, &info, sizeof(info));
            cursor += sizeof(info);
        }
    }
    return ERROR_SUCCESS;
}

std::vector<USHORT> CEventTraceStandIn::EnablingSessions(const GUID& controlGuid) {
    std::lock_guard<std::mutex> lock(state_);
    std::vector<USHORT> loggerIds;
    for (const Enablement& enablement : enablements_) {
        if (::IsEqualGUID(enablement.controlGuid, controlGuid)) {
            loggerIds.push_back(TraceLoggerId(enablement.context));
        }
    }
    return loggerIds;
}

CEventTraceStandIn::Enablement* CEventTraceStandIn::FindEnablement(const GUID& controlGuid,
                                                                   USHORT loggerId) {
    for (Enablement& enablement : enablements_) {
        if (::IsEqualGUID(enablement.controlGuid, controlGuid) &&
            TraceLoggerId(enablement.context) == loggerId) {
            return &enablement;
        }
    }
    return nullptr;
}

bool CEventTraceStandIn::IsRegistered(const GUID& controlGuid) {
    return std::any_of(providers_.begin(), providers_.end(), [&](const auto& entry) {
        return ::IsEqualGUID(entry.second.controlGuid, controlGuid);
    });
}

bool CEventTraceStandIn::IsLiveSerial(ULONG64 serial) {
    return std::any_of(sessions_.begin(), sessions_.end(),
                       [&](const auto& session) { return session.second.serial == serial; });
}

// --- Consumer side -------------------------------------------------------------------------

TRACEHANDLE CEventTraceStandIn::OpenTrace(PEVENT_TRACE_LOGFILEW logfile) {
    ULONG error = ERROR_SUCCESS;
    TRACEHANDLE handle = 0;
    {
        std::lock_guard<std::mutex> lock(state_);
        handle = invalidTraceHandle_;
        error = TakeFailure(Call::kOpenTrace);
        const bool realTime =
            logfile != nullptr && (logfile->ProcessTraceMode & PROCESS_TRACE_MODE_REAL_TIME) != 0;
        if (error == ERROR_SUCCESS &&
            (logfile == nullptr || logfile->EventRecordCallback == nullptr ||
             (logfile->ProcessTraceMode & PROCESS_TRACE_MODE_EVENT_RECORD) == 0 ||
             (realTime ? logfile->LoggerName == nullptr || logfile->LogFileName != nullptr
                       : logfile->LogFileName == nullptr))) {
            error = ERROR_INVALID_PARAMETER;
        }
        Consumer consumer = {};
        if (error == ERROR_SUCCESS) {
            consumer.logfile = *logfile;
            if (realTime) {
                consumer.loggerName = logfile->LoggerName;
            } else {
                consumer.logFileName = logfile->LogFileName;
                error = OpenFile(consumer.logFileName, consumer);
            }
        }
        if (error == ERROR_SUCCESS) {
            handle = kConsumerBase + ++nextConsumer_;
            Consumer& stored = consumers_[handle] = std::move(consumer);
            // The copy names what it reads with its own strings.
            stored.logfile.LoggerName = realTime ? &stored.loggerName[0] : nullptr;
            stored.logfile.LogFileName = realTime ? nullptr : &stored.logFileName[0];
        }
    }
    if (error != ERROR_SUCCESS) ::SetLastError(error);
    return handle;
}

ULONG CEventTraceStandIn::OpenFile(const std::wstring& path, Consumer& consumer) {
    Basalt::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    const auto read = [&](void* target, DWORD bytes) {
        DWORD done = 0;
        return ::ReadFile(file.get(), target, bytes, &done, nullptr) && done == bytes;
    };
    FileHeader header = {};
    if (!read(&header, sizeof(header)) || ::memcmp(header.magic, kFileMagic, sizeof(kFileMagic)) ||
        header.bufferBytes <= kBufferHeaderBytes) {
        return ERROR_BAD_FORMAT;
    }
    for (ULONG i = 0; i < header.eventCount; ++i) {
        FileEvent stored = {};
        RecordedTraceEvent event;
        if (!read(&stored, sizeof(stored)) || stored.dataBytes > header.bufferBytes) {
            return ERROR_BAD_FORMAT;
        }
        event.data.resize(stored.dataBytes);
        if (stored.dataBytes != 0 && !read(event.data.data(), stored.dataBytes)) {
            return ERROR_BAD_FORMAT;
        }
        event.header = stored.header;
        event.timeStamp = stored.timeStamp;
        event.processId = stored.processId;
        event.threadId = stored.threadId;
        consumer.fileEvents.push_back(std::move(event));
    }
    consumer.fileBufferBytes = header.bufferBytes;
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::WriteFile(const Session& session) {
    std::vector<BYTE> bytes(sizeof(FileHeader));
    ULONG count = 0;
    for (const RecordedTraceEvent& event : events_) {
        if (event.sessionSerial != session.serial) continue;
        const FileEvent stored = {event.header, event.timeStamp, event.processId, event.threadId,
                                  static_cast<ULONG>(event.data.size())};
        const BYTE* start = reinterpret_cast<const BYTE*>(&stored);
        bytes.insert(bytes.end(), start, start + sizeof(stored));
        bytes.insert(bytes.end(), event.data.begin(), event.data.end());
        ++count;
    }
    FileHeader header = {};
    ::memcpy(header.magic, kFileMagic, sizeof(kFileMagic));
    header.bufferBytes = session.bufferBytes;
    header.eventCount = count;
    ::memcpy(bytes.data(), &header, sizeof(header));
    Basalt::UniqueHandle file(::CreateFileW(session.logFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

ULONG CEventTraceStandIn::ProcessTrace(PTRACEHANDLE handles, ULONG handleCount,
                                       LPFILETIME /*startTime*/, LPFILETIME /*endTime*/) {
    // Stricter: one handle at a time.
    if (handles == nullptr || handleCount != 1) return ERROR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(state_);
    if (const ULONG error = TakeFailure(Call::kProcessTrace)) return error;
    const auto found = consumers_.find(handles[0]);
    if (found == consumers_.end() || found->second.processing) return ERROR_INVALID_HANDLE;
    Consumer& consumer = found->second;  // map nodes stay where they are
    consumer.processing = true;
    const ULONG result =
        consumer.loggerName.empty() ? ProcessFile(lock, consumer) : ProcessRealTime(lock, consumer);
    consumer.processing = false;
    if (consumer.closed) consumers_.erase(found);
    return result;
}

namespace {

// Calls the consumer's buffer callback, if any, after a buffer: false when it says to stop.
template <typename Lock>
bool BufferDone(Lock& lock, EVENT_TRACE_LOGFILEW& logfile, ULONG filledBytes) {
    if (logfile.BufferCallback == nullptr) return true;
    ++logfile.BuffersRead;
    logfile.Filled = filledBytes;
    lock.unlock();
    const ULONG more = logfile.BufferCallback(&logfile);
    lock.lock();
    return more != FALSE;
}

}  // namespace

ULONG CEventTraceStandIn::ProcessRealTime(std::unique_lock<std::mutex>& lock, Consumer& consumer) {
    // OpenTrace does not look for the session; reading does.
    const auto session = FindSession(0, consumer.loggerName.c_str());
    if (session == sessions_.end()) return kErrorSessionNotFound;
    const ULONG64 serial = session->second.serial;
    consumer.logfile.BufferSize = session->second.bufferBytes;
    for (size_t next = 0;;) {
        ULONG64 filled = 0;  // what arrived since the last wait is one buffer
        while (next < events_.size() && !consumer.closed) {
            if (events_[next].sessionSerial != serial) {
                ++next;
                continue;
            }
            const RecordedTraceEvent event = events_[next++];
            filled += EventBytes(event);
            lock.unlock();
            DeliverRecord(consumer, event);
            lock.lock();
        }
        if (filled != 0 && !BufferDone(lock, consumer.logfile, static_cast<ULONG>(filled))) {
            return ERROR_CANCELLED;
        }
        if (consumer.closed || !IsLiveSerial(serial)) return ERROR_SUCCESS;
        eventsChanged_.wait(lock);
    }
}

ULONG CEventTraceStandIn::ProcessFile(std::unique_lock<std::mutex>& lock, Consumer& consumer) {
    consumer.logfile.BufferSize = consumer.fileBufferBytes;
    const ULONG64 room = consumer.fileBufferBytes - kBufferHeaderBytes;
    for (size_t next = 0; next < consumer.fileEvents.size();) {
        // The events that filled one of the session's buffers.
        ULONG64 filled = 0;
        while (next < consumer.fileEvents.size() && !consumer.closed &&
               (filled == 0 || filled + EventBytes(consumer.fileEvents[next]) <= room)) {
            const RecordedTraceEvent& event = consumer.fileEvents[next++];
            filled += EventBytes(event);
            lock.unlock();
            DeliverRecord(consumer, event);
            lock.lock();
        }
        if (consumer.closed) return ERROR_SUCCESS;
        if (!BufferDone(lock, consumer.logfile, static_cast<ULONG>(filled))) return ERROR_CANCELLED;
    }
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
    record.UserContext = consumer.logfile.Context;
    consumer.logfile.EventRecordCallback(&record);
}

}  // namespace ETWLogging
