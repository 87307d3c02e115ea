#include "logging/etw/ETWLogging.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <new>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/etw/ETWConfigurationListener.h"
#include "logging/etw/EventLayout.h"
#include "logging/etw/LoggingModuleInfo.h"
#include "logging/etw/StructuredExceptionGuard.h"

namespace ETWLogging {
namespace {

constexpr DWORD kSpinCount = 4000;
// ERROR_UNHANDLED_EXCEPTION; not every SDK's winerror.h names it.
constexpr ULONG kErrorUnhandledException = 574;
// LogV formats into this many UTF-16 units; the UTF-8 form goes into the
// unused tail of the same buffer when it fits.
constexpr size_t kMessageBufferChars = 2080;
constexpr size_t kMessageBufferBytes = kMessageBufferChars * sizeof(wchar_t);
constexpr DWORD kHighestEventLevel = kLevelCritical;

// A control request on its way through the structured exception guard.
struct ControlRequest {
    CETWLogging* logger;
    ULONG requestCode;
    PVOID buffer;
};

// Runs the request with every C++ exception turned into 574.
ULONG DispatchControlRequest(void* context) noexcept {
    const ControlRequest& request = *static_cast<const ControlRequest*>(context);
    try {
        return request.logger->OnControlRequest(request.requestCode, request.buffer);
    } catch (...) {
        return kErrorUnhandledException;
    }
}

const wchar_t* TextOrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// The length of a short caller text, counted inline: a call into the C
// runtime costs more than the count itself for a source file or function name.
size_t ShortTextLength(const wchar_t* text) {
    const wchar_t* end = text;
    while (*end != L'\0') ++end;
    return static_cast<size_t>(end - text);
}

}  // namespace

// The control callback's context. The documentation of UnregisterTraceGuids does not say that
// it waits for a callback the service has already begun, so such a callback may still arrive
// after the logger has unregistered and is gone: it finds the gate closed and does nothing. The
// gate therefore outlives its logger; there is one per logger, a few dozen bytes, never freed.
struct CETWLogging::ControlGate {
    Basalt::CCriticalSection lock{kSpinCount};  // held while a callback runs
    CETWLogging* logger = nullptr;              // none while the logger is not registered
};

CETWLogging::CRegistration::~CRegistration() { Reset(0); }

void CETWLogging::CRegistration::Reset(TRACEHANDLE handle) {
    const TRACEHANDLE old = std::exchange(handle_, handle);
    if (old != 0) traceApi_.UnregisterTraceGuids(old);
}

CETWLogging::CETWLogging(std::shared_ptr<EventTraceAPI> traceApi)
    : traceApi_(traceApi ? std::move(traceApi) : std::make_shared<EventTraceAPI>()),
      lock_(kSpinCount),
      registration_(*traceApi_) {
    // An event always carries every identity field, empty ones as zero counts,
    // even when no InitEx has succeeded yet.
    PackIdentity();
}

CETWLogging::~CETWLogging() {
    if (started_ && StopTracing() == 0) started_ = false;
    // No callback may reach the listener once it is gone.
    registration_.Reset(0);
    CloseGate();
    listener_.reset();
}

DWORD CETWLogging::Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                        LoggingConfigListenerIf* configListener) {
    return InitEx(nullptr, groupName, module, hostName, configListener);
}

DWORD CETWLogging::InitEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                          const wchar_t* hostName, LoggingConfigListenerIf* configListener) {
    if (started_) return kErrorAlreadyInitialized;
    if (groupName != nullptr && *groupName == L'\0') return ERROR_INVALID_PARAMETER;
    groupName_ = TextOrEmpty(groupName);
    PackIdentity();  // the events name the group now stored, even if a later step refuses
    if (hostName != nullptr && *hostName == L'\0') return ERROR_INVALID_PARAMETER;
    hostName_ = TextOrEmpty(hostName);
    if (!properties_.LoadConfiguration(productTag)) return ERROR_INVALID_PARAMETER;

    processImageName_ = GetModuleName(nullptr, /*stripExtension=*/false);
    moduleBaseName_ = GetModuleName(module, /*stripExtension=*/true);
    BuildLoggerName();

    // The same listener handed in again is kept, not deleted and then used.
    if (configListener == nullptr || configListener != listener_.get()) {
        listener_.reset();
        listener_.reset(configListener != nullptr
                            ? configListener
                            : new CETWConfigurationListener(properties_, this));
    }
    listener_->OnConfigurationChanged(/*enable=*/true, kDefaultSeverity, /*flags=*/0);

    processId_ = ::GetCurrentProcessId();
    const internal::LoggingModuleInfo& module_info = internal::GetLoggingModuleInfo();
    loggingModuleName_ = module_info.moduleFileName;
    loggingModuleVersion_ = module_info.fileVersion;
    PackIdentity();
    SetEventGuid();
    return ERROR_SUCCESS;
}

void CETWLogging::PackIdentity() {
    packedImageName_.assign(CountedStringBytes(processImageName_.size()), 0);
    BYTE* cursor = packedImageName_.data();
    PutCountedString(cursor, processImageName_.c_str(), processImageName_.size());

    packedModuleAndGroup_.assign(CountedStringBytes(loggingModuleName_.size()) +
                                     CountedStringBytes(loggingModuleVersion_.size()) +
                                     CountedStringBytes(groupName_.size()),
                                 0);
    cursor = packedModuleAndGroup_.data();
    PutCountedString(cursor, loggingModuleName_.c_str(), loggingModuleName_.size());
    PutCountedString(cursor, loggingModuleVersion_.c_str(), loggingModuleVersion_.size());
    PutCountedString(cursor, groupName_.c_str(), groupName_.size());
}

DWORD CETWLogging::Start() {
    if (started_) return ERROR_SUCCESS;
    Basalt::CAutoLock guard(lock_);
    if (started_) return ERROR_SUCCESS;
    // A failed registration is reported once and not retried.
    started_ = true;
    if (gate_ == nullptr) gate_ = new (std::nothrow) ControlGate;
    if (gate_ == nullptr) return ERROR_OUTOFMEMORY;
    {
        Basalt::CAutoLock open(gate_->lock);
        gate_->logger = this;
    }
    TRACE_GUID_REGISTRATION eventClass = {&eventGuid_, nullptr};
    TRACEHANDLE handle = 0;
    const ULONG result = traceApi_->RegisterTraceGuids(
        &CETWLogging::ControlCallback, gate_, &properties_.ProviderGuid(), /*guidCount=*/1,
        &eventClass, /*mofImagePath=*/nullptr, /*mofResourceName=*/nullptr, &handle);
    registration_.Reset(handle);
    return result;
}

void CETWLogging::GetLoggerName(std::wstring& name) { name = loggerName_; }

void CETWLogging::GetGroupName(std::wstring& name) { name = groupName_; }

DWORD CETWLogging::Stop() {
    if (!started_) return ERROR_SUCCESS;
    const DWORD result = StopTracing();
    started_ = false;
    return result;
}

void CETWLogging::SetEnabled(bool enabled) { enabled_ = enabled; }

bool CETWLogging::IsEnabled() { return enabled_; }

void CETWLogging::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
    if (!enabled_ || !IsLevelEnabled(level) || format == nullptr || *format == L'\0') return;
    va_list args;
    va_start(args, format);
    std::wstring text;
    try {
        text = Basalt::FormatStringV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    LogMessageEx(level, file, function, line, text.c_str());
}

DWORD CETWLogging::LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                              const wchar_t* message) {
    LogMessageEx(level, file, function, line, message);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(DWORD level) {
    return level >= severity_ || level == kLevelInformation;
}

void CETWLogging::SetMaxEntries(DWORD /*count*/) {}

DWORD CETWLogging::GetMaxEntries() { return 0; }

void CETWLogging::SetMaxSize(DWORD /*bytes*/) {}

DWORD CETWLogging::GetMaxSize() { return 0; }

DWORD CETWLogging::SetSeverity(DWORD level) {
    const DWORD clamped = ClampLevel(level);
    severity_ = clamped;
    return ExchangeProcessSeverity(clamped);
}

DWORD CETWLogging::GetSeverity() { return severity_; }

LONG CETWLogging::AddRef() { return 0; }

LONG CETWLogging::Release() { return 0; }

DWORD CETWLogging::LogMessageEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                const wchar_t* message) {
    return LogEx(level, file, function, line, L"%s", message);
}

DWORD CETWLogging::LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    DWORD result = ERROR_SUCCESS;
    try {
        result = LogV(level, file, function, line, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return result;
}

namespace {

// Formats into `text` (kMessageBufferChars units); the number of units to
// send. A cut text fills the buffer: 2079 units and the zero, which is sent
// too. A format the runtime rejects leaves less and is sent as it stands.
size_t FormatMessageText(wchar_t* text, const wchar_t* format, va_list args) {
    const int written = ::_vsnwprintf_s(text, kMessageBufferChars, _TRUNCATE, format, args);
    if (written >= 0) return static_cast<size_t>(written);
    const size_t length = ::wcsnlen(text, kMessageBufferChars);
    return length == kMessageBufferChars - 1 ? kMessageBufferChars : length;
}

// The message in UTF-8, written into the unused tail of `text`'s buffer; the
// heap (`heapText`) only for a text whose UTF-8 does not fit there.
const char* ConvertToUtf8(wchar_t* text, size_t charCount, std::unique_ptr<char[]>& heapText,
                          int& utf8Bytes) {
    char* utf8 = reinterpret_cast<char*>(text + charCount);
    const int tailBytes = static_cast<int>(kMessageBufferBytes - charCount * sizeof(wchar_t));
    const int chars = static_cast<int>(charCount);
    utf8Bytes = 0;
    if (charCount == 0) return utf8;
    if (tailBytes > 0) {
        utf8Bytes =
            ::WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8, tailBytes, nullptr, nullptr);
    }
    if (utf8Bytes != 0) return utf8;
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return utf8;
    heapText.reset(new char[needed]());
    utf8Bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text, chars, heapText.get(), needed, nullptr, nullptr);
    return heapText.get();
}

// The context record of one event: process and thread, the packed image
// name, the caller's file, function and line, the packed module and group
// (packed once per identity), and the message's byte count.
void PackContext(CPayloadBuffer& context, DWORD processId, const std::vector<BYTE>& imageName,
                 const std::vector<BYTE>& moduleAndGroup, const wchar_t* file,
                 const wchar_t* function, int line, ULONG64 messageBytes) {
    const wchar_t* fileText = TextOrEmpty(file);
    const wchar_t* functionText = TextOrEmpty(function);
    const size_t fileChars = ShortTextLength(fileText);
    const size_t functionChars = ShortTextLength(functionText);
    const size_t contextBytes = kContextFixedBytes + imageName.size() +
                                CountedStringBytes(fileChars) + CountedStringBytes(functionChars) +
                                moduleAndGroup.size();
    BYTE* cursor = context.Extend(contextBytes);
    PutUInt32(cursor, processId);
    PutUInt32(cursor, ::GetCurrentThreadId());
    PutBytes(cursor, imageName.data(), imageName.size());
    PutCountedString(cursor, fileText, fileChars);
    PutCountedString(cursor, functionText, functionChars);
    PutInt32(cursor, line);
    PutBytes(cursor, moduleAndGroup.data(), moduleAndGroup.size());
    PutUInt64(cursor, messageBytes);
}

// The event header with its two fields: the context record and the message.
void FillEvent(TraceEventRecord& event, const GUID& eventGuid, DWORD eventLevel,
               const CPayloadBuffer& context, const char* utf8, ULONG utf8Bytes) {
    ::memset(&event, 0, sizeof(event));
    event.header.Size = sizeof(event);
    event.header.Class.Type = kEventType;
    event.header.Class.Level = static_cast<UCHAR>(eventLevel);
    event.header.Class.Version = kEventVersion;
    event.header.Guid = eventGuid;
    event.header.Flags = kEventFlags;
    event.fields[0].DataPtr = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(context.Data()));
    event.fields[0].Length = static_cast<ULONG>(context.Size());
    event.fields[1].DataPtr = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(utf8));
    event.fields[1].Length = utf8Bytes;
}

}  // namespace

DWORD CETWLogging::LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* format, va_list args) {
    if (format == nullptr) return ERROR_INVALID_PARAMETER;
    if (!enabled_ || !IsLevelEnabled(level)) return ERROR_SUCCESS;

    wchar_t text[kMessageBufferChars];
    const size_t charCount = FormatMessageText(text, format, args);
    std::unique_ptr<char[]> heapText;
    int utf8Bytes = 0;
    const char* utf8 = ConvertToUtf8(text, charCount, heapText, utf8Bytes);
    CPayloadBuffer context;
    PackContext(context, processId_, packedImageName_, packedModuleAndGroup_, file, function, line,
                static_cast<ULONG64>(utf8Bytes));
    DWORD eventLevel = MapLevel(level);
    if (eventLevel == 0 || eventLevel > kHighestEventLevel) eventLevel = kLevelInformation;
    TraceEventRecord event;
    FillEvent(event, eventGuid_, eventLevel, context, utf8, static_cast<ULONG>(utf8Bytes));
    // Attempted even with no session (handle 0): the service refuses it then.
    traceApi_->TraceEvent(sessionHandle_.load(), &event.header);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsSessionHandle(ULONG64 traceHandle) {
    const ULONG64 stored = sessionHandle_.load();
    return stored != 0 && TraceLoggerId(stored) == TraceLoggerId(traceHandle);
}

ULONG CETWLogging::OnControlRequest(ULONG requestCode, PVOID buffer) {
    switch (requestCode) {
        case WMI_ENABLE_EVENTS:
            return OnEnable(buffer);
        case WMI_DISABLE_EVENTS:
            return OnDisable(buffer);
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

// The handle is the session's enable context, which changes with its level and flags. The
// provider serves the session that enabled it first until that one disables it or stops: an
// enable from another session is ignored, as Microsoft documents for keeping a second
// controller from redirecting a provider's events (here, away from the product's own
// recording session).
ULONG CETWLogging::OnEnable(PVOID buffer) {
    ::SetLastError(ERROR_SUCCESS);
    const TRACEHANDLE handle = traceApi_->GetTraceLoggerHandle(buffer);
    if (IsInvalidTraceHandle(handle)) return ::GetLastError();
    const ULONG64 stored = sessionHandle_.load();
    if (stored != 0 && TraceLoggerId(stored) != TraceLoggerId(handle)) return ERROR_SUCCESS;
    sessionHandle_ = handle;
    if (!listener_) return ERROR_SUCCESS;
    // Neither function clears the last error when it succeeds: 0 is a failure only with one.
    ::SetLastError(ERROR_SUCCESS);
    DWORD level = traceApi_->GetTraceEnableLevel(handle);
    if (level == 0) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS) return error;
        level = kDefaultSeverity;  // level 0 asks a classic provider for its default logging
    }
    ::SetLastError(ERROR_SUCCESS);
    const ULONG flags = traceApi_->GetTraceEnableFlags(handle);
    if (flags == 0 && ::GetLastError() != ERROR_SUCCESS) return ::GetLastError();
    listener_->OnConfigurationChanged(/*enable=*/true, level, flags);
    return ERROR_SUCCESS;
}

// Only the session that holds the provider disables it: a disable from another session (one
// whose enable was ignored) leaves logging as it is.
ULONG CETWLogging::OnDisable(PVOID buffer) {
    ::SetLastError(ERROR_SUCCESS);
    const TRACEHANDLE handle = traceApi_->GetTraceLoggerHandle(buffer);
    if (IsInvalidTraceHandle(handle)) return ::GetLastError();
    ULONG64 stored = sessionHandle_.load();
    if (stored == 0 || TraceLoggerId(stored) != TraceLoggerId(handle)) return ERROR_SUCCESS;
    if (!sessionHandle_.compare_exchange_strong(stored, 0)) return ERROR_SUCCESS;
    if (listener_) listener_->OnConfigurationChanged(/*enable=*/false, severity_, /*flags=*/0);
    return ERROR_SUCCESS;
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context,
                                          ULONG* /*bufferSize*/, PVOID buffer) {
    if (context == nullptr) return ERROR_INVALID_PARAMETER;
    ControlGate& gate = *static_cast<ControlGate*>(context);
    Basalt::CAutoLock running(gate.lock);
    if (gate.logger == nullptr) return ERROR_SUCCESS;  // unregistered meanwhile
    // A fault in the listener must not end the process on the tracing service's thread.
    ControlRequest request{gate.logger, requestCode, buffer};
    return internal::CallGuarded(&DispatchControlRequest, &request, kErrorUnhandledException);
}

void CETWLogging::CloseGate() {
    if (gate_ == nullptr) return;
    Basalt::CAutoLock closing(gate_->lock);
    gate_->logger = nullptr;
}

void CETWLogging::SetEventGuid() { eventGuid_ = kEventGuid; }

std::wstring CETWLogging::GetModuleName(HMODULE module, bool stripExtension) {
    std::wstring name;
    if (!Basalt::ModuleImageName(module, name)) return std::wstring();
    return stripExtension ? Basalt::WithoutExtension(name) : name;
}

std::wstring LoggerName(const std::wstring& groupName, const std::wstring& moduleBaseName) {
    return moduleBaseName.empty() ? groupName : groupName + L"\\" + moduleBaseName;
}

void CETWLogging::BuildLoggerName() { loggerName_ = LoggerName(groupName_, moduleBaseName_); }

ULONG CETWLogging::Unregister() {
    Basalt::CAutoLock guard(lock_);
    const TRACEHANDLE handle = registration_.Release();
    if (handle == 0) return ERROR_SUCCESS;
    const ULONG result = traceApi_->UnregisterTraceGuids(handle);
    // No callback starts from here on, but one already begun may still run: once the gate is
    // closed none can change the session handle again. A session that still holds the provider
    // enables it again inside the next registration.
    CloseGate();
    sessionHandle_ = 0;
    started_ = false;
    return result;
}

ULONG CETWLogging::StopTracing() {
    SetEnabled(false);
    return Unregister();
}

DWORD CETWLogging::MapLevel(DWORD level) {
    return level == kLevelInformationAlt ? kLevelInformation : level;
}

void CETWLogging::FillEventRecord(const wchar_t* file, const wchar_t* function, int line,
                                  EventContext& record) {
    record.processId = processId_;
    record.threadId = ::GetCurrentThreadId();
    record.file = TextOrEmpty(file);
    record.function = TextOrEmpty(function);
    record.line = line;
    record.groupName = groupName_;
    if (record.loggingModuleName.empty()) record.loggingModuleName = loggingModuleName_;
    record.loggingModuleVersion = loggingModuleVersion_;
    record.processImageName = processImageName_;
}

}  // namespace ETWLogging
