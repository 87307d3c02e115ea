// The operator tool's trace reader: a real-time session that enables the
// framework's provider, or a recorded trace file, read event by event and
// printed in the file back end's line format.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "basalt/UniqueHandle.h"
#include "logging/etw/TraceSessionAPI.h"

namespace Hvlogcfg {

// The session the trace command starts unless told another name. Not the product's own
// session name: a run replaces a session of its name that an earlier run left behind.
constexpr wchar_t kDefaultTraceSession[] = L"hvlogcfg trace";
// A session name has at most this many characters.
constexpr size_t kMaxSessionNameChars = 1023;
// The GUID every session of the trace command is started with, by which a later run knows
// one that a killed run left behind: {5B0C8E52-7A41-4D6C-9E1F-3C2A7D94B861}.
constexpr GUID kTraceSessionGuid = {
    0x5B0C8E52, 0x7A41, 0x4D6C, {0x9E, 0x1F, 0x3C, 0x2A, 0x7D, 0x94, 0xB8, 0x61}};
// How long the console handler waits, on closing the window, logoff or shutdown, for the trace
// to stop: within the 5 seconds that the system grants before it ends the process.
constexpr DWORD kCloseWaitMs = 4500;

// The line for one event of the framework's class, in the file back end's format with the
// event's own time (local), process and thread, and the fields `options` selects. An event whose
// data does not decode gives a line saying so, with its size. False for events of other classes,
// which are not printed.
bool FormatTraceEvent(const EVENT_RECORD& record, DWORD options, std::wstring& line);

// Which step of a trace failed.
enum class TraceStep {
    kClaimName,    // the mutex of the session name could not be made
    kInUse,        // a running trace command uses the session name
    kNotLeftByUs,  // a session of that name runs that no run of the command left behind
    kStart,        // StartTraceW
    kOpen,         // OpenTraceW of the session
    kQueryHolder,  // EnumerateTraceGuidsEx
    kHeld,         // another session holds the provider
    kEnable,       // EnableTrace
    kRead,         // ProcessTrace of the session
    kEnded,        // the session ended while it was read
    kStop,         // ControlTraceW stopping the session
    kFileMissing,  // the trace file does not exist
    kFileOpen,     // OpenTraceW of the file
    kFileRead,     // ProcessTrace of the file
};

// A failed step, with the error and the session or file it concerns.
struct TraceFailure {
    TraceStep step = TraceStep::kStart;
    DWORD error = ERROR_SUCCESS;
    std::wstring subject;
};

// The one-line reason for `failure`; `elevated` says whether this process runs as administrator.
std::wstring DescribeTraceFailure(const TraceFailure& failure, bool elevated);

// The console control events of a live trace. Ctrl+C and Ctrl+Break ask it to stop; closing the
// window, logoff and shutdown end the process as soon as the handler returns, so the handler
// asks it to stop and returns only once it has (or after kCloseWaitMs).
class CTraceStopSignal {
  public:
    CTraceStopSignal();
    CTraceStopSignal(const CTraceStopSignal&) = delete;
    CTraceStopSignal& operator=(const CTraceStopSignal&) = delete;

    // A console control handler's answer to `controlType`: TRUE for the five above, FALSE for
    // others. May run on any thread.
    BOOL OnControl(DWORD controlType);
    // Signalled once the trace is asked to stop.
    HANDLE Request() const { return request_.get(); }
    // Says that nothing of the trace runs any more.
    void Stopped() { ::SetEvent(stopped_.get()); }

  private:
    Basalt::UniqueKernelHandle request_;
    Basalt::UniqueKernelHandle stopped_;
};

// Reads one trace and hands each line to the sink. Lines come on the thread that processes
// the trace (for a live session a thread of its own); the sink is never called concurrently.
class CTraceReader {
  public:
    using LineSink = std::function<void(const std::wstring& line)>;

    // `api` reaches the tracing service (none: the plain one); `maxEvents` 0 means no limit.
    CTraceReader(std::shared_ptr<ETWLogging::TraceSessionAPI> api, DWORD options, ULONG64 maxEvents,
                 LineSink sink);
    // Stops a live session still running.
    ~CTraceReader();
    CTraceReader(const CTraceReader&) = delete;
    CTraceReader& operator=(const CTraceReader&) = delete;

    // Starts session `sessionName`, opens it for reading and enables `provider` with `level`.
    // A session of that name is replaced only when an earlier run left it behind: a real-time
    // session with kTraceSessionGuid that no running trace command owns. The provider is
    // enabled only when no other session holds it. False with the failing step; nothing is
    // left running then.
    bool StartLive(const std::wstring& sessionName, const GUID& provider, UCHAR level,
                   TraceFailure& failure);
    // Reads until `stopRequest` (may be null) is signalled, `milliseconds` pass, the event limit
    // is reached or the reading ends by itself; then stops everything (Stop). False with the
    // failure when the reading ended by itself (ProcessTrace failed, or the session was stopped
    // by another controller) or the session did not stop.
    bool Follow(HANDLE stopRequest, DWORD milliseconds, TraceFailure& failure);
    // Disables the provider, stops the session, waits for the last lines and closes the trace;
    // 0 or the error of stopping the session. Nothing runs afterwards.
    ULONG Stop();
    // The live session's handle, 0 when none runs.
    TRACEHANDLE SessionHandle() const { return session_; }

    // Reads a recorded trace file to its end (or the event limit). False with the failing step.
    bool ReadFile(const std::wstring& path, TraceFailure& failure);

  private:
    static VOID WINAPI OnEventRecord(PEVENT_RECORD record);
    static ULONG WINAPI OnBuffer(PEVENT_TRACE_LOGFILEW logfile);
    void Consume(const EVENT_RECORD& record);
    bool LimitReached() const { return maxEvents_ != 0 && printed_.load() >= maxEvents_; }
    bool ClaimSessionName(const std::wstring& sessionName, TraceFailure& failure);
    bool StartSession(const std::wstring& sessionName, TraceFailure& failure);
    ULONG StartNamedSession(const std::wstring& sessionName);
    bool IsLeftBehind(const std::wstring& sessionName, ULONG& error);
    bool CheckNoOtherHolder(const GUID& provider, TraceFailure& failure);
    std::wstring SessionNameOf(USHORT loggerId);
    ULONG StopSession();
    void CloseConsumer();
    TRACEHANDLE Open(EVENT_TRACE_LOGFILEW& logfile, LPWSTR name, LPWSTR path);

    std::shared_ptr<ETWLogging::TraceSessionAPI> api_;
    DWORD options_;
    ULONG64 maxEvents_;
    LineSink sink_;
    std::atomic<ULONG64> printed_{0};
    Basalt::UniqueKernelHandle finished_;   // set at the event limit or when reading ends
    Basalt::UniqueKernelHandle nameOwner_;  // held while this reader uses its session name
    TRACEHANDLE session_ = 0;
    TRACEHANDLE consumer_ = INVALID_PROCESSTRACE_HANDLE;
    GUID provider_ = {};
    bool enabled_ = false;
    std::wstring sessionName_;
    std::thread processing_;
    std::atomic<bool> readingEnded_{false};  // ProcessTrace returned
    std::atomic<ULONG> readResult_{ERROR_SUCCESS};
};

// A live trace from start to end: StartLive, then Follow until `signal` asks it to stop or
// `milliseconds` pass. Whatever happens, tells `signal` once nothing runs any more. False with the
// failing step.
bool RunLiveTrace(CTraceReader& reader, CTraceStopSignal& signal, const std::wstring& sessionName,
                  const GUID& provider, UCHAR level, DWORD milliseconds, TraceFailure& failure);

}  // namespace Hvlogcfg
