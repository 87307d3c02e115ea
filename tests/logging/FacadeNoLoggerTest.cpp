// A facade whose back end cannot be created: its own executable.
#include "logging/LogFacade.h"

#include <gtest/gtest.h>

#include "basalt/Logging/internal_logging.h"

using namespace ETWLogging;

TEST(FacadeWithoutLogger, EmptyGroupNameLeavesNothingInstalled) {
    ProcessLogIdentity().groupName = L"";
    ProcessLogIdentity().hostName = nullptr;
    EXPECT_FALSE(IsLogLevelEnabled(kLevelInformation));
    CLogFacade* facade = GetLogFacade();
    ASSERT_NE(facade, nullptr);
    EXPECT_EQ(facade->GetLogger(), nullptr);
    EXPECT_EQ(facade->GetRegisteredHandler(), nullptr);
    EXPECT_EQ(facade->Log(kLevelError, L"f", L"fn", 1, L"x"), kErrorNoLogger);
    EXPECT_EQ(facade->Write(L"f", L"fn", 1, kLevelError, L"x"), kErrorNoLogger);
    Basalt::CLogger::Log(Basalt::kLogTypeInfo, L"src", L"fn", 1, L"x");  // still the default
    EXPECT_EQ(Basalt::CLogger::GetRegisteredHandler(), &Basalt::CDefaultLoggingHandler::Instance());
}
