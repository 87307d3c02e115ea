#include "logging/etw/ETWConfigurationListener.h"

#include <gtest/gtest.h>

#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventTraceStandIn.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTLSN";

// A logger initialised under the test product, whose Provider key the test
// fills; its logger name is RQD\kernel32.
class ETWConfigurationListenerTest : public ::testing::Test {
  protected:
    ETWConfigurationListenerTest()
        : key_(kTag, /*complete=*/true), service_(std::make_shared<CEventTraceStandIn>()) {}

    DWORD Init() {
        return logger_.InitEx(kTag, L"RQD", ::GetModuleHandleW(L"kernel32.dll"), nullptr, nullptr);
    }
    void SetDword(const wchar_t* below, const wchar_t* name, DWORD value) {
        std::wstring subkey = L"Provider";
        if (below != nullptr) subkey += std::wstring(L"\\") + below;
        ASSERT_EQ(0, key_.SetPlainDword(subkey.c_str(), name, value));
    }

    EtwTest::ScratchProductKey key_;
    std::shared_ptr<CEventTraceStandIn> service_;
    CETWLogging logger_{service_};
};

TEST_F(ETWConfigurationListenerTest, EnableZeroDisablesAfterInitialisation) {
    SetDword(nullptr, L"Enable", 0);
    ASSERT_EQ(0u, Init());
    EXPECT_FALSE(logger_.IsEnabled());
    EXPECT_EQ(3u, logger_.GetSeverity());
}

TEST_F(ETWConfigurationListenerTest, MostSpecificKeyIsAppliedLast) {
    SetDword(nullptr, L"Severity", 5);
    SetDword(L"RQD", L"Severity", 2);
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(2u, logger_.GetSeverity());

    SetDword(L"RQD\\kernel32", L"Severity", 4);
    SetDword(L"RQD\\kernel32", L"Enable", 0);
    SetDword(L"RQD", L"Enable", 1);
    ASSERT_EQ(0u, logger_.Start());
    const TRACEHANDLE session = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 1, 0));
    EXPECT_EQ(4u, logger_.GetSeverity());
    EXPECT_FALSE(logger_.IsEnabled());
}

TEST_F(ETWConfigurationListenerTest, RegistryOverridesTheControllerLevel) {
    SetDword(nullptr, L"Severity", 1);
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, logger_.Start());
    const TRACEHANDLE session = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 4, 0));
    EXPECT_EQ(1u, logger_.GetSeverity());
}

TEST_F(ETWConfigurationListenerTest, RegistryEnableOutlivesAControllerDisable) {
    SetDword(nullptr, L"Enable", 1);
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, logger_.Start());
    const TRACEHANDLE session = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 4, 0));
    ASSERT_EQ(0u, service_->DisableProvider(session, kTestProviderGuid));
    EXPECT_TRUE(logger_.IsEnabled());
    EXPECT_EQ(4u, logger_.GetSeverity());  // the threshold is passed back unchanged
}

TEST_F(ETWConfigurationListenerTest, ValuesOfAnotherTypeAreIgnored) {
    ASSERT_EQ(0, key_.SetPlainString(L"Provider", L"Severity", L"1"));
    ASSERT_EQ(0, key_.SetPlainString(L"Provider", L"Enable", L"0"));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(3u, logger_.GetSeverity());
    EXPECT_TRUE(logger_.IsEnabled());
}

TEST_F(ETWConfigurationListenerTest, WithoutLoggerNothingChanges) {
    internal::ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(kTag));
    SetDword(nullptr, L"Severity", 5);
    CETWConfigurationListener listener(properties);
    listener.OnConfigurationChanged(true, 2, 0);  // no logger: no effect, no crash

    HKEY root = nullptr;
    std::wstring path;
    listener.GetProviderKey(root, path);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTLSN\\Provider", path);

    TestSupport::RecordingLogger first;
    TestSupport::RecordingLogger second;
    EXPECT_FALSE(listener.SetLogger(nullptr));
    EXPECT_TRUE(listener.SetLogger(&first));
    EXPECT_FALSE(listener.SetLogger(&second));
    listener.OnConfigurationChanged(false, 2, 0);
    EXPECT_FALSE(first.IsEnabled());
    EXPECT_EQ(5u, first.GetSeverity());
    EXPECT_TRUE(second.IsEnabled());
}

}  // namespace
