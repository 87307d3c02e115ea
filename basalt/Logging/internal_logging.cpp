#include "basalt/Logging/internal_logging.h"

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#include <atomic>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "basalt/ScopeGuard.h"
#include "basalt/StringHelpers.h"

namespace Basalt {
namespace {

// The source name and lines that this file's own messages carry.
constexpr wchar_t kSourceFile[] = L"Logging\\internal_logging";
constexpr wchar_t kRegisterFunction[] = L"Basalt::CLogger::RegisterHandler";
constexpr wchar_t kUnregisterFunction[] = L"Basalt::CLogger::UnregisterHandler";
constexpr int kLineRegisterNull = 62;
constexpr int kLineRegisterReplace = 72;
constexpr int kLineUnregisterNull = 97;
constexpr int kLineUnregisterNone = 107;
constexpr int kLineUnregisterOtherToRegistered = 115;
constexpr int kLineUnregisterOtherToRequester = 120;

constexpr wchar_t kMismatchFormat[] =
    L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered "
    L"handler 0x%08X)";
constexpr wchar_t kMemoryFailure[] = L"General memory-allocation failure in Basalt logger.";

std::atomic<ILoggingHandler*> g_handler{nullptr};

// Set when the process-wide default handler is destroyed at exit; from then on
// it is never registered again.
std::atomic<bool> g_defaultHandlerGone{false};

// The process-wide default handler, which records its own destruction before
// the handler itself goes (and unregisters itself).
struct ProcessDefaultHandler {
    CDefaultLoggingHandler handler;
    ~ProcessDefaultHandler() { g_defaultHandlerGone.store(true); }
};

struct MessageBufferDelete {
    void operator()(wchar_t* buffer) const { ::operator delete(buffer); }
};

// Handlers are named by the low 32 bits of their address, eight hex digits.
unsigned int HandlerId(const ILoggingHandler* handler) {
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(handler));
}

}  // namespace

void DebugOutputAPI::Write(const wchar_t* text) { ::OutputDebugStringW(text); }

CDefaultLoggingHandler::CDefaultLoggingHandler(std::shared_ptr<DebugOutputAPI> output)
    : output_(output ? std::move(output) : std::make_shared<DebugOutputAPI>()) {}

void CDefaultLoggingHandler::Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* message) {
    const wchar_t* format;
    switch (type) {
        case kLogTypeNone:
            return;
        case kLogTypeInfo:
            format = L"%s(%d): [INFO]: [%s]: %s\n";
            break;
        case kLogTypeError:
            format = L"%s(%d): [ERROR]: [%s]: %s\n";
            break;
        default:
            format = L"%s(%d): [UNKNOWN]: [%s]: %s\n";
            break;
    }
    const std::wstring text = FormatString(format, file ? file : L"", line,
                                           function ? function : L"", message ? message : L"");
    output_->Write(text.c_str());
}

CDefaultLoggingHandler::~CDefaultLoggingHandler() {
    // Only when registered, and silently: the refusals of UnregisterHandler
    // would report to the handler that is going.
    ILoggingHandler* self = this;
    g_handler.compare_exchange_strong(self, nullptr);
}

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance() {
    static ProcessDefaultHandler instance;
    return instance.handler;
}

CDefaultLoggingHandler* CDefaultLoggingHandler::InstanceIfAlive() {
    if (g_defaultHandlerGone.load()) return nullptr;
    return &Instance();
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSourceFile, kRegisterFunction, kLineRegisterNull,
            L"%s: Cannot Register (NULL) handler",
            FormatSystemMessage(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == nullptr || registered == CDefaultLoggingHandler::InstanceIfAlive()) {
        g_handler.store(handler);
        return ERROR_SUCCESS;
    }
    if (registered == handler) return ERROR_SUCCESS;
    Log(kLogTypeError, kSourceFile, kRegisterFunction, kLineRegisterReplace,
        L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
        FormatSystemMessage(ERROR_INVALID_STATE).c_str(), HandlerId(registered),
        HandlerId(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSourceFile, kUnregisterFunction, kLineUnregisterNull,
            L"%s: Cannot Unregister (NULL) handler",
            FormatSystemMessage(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == nullptr) {
        // The report goes to the handler that asked, registered for the moment.
        g_handler.store(handler);
        Log(kLogTypeError, kSourceFile, kUnregisterFunction, kLineUnregisterNone,
            L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
            FormatSystemMessage(ERROR_INVALID_STATE).c_str(), HandlerId(handler));
        g_handler.store(nullptr);
        return ERROR_INVALID_STATE;
    }
    if (registered != handler) {
        const std::wstring text = FormatSystemMessage(ERROR_INVALID_STATE);
        Log(kLogTypeError, kSourceFile, kUnregisterFunction, kLineUnregisterOtherToRegistered,
            kMismatchFormat, text.c_str(), HandlerId(handler), HandlerId(registered));
        g_handler.store(handler);
        Log(kLogTypeError, kSourceFile, kUnregisterFunction, kLineUnregisterOtherToRequester,
            kMismatchFormat, text.c_str(), HandlerId(handler), HandlerId(registered));
        g_handler.store(registered);
        return ERROR_INVALID_STATE;
    }
    g_handler.store(nullptr);
    return ERROR_SUCCESS;
}

void CLogger::Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                  const wchar_t* format, ...) {
    if (g_handler.load() == nullptr) {
        // After exit has destroyed the default handler there is none to fall
        // back on, and the message is dropped.
        if (CDefaultLoggingHandler* fallback = CDefaultLoggingHandler::InstanceIfAlive()) {
            RegisterHandler(fallback);
        }
    }
    ILoggingHandler* handler = g_handler.load();
    if (handler == nullptr || format == nullptr) return;

    va_list args;
    va_start(args, format);
    ScopeGuard argsEnd([&args] { va_end(args); });
    va_list measure;
    va_copy(measure, args);
    const int length = ::_vscwprintf(format, measure);
    va_end(measure);

    // A format the runtime rejects measures negative: an empty message is
    // passed on rather than a buffer of no size.
    const size_t charCount = length > 0 ? static_cast<size_t>(length) + 1 : 1;
    const size_t maxChars = (std::numeric_limits<size_t>::max)() / sizeof(wchar_t);
    const size_t byteCount =
        charCount > maxChars ? (std::numeric_limits<size_t>::max)() : charCount * sizeof(wchar_t);
    // Owned, so that a handler that throws (out of memory while it formats)
    // does not leak the message.
    std::unique_ptr<wchar_t, MessageBufferDelete> owner(
        static_cast<wchar_t*>(::operator new(byteCount, std::nothrow)));
    wchar_t* buffer = owner.get();
    if (buffer == nullptr) {
        handler->Log(kLogTypeError, file, function, line, kMemoryFailure);
        return;
    }
    buffer[0] = L'\0';
    if (length > 0) ::_vsnwprintf_s(buffer, charCount, _TRUNCATE, format, args);
    handler->Log(type, file, function, line, buffer);
}

ILoggingHandler* CLogger::GetRegisteredHandler() { return g_handler.load(); }

}  // namespace Basalt
