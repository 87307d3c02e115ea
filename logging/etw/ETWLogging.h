// The Event Tracing for Windows back end of the logging facade: a classic
// (MOF) event provider whose every message becomes one event.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "logging/LoggingConfigListenerIf.h"
#include "logging/LoggingIf.h"
#include "logging/etw/ETWAppProperties.h"
#include "logging/etw/EventTraceAPI.h"

namespace ETWLogging {

// A logger's name, "<group>\<module base name>" (the group alone without a
// module): the key below the Provider key that carries the logger's overrides.
std::wstring LoggerName(const std::wstring& groupName, const std::wstring& moduleBaseName);

// Threads: any thread may log (LogV takes no lock and reads the enabled flag,
// threshold and session handle atomically); the tracing service calls the
// control callback on its own thread at any time after Start, and inside Start
// on the caller's thread for a session that enabled the provider before. Start and
// Unregister are serialised by a critical section; Unregister returns only once no
// callback runs or can still reach the logger. InitEx, Stop and destruction belong
// to the thread that owns the logger.
class CETWLogging : public CLoggingIf_ex {
  public:
    // `traceApi` reaches the tracing service; none gives the plain advapi32 one.
    explicit CETWLogging(std::shared_ptr<EventTraceAPI> traceApi = nullptr);
    // Stops tracing when started, unregisters the provider, deletes the listener.
    ~CETWLogging() override;
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    // InitEx with no product tag.
    DWORD Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
               LoggingConfigListenerIf* configListener) override;
    // Registers the provider on the first call and returns its result; 0 afterwards.
    DWORD Start() override;
    void GetLoggerName(std::wstring& name) override;
    void GetGroupName(std::wstring& name) override;
    // StopTracing's result when started, else 0.
    DWORD Stop() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    // Formats without a length limit and hands the text to LogMessageEx.
    void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
    // LogMessageEx; always 0.
    DWORD LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                     const wchar_t* message) override;
    // Level at or above the threshold, or exactly 3.
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    // Stores the level clamped to 1..6; returns the previous process-wide severity.
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    LONG Release() override;

    using CLoggingIf_ex::InitEx;
    // 20001 once started; ERROR_INVALID_PARAMETER for an empty group or host name or a
    // configuration that does not load (it loads only once per object); else 0.
    DWORD InitEx(const wchar_t* productTag, const wchar_t* groupName, HMODULE module,
                 const wchar_t* hostName, LoggingConfigListenerIf* configListener) override;
    // LogEx with "%s" and the message.
    DWORD LogMessageEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* message) override;
    // Writes one event: ERROR_INVALID_PARAMETER for a NULL format, else 0 whatever happens to it. A
    // NULL file or function is carried as an empty string.
    DWORD LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
               const wchar_t* format, va_list args) override;
    DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                const wchar_t* format, ...) override;
    // Whether the handle comes from the session that enabled the provider: the same logger
    // id (low 16 bits), whatever level and flags it carries.
    bool IsSessionHandle(ULONG64 traceHandle) override;
    // Enable (4) and disable (5) requests of a trace controller; ERROR_INVALID_PARAMETER for
    // others. The provider serves one session at a time: an enable is taken when no session holds
    // the provider or from the one that does (a level change, which sends a new handle); an enable
    // from another session is ignored, and so is a disable from a session that does not hold it.
    // The last error when the handle or enable level cannot be read.
    ULONG OnControlRequest(ULONG requestCode, PVOID buffer) override;
    void SetEventGuid() override;
    std::wstring GetModuleName(HMODULE module, bool stripExtension) override;
    void BuildLoggerName() override;
    // UnregisterTraceGuids' result, or 0 when nothing is registered; forgets the session once no
    // callback runs any more.
    ULONG Unregister() override;
    ULONG StopTracing() override;
    DWORD MapLevel(DWORD level) override;
    void FillEventRecord(const wchar_t* file, const wchar_t* function, int line,
                         EventContext& record) override;

    // The control callback given to the tracing service: ERROR_INVALID_PARAMETER without a context,
    // ERROR_UNHANDLED_EXCEPTION when an exception escapes OnControlRequest, thrown or structured
    // (an access violation, RaiseException), with every compiler.
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context,
                                        ULONG* bufferSize, PVOID buffer);

    // The stored session handle (0 when none), read indivisibly.
    TRACEHANDLE GetSessionHandle() const { return sessionHandle_.load(); }
    const internal::ETWAppProperties& Properties() const { return properties_; }

  private:
    // What the tracing service holds as the control callback's context, see ETWLogging.cpp.
    struct ControlGate;

    // Owns a registration handle and unregisters it when destroyed non-zero.
    class CRegistration {
      public:
        explicit CRegistration(EventTraceAPI& traceApi) : traceApi_(traceApi) {}
        ~CRegistration();
        CRegistration(const CRegistration&) = delete;
        CRegistration& operator=(const CRegistration&) = delete;
        // Takes `handle`, unregistering one held before.
        void Reset(TRACEHANDLE handle);
        TRACEHANDLE Release() { return std::exchange(handle_, 0); }

      private:
        EventTraceAPI& traceApi_;
        TRACEHANDLE handle_ = 0;
    };

    ULONG OnEnable(PVOID buffer);
    // Packs the counted strings that every event repeats, once per InitEx.
    void PackIdentity();
    ULONG OnDisable(PVOID buffer);
    // Turns the gate away from this logger, once a callback that is running has returned.
    void CloseGate();

    std::shared_ptr<EventTraceAPI> traceApi_;
    std::atomic<bool> started_{false};
    Basalt::CCriticalSection lock_;
    DWORD processId_ = 0;
    GUID eventGuid_ = {};
    std::unique_ptr<LoggingConfigListenerIf> listener_;
    std::atomic<bool> enabled_{true};
    std::atomic<DWORD> severity_{kDefaultSeverity};
    std::wstring groupName_;
    std::wstring hostName_;
    std::wstring processImageName_;
    std::wstring moduleBaseName_;
    std::wstring loggerName_;
    std::wstring loggingModuleName_;
    std::wstring loggingModuleVersion_;
    // The counted process image name, and the counted logging module name,
    // version and group name, as the context record carries them.
    std::vector<BYTE> packedImageName_;
    std::vector<BYTE> packedModuleAndGroup_;
    std::atomic<ULONG64> sessionHandle_{0};
    CRegistration registration_;
    internal::ETWAppProperties properties_;
    // Made by the first Start and never freed: a callback the service has begun may reach it after
    // the logger is gone.
    ControlGate* gate_ = nullptr;
};

}  // namespace ETWLogging
