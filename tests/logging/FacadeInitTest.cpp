// The facade's first creation, the bridge and the foundation messages before and
// after. Its own executable, so the facade and the foundation logger start clean.
#include "logging/LogFacade.h"

#include <gtest/gtest.h>

#include <memory>

#include "basalt/Logging/internal_logging.h"
#include "basalt/RegKey.h"
#include "logging/BasaltLogHandler.h"
#include "logging/LogBuilder.h"
#include "logging/etw/ETWLogging.h"
#include "tests/support/TestSupport.h"

using namespace ETWLogging;

namespace {

// The tests of this program build on each other, in the order written.
TEST(FacadeInit, FoundationMessagesBeforeTheFirstLogRequestGoToTheDefaultHandler) {
    Basalt::CLogger::Log(Basalt::kLogTypeInfo, L"src", L"fn", 1, L"before");
    EXPECT_EQ(Basalt::CLogger::GetRegisteredHandler(), &Basalt::CDefaultLoggingHandler::Instance());
    EXPECT_EQ(PeekLogFacade(), nullptr);  // foundation messages never create the facade
}

TEST(FacadeInit, FirstLogRequestSetsUpTheEtwLoggerWithItsBridge) {
    Basalt::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath) == ERROR_SUCCESS) {
        key.DeleteValue(kLoggingMechanismValue);
    }
    LogIdentity& identity = ProcessLogIdentity();
    identity.groupName = L"RQD";
    identity.hostName = nullptr;
    identity.module = ::GetModuleHandleW(nullptr);
    EXPECT_TRUE(IsLogLevelEnabled(kLevelInformation));  // ETW lets 3 through always
    CLogFacade* facade = PeekLogFacade();
    ASSERT_NE(facade, nullptr);
    EXPECT_NE(dynamic_cast<CETWLogging*>(facade->GetLogger()), nullptr);
    EXPECT_EQ(Basalt::CLogger::GetRegisteredHandler(), &CBasaltLogHandler::Instance());
    EXPECT_EQ(facade->GetRegisteredHandler(), &CBasaltLogHandler::Instance());
}

// Types 0 and 1 at 1, 2 at 4, any other at 2; a second handler is refused through it.
TEST(FacadeInit, BridgeCarriesFoundationMessagesAtTheirMappedLevels) {
    auto owned = std::make_unique<TestSupport::RecordingLogger>();
    TestSupport::RecordingLogger* logger = owned.get();
    GetLogFacade()->SetLogger(std::move(owned));
    Basalt::CLogger::Log(Basalt::kLogTypeError, L"src", L"fn", 9, L"two %s", L"wide");
    Basalt::CLogger::Log(7, L"src", L"fn", 10, L"seven");
    Basalt::CLogger::Log(Basalt::kLogTypeNone, L"src", L"fn", 11, L"zero");
    Basalt::CLogger::Log(Basalt::kLogTypeInfo, L"src", L"fn", 12, L"one");
    Basalt::CDefaultLoggingHandler other;
    EXPECT_EQ(Basalt::CLogger::RegisterHandler(&other), static_cast<DWORD>(ERROR_INVALID_STATE));
    auto messages = logger->Messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0].file, L"src");
    EXPECT_EQ(messages[0].function, L"fn");
    EXPECT_EQ(messages[0].message, L"two wide");
    EXPECT_EQ(messages[0].line, 9);
    const DWORD levels[] = {kLevelError, kLevelWarning, kLevelNormal, kLevelNormal, kLevelError};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(messages[i].level, levels[i]) << "message " << i;
    EXPECT_EQ(messages[4].line, 72);  // the refusal, from the foundation logger
}

}  // namespace
