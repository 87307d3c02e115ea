// ETWAppProperties against Wine's registry, values written through the obfuscated key.
#include "logging/etw/ETWAppProperties.h"

#include <gtest/gtest.h>

#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/support/BasaltTestSupport.h"

namespace {

using ETWLogging::internal::ETWAppProperties;
using EtwTest::ScratchProductKey;

constexpr GUID kZeroGuid = {};
constexpr GUID kNgxProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr GUID kNgxSessionGuid = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr wchar_t kTag[] = L"GSTESTAPP";
constexpr wchar_t kDefaultLogs[] = L"C:\\ProgramData\\Halvik\\HVLOGS";
constexpr wchar_t kTestLogs[] = L"C:\\ProgramData\\Test\\Logs";
constexpr wchar_t kDefaultEtl[] = L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW\\hvlogs.etl";
constexpr wchar_t kTestEtl[] = L"C:\\ProgramData\\Test\\Logs\\ETW\\hvlogs.etl";

TEST(ETWAppPropertiesTest, DefaultTagWithoutProductKeyTakesBuiltInLayout) {
    // No product key for NGX exists in a test prefix.
    for (const wchar_t* tag : {static_cast<const wchar_t*>(nullptr), L"", L"ngx"}) {
        ETWAppProperties properties;
        ASSERT_TRUE(properties.LoadConfiguration(tag));
        EXPECT_EQ(tag != nullptr && *tag != L'\0' ? tag : L"NGX", properties.ProductTag());
        EXPECT_EQ(L"C:\\ProgramData", properties.ProgramDataFolder());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging", properties.LoggingKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Controller", properties.ControllerKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Provider", properties.ProviderKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging", properties.ConfigKeyPath());
        EXPECT_EQ(kDefaultLogs, properties.LogPath());
        EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW", properties.EtlPath());
        EXPECT_EQ(kDefaultEtl, properties.EtlFile());
        EXPECT_EQ(L"", properties.ControllerPath());
        EXPECT_EQ(L"Global\\Halvik.{0696D115-BE52-46c3-BFEE-D73A305B6581}",
                  properties.OwnerMutexName());
        EXPECT_EQ(L"Halvik.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", properties.SessionName());
        EXPECT_TRUE(::IsEqualGUID(kNgxSessionGuid, properties.SessionGuid()));
        EXPECT_TRUE(::IsEqualGUID(kNgxProviderGuid, properties.ProviderGuid()));
    }
}

TEST(ETWAppPropertiesTest, ProductKeyGivesPerProductKeyPaths) {
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\", ETWAppProperties().GetKeyPath(nullptr));
    ScratchProductKey key(kTag, /*complete=*/true);
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(kTag));
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTAPP", properties.GetKeyPath(nullptr));
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTAPP", properties.LoggingKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTAPP\\Controller", properties.ControllerKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTESTAPP", properties.ConfigKeyPath());
    EXPECT_EQ(L"C:\\ProgramData\\Test\\Logs\\ETW", properties.EtlPath());
}

// The values are read in a fixed order (controller path, owner mutex, session GUID, session
// name, provider GUID) stopping at the first unreadable one: what was read before stays stored.
TEST(ETWAppPropertiesTest, LoadStoresTheValuesReadBeforeTheFirstFailure) {
    using Alter = void (*)(ScratchProductKey&);
    struct Case {
        const char* name;
        bool complete;  // start from a complete configuration, then apply `alter`
        Alter alter;
        const wchar_t* logPath;  // empty: no subkey set was opened, no path stored
        const wchar_t* etlFile;
        int valuesRead;
    } const cases[] = {
        {"complete", true, nullptr, kTestLogs, kTestEtl, 5},
        {"missing path values take default sub-paths", true,
         [](ScratchProductKey& key) {
             EXPECT_EQ(0, key.DeleteValue(nullptr, L"Log Path"));
             EXPECT_EQ(0, key.DeleteValue(nullptr, L"ETL Path"));
         },
         kDefaultLogs, kDefaultEtl, 5},
        {"absolute log path is appended unchanged", true,
         [](ScratchProductKey& key) { key.SetObfuscatedString(nullptr, L"Log Path", L"D:\\Logs"); },
         L"C:\\ProgramDataD:\\Logs", kTestEtl, 5},
        {"missing subkey fails before any path is set", true,
         [](ScratchProductKey& key) { key.DeleteSubkey(L"Session"); }, L"", L"", 0},
        {"missing session name", true,
         [](ScratchProductKey& key) { EXPECT_EQ(0, key.DeleteValue(L"Session", L"Session Name")); },
         kTestLogs, kTestEtl, 3},
        {"malformed provider GUID", true,
         [](ScratchProductKey& key) {
             key.SetObfuscatedString(L"Provider", L"Provider Guid",
                                     L"6A7C1F20-1B2C-4D3E-8F90-A1B2C3D4E5F6");
         },
         kTestLogs, kTestEtl, 4},
        {"plain values count as unreadable", false,
         [](ScratchProductKey& key) {
             key.SetPlainString(nullptr, L"Log Path", L"\\Plain\\Logs");
             key.SetPlainString(nullptr, L"ETL Path", L"\\Plain\\ETW");
             key.SetPlainString(L"Controller", L"Controller Path", L"C:\\plain.exe");
             key.SetPlainString(L"Controller", L"Owner Mutex Name", L"Plain");
             key.SetPlainString(L"Session", L"Session ID Guid",
                                L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
             key.SetPlainString(L"Session", L"Session Name", L"Plain");
             key.SetPlainString(L"Provider", L"Provider Guid",
                                L"{6A7C1F20-1B2C-4D3E-8F90-A1B2C3D4E5F6}");
         },
         kDefaultLogs, kDefaultEtl, 0},
        {"no product key for another tag", false, nullptr, L"", L"", 0},
    };
    for (const Case& c : cases) {
        ScratchProductKey key(kTag, c.complete);
        if (c.alter != nullptr) c.alter(key);
        ETWAppProperties properties;
        EXPECT_EQ(c.valuesRead == 5, properties.LoadConfiguration(kTag)) << c.name;
        EXPECT_EQ(kTag, properties.ProductTag()) << c.name;
        EXPECT_EQ(L"C:\\ProgramData", properties.ProgramDataFolder()) << c.name;
        EXPECT_EQ(std::wstring(*c.logPath ? L"SOFTWARE\\Halvik.logging\\GSTESTAPP\\Provider" : L""),
                  properties.ProviderKeyPath())
            << c.name;
        EXPECT_EQ(c.logPath, properties.LogPath()) << c.name;
        EXPECT_EQ(c.etlFile, properties.EtlFile()) << c.name;
        const int n = c.valuesRead;
        EXPECT_EQ(n >= 1 ? L"C:\\Test\\controller.exe" : L"", properties.ControllerPath())
            << c.name;
        EXPECT_EQ(n >= 2 ? L"Global\\Test.Owner" : L"", properties.OwnerMutexName()) << c.name;
        EXPECT_TRUE(
            ::IsEqualGUID(n >= 3 ? EtwTest::kTestSessionGuid : kZeroGuid, properties.SessionGuid()))
            << c.name;
        EXPECT_EQ(n >= 4 ? L"Test.Session" : L"", properties.SessionName()) << c.name;
        EXPECT_TRUE(::IsEqualGUID(n >= 5 ? EtwTest::kTestProviderGuid : kZeroGuid,
                                  properties.ProviderGuid()))
            << c.name;
    }
}

TEST(ETWAppPropertiesTest, SecondLoadIsRefusedLeavingTheFirst) {
    ScratchProductKey key(kTag, /*complete=*/true);
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(nullptr));
    EXPECT_FALSE(properties.LoadConfiguration(kTag));
    EXPECT_FALSE(properties.LoadConfiguration(nullptr));
    EXPECT_EQ(L"NGX", properties.ProductTag());
    EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Provider", properties.ProviderKeyPath());
    EXPECT_TRUE(::IsEqualGUID(kNgxProviderGuid, ETWAppProperties(properties).ProviderGuid()));
}

TEST(ETWAppPropertiesTest, UnavailableProgramDataFailsTheLoad) {
    // A shell service whose known-folder lookup always fails.
    ETWAppProperties properties(std::make_shared<TestSupport::FolderShell>(L""));
    std::wstring folder = L"unchanged";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), properties.GetProgramDataFolder(folder));
    EXPECT_EQ(L"unchanged", folder);
    EXPECT_FALSE(properties.LoadConfiguration(nullptr));
    EXPECT_EQ(L"NGX", properties.ProductTag());
    EXPECT_EQ(L"", properties.ProviderKeyPath());
}

}  // namespace
