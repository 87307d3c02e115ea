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
// session name: a run replaces a live session of its name, and must not stop that one.
constexpr wchar_t kDefaultTraceSession[] = L"hvlogcfg trace";
// A session name has at most this many characters.
constexpr size_t kMaxSessionNameChars = 1023;

// The line for one event, in the file back end's format with the event's own time (local),
// process and thread, and the fields `options` selects. An event of the framework's class that
// does not decode exactly gives a line saying so, with its size. False for events of other
// classes, which are not printed.
bool FormatTraceEvent(const EVENT_RECORD& record, DWORD options, std::wstring& line);

// Which step of starting or opening a trace failed, and with what.
struct TraceFailure {
    const wchar_t* what = L"";  // "started" or "opened"
    const wchar_t* call = L"";  // the tracing function that failed
    DWORD error = ERROR_SUCCESS;
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

    // Starts session `sessionName` (stopping a live one of that name first), opens it for
    // reading, then enables `provider` with `level`. False with the failing step; nothing
    // is left running then.
    bool StartLive(const std::wstring& sessionName, const GUID& provider, UCHAR level,
                   TraceFailure& failure);
    // Waits until `stopRequest` (may be null) is signalled, `milliseconds` pass, the event
    // limit is reached or the session ends; at once when no session is being read.
    void Wait(HANDLE stopRequest, DWORD milliseconds);
    // Disables the provider, stops the session and waits for the last lines; 0 or the error
    // of stopping the session.
    ULONG Stop();
    // The live session's handle, 0 when none runs.
    TRACEHANDLE SessionHandle() const { return session_; }

    // Reads a recorded trace file to its end (or the event limit). False with the failing step.
    bool ReadFile(const std::wstring& path, TraceFailure& failure);

  private:
    static VOID WINAPI OnEventRecord(PEVENT_RECORD record);
    static ULONG WINAPI OnBuffer(PEVENT_TRACE_LOGFILEW logfile);
    void Consume(const EVENT_RECORD& record);
    ULONG StartSession(const std::wstring& sessionName);
    ULONG StopSession();
    void CloseConsumer();
    TRACEHANDLE Open(EVENT_TRACE_LOGFILEW& logfile, LPWSTR name, LPWSTR path);

    std::shared_ptr<ETWLogging::TraceSessionAPI> api_;
    DWORD options_;
    ULONG64 maxEvents_;
    LineSink sink_;
    std::atomic<ULONG64> printed_{0};
    Basalt::UniqueKernelHandle finished_;  // set at the event limit or when reading ends
    TRACEHANDLE session_ = 0;
    TRACEHANDLE consumer_ = INVALID_PROCESSTRACE_HANDLE;
    GUID provider_ = {};
    std::wstring sessionName_;
    std::thread processing_;
};

}  // namespace Hvlogcfg
