#include "logging/etw/ETWConfigurationListener.h"

#include <gtest/gtest.h>

#include "logging/etw/ETWLogging.h"
#include "tests/logging/etw/EventTraceStandIn.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTLSN";

// A logger under the test product, whose Provider key the test fills; its name is RQD\kernel32.
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
    // Starts the logger and enables it from a new session at `level`.
    TRACEHANDLE EnableFromController(UCHAR level) {
        EXPECT_EQ(0u, logger_.Start());
        const TRACEHANDLE session = service_->StartSession();
        EXPECT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, level, 0));
        service_->Settle();
        return session;
    }

    EtwTest::ScratchProductKey key_;
    std::shared_ptr<CEventTraceStandIn> service_;
    CETWLogging logger_{service_};
};

TEST_F(ETWConfigurationListenerTest, EnableZeroDisablesAfterInitialisation) {
    SetDword(nullptr, L"Enable", 0);
    ASSERT_EQ(0u, Init());
    EXPECT_FALSE(logger_.IsEnabled());
}

// A string value is skipped: the string "Enable" of RQD would otherwise undo the root's 0.
TEST_F(ETWConfigurationListenerTest, StringValuesAreIgnored) {
    SetDword(nullptr, L"Enable", 0);
    ASSERT_EQ(0, key_.SetPlainString(L"Provider", L"Severity", L"1"));
    ASSERT_EQ(0, key_.SetPlainString(L"Provider\\RQD", L"Enable", L"1"));
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
    EnableFromController(1);
    EXPECT_EQ(4u, logger_.GetSeverity());
    EXPECT_FALSE(logger_.IsEnabled());
}

TEST_F(ETWConfigurationListenerTest, RegistryEnableOverridesTheControllersDisable) {
    SetDword(nullptr, L"Enable", 1);
    ASSERT_EQ(0u, Init());
    const TRACEHANDLE session = EnableFromController(4);
    ASSERT_EQ(0u, service_->DisableProvider(session, kTestProviderGuid));
    service_->Settle();
    EXPECT_TRUE(logger_.IsEnabled());
    EXPECT_EQ(4u, logger_.GetSeverity());  // the threshold is passed back unchanged
}

TEST_F(ETWConfigurationListenerTest, RegistrySeverityOverridesTheControllersLevel) {
    ASSERT_EQ(0u, Init());
    SetDword(nullptr, L"Severity", 1);
    EnableFromController(4);
    EXPECT_EQ(1u, logger_.GetSeverity());
}

TEST_F(ETWConfigurationListenerTest, NotificationWithoutALoggerIsIgnored) {
    internal::ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(kTag));
    CETWConfigurationListener listener(properties);
    listener.OnConfigurationChanged(true, 2, 0);  // no effect, no crash
}

TEST_F(ETWConfigurationListenerTest, ProviderKeyIsTheProductsProviderKey) {
    internal::ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(kTag));
    CETWConfigurationListener listener(properties);
    HKEY root = nullptr;
    std::wstring path;
    listener.GetProviderKey(root, path);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTLSN\\Provider", path);
}

TEST_F(ETWConfigurationListenerTest, OnlyTheFirstLoggerIsTaken) {
    internal::ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(kTag));
    SetDword(nullptr, L"Severity", 5);
    CETWConfigurationListener listener(properties);
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
