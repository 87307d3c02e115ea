// hvlogcfg trace: the framework's ETW events, live or from a recorded file, as log lines.
#include <windows.h>

#include "hvlogcfg/Console.h"
#include "hvlogcfg/ErrorText.h"
#include "hvlogcfg/Tool.h"
#include "hvlogcfg/Trace.h"
#include "logging/etw/ETWAppProperties.h"

namespace Hvlogcfg {
namespace {

constexpr DWORD kMillisecondsPerSecond = 1000;

// A console control handler receives no context: the signal it shares with the trace lives
// here, made before the handler is installed.
CTraceStopSignal& ConsoleStopSignal() {
    static CTraceStopSignal signal;
    return signal;
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    return ConsoleStopSignal().OnControl(controlType);
}

int ReportFailure(const TraceFailure& failure) {
    PrintError(DescribeTraceFailure(failure, IsProcessElevated()));
    return kExitFailure;
}

int TraceLive(const Options& options, CTraceReader& reader) {
    ETWLogging::internal::ETWAppProperties properties;
    if (!properties.LoadConfiguration(nullptr)) {
        PrintError(L"the ETW configuration does not load, so its provider is unknown");
        return kExitFailure;
    }
    CTraceStopSignal& signal = ConsoleStopSignal();
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    const std::wstring name = options.sessionGiven ? options.session : kDefaultTraceSession;
    const DWORD milliseconds =
        options.seconds != 0 ? options.seconds * kMillisecondsPerSecond : INFINITE;
    TraceFailure failure;
    if (!RunLiveTrace(reader, signal, name, properties.ProviderGuid(),
                      static_cast<UCHAR>(options.level), milliseconds, failure)) {
        return ReportFailure(failure);
    }
    return kExitSuccess;
}

}  // namespace

int TraceCommand(const Options& options) {
    if (options.words.size() != 1) return Usage(L"trace takes no arguments");
    CTraceReader reader(nullptr, options.fields, options.count,
                        [](const std::wstring& line) { Print(line); });
    if (options.traceFile.empty()) return TraceLive(options, reader);
    TraceFailure failure;
    return reader.ReadFile(options.traceFile, failure) ? kExitSuccess : ReportFailure(failure);
}

}  // namespace Hvlogcfg
