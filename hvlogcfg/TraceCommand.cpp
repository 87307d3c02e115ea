// hvlogcfg trace: the framework's ETW events, live or from a recorded file, as log lines.
#include <windows.h>

#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Tool.h"
#include "hvlogcfg/Trace.h"
#include "logging/LoggingIf.h"
#include "logging/etw/ETWAppProperties.h"

namespace Hvlogcfg {
namespace {

constexpr DWORD kMillisecondsPerSecond = 1000;
constexpr unsigned long kMaxSeconds = 0xFFFFFFFFul / kMillisecondsPerSecond - 1;

// Signalled by Ctrl+C, Ctrl+Break or the console window closing. A console control handler
// receives no context, so the event lives here, created on first use.
HANDLE StopRequest() {
    static Basalt::UniqueKernelHandle event(
        ::CreateEventW(nullptr, /*manualReset=*/TRUE, /*initialState=*/FALSE, nullptr));
    return event.get();
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    ::SetEvent(StopRequest());
    return TRUE;
}

int Refuse(const std::wstring& reason) {
    PrintError(reason);
    return kExitUsage;
}

int ReportFailure(const TraceFailure& failure) {
    PrintError(Basalt::FormatString(L"no trace session could be %s: %s failed with %s",
                                    failure.what, failure.call,
                                    DescribeError(failure.error).c_str()));
    return kExitFailure;
}

int TraceLive(const Options& options, CTraceReader& reader) {
    ETWLogging::internal::ETWAppProperties properties;
    if (!properties.LoadConfiguration(nullptr)) {
        PrintError(L"the ETW configuration does not load, so its provider is unknown");
        return kExitFailure;
    }
    StopRequest();  // created before the handler can run
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    TraceFailure failure;
    const std::wstring name = options.sessionGiven ? options.session : kDefaultTraceSession;
    if (!reader.StartLive(name, properties.ProviderGuid(), static_cast<UCHAR>(options.level),
                          failure)) {
        return ReportFailure(failure);
    }
    const DWORD milliseconds =
        options.seconds != 0 ? options.seconds * kMillisecondsPerSecond : INFINITE;
    reader.Wait(StopRequest(), milliseconds);
    const ULONG error = reader.Stop();
    if (error != ERROR_SUCCESS) {
        PrintError(L"the trace session did not stop: " + DescribeError(error));
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace

int TraceCommand(const Options& options) {
    if (options.words.size() != 1)
        return Refuse(L"trace takes no arguments (hvlogcfg trace --help)");
    if (options.level < ETWLogging::kLevelMin || options.level > ETWLogging::kLevelMax) {
        return Refuse(L"--level must be 1 to 6 (hvlogcfg trace --help)");
    }
    if (options.seconds > kMaxSeconds) return Refuse(L"--seconds is too large");
    if (options.sessionGiven &&
        (options.session.empty() || options.session.size() > kMaxSessionNameChars)) {
        return Refuse(L"--session needs a name of 1 to 1023 characters");
    }
    CTraceReader reader(nullptr, options.fields, options.count,
                        [](const std::wstring& line) { Print(line); });
    if (options.traceFile.empty()) return TraceLive(options, reader);
    TraceFailure failure;
    return reader.ReadFile(options.traceFile, failure) ? kExitSuccess : ReportFailure(failure);
}

}  // namespace Hvlogcfg
