// Severity levels, result codes and the logger interfaces that every back end
// implements.
//
// Ownership: a logger built by the facade belongs to the facade (LogFacade.h);
// programs log through the facade or the macros (LogMacro.h) and need not
// hold one. Threads: each back end states which of its operations may run
// concurrently (the ETW and file back ends take messages from any thread).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <memory>
#include <string>

namespace ETWLogging {

// Severity levels, in this order: a message is written when its level is at
// or above the logger's threshold (GetSeverity), which starts at
// kDefaultSeverity, 3. So by default Normal (1) and Warning (2) messages are
// dropped, and Information (3), Error (4) and Critical (5) are written; the
// ETW back end also writes level 3 whatever its threshold. The numbers are
// the ones stored settings use. The threshold is changed by the operator
// ("hvlogcfg set file Severity N" for the file back end, "hvlogcfg set etw
// Severity N" or a trace session's level for ETW) or in code with SetSeverity.
// 6 is a second "Information" that the ETW back end maps to 3.
constexpr DWORD kLevelNormal = 1;
constexpr DWORD kLevelWarning = 2;
constexpr DWORD kLevelInformation = 3;
constexpr DWORD kLevelError = 4;
constexpr DWORD kLevelCritical = 5;
constexpr DWORD kLevelInformationAlt = 6;
constexpr DWORD kLevelMin = 1;
constexpr DWORD kLevelMax = 6;
// The process-wide severity before any logger sets one.
constexpr DWORD kDefaultSeverity = 3;

// Result codes of this system's own, beside the Windows error codes.
constexpr DWORD kErrorAlreadyInitialized = 20001;  // Init on an initialised or started logger
constexpr DWORD kErrorNotInitialized = 20002;      // Stop on a logger never initialised

// The fixed buffer of the base class's fixed-level operations.
constexpr size_t kFormatBufferChars = 4160;

// Clamps a level into 1..6: 0 becomes 1, 7 and above become 6.
DWORD ClampLevel(DWORD level);

// Stores `level` as the process-wide severity and returns the previous value
// (3 before the first call). Atomic.
DWORD ExchangeProcessSeverity(DWORD level);

class LoggingConfigListenerIf;

// The logger interface. Operations are listed in their fixed slot order.
class CLoggingIf {
  public:
    virtual ~CLoggingIf() = default;

    // Initialises the logger for a program identity; 0 or a Windows code.
    virtual DWORD Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                       LoggingConfigListenerIf* configListener) = 0;
    // Makes the logger ready to write; idempotent.
    virtual DWORD Start() = 0;
    virtual void GetLoggerName(std::wstring& name) = 0;
    virtual void GetGroupName(std::wstring& name) = 0;
    virtual DWORD Stop() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    // Formats and writes when enabled and the level passes the threshold.
    virtual void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, ...) = 0;
    // Writes an already formatted message. Note: level after line.
    virtual DWORD LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                             const wchar_t* message) = 0;
    virtual bool IsLevelEnabled(DWORD level) = 0;
    virtual void SetMaxEntries(DWORD count) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    // Stores the clamped level; returns the previous process-wide severity.
    virtual DWORD SetSeverity(DWORD level) = 0;
    virtual DWORD GetSeverity() = 0;
    virtual LONG AddRef() = 0;
    virtual LONG Release() = 0;

    // Fixed-level operations shared by every back end: each formats into a
    // buffer of 4160 characters and hands the text to LogMessage.
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...);
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, ...);
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...);
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, ...);
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, ...);

  protected:
    // Formats into a local buffer of 4160 characters (at most 4159 used, cut
    // when longer) and returns LogMessage's code.
    DWORD FormatAndLog(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, va_list args);
};

// The extended interface of the ETW back end; operations follow the base's.
class CLoggingIf_ex : public CLoggingIf {
  public:
    // Init with a product tag. Takes `configListener` (none: the back end's own):
    // once the arguments pass, the logger owns and deletes it; a call refused on its
    // arguments leaves it with the caller.
    virtual DWORD InitEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                         const wchar_t* hostName, LoggingConfigListenerIf* configListener) = 0;
    // InitEx that hands the listener over in its type: on success the logger owns it and
    // `configListener` is left empty; a refused call leaves it with the caller. The slot keeps
    // the plain pointer so that modules built by other compilers share one interface layout.
    // A template, so that a listener of a derived type is not moved into a temporary first.
    template <typename Listener>
    DWORD InitEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                 const wchar_t* hostName, std::unique_ptr<Listener>&& configListener) {
        const DWORD result = InitEx(productTag, groupName, module, hostName, configListener.get());
        if (result == ERROR_SUCCESS) static_cast<void>(configListener.release());  // now owned
        return result;
    }
    virtual DWORD LogMessageEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* message) = 0;
    virtual DWORD LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, va_list args) = 0;
    virtual DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* format, ...) = 0;
    virtual bool IsSessionHandle(ULONG64 traceHandle) = 0;
    virtual ULONG OnControlRequest(ULONG requestCode, PVOID buffer) = 0;
    virtual void SetEventGuid() = 0;
    virtual std::wstring GetModuleName(HMODULE module, bool stripExtension) = 0;
    virtual void BuildLoggerName() = 0;
    virtual ULONG Unregister() = 0;
    virtual ULONG StopTracing() = 0;
    virtual DWORD MapLevel(DWORD level) = 0;
    struct EventContext;
    virtual void FillEventRecord(const wchar_t* file, const wchar_t* function, int line,
                                 EventContext& record) = 0;
};

// What FillEventRecord fills: the identity a consumer needs beside an event.
struct CLoggingIf_ex::EventContext {
    DWORD processId = 0;
    DWORD threadId = 0;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring groupName;
    std::wstring loggingModuleName;
    std::wstring loggingModuleVersion;
    std::wstring processImageName;
};

}  // namespace ETWLogging
