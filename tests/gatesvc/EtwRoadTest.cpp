// The installer's copy failure on the ETW road, in process, recorded by the stand-in tracing
// service. Its own executable: the facade is process-wide.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "basalt/StringHelpers.h"
#include "gatesvc/gatesvc.h"
#include "logging/LogFacade.h"
#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "tests/logging/etw/EventTraceStandIn.h"

using namespace ETWLogging;

namespace {

// The real system, except that the copy fails as on a file in use and the delayed move is
// only pretended.
class CopyFailsSystem : public Gatesvc::InstallerSystemAPI {
  public:
    BOOL CopyFileTo(const wchar_t*, const wchar_t*, BOOL) override {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    BOOL MoveFileWithFlags(const wchar_t*, const wchar_t*, DWORD) override { return TRUE; }
};

TEST(EtwRoad, CopyFailureBecomesOneDecodableEvent) {
    ProcessLogIdentity().groupName = L"RQD";
    ProcessLogIdentity().hostName = nullptr;
    auto service = std::make_shared<CEventTraceStandIn>();
    auto owned = std::make_unique<CETWLogging>(service);
    CETWLogging* logger = owned.get();
    ASSERT_EQ(logger->InitEx(nullptr, L"RQD", ::GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
    ASSERT_NE(GetLogFacade(), nullptr);
    GetLogFacade()->SetLogger(std::move(owned));
    ASSERT_EQ(logger->Start(), 0u);
    const TRACEHANDLE session = service->StartSession();
    ASSERT_EQ(service->EnableProvider(session, service->LastControlGuid(), 5, 0), 0u);

    Gatesvc::CHipsDriverInstaller(std::make_shared<CopyFailsSystem>()).InstallHipsDriverFile();

    auto events = service->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].session, session);
    EXPECT_EQ(events[0].header.Class.Level, 3);
    DecodedEvent decoded;
    ASSERT_EQ(DecodeEventData(events[0].data.data(), events[0].data.size(), decoded), 0u);
    EXPECT_EQ(decoded.file, L"gatesvc");
    EXPECT_EQ(decoded.function, L"InstallHipsDriverFile");
    EXPECT_EQ(decoded.line, 136);
    EXPECT_EQ(decoded.groupName, L"RQD");
    EXPECT_EQ(decoded.processId, ::GetCurrentProcessId());
    wchar_t system[MAX_PATH] = {}, program[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring folder(program, wcsrchr(program, L'\\'));
    const std::wstring expected = std::wstring(L"Copy file to ") + system +
                                  L"\\drivers\\BulwarkK.sys failed from " + folder +
                                  L"\\BulwarkK.sys. Try to delay copy until reboot";
    const std::wstring message = Basalt::WideFromCodePage(CP_UTF8, decoded.message);
    EXPECT_EQ(_wcsicmp(message.c_str(), expected.c_str()), 0) << message;
    GetLogFacade()->SetLogger(nullptr);
}

}  // namespace
