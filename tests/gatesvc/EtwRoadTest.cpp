// The installer's copy failure on the ETW road, in process, recorded by the stand-in tracing
// service. Its own executable: the facade is process-wide.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "gatesvc/gatesvc.h"
#include "logging/LogFacade.h"
#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "tests/gatesvc/ScratchInstallerSystem.h"
#include "tests/logging/etw/EventTraceStandIn.h"

using namespace ETWLogging;

namespace {

// The scratch world, with the delayed move only pretended.
class PretendedMoveSystem : public ScratchInstallerSystem {
  public:
    PretendedMoveSystem() : ScratchInstallerSystem(L"etw-road") {}
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
    service->Settle();

    // The installed driver held open without sharing, as a loaded driver's file is.
    auto system = std::make_shared<PretendedMoveSystem>();
    ASSERT_TRUE(TestSupport::WriteFileText(system->Source(), "new driver"));
    ASSERT_TRUE(TestSupport::WriteFileText(system->Destination(), "driver in use"));
    Basalt::UniqueHandle held(::CreateFileW(system->Destination().c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    Gatesvc::CHipsDriverInstaller(system).InstallHipsDriverFile();

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
    const std::wstring expected = L"Copy file to " + system->Destination() + L" failed from " +
                                  system->Source() + L". Try to delay copy until reboot";
    EXPECT_EQ(Basalt::WideFromCodePage(CP_UTF8, decoded.message), expected);
    GetLogFacade()->SetLogger(nullptr);
}

}  // namespace
