#include "logging/etw/ETWAppProperties.h"

#include <gtest/gtest.h>

#include "tests/logging/etw/EtwTestSupport.h"

namespace {

using ETWLogging::internal::ETWAppProperties;
using EtwTest::ScratchProductKey;

constexpr GUID kZeroGuid = {};
constexpr GUID kNgxProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr GUID kNgxSessionGuid = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

// A shell service whose known-folder lookup always fails.
class FailingShell : public Basalt::ShlObjAPI {
  public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override {
        *path = nullptr;
        return E_FAIL;
    }
};

std::wstring ProgramData() {
    std::wstring folder;
    EXPECT_EQ(0u, ETWAppProperties().GetProgramDataFolder(folder));
    return folder;
}

TEST(ETWAppPropertiesTest, DefaultTagWithoutProductKeyTakesBuiltInLayout) {
    // No product key for NGX exists in a test prefix.
    for (const wchar_t* tag : {static_cast<const wchar_t*>(nullptr), L"", L"ngx"}) {
        ETWAppProperties properties;
        ASSERT_TRUE(properties.LoadConfiguration(tag));
        EXPECT_EQ(tag != nullptr && *tag != L'\0' ? tag : L"NGX", properties.ProductTag());
        EXPECT_EQ(L"C:\\ProgramData", properties.ProgramDataFolder());
        EXPECT_EQ(HKEY_LOCAL_MACHINE, properties.RootKey());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging", properties.LoggingKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Controller", properties.ControllerKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Provider", properties.ProviderKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging", properties.ConfigKeyPath());
        EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS", properties.LogPath());
        EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW", properties.EtlPath());
        EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW\\hvlogs.etl", properties.EtlFile());
        EXPECT_EQ(L"", properties.ControllerPath());
        EXPECT_EQ(L"Global\\Halvik.{0696D115-BE52-46c3-BFEE-D73A305B6581}",
                  properties.OwnerMutexName());
        EXPECT_EQ(L"Halvik.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", properties.SessionName());
        EXPECT_TRUE(::IsEqualGUID(kNgxSessionGuid, properties.SessionGuid()));
        EXPECT_TRUE(::IsEqualGUID(kNgxProviderGuid, properties.ProviderGuid()));
    }
}

TEST(ETWAppPropertiesTest, OtherTagWithoutProductKeyFailsLeavingFieldsEmpty) {
    ScratchProductKey absent(L"GSTEST1", /*complete=*/false);
    ETWAppProperties properties;
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST1"));
    EXPECT_EQ(L"GSTEST1", properties.ProductTag());
    EXPECT_EQ(ProgramData(), properties.ProgramDataFolder());
    EXPECT_EQ(L"", properties.LogPath());
    EXPECT_EQ(L"", properties.ProviderKeyPath());
    EXPECT_EQ(L"", properties.OwnerMutexName());
    EXPECT_TRUE(::IsEqualGUID(kZeroGuid, properties.ProviderGuid()));
}

TEST(ETWAppPropertiesTest, ProductKeyGivesEveryValueAndPerProductPaths) {
    ScratchProductKey key(L"GSTEST2", /*complete=*/true);
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(L"GSTEST2"));
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST2", properties.GetKeyPath(nullptr));
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST2", properties.LoggingKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST2\\Controller", properties.ControllerKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST2\\Provider", properties.ProviderKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST2", properties.ConfigKeyPath());
    EXPECT_EQ(L"C:\\ProgramData\\Test\\Logs", properties.LogPath());
    EXPECT_EQ(L"C:\\ProgramData\\Test\\Logs\\ETW", properties.EtlPath());
    EXPECT_EQ(L"C:\\ProgramData\\Test\\Logs\\ETW\\hvlogs.etl", properties.EtlFile());
    EXPECT_EQ(L"C:\\Test\\controller.exe", properties.ControllerPath());
    EXPECT_EQ(L"Global\\Test.Owner", properties.OwnerMutexName());
    EXPECT_EQ(L"Test.Session", properties.SessionName());
    EXPECT_TRUE(::IsEqualGUID(EtwTest::kTestSessionGuid, properties.SessionGuid()));
    EXPECT_TRUE(::IsEqualGUID(EtwTest::kTestProviderGuid, properties.ProviderGuid()));
}

TEST(ETWAppPropertiesTest, MissingPathValuesTakeDefaultSubPaths) {
    ScratchProductKey key(L"GSTEST3", /*complete=*/true);
    ASSERT_EQ(0, key.DeleteValue(nullptr, L"Log Path"));
    ASSERT_EQ(0, key.DeleteValue(nullptr, L"ETL Path"));
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(L"GSTEST3"));
    EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS", properties.LogPath());
    EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW\\hvlogs.etl", properties.EtlFile());
}

TEST(ETWAppPropertiesTest, MissingSubkeyFailsBeforeAnyPathIsSet) {
    ScratchProductKey key(L"GSTEST4", /*complete=*/true);
    key.DeleteSubkey(L"Session");
    ETWAppProperties properties;
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST4"));
    EXPECT_EQ(L"", properties.LoggingKeyPath());
    EXPECT_EQ(L"", properties.ProviderKeyPath());
    EXPECT_EQ(L"", properties.LogPath());
    EXPECT_EQ(L"", properties.ControllerPath());
}

TEST(ETWAppPropertiesTest, PlainValuesCountAsUnreadable) {
    ScratchProductKey key(L"GSTEST5", /*complete=*/false);
    key.SetPlainString(nullptr, L"Log Path", L"\\Plain\\Logs");
    key.SetPlainString(nullptr, L"ETL Path", L"\\Plain\\ETW");
    key.SetPlainString(L"Controller", L"Controller Path", L"C:\\plain.exe");
    key.SetPlainString(L"Controller", L"Owner Mutex Name", L"Plain");
    key.SetPlainString(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
    key.SetPlainString(L"Session", L"Session Name", L"Plain");
    key.SetPlainString(L"Provider", L"Provider Guid", L"{6A7C1F20-1B2C-4D3E-8F90-A1B2C3D4E5F6}");
    ETWAppProperties properties;
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST5"));
    EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS", properties.LogPath());
    EXPECT_EQ(L"C:\\ProgramData\\Halvik\\HVLOGS\\ETW", properties.EtlPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\GSTEST5\\Provider", properties.ProviderKeyPath());
    EXPECT_EQ(L"", properties.ControllerPath());
    EXPECT_EQ(L"", properties.OwnerMutexName());
}

TEST(ETWAppPropertiesTest, FailedReadKeepsWhatWasReadBefore) {
    ScratchProductKey key(L"GSTEST6", /*complete=*/true);
    ASSERT_EQ(0, key.DeleteValue(L"Session", L"Session Name"));
    ETWAppProperties properties;
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST6"));
    EXPECT_EQ(L"C:\\Test\\controller.exe", properties.ControllerPath());
    EXPECT_EQ(L"Global\\Test.Owner", properties.OwnerMutexName());
    EXPECT_TRUE(::IsEqualGUID(EtwTest::kTestSessionGuid, properties.SessionGuid()));
    EXPECT_EQ(L"", properties.SessionName());
    EXPECT_TRUE(::IsEqualGUID(kZeroGuid, properties.ProviderGuid()));
}

TEST(ETWAppPropertiesTest, MalformedGuidFailsTheLoad) {
    ScratchProductKey key(L"GSTEST7", /*complete=*/true);
    key.SetObfuscatedString(L"Provider", L"Provider Guid", L"6A7C1F20-1B2C-4D3E-8F90-A1B2C3D4E5F6");
    ETWAppProperties properties;
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST7"));
    EXPECT_EQ(L"Test.Session", properties.SessionName());
}

TEST(ETWAppPropertiesTest, AbsoluteLogPathIsAppendedUnchanged) {
    ScratchProductKey key(L"GSTEST8", /*complete=*/true);
    key.SetObfuscatedString(nullptr, L"Log Path", L"D:\\Logs");
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(L"GSTEST8"));
    EXPECT_EQ(L"C:\\ProgramDataD:\\Logs", properties.LogPath());
}

TEST(ETWAppPropertiesTest, SecondLoadIsRefusedAndChangesNothing) {
    ScratchProductKey key(L"GSTEST9", /*complete=*/true);
    ETWAppProperties properties;
    ASSERT_TRUE(properties.LoadConfiguration(nullptr));
    EXPECT_FALSE(properties.LoadConfiguration(L"GSTEST9"));
    EXPECT_FALSE(properties.LoadConfiguration(nullptr));
    EXPECT_EQ(L"NGX", properties.ProductTag());
    EXPECT_EQ(L"SOFTWARE\\Halvik\\Logging\\Provider", properties.ProviderKeyPath());
    // A copy carries every field.
    const ETWAppProperties copy(properties);
    EXPECT_EQ(L"NGX", copy.ProductTag());
    EXPECT_EQ(properties.EtlFile(), copy.EtlFile());
    EXPECT_TRUE(::IsEqualGUID(kNgxProviderGuid, copy.ProviderGuid()));
}

TEST(ETWAppPropertiesTest, UnavailableProgramDataFailsTheLoad) {
    ETWAppProperties properties(std::make_shared<FailingShell>());
    std::wstring folder = L"unchanged";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), properties.GetProgramDataFolder(folder));
    EXPECT_EQ(L"unchanged", folder);
    EXPECT_FALSE(properties.LoadConfiguration(nullptr));
    EXPECT_EQ(L"NGX", properties.ProductTag());
    EXPECT_EQ(L"", properties.ProviderKeyPath());
}

TEST(ETWAppPropertiesTest, FixedNames) {
    ETWAppProperties properties;
    EXPECT_EQ(L"hvlogs.etl", properties.GetEtlFileName());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging", properties.GetConfigRootPath());
    EXPECT_EQ(L"SOFTWARE\\Halvik.logging\\", properties.GetKeyPath(nullptr));
}

}  // namespace
