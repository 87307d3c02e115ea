// The process-wide logging facade through which every message of the program
// passes, and the process-wide logging identity it is created with.
#pragma once

#include <windows.h>

#include <stdarg.h>

#include <memory>

#include "logging/LoggingIf.h"

namespace Basalt {
class ILoggingHandler;
}

namespace ETWLogging {

// Returned by the facade when it holds no logger.
constexpr DWORD kErrorNoLogger = ERROR_FUNCTION_FAILED;  // 1627

// The facade passes a message longer than this to a plain logger cut to
// kFacadeCutChars characters.
constexpr size_t kFacadeCutTrigger = 4160;
constexpr size_t kFacadeCutChars = 2080;

// The program's logging identity, read once when the facade is created.
// Start-up sets it before anything can be logged.
struct LogIdentity {
    const wchar_t* productTag = nullptr;
    const wchar_t* groupName = L"_no_group";
    HMODULE module = nullptr;
    const wchar_t* hostName = L"_no_host";
    DWORD forceFileLogging = 0;
};

// The process-wide identity. Not guarded: set on the main thread before the
// first log request.
LogIdentity& ProcessLogIdentity();

class CLogFacade {
  public:
    CLogFacade() = default;
    ~CLogFacade();
    CLogFacade(const CLogFacade&) = delete;
    CLogFacade& operator=(const CLogFacade&) = delete;

    // Builds the logger for the identity; runs once, inside the creation.
    void Initialize(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                    const wchar_t* hostName, DWORD forceFileLogging);

    // Formats and hands a message to the logger: ERROR_FUNCTION_FAILED without one, the code of
    // a failed Start, else 0 (extended loggers) or LogMessage's code.
    DWORD Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* format, ...);
    // The same with the arguments in a va_list, which the caller starts and ends.
    DWORD LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
               const wchar_t* format, va_list args);

    // Hands an already formatted message to the logger without a level check.
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                const wchar_t* message);

    // The logger, or none; the facade keeps owning it.
    CLoggingIf* GetLogger() const { return logger_.get(); }

    // Puts `logger` (or none) in place; a previous one is destroyed.
    void SetLogger(std::unique_ptr<CLoggingIf> logger);

    // The foundation handler that initialisation registered, or none.
    Basalt::ILoggingHandler* GetRegisteredHandler() const { return registeredHandler_; }
    void SetRegisteredHandler(Basalt::ILoggingHandler* handler) { registeredHandler_ = handler; }

  private:
    std::unique_ptr<CLoggingIf> logger_;
    Basalt::ILoggingHandler* registeredHandler_ = nullptr;
};

// The process-wide facade, created and initialised by the first call; none if
// it could not be allocated. Concurrent first callers wait for the first.
CLogFacade* GetLogFacade();

// The facade if it exists, without creating it.
CLogFacade* PeekLogFacade();

// Whether a message of `level` would be written; creates the facade.
bool IsLogLevelEnabled(DWORD level);

// Registers the at-exit action that destroys the facade. Start-up calls it
// first of all; creating the facade calls it too, so it is never missing.
void RegisterLogFacadeCleanup();

}  // namespace ETWLogging
