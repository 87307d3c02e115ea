#include "logging/LogFacade.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <atomic>
#include <new>
#include <string>

#include "basalt/Logging/internal_logging.h"
#include "basalt/ScopeGuard.h"
#include "basalt/StringHelpers.h"
#include "logging/BasaltLogHandler.h"
#include "logging/LogBuilder.h"

namespace ETWLogging {
namespace {

std::atomic<CLogFacade*> g_facade{nullptr};

// At exit: clear the pointer first, so that late messages find no facade,
// then destroy the facade and its logger.
void DestroyLogFacade() { delete g_facade.exchange(nullptr); }

void CreateLogFacade() {
    RegisterLogFacadeCleanup();
    // A facade whose initialisation threw stays published; the next attempt
    // initialises that one again instead of leaking it for a new one.
    CLogFacade* facade = g_facade.load();
    if (facade == nullptr) {
        facade = new (std::nothrow) CLogFacade();
        g_facade.store(facade);
        if (facade == nullptr) return;
    }
    const LogIdentity& identity = ProcessLogIdentity();
    facade->Initialize(identity.productTag, identity.groupName, identity.module, identity.hostName,
                       identity.forceFileLogging);
}

}  // namespace

LogIdentity& ProcessLogIdentity() {
    static LogIdentity identity;
    return identity;
}

void RegisterLogFacadeCleanup() {
    static const bool registered = ::atexit(DestroyLogFacade) == 0;
    (void)registered;
}

CLogFacade::~CLogFacade() {
    if (registeredHandler_ != nullptr) {
        Basalt::ILoggingHandler* handler = registeredHandler_;
        registeredHandler_ = nullptr;
        Basalt::CLogger::UnregisterHandler(handler);
    }
    // The destructor, not Release: the facade's reference ends with it. The
    // handler goes first, so no foundation message reaches a logger being destroyed.
    logger_.reset();
}

void CLogFacade::SetLogger(std::unique_ptr<CLoggingIf> logger) { logger_ = std::move(logger); }

void CLogFacade::Initialize(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                            const wchar_t* hostName, DWORD forceFileLogging) {
    CLogBuilderIf* builder = GetLogBuilder();
    if (builder == nullptr) return;
    CLoggingIf* logger = nullptr;
    auto* extended = dynamic_cast<CLogBuilderIf_ex*>(builder);
    bool built =
        extended != nullptr && extended->BuildEx(productTag, groupName, module, hostName,
                                                 forceFileLogging, &logger, /*configKey=*/nullptr);
    if (!built) {
        logger = nullptr;
        built = builder->Build(groupName, module, hostName, forceFileLogging, &logger,
                               /*configKey=*/nullptr);
    }
    // Without a logger the facade drops every message (1627), and foundation
    // messages keep going to the default handler.
    if (!built) return;
    SetLogger(std::unique_ptr<CLoggingIf>(logger));

    // From now on the foundation library's messages reach the same logger.
    Basalt::ILoggingHandler* bridge = &CBasaltLogHandler::Instance();
    if (Basalt::CLogger::RegisterHandler(bridge) != ERROR_SUCCESS) return;
    registeredHandler_ = bridge;
}

DWORD CLogFacade::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Basalt::ScopeGuard argsEnd([&args] { va_end(args); });
    return LogV(level, file, function, line, format, args);
}

DWORD CLogFacade::LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, va_list args) {
    // The secure printer refuses such a format through its invalid-parameter
    // handler, which on Windows ends the process by default: the format is
    // logged as text instead.
    if (format != nullptr && !IsPrintableFormat(format)) {
        const std::wstring marked = std::wstring(kUnprintableFormatMarker) + format;
        return LogPrintable(level, file, function, line, L"%s", marked.c_str());
    }
    return LogPrintableV(level, file, function, line, format, args);
}

DWORD CLogFacade::LogPrintable(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Basalt::ScopeGuard argsEnd([&args] { va_end(args); });
    return LogPrintableV(level, file, function, line, format, args);
}

DWORD CLogFacade::LogPrintableV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                const wchar_t* format, va_list args) {
    if (logger_ == nullptr) return kErrorNoLogger;
    const DWORD started = logger_->Start();
    if (started != ERROR_SUCCESS) return started;

    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger_.get())) {
        if (extended->IsLevelEnabled(level)) {
            extended->LogV(level, file, function, line, format, args);
        }
        return ERROR_SUCCESS;
    }

    // A plain logger gets the whole text unless it is very long; then only
    // its start. The level was checked by the caller. A text that is not
    // very long is printed on the stack; a longer one, rare, on the heap.
    va_list measure;
    va_copy(measure, args);
    const int length = format == nullptr ? 0 : ::_vscwprintf(format, measure);
    va_end(measure);
    if (length > static_cast<int>(kFacadeCutTrigger)) {
        std::wstring message = Basalt::FormatStringV(format, args);
        if (message.size() > kFacadeCutTrigger) message.resize(kFacadeCutChars);
        return logger_->LogMessage(file, function, line, level, message.c_str());
    }
    wchar_t message[kFacadeCutTrigger + 1];
    message[0] = L'\0';
    if (length > 0 &&
        ::_vsnwprintf_s(message, kFacadeCutTrigger + 1, _TRUNCATE, format, args) < 0) {
        message[0] = L'\0';  // as a failed format gives: no text
    }
    return logger_->LogMessage(file, function, line, level, message);
}

DWORD CLogFacade::Write(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                        const wchar_t* message) {
    if (logger_ == nullptr) return kErrorNoLogger;
    const DWORD started = logger_->Start();
    if (started != ERROR_SUCCESS) return started;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger_.get())) {
        return extended->LogMessageEx(level, file, function, line, message);
    }
    return logger_->LogMessage(file, function, line, level, message);
}

CLogFacade* GetLogFacade() {
    // The once-only guard is a function-local static: concurrent first callers
    // wait for the first, and a creation that throws leaves it unset, so the
    // next call tries again. (std::call_once with winpthreads stays locked
    // after a throw, and the next call would wait for ever.)
    static const bool created = (CreateLogFacade(), true);
    (void)created;
    return g_facade.load();
}

CLogFacade* PeekLogFacade() { return g_facade.load(); }

bool IsLogLevelEnabled(DWORD level) {
    CLogFacade* facade = GetLogFacade();
    if (facade == nullptr || facade->GetLogger() == nullptr) return false;
    return facade->GetLogger()->IsLevelEnabled(level);
}

}  // namespace ETWLogging
