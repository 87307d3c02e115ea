// Has the installer's start-up; its logger reports, while the process exits, what
// is already torn down. Usage: exit_order_probe.exe <report file>
#include <windows.h>

#include <wchar.h>

#include <memory>
#include <string>

#include "basalt/Logging/internal_logging.h"
#include "basalt/UniqueHandle.h"
#include "gatesvc/Startup.h"
#include "logging/BasaltLogHandler.h"
#include "logging/LogBuilder.h"
#include "logging/LogFacade.h"
#include "logging/etw/ETWLogging.h"
#include "tests/logging/etw/EventTraceStandIn.h"

namespace {

const bool g_startup = (Gatesvc::ProcessStartup(), true);
// A plain array: it must outlive every at-exit action, so it has no destructor.
wchar_t g_reportPath[MAX_PATH];

void Report(const std::wstring& line) {
    Basalt::UniqueHandle file(::CreateFileW(g_reportPath, FILE_APPEND_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::wstring text = line + L"\n";
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                &written, nullptr);
}

std::wstring Registered() {
    Basalt::ILoggingHandler* handler = Basalt::CLogger::GetRegisteredHandler();
    if (handler == nullptr) return L"none";
    return handler == &ETWLogging::CBasaltLogHandler::Instance() ? L"bridge" : L"other";
}

class ReportingTraceService : public ETWLogging::CEventTraceStandIn {
  public:
    ULONG UnregisterTraceGuids(TRACEHANDLE handle) override {
        Report(L"provider unregistered");
        return CEventTraceStandIn::UnregisterTraceGuids(handle);
    }
};

class ReportingLogger : public ETWLogging::CETWLogging {
  public:
    using CETWLogging::CETWLogging;
    ~ReportingLogger() override {
        Report(L"logger destroyed; handler " + Registered() + L"; facade " +
               (ETWLogging::PeekLogFacade() == nullptr ? L"cleared" : L"present"));
        // The default handler is gone by now: a foundation message must not bring it back.
        Basalt::CLogger::Log(Basalt::kLogTypeError, L"probe", L"~ReportingLogger", 1, L"late");
        Report(L"late foundation message; handler " + Registered());
    }
};

void FirstAtExit() { Report(L"first at-exit action; handler " + Registered()); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    wcsncpy_s(g_reportPath, argv[1], _TRUNCATE);
    ::DeleteFileW(g_reportPath);
    ETWLogging::LogIdentity& identity = ETWLogging::ProcessLogIdentity();
    identity.groupName = L"RQD";
    identity.hostName = nullptr;
    ETWLogging::CLogFacade* facade = ETWLogging::GetLogFacade();
    if (facade == nullptr || facade->GetLogger() == nullptr) return 3;
    // Never freed: the service's thread must outlast the provider it serves.
    static auto* service =
        new std::shared_ptr<ReportingTraceService>(std::make_shared<ReportingTraceService>());
    auto logger = std::make_unique<ReportingLogger>(*service);
    if (logger->InitEx(nullptr, L"RQD", nullptr, nullptr, nullptr) != 0) return 4;
    facade->SetLogger(std::move(logger));
    if (facade->Log(ETWLogging::kLevelInformation, L"probe", L"wmain", 1, L"started") != 0) {
        return 5;
    }
    ::atexit(FirstAtExit);
    Report(L"main returns; handler " + Registered());
    return 0;
}
