#include "hvlogcfg/Trace.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "basalt/Md5.h"
#include "basalt/ScopeGuard.h"
#include "basalt/StringHelpers.h"
#include "hvlogcfg/ErrorText.h"
#include "logging/LoggingIf.h"
#include "logging/etw/EventLayout.h"
#include "logging/etw/EventTraceAPI.h"
#include "logging/file/LineFormat.h"

namespace Hvlogcfg {
namespace {

// Real-time buffers of 64 KB, the largest event the provider can write, flushed every second
// so that lines appear while they are fresh.
constexpr ULONG kBufferKilobytes = 64;
constexpr ULONG kFlushSeconds = 1;
constexpr ULONG kQueryPerformanceCounterClock = 1;
// Room for a log file name that a query returns.
constexpr size_t kMaxLogFileChars = 1023;
// A running trace holds a mutex named after its session, in the global namespace, so that
// the runs of every operator and logon session meet on it.
constexpr wchar_t kNameOwnerPrefix[] = L"Global\\Halvik.hvlogcfg.trace.";
// Shown for a zero inside a message, which would otherwise end the line's text there.
constexpr wchar_t kReplacementCharacter = L'\xFFFD';

// Session properties followed by room for the names the service fills in.
struct SessionProperties {
    EVENT_TRACE_PROPERTIES properties;
    wchar_t name[kMaxSessionNameChars + 1];
    wchar_t logFile[kMaxLogFileChars + 1];
};

// Properties that say only their size and where the session name goes, as starting one needs.
SessionProperties BareProperties() {
    SessionProperties block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.LoggerNameOffset = offsetof(SessionProperties, name);
    return block;
}

// The same with room for a log file name, as a query or a stop may return one.
SessionProperties QueryProperties() {
    SessionProperties block = BareProperties();
    block.properties.LogFileNameOffset = offsetof(SessionProperties, logFile);
    return block;
}

// The clock of one line: the event's own time.
class CEventClock : public ETWLogging::LocalClockAPI {
  public:
    explicit CEventClock(const SYSTEMTIME& time) : time_(time) {}
    void Now(SYSTEMTIME& time) override { time = time_; }

  private:
    SYSTEMTIME time_;
};

// Event times arrive as UTC file times; lines carry local time, as the file back end writes.
SYSTEMTIME LocalTimeOf(LONGLONG fileTime) {
    FILETIME utc = {};
    utc.dwLowDateTime = static_cast<DWORD>(fileTime);
    utc.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(fileTime) >> 32);
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    ::FileTimeToSystemTime(&utc, &universal);
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) return universal;
    return local;
}

// The message as UTF-16. A message cut at the provider's buffer limit carries the buffer's
// terminating zero, which is not part of the text; any other zero byte shows as U+FFFD.
std::wstring MessageText(std::string bytes) {
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    std::wstring text = Basalt::WideFromCodePage(CP_UTF8, bytes);
    std::replace(text.begin(), text.end(), L'\0', kReplacementCharacter);
    return text;
}

std::wstring UndecodableLine(ULONG byteCount) {
    return Basalt::FormatString(
        L"(an event of the logging class with %lu bytes of data "
        L"does not decode)\r\n",
        byteCount);
}

// The line format refuses an empty message, which an event may carry: the line is formatted
// with a stand-in character that is then taken out again. A level without a label of the
// framework's (another writer's) is shown as Information, as the provider sends such levels.
bool FormatEventLine(const ETWLogging::DecodedEvent& event, DWORD level, DWORD options,
                     const SYSTEMTIME& time, std::wstring& line) {
    CEventClock clock(time);
    ETWLogging::LineContext context;
    context.options = options;
    context.processImageName = event.processImageName;
    context.processId = event.processId;
    context.threadId = event.threadId;
    context.clock = &clock;
    if (ETWLogging::SeverityLabel(level) == nullptr) level = ETWLogging::kLevelInformation;
    const std::wstring message = MessageText(event.message);
    const bool empty = message.empty();
    DWORD byteCount = 0;
    std::unique_ptr<wchar_t[]> text;
    if (ETWLogging::FormatLine(context, event.file.c_str(), event.function.c_str(), event.line,
                               level, empty ? L"-" : message.c_str(), &byteCount,
                               &text) != ERROR_SUCCESS) {
        return false;
    }
    line.assign(text.get(), byteCount / sizeof(wchar_t) - 1);
    constexpr size_t kLineEndChars = 2;  // "\r\n"
    if (empty) line.erase(line.size() - kLineEndChars - 1, 1);
    return true;
}

// The name of the mutex that a running trace of `sessionName` holds. Session names are
// compared without case, may hold "\" and may be longer than an object name: the digest of
// the name in upper case (by the invariant locale's table) names the mutex instead.
std::wstring NameOwnerName(const std::wstring& sessionName) {
    std::wstring upper = sessionName;
    const int length = static_cast<int>(sessionName.size());
    if (length != 0) {
        ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, sessionName.c_str(), length, &upper[0],
                       length);
    }
    Basalt::CMd5 md5;
    md5.Update(reinterpret_cast<const BYTE*>(upper.data()), upper.size() * sizeof(wchar_t));
    BYTE digest[Basalt::kMd5DigestSize];
    md5.Finish(digest);
    std::wstring name = kNameOwnerPrefix;
    for (BYTE byte : digest) name += Basalt::FormatString(L"%02X", byte);
    return name;
}

}  // namespace

bool FormatTraceEvent(const EVENT_RECORD& record, DWORD options, std::wstring& line) {
    const EVENT_HEADER& header = record.EventHeader;
    if (!::IsEqualGUID(header.ProviderId, ETWLogging::kEventGuid)) return false;
    ETWLogging::DecodedEvent event;
    const bool decodes = ETWLogging::DecodeEventData(record.UserData, record.UserDataLength,
                                                     event) == ERROR_SUCCESS &&
                         FormatEventLine(event, header.EventDescriptor.Level, options,
                                         LocalTimeOf(header.TimeStamp.QuadPart), line);
    if (!decodes) line = UndecodableLine(record.UserDataLength);
    return true;
}

std::wstring DescribeTraceFailure(const TraceFailure& failure, bool elevated) {
    // Each text takes the subject and then the error, if it names it.
    static const struct {
        TraceStep step;
        const wchar_t* text;
    } kTexts[] = {
        {TraceStep::kClaimName,
         L"the trace session \"%s\" could not be claimed: CreateMutexW failed with %s"},
        {TraceStep::kInUse,
         L"the trace session \"%s\" belongs to an hvlogcfg trace that is still running; give "
         L"another --session"},
        {TraceStep::kNotLeftByUs,
         L"a trace session \"%s\" is running that no hvlogcfg trace left behind; it is left "
         L"alone (give another --session)"},
        {TraceStep::kStart,
         L"no trace session \"%s\" could be started: StartTraceW failed with %s"},
        {TraceStep::kOpen, L"no trace session \"%s\" could be opened: OpenTraceW failed with %s"},
        {TraceStep::kQueryHolder,
         L"the trace session \"%s\" cannot tell whether another session holds the provider: "
         L"EnumerateTraceGuidsEx failed with %s"},
        {TraceStep::kHeld,
         L"the provider is held by the trace session \"%s\": it serves one session at a time, "
         L"so a trace would show nothing while that one runs"},
        {TraceStep::kEnable,
         L"the trace session \"%s\" could not enable the provider: EnableTrace failed with %s"},
        {TraceStep::kRead,
         L"the trace session \"%s\" could not be read: ProcessTrace failed with %s"},
        {TraceStep::kEnded,
         L"the trace session \"%s\" ended while it was read: another program stopped it"},
        {TraceStep::kStop, L"the trace session \"%s\" did not stop: ControlTraceW failed with %s"},
        {TraceStep::kFileMissing, L"the trace file %s was not found"},
        {TraceStep::kFileOpen, L"the trace file %s could not be opened: OpenTraceW failed with %s"},
        {TraceStep::kFileRead, L"the trace file %s could not be read: ProcessTrace failed with %s"},
    };
    const std::wstring error = DescribeError(failure.error, elevated);
    for (const auto& text : kTexts) {
        if (text.step == failure.step) {
            return Basalt::FormatString(text.text, failure.subject.c_str(), error.c_str());
        }
    }
    return error;
}

CTraceStopSignal::CTraceStopSignal()
    : request_(::CreateEventW(nullptr, /*manualReset=*/TRUE, /*initialState=*/FALSE, nullptr)),
      stopped_(::CreateEventW(nullptr, /*manualReset=*/TRUE, /*initialState=*/FALSE, nullptr)) {}

BOOL CTraceStopSignal::OnControl(DWORD controlType) {
    switch (controlType) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(request_.get());
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends as soon as this returns: not before the session has stopped,
            // or a real-time session would outlive the tool with the provider enabled.
            ::SetEvent(request_.get());
            ::WaitForSingleObject(stopped_.get(), kCloseWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

CTraceReader::CTraceReader(std::shared_ptr<ETWLogging::TraceSessionAPI> api, DWORD options,
                           ULONG64 maxEvents, LineSink sink)
    : api_(api ? std::move(api) : std::make_shared<ETWLogging::TraceSessionAPI>()),
      options_(options),
      maxEvents_(maxEvents),
      sink_(std::move(sink)),
      finished_(::CreateEventW(nullptr, /*manualReset=*/TRUE, /*initialState=*/FALSE, nullptr)) {}

CTraceReader::~CTraceReader() { Stop(); }

bool CTraceReader::StartLive(const std::wstring& sessionName, const GUID& provider, UCHAR level,
                             TraceFailure& failure) {
    provider_ = provider;
    sessionName_ = sessionName;
    Basalt::ScopeGuard undo([this] { Stop(); });  // a failure leaves nothing running
    if (!ClaimSessionName(sessionName, failure) || !StartSession(sessionName, failure)) {
        return false;
    }
    // The reader is attached before the provider is enabled, so that no event goes unread.
    EVENT_TRACE_LOGFILEW logfile = {};
    const TRACEHANDLE consumer = Open(logfile, &sessionName_[0], nullptr);
    if (ETWLogging::IsInvalidProcessTraceHandle(consumer)) {
        failure = TraceFailure{TraceStep::kOpen, ::GetLastError(), sessionName};
        return false;
    }
    consumer_ = consumer;
    if (!CheckNoOtherHolder(provider, failure)) return false;
    processing_ = std::thread([this, consumer] {
        TRACEHANDLE handle = consumer;
        readResult_ = api_->ProcessTrace(&handle, 1, nullptr, nullptr);
        readingEnded_ = true;
        ::SetEvent(finished_.get());
    });
    const ULONG error = api_->EnableTrace(TRUE, /*enableFlags=*/0, level, &provider_, session_);
    if (error != ERROR_SUCCESS) {
        failure = TraceFailure{TraceStep::kEnable, error, sessionName};
        return false;
    }
    enabled_ = true;
    undo.Dismiss();
    return true;
}

bool CTraceReader::Follow(HANDLE stopRequest, DWORD milliseconds, TraceFailure& failure) {
    if (processing_.joinable()) {
        const HANDLE handles[] = {finished_.get(), stopRequest};
        const DWORD count = stopRequest != nullptr ? 2 : 1;
        ::WaitForMultipleObjects(count, handles, /*waitAll=*/FALSE, milliseconds);
    }
    // The reading ends by itself only when it fails or the session is stopped by another.
    const bool ended = readingEnded_ && !LimitReached();
    const ULONG readResult = readResult_;
    const ULONG stopResult = Stop();
    if (ended) {
        failure = readResult != ERROR_SUCCESS
                      ? TraceFailure{TraceStep::kRead, readResult, sessionName_}
                      : TraceFailure{TraceStep::kEnded, ERROR_SUCCESS, sessionName_};
        return false;
    }
    if (stopResult != ERROR_SUCCESS) {
        failure = TraceFailure{TraceStep::kStop, stopResult, sessionName_};
        return false;
    }
    return true;
}

ULONG CTraceReader::Stop() {
    if (enabled_) api_->EnableTrace(FALSE, 0, 0, &provider_, session_);
    enabled_ = false;
    // Stopping a real-time session ends ProcessTrace once the events it holds are delivered;
    // closing the reader first could lose them, so that is done first only when the session
    // would not stop.
    const ULONG result = StopSession();
    if (result != ERROR_SUCCESS) CloseConsumer();
    if (processing_.joinable()) processing_.join();
    CloseConsumer();
    nameOwner_.reset();
    return result;
}

void CTraceReader::CloseConsumer() {
    if (consumer_ != INVALID_PROCESSTRACE_HANDLE) {
        api_->CloseTrace(std::exchange(consumer_, INVALID_PROCESSTRACE_HANDLE));
    }
}

bool CTraceReader::ReadFile(const std::wstring& path, TraceFailure& failure) {
    // Said before the tracing service is asked, whose answer for a missing file need not say so.
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            failure = TraceFailure{TraceStep::kFileMissing, error, path};
            return false;
        }
    }
    std::wstring name = path;
    EVENT_TRACE_LOGFILEW logfile = {};
    TRACEHANDLE handle = Open(logfile, nullptr, &name[0]);
    if (ETWLogging::IsInvalidProcessTraceHandle(handle)) {
        failure = TraceFailure{TraceStep::kFileOpen, ::GetLastError(), path};
        return false;
    }
    const ULONG error = api_->ProcessTrace(&handle, 1, nullptr, nullptr);
    api_->CloseTrace(handle);
    // Cancelled at the event limit: the buffer callback said so.
    if (error != ERROR_SUCCESS && !(error == ERROR_CANCELLED && LimitReached())) {
        failure = TraceFailure{TraceStep::kFileRead, error, path};
        return false;
    }
    return true;
}

VOID WINAPI CTraceReader::OnEventRecord(PEVENT_RECORD record) {
    if (record != nullptr && record->UserContext != nullptr) {
        static_cast<CTraceReader*>(record->UserContext)->Consume(*record);
    }
}

ULONG WINAPI CTraceReader::OnBuffer(PEVENT_TRACE_LOGFILEW logfile) {
    // FALSE ends the processing once the event limit is reached.
    return !static_cast<const CTraceReader*>(logfile->Context)->LimitReached();
}

void CTraceReader::Consume(const EVENT_RECORD& record) {
    if (LimitReached()) return;
    std::wstring line;
    if (!FormatTraceEvent(record, options_, line)) return;
    sink_(line);
    if (++printed_ == maxEvents_) ::SetEvent(finished_.get());
}

bool CTraceReader::ClaimSessionName(const std::wstring& sessionName, TraceFailure& failure) {
    // The mutex exists while a trace of this name runs: a killed run's went with it. Only its
    // existence matters, so it is never waited on; another user's is refused by its default
    // security, which says as much.
    nameOwner_.reset(
        ::CreateMutexW(nullptr, /*initialOwner=*/FALSE, NameOwnerName(sessionName).c_str()));
    const DWORD error = ::GetLastError();
    if (nameOwner_ && error != ERROR_ALREADY_EXISTS) return true;
    nameOwner_.reset();
    const bool inUse = error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
    failure = TraceFailure{inUse ? TraceStep::kInUse : TraceStep::kClaimName, error, sessionName};
    return false;
}

bool CTraceReader::StartSession(const std::wstring& sessionName, TraceFailure& failure) {
    ULONG error = StartNamedSession(sessionName);
    if (error == ERROR_ALREADY_EXISTS) {
        // This run holds the name, so no running trace owns the session: it is stopped and
        // replaced when an earlier run left it behind, and left alone otherwise.
        ULONG queryError = ERROR_SUCCESS;
        const bool leftBehind = IsLeftBehind(sessionName, queryError);
        if (!leftBehind && queryError != ERROR_WMI_INSTANCE_NOT_FOUND) {
            failure = TraceFailure{TraceStep::kNotLeftByUs, ERROR_ALREADY_EXISTS, sessionName};
            return false;
        }
        if (leftBehind) {
            SessionProperties block = QueryProperties();
            api_->ControlTrace(0, sessionName.c_str(), &block.properties, EVENT_TRACE_CONTROL_STOP);
        }
        error = StartNamedSession(sessionName);
    }
    if (error != ERROR_SUCCESS) {
        failure = TraceFailure{TraceStep::kStart, error, sessionName};
        return false;
    }
    return true;
}

ULONG CTraceReader::StartNamedSession(const std::wstring& sessionName) {
    SessionProperties block = BareProperties();
    EVENT_TRACE_PROPERTIES& properties = block.properties;
    properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties.Wnode.ClientContext = kQueryPerformanceCounterClock;
    properties.Wnode.Guid = kTraceSessionGuid;
    properties.BufferSize = kBufferKilobytes;
    properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties.FlushTimer = kFlushSeconds;
    const ULONG error = api_->StartTrace(&session_, sessionName.c_str(), &properties);
    if (error != ERROR_SUCCESS) session_ = 0;
    return error;
}

bool CTraceReader::IsLeftBehind(const std::wstring& sessionName, ULONG& error) {
    SessionProperties block = QueryProperties();
    const EVENT_TRACE_PROPERTIES& properties = block.properties;
    error =
        api_->ControlTrace(0, sessionName.c_str(), &block.properties, EVENT_TRACE_CONTROL_QUERY);
    return error == ERROR_SUCCESS && ::IsEqualGUID(properties.Wnode.Guid, kTraceSessionGuid) &&
           (properties.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0;
}

bool CTraceReader::CheckNoOtherHolder(const GUID& provider, TraceFailure& failure) {
    GUID guid = provider;
    std::vector<BYTE> info(sizeof(TRACE_GUID_INFO) + sizeof(TRACE_PROVIDER_INSTANCE_INFO) +
                           4 * sizeof(TRACE_ENABLE_INFO));
    ULONG size = 0;
    ULONG error = ERROR_SUCCESS;
    for (;;) {
        error = api_->EnumerateTraceGuidsEx(TraceGuidQueryInfo, &guid, sizeof(guid), info.data(),
                                            static_cast<ULONG>(info.size()), &size);
        if (error != ERROR_INSUFFICIENT_BUFFER || size <= info.size()) break;
        info.resize(size);
    }
    if (error == ERROR_WMI_GUID_NOT_FOUND) return true;  // neither registered nor enabled
    if (error != ERROR_SUCCESS) {
        failure = TraceFailure{TraceStep::kQueryHolder, error, sessionName_};
        return false;
    }
    // TRACE_GUID_INFO, then each instance followed by its sessions' TRACE_ENABLE_INFO.
    size = std::min<ULONG>(size, static_cast<ULONG>(info.size()));
    TRACE_GUID_INFO guidInfo = {};
    if (size < sizeof(guidInfo)) return true;
    ::memcpy(&guidInfo, info.data(), sizeof(guidInfo));
    size_t offset = sizeof(guidInfo);
    for (ULONG i = 0; i < guidInfo.InstanceCount; ++i) {
        TRACE_PROVIDER_INSTANCE_INFO instance = {};
        if (offset + sizeof(instance) > size) break;
        ::memcpy(&instance, info.data() + offset, sizeof(instance));
        for (ULONG e = 0; e < instance.EnableCount; ++e) {
            TRACE_ENABLE_INFO enabled = {};
            const size_t at = offset + sizeof(instance) + e * sizeof(enabled);
            if (at + sizeof(enabled) > size) break;
            ::memcpy(&enabled, info.data() + at, sizeof(enabled));
            if (enabled.IsEnabled && enabled.LoggerId != ETWLogging::TraceLoggerId(session_)) {
                failure =
                    TraceFailure{TraceStep::kHeld, ERROR_SUCCESS, SessionNameOf(enabled.LoggerId)};
                return false;
            }
        }
        if (instance.NextOffset == 0) break;
        offset += instance.NextOffset;
    }
    return true;
}

std::wstring CTraceReader::SessionNameOf(USHORT loggerId) {
    SessionProperties block = QueryProperties();
    if (api_->ControlTrace(loggerId, nullptr, &block.properties, EVENT_TRACE_CONTROL_QUERY) ==
            ERROR_SUCCESS &&
        block.name[0] != L'\0') {
        block.name[kMaxSessionNameChars] = L'\0';
        return block.name;
    }
    return Basalt::FormatString(L"logger id %hu", loggerId);
}

ULONG CTraceReader::StopSession() {
    if (session_ == 0) return ERROR_SUCCESS;
    SessionProperties block = QueryProperties();
    return api_->ControlTrace(std::exchange(session_, 0), nullptr, &block.properties,
                              EVENT_TRACE_CONTROL_STOP);
}

TRACEHANDLE CTraceReader::Open(EVENT_TRACE_LOGFILEW& logfile, LPWSTR name, LPWSTR path) {
    logfile.LoggerName = name;
    logfile.LogFileName = path;
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_EVENT_RECORD;
    if (name != nullptr) logfile.ProcessTraceMode |= PROCESS_TRACE_MODE_REAL_TIME;
    logfile.EventRecordCallback = &CTraceReader::OnEventRecord;
    logfile.BufferCallback = &CTraceReader::OnBuffer;
    logfile.Context = this;
    return api_->OpenTrace(&logfile);
}

bool RunLiveTrace(CTraceReader& reader, CTraceStopSignal& signal, const std::wstring& sessionName,
                  const GUID& provider, UCHAR level, DWORD milliseconds, TraceFailure& failure) {
    Basalt::ScopeGuard stopped([&] {
        reader.Stop();
        signal.Stopped();
    });
    return reader.StartLive(sessionName, provider, level, failure) &&
           reader.Follow(signal.Request(), milliseconds, failure);
}

}  // namespace Hvlogcfg
