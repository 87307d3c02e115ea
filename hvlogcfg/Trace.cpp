#include "hvlogcfg/Trace.h"

#include <stddef.h>
#include <string.h>

#include <utility>
#include <vector>

#include "basalt/StringHelpers.h"
#include "logging/etw/EventLayout.h"
#include "logging/file/LineFormat.h"

namespace Hvlogcfg {
namespace {

// Real-time buffers of 64 KB, the largest event the provider can write, flushed every second
// so that lines appear while they are fresh.
constexpr ULONG kBufferKilobytes = 64;
constexpr ULONG kFlushSeconds = 1;
constexpr ULONG kQueryPerformanceCounterClock = 1;

// Session properties followed by room for the session name, which the service fills in.
struct SessionProperties {
    EVENT_TRACE_PROPERTIES properties;
    wchar_t name[kMaxSessionNameChars + 1];
};

// Properties that say only their size and where the name goes, as stopping a session needs.
SessionProperties BareProperties() {
    SessionProperties block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.LoggerNameOffset = offsetof(SessionProperties, name);
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
// terminating zero; it is not part of the text.
std::wstring MessageText(std::string bytes) {
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    return Basalt::WideFromCodePage(CP_UTF8, bytes);
}

std::wstring UndecodableLine(ULONG byteCount) {
    return Basalt::FormatString(
        L"(an event of the logging class with %lu bytes of data "
        L"does not decode)\r\n",
        byteCount);
}

// The line format refuses an empty message, which an event may carry: the line is formatted
// with a stand-in character that is then taken out again.
bool FormatEventLine(const ETWLogging::DecodedEvent& event, DWORD level, DWORD options,
                     const SYSTEMTIME& time, std::wstring& line) {
    CEventClock clock(time);
    ETWLogging::LineContext context;
    context.options = options;
    context.processImageName = event.processImageName;
    context.processId = event.processId;
    context.threadId = event.threadId;
    context.clock = &clock;
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

}  // namespace

bool FormatTraceEvent(const EVENT_RECORD& record, DWORD options, std::wstring& line) {
    const EVENT_HEADER& header = record.EventHeader;
    if (!::IsEqualGUID(header.ProviderId, ETWLogging::kEventGuid)) return false;
    ETWLogging::DecodedEvent event;
    const bool decodes = header.EventDescriptor.Opcode == ETWLogging::kEventType &&
                         header.EventDescriptor.Version == ETWLogging::kEventVersion &&
                         ETWLogging::DecodeEventData(record.UserData, record.UserDataLength,
                                                     event) == ERROR_SUCCESS &&
                         FormatEventLine(event, header.EventDescriptor.Level, options,
                                         LocalTimeOf(header.TimeStamp.QuadPart), line);
    if (!decodes) line = UndecodableLine(record.UserDataLength);
    return true;
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
    ULONG error = StartSession(sessionName);
    if (error != ERROR_SUCCESS) {
        failure = TraceFailure{L"started", L"StartTraceW", error};
        return false;
    }
    // The reader is attached before the provider is enabled, so that no event goes unread.
    EVENT_TRACE_LOGFILEW logfile = {};
    consumer_ = Open(logfile, &sessionName_[0], nullptr);
    if (consumer_ == INVALID_PROCESSTRACE_HANDLE) {
        failure = TraceFailure{L"opened", L"OpenTraceW", ::GetLastError()};
        StopSession();
        return false;
    }
    processing_ = std::thread([this] {
        TRACEHANDLE handle = consumer_;
        api_->ProcessTrace(&handle, 1, nullptr, nullptr);
        ::SetEvent(finished_.get());
    });
    error = api_->EnableTrace(TRUE, /*enableFlags=*/0, level, &provider_, session_);
    if (error != ERROR_SUCCESS) {
        failure = TraceFailure{L"started", L"EnableTrace", error};
        Stop();
        return false;
    }
    return true;
}

void CTraceReader::Wait(HANDLE stopRequest, DWORD milliseconds) {
    if (!processing_.joinable()) return;  // nothing runs that could end the wait
    const HANDLE handles[] = {finished_.get(), stopRequest};
    const DWORD count = stopRequest != nullptr ? 2 : 1;
    ::WaitForMultipleObjects(count, handles, /*waitAll=*/FALSE, milliseconds);
}

ULONG CTraceReader::Stop() {
    if (session_ == 0 && !processing_.joinable()) return ERROR_SUCCESS;
    if (session_ != 0) api_->EnableTrace(FALSE, 0, 0, &provider_, session_);
    // Stopping a real-time session ends ProcessTrace once the events it holds are delivered;
    // closing the reader first could lose them, so that is done first only when the session
    // would not stop.
    const ULONG result = StopSession();
    if (result != ERROR_SUCCESS) CloseConsumer();
    if (processing_.joinable()) processing_.join();
    CloseConsumer();
    return result;
}

void CTraceReader::CloseConsumer() {
    if (consumer_ != INVALID_PROCESSTRACE_HANDLE) {
        api_->CloseTrace(std::exchange(consumer_, INVALID_PROCESSTRACE_HANDLE));
    }
}

bool CTraceReader::ReadFile(const std::wstring& path, TraceFailure& failure) {
    std::wstring name = path;
    EVENT_TRACE_LOGFILEW logfile = {};
    TRACEHANDLE handle = Open(logfile, nullptr, &name[0]);
    if (handle == INVALID_PROCESSTRACE_HANDLE) {
        failure = TraceFailure{L"opened", L"OpenTraceW", ::GetLastError()};
        return false;
    }
    const ULONG error = api_->ProcessTrace(&handle, 1, nullptr, nullptr);
    api_->CloseTrace(handle);
    // Stopped at the event limit: the buffer callback said so.
    if (error != ERROR_SUCCESS && error != ERROR_CANCELLED) {
        failure = TraceFailure{L"opened", L"ProcessTrace", error};
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
    const auto* reader = static_cast<const CTraceReader*>(logfile->Context);
    // FALSE ends the processing of a file once the event limit is reached.
    return reader->maxEvents_ == 0 || reader->printed_.load() < reader->maxEvents_;
}

void CTraceReader::Consume(const EVENT_RECORD& record) {
    if (maxEvents_ != 0 && printed_.load() >= maxEvents_) return;
    std::wstring line;
    if (!FormatTraceEvent(record, options_, line)) return;
    sink_(line);
    if (++printed_ == maxEvents_) ::SetEvent(finished_.get());
}

ULONG CTraceReader::StartSession(const std::wstring& sessionName) {
    auto start = [&]() {
        SessionProperties block = BareProperties();
        EVENT_TRACE_PROPERTIES& properties = block.properties;
        properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        properties.Wnode.ClientContext = kQueryPerformanceCounterClock;
        properties.BufferSize = kBufferKilobytes;
        properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
        properties.FlushTimer = kFlushSeconds;
        return api_->StartTrace(&session_, sessionName.c_str(), &properties);
    };
    ULONG error = start();
    if (error == ERROR_ALREADY_EXISTS) {
        // Left by a run that was killed: stopped and replaced, never a second one.
        SessionProperties block = BareProperties();
        api_->ControlTrace(0, sessionName.c_str(), &block.properties, EVENT_TRACE_CONTROL_STOP);
        error = start();
    }
    if (error != ERROR_SUCCESS) session_ = 0;
    return error;
}

ULONG CTraceReader::StopSession() {
    if (session_ == 0) return ERROR_SUCCESS;
    SessionProperties block = BareProperties();
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

}  // namespace Hvlogcfg
