// The process-wide logging facade through which every message of the program
// passes, and the process-wide logging identity it is created with.
//
// Ownership: the facade is the process's own (GetLogFacade); it owns its
// logger and destroys it at exit. Threads: any thread may log through it once
// the identity is set; creation is once-only, and the facade adds no lock
// around a message (each back end guards its own state).
#pragma once

#include <windows.h>

#include <stdarg.h>

#include <memory>

#include "logging/FormatCheck.h"
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
// Start-up sets it before anything can be logged; later changes are not seen.
// The strings are read, not copied, at that moment: they must live until the
// first message (literals do).
struct LogIdentity {
    // Selects the ETW configuration layout of a product; none for the default one.
    const wchar_t* productTag = nullptr;
    // The group: the file back end's folder HVLOGS\<group>\<module> and the ETW
    // logger name "<group>\<module>". None for no group; an empty text makes
    // the back end refuse to start, and nothing is logged.
    const wchar_t* groupName = L"_no_group";
    // The module whose file name names the logger and its log files; none for
    // the program's executable.
    HMODULE module = nullptr;
    // Added to the log file names as "<module>_<host>NNN.log"; none for no host
    // part. Empty is refused as for the group.
    const wchar_t* hostName = L"_no_host";
    // 1 chooses the file back end in code, whatever the registry's "Logging
    // Mechanism" says (which the operator sets with "hvlogcfg set mechanism");
    // 0 lets that value choose (ETW unless it is 1).
    DWORD forceFileLogging = 0;
};

// The process-wide identity. Not guarded: set on the main thread before the
// first log request.
LogIdentity& ProcessLogIdentity();

namespace internal {
DWORD LogFromSource(DWORD level, const wchar_t* sourcePath, const char* function, int line,
                    const wchar_t* format, ...);
}  // namespace internal

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
    // a failed Start, else 0 (extended loggers) or LogMessage's code. A format that the printer
    // would refuse (IsPrintableFormat) is not printed: the message is kUnprintableFormatMarker
    // and the format's text. The arguments cannot be checked here; ETWLOGGING_LOG checks them.
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
    // The macros' formats are checked when they are compiled.
    friend DWORD internal::LogFromSource(DWORD level, const wchar_t* sourcePath,
                                         const char* function, int line, const wchar_t* format,
                                         ...);

    // LogV for a format known to be printable.
    DWORD LogPrintableV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* format, va_list args);
    // The variadic form of LogPrintableV.
    DWORD LogPrintable(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, ...);

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
