// Everyone's full access to registry keys, against Wine's real key security.
#include "basalt/Security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "basalt/RegKey.h"
#include "tests/support/TestSupport.h"

using namespace Basalt;

namespace {

// The key's DACL as SDDL text, e.g. "D:(A;OICI;GA;;;WD)"; empty when it cannot be read.
std::wstring DaclText(HKEY key) {
    DWORD size = 0;
    ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size + 1);
    UniqueLocal text;
    if (::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) != 0 ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<LPWSTR*>(text.put()), nullptr)) {
        return L"";
    }
    return static_cast<const wchar_t*>(text.get());
}

// Everyone allowed everything (GENERIC_ALL as given, or mapped to the key's rights),
// inherited by subkeys and objects.
bool EveryoneHasFullAccess(HKEY key) {
    const std::wstring dacl = DaclText(key);
    return dacl.find(L"(A;OICI;GA;;;WD)") != std::wstring::npos ||
           dacl.find(L"(A;OICI;KA;;;WD)") != std::wstring::npos;
}

class KeySecurity : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(key_.Open(HKEY_CURRENT_USER, scratch_.path().c_str()), 0);
        ASSERT_EQ(child_.Create(key_.GetHandle(), L"child"), 0);
        ASSERT_EQ(grandchild_.Create(child_.GetHandle(), L"grandchild"), 0);
        ASSERT_FALSE(EveryoneHasFullAccess(key_.GetHandle())) << DaclText(key_.GetHandle());
    }

    TestSupport::ScratchRegistryKey scratch_{L"Security"};
    CRegKey key_, child_, grandchild_;
};

TEST_F(KeySecurity, WithoutRecursionOnlyTheKeyChanges) {
    EXPECT_EQ(key_.GrantEveryoneFullAccess(false), 0);
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle())) << DaclText(key_.GetHandle());
    EXPECT_FALSE(EveryoneHasFullAccess(child_.GetHandle())) << DaclText(child_.GetHandle());
    CRegKey closed;
    EXPECT_EQ(closed.GrantEveryoneFullAccess(false), ERROR_INVALID_PARAMETER);
}

TEST_F(KeySecurity, RecursionReachesEveryKeyBelow) {
    EXPECT_EQ(key_.GrantEveryoneFullAccess(true), 0);
    for (const CRegKey* key : {&key_, &child_, &grandchild_}) {
        EXPECT_TRUE(EveryoneHasFullAccess(key->GetHandle())) << DaclText(key->GetHandle());
    }
}

TEST_F(KeySecurity, OtherTrusteesKeepTheirEntries) {
    UniqueLocal readOnly;  // Administrators may read
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;;KR;;;BA)", SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(readOnly.put()),
        nullptr));
    ASSERT_EQ(::RegSetKeySecurity(key_.GetHandle(), DACL_SECURITY_INFORMATION, readOnly.get()), 0);
    EXPECT_EQ(key_.GrantEveryoneFullAccess(false), 0);
    const std::wstring dacl = DaclText(key_.GetHandle());
    EXPECT_NE(dacl.find(L"(A;;KR;;;BA)"), std::wstring::npos) << dacl;
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle())) << dacl;
}

TEST_F(KeySecurity, LibraryLackingTheFunctionsGivesFileNotFound) {
    // kernel32.dll has none of SetEntriesInAclW and its fellows.
    for (const wchar_t* library : {L"kernel32.dll", L"no-such-library.dll"}) {
        EXPECT_EQ(GrantEveryoneFullAccessToKey(key_.GetHandle(), false, library),
                  ERROR_FILE_NOT_FOUND)
            << library;
    }
    EXPECT_FALSE(EveryoneHasFullAccess(key_.GetHandle()));
}

TEST(Advapi32API, BindsAllTwentySixFromTheSystemFolder) {
    Advapi32API api, unbound;
    EXPECT_TRUE(api.IsNTPlatform());
    EXPECT_TRUE(api.LoadFunctions());
    EXPECT_TRUE(api.LoadFunctions());  // bound once, checked again
    DWORD size = 0;
    EXPECT_EQ(
        unbound.RegGetKeySecurity(HKEY_CURRENT_USER, DACL_SECURITY_INFORMATION, nullptr, &size),
        ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(unbound.InitializeSecurityDescriptor(nullptr, 1));
    EXPECT_EQ(LoadSystemLibrary(nullptr, 0), nullptr);
}

}  // namespace
