// The ETW logger's write path: heap allocations and time per message for a
// typical installer message, against the floor of formatting the same
// message and converting it to UTF-8 alone.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <cstdarg>
#include <memory>

#include "bench/BenchSupport.h"
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
    return 0;
}
