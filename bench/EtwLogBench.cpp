// The ETW logger's write path: heap allocations and time per message for a
// typical installer message, against the floor of formatting the same
// message and converting it to UTF-8 alone. Then the same message from a
// module through the facade: ETWLOGGING_LOG, whose format is checked when it
// is compiled, against the same call written out without the check, and
// against the facade's Log, which checks a format at run time.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <cstdarg>
#include <memory>

#include "bench/BenchSupport.h"
#include "logging/LogMacro.h"
#include "logging/etw/ETWLogging.h"
#include "tests/logging/etw/EventTraceStandIn.h"

namespace {

constexpr unsigned long kIterations = 200000;
constexpr int kRepeats = 5;
constexpr size_t kBufferChars = 2080;
constexpr wchar_t kFormat[] = L"Copy file to %s failed from %s. Try to delay copy until reboot";
constexpr wchar_t kTarget[] = L"C:\\Windows\\System32\\drivers\\BulwarkK.sys";  // 40 characters
constexpr wchar_t kSource[] = L"C:\\Program Files\\Halvik\\Gsv\\BulwarkK.sys";  // 40 characters

// A tracing service that takes every event and drops it.
class DroppingTraceService : public ETWLogging::EventTraceAPI {
  public:
    ULONG RegisterTraceGuids(WMIDPREQUEST, PVOID, LPCGUID, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR,
                             LPCWSTR, PTRACEHANDLE handle) override {
        *handle = 1;
        return ERROR_SUCCESS;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE) override { return ERROR_SUCCESS; }
    ULONG TraceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER event) override {
        bytes += event->Size;
        return ERROR_SUCCESS;
    }
    ULONG64 bytes = 0;
};

// Formatting and UTF-8 conversion alone, as the logger does them.
int FormatAndConvert(const wchar_t* format, ...) {
    wchar_t text[kBufferChars];
    char utf8[kBufferChars * sizeof(wchar_t)];
    va_list args;
    va_start(args, format);
    const int chars = ::_vsnwprintf_s(text, kBufferChars, _TRUNCATE, format, args);
    va_end(args);
    return ::WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8, sizeof(utf8), nullptr, nullptr);
}

template <typename Body>
double BestNanoseconds(Body&& body) {
    double best = 1e30;
    for (int i = 0; i < kRepeats; ++i)
        best = std::min(best, Bench::NanosecondsPerCall(kIterations, body));
    return best;
}

// The best times of two bodies measured in turn, so that the machine's drifts
// reach both alike.
template <typename First, typename Second>
void BestNanosecondsInTurn(First&& first, Second&& second, double& firstBest, double& secondBest) {
    firstBest = secondBest = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        firstBest = std::min(firstBest, Bench::NanosecondsPerCall(kIterations, first));
        secondBest = std::min(secondBest, Bench::NanosecondsPerCall(kIterations, second));
    }
}

}  // namespace

int main() {
    static_assert(sizeof(kTarget) / sizeof(wchar_t) - 1 == 40, "a 40-character path");
    static_assert(sizeof(kSource) / sizeof(wchar_t) - 1 == 40, "a 40-character path");

    auto dropping = std::make_shared<DroppingTraceService>();
    ETWLogging::CETWLogging logger(dropping);
    if (logger.InitEx(nullptr, L"RQD", nullptr, nullptr, nullptr) != 0 || logger.Start() != 0) {
        printf("logger set-up failed\n");
        return 1;
    }
    auto standIn = std::make_shared<ETWLogging::CEventTraceStandIn>();
    standIn->SetRecordEvents(false);
    ETWLogging::CETWLogging standInLogger(standIn);
    standInLogger.InitEx(nullptr, L"RQD", nullptr, nullptr, nullptr);
    standInLogger.Start();
    standIn->EnableProvider(standIn->StartSession(), standInLogger.Properties().ProviderGuid(), 3,
                            0);
    standIn->Settle();

    auto logV = [&] {
        logger.LogEx(3, L"gatesvc", L"InstallHipsDriverFile", 136, kFormat, kTarget, kSource);
    };
    auto standInLogV = [&] {
        standInLogger.LogEx(3, L"gatesvc", L"InstallHipsDriverFile", 136, kFormat, kTarget,
                            kSource);
    };
    auto floor = [&] { FormatAndConvert(kFormat, kTarget, kSource); };

    logV();  // the logging module identity is computed on first use
    const double allocations = Bench::AllocationsPerCall(kIterations, logV);
    const double floorNs = BestNanoseconds(floor);
    const double logVNs = BestNanoseconds(logV);
    const double standInNs = BestNanoseconds(standInLogV);
    printf("message: %d UTF-8 bytes\n", FormatAndConvert(kFormat, kTarget, kSource));
    printf("LogV heap allocations per message: %.3f\n", allocations);
    printf("floor (format + UTF-8):            %8.1f ns/message\n", floorNs);
    printf("LogV, dropping service:            %8.1f ns/message (%.2fx floor)\n", logVNs,
           logVNs / floorNs);
    printf("LogV, stand-in service (counting): %8.1f ns/message (%.2fx floor)\n", standInNs,
           standInNs / floorNs);
    printf("events accepted by the stand-in:   %llu\n",
           static_cast<unsigned long long>(standIn->AcceptedEventCount()));

    // From a module: the facade holds an ETW logger on the dropping service.
    ETWLogging::CLogFacade* facade = ETWLogging::GetLogFacade();
    auto facadeLogger = std::make_unique<ETWLogging::CETWLogging>(dropping);
    facadeLogger->InitEx(nullptr, L"RQD", nullptr, nullptr, nullptr);
    facade->SetLogger(std::move(facadeLogger));
    const DWORD level = ETWLogging::kLevelInformation;
    auto checkedMacro = [&] {
        ETWLOGGING_LOG(level, L"Copy file to %s failed from %s. Try to delay copy until reboot",
                       kTarget, kSource);
    };
    // The macro's expansion without the compile-time check.
    auto uncheckedCall = [&] {
        ETWLogging::internal::IsLevelEnabledForSource(level)
            ? ETWLogging::internal::LogFromSource(
                  level, L"" __FILE__, __func__, __LINE__,
                  L"Copy file to %s failed from %s. Try to delay copy until reboot", kTarget,
                  kSource)
            : static_cast<DWORD>(ERROR_SUCCESS);
    };
    auto facadeLog = [&] {
        facade->Log(level, L"EtwLogBench", L"operator()", 1, kFormat, kTarget, kSource);
    };
    // Read through a volatile pointer, so that the check is not made while compiling.
    const wchar_t* volatile runtimeFormat = kFormat;
    bool printable = true;
    auto runtimeCheck = [&] {
        printable = ETWLogging::IsPrintableFormat(runtimeFormat) && printable;
    };
    const double macroAllocations = Bench::AllocationsPerCall(kIterations, checkedMacro);
    double macroNs = 0;
    double uncheckedNs = 0;
    BestNanosecondsInTurn(checkedMacro, uncheckedCall, macroNs, uncheckedNs);
    const double facadeNs = BestNanoseconds(facadeLog);
    const double runtimeCheckNs = BestNanoseconds(runtimeCheck);
    printf("ETWLOGGING_LOG heap allocations per message: %.3f\n", macroAllocations);
    printf("ETWLOGGING_LOG (checked at compile time): %8.1f ns/message (%.3fx unchecked)\n",
           macroNs, macroNs / uncheckedNs);
    printf("the same call without the check:          %8.1f ns/message\n", uncheckedNs);
    printf("facade Log (checked at run time):         %8.1f ns/message\n", facadeNs);
    printf("the run-time check alone:                 %8.1f ns/format%s\n", runtimeCheckNs,
           printable ? "" : " (refused)");
    return 0;
}
