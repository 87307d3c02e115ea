// What the built programs carry: the project's version, which the ETW back end reads for
// the module that logs, and a manifest with the execution level each needs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "basalt/UniqueHandle.h"
#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "tests/logging/etw/EventTraceStandIn.h"
#include "logging/etw/LoggingModuleInfo.h"
#include "tests/support/TestSupport.h"

using namespace ETWLogging;

namespace {

const std::wstring kProjectVersion = L"" GATESVC_PROJECT_VERSION L".0";

// A program's application manifest (resource 1 of type RT_MANIFEST), or empty.
std::string ManifestOf(const std::wstring& path) {
    Basalt::UniqueHmodule image(::LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) return std::string();
    HRSRC resource = ::FindResourceW(image.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    HGLOBAL loaded = resource != nullptr ? ::LoadResource(image.get(), resource) : nullptr;
    if (loaded == nullptr) return std::string();
    return std::string(static_cast<const char*>(::LockResource(loaded)),
                       ::SizeofResource(image.get(), resource));
}

TEST(ProgramResources, EachProgramAsksForItsLevelOnTheSupportedWindowsVersions) {
    const struct {
        const wchar_t* program;
        const char* level;
    } kPrograms[] = {{L"gatesvc.exe", "level=\"requireAdministrator\""},
                     {L"hvlogcfg.exe", "level=\"asInvoker\""}};
    for (const auto& program : kPrograms) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(program.program)));
        const std::string manifest =
            ManifestOf(TestSupport::ProgramFolder() + L"\\" + program.program);
        EXPECT_NE(std::string::npos, manifest.find(program.level));
        EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
        for (const char* windows : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",     // 7
                                    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // 10, 11
            EXPECT_NE(std::string::npos, manifest.find(windows)) << windows;
        }
        // Console programs: no common controls, no DPI awareness.
        EXPECT_EQ(std::string::npos, manifest.find("Common-Controls"));
        EXPECT_EQ(std::string::npos, manifest.find("dpiAware"));
        EXPECT_EQ(kProjectVersion, internal::QueryFileVersion(TestSupport::ProgramFolder() + L"\\" +
                                                              program.program));
    }
}

// A program built with the same version resource as the two above (this test program):
// the ETW back end reads the project's version for it and every event carries it.
TEST(ProgramResources, EtwEventsCarryTheProjectVersionOfTheRunningProgram) {
    auto service = std::make_shared<CEventTraceStandIn>();
    CETWLogging logger(service);
    ASSERT_EQ(0u, logger.InitEx(nullptr, L"RQD", ::GetModuleHandleW(nullptr), nullptr, nullptr));
    ASSERT_EQ(0u, logger.Start());
    const TRACEHANDLE session = service->StartSession();
    ASSERT_EQ(0u, service->EnableProvider(session, service->LastControlGuid(), 5, 0));
    service->Settle();
    logger.Log(kLevelInformation, L"gatesvc", L"InstallHipsDriverFile", 136, L"%s", L"versioned");
    const auto events = service->Events();
    ASSERT_EQ(1u, events.size());
    DecodedEvent decoded;
    ASSERT_EQ(0u, DecodeEventData(events[0].data.data(), events[0].data.size(), decoded));
    EXPECT_EQ(kProjectVersion, decoded.loggingModuleVersion);
    logger.Stop();
}

}  // namespace
