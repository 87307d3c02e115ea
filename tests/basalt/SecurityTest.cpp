// Everyone's full access to registry keys, against Wine's real key security.
#include "basalt/Security.h"

#include <gtest/gtest.h>

#include <vector>

#include "basalt/RegKey.h"
#include "tests/support/TestSupport.h"

using namespace Basalt;
using TestSupport::ScratchRegistryKey;

namespace {

// The access mask and flags of the key's first access-allowed entry for the
// SID `wellKnown`; false when the DACL has none.
bool FindAllowedEntry(HKEY key, WELL_KNOWN_SID_TYPE wellKnown, ACCESS_MASK& mask, BYTE& flags) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    if (!::CreateWellKnownSid(wellKnown, nullptr, sid, &sidSize)) return false;
    DWORD size = 0;
    ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 ||
        ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) != 0) {
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !dacl) {
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        if (::EqualSid(&allowed->SidStart, sid)) {
            mask = allowed->Mask;
            flags = allowed->Header.AceFlags;
            return true;
        }
    }
    return false;
}

bool EveryoneHasFullAccess(HKEY key) {
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
    if (!FindAllowedEntry(key, WinWorldSid, mask, flags)) return false;
    // GENERIC_ALL as given, or mapped to the key's specific rights.
    const bool full = (mask & GENERIC_ALL) != 0 || (mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
    const bool inherited = (flags & CONTAINER_INHERIT_ACE) && (flags & OBJECT_INHERIT_ACE);
    return full && inherited;
}

class KeySecurity : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(key_.Open(HKEY_CURRENT_USER, scratch_.path().c_str()), 0);
        ASSERT_EQ(child_.Create(key_.GetHandle(), L"child"), 0);
        ASSERT_EQ(grandchild_.Create(child_.GetHandle(), L"grandchild"), 0);
    }

    ScratchRegistryKey scratch_{L"Security"};
    CRegKey key_, child_, grandchild_;
};

TEST_F(KeySecurity, ClosedKeyIsRefused) {
    CRegKey closed;
    EXPECT_EQ(closed.GrantEveryoneFullAccess(false), ERROR_INVALID_PARAMETER);
}

TEST_F(KeySecurity, WithoutRecursionOnlyTheKeyChanges) {
    ASSERT_FALSE(EveryoneHasFullAccess(child_.GetHandle()));
    EXPECT_EQ(key_.GrantEveryoneFullAccess(false), 0);
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle()));
    EXPECT_FALSE(EveryoneHasFullAccess(child_.GetHandle()));
}

TEST_F(KeySecurity, RecursionReachesEveryKeyBelow) {
    EXPECT_EQ(key_.GrantEveryoneFullAccess(true), 0);
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle()));
    EXPECT_TRUE(EveryoneHasFullAccess(child_.GetHandle()));
    EXPECT_TRUE(EveryoneHasFullAccess(grandchild_.GetHandle()));
}

TEST_F(KeySecurity, OtherTrusteesKeepTheirEntries) {
    // Give Administrators an entry of their own first.
    UniqueSid admins;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                           DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                           admins.put()));
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = KEY_READ;
    entry.grfAccessMode = SET_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(admins.get());
    PACL acl = nullptr;
    ASSERT_EQ(::SetEntriesInAclW(1, &entry, nullptr, &acl), 0u);
    UniqueLocal aclOwner(acl);
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    ASSERT_EQ(::RegSetKeySecurity(key_.GetHandle(), DACL_SECURITY_INFORMATION, &descriptor), 0);

    EXPECT_EQ(key_.GrantEveryoneFullAccess(false), 0);
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
    EXPECT_TRUE(FindAllowedEntry(key_.GetHandle(), WinBuiltinAdministratorsSid, mask, flags));
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle()));
}

TEST_F(KeySecurity, LibraryLackingTheFunctionsGivesFileNotFound) {
    // kernel32.dll has none of SetEntriesInAclW and its fellows.
    EXPECT_EQ(GrantEveryoneFullAccessToKey(key_.GetHandle(), false, L"kernel32.dll"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GrantEveryoneFullAccessToKey(key_.GetHandle(), false, L"no-such-library.dll"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(EveryoneHasFullAccess(key_.GetHandle()));
}

TEST(Advapi32API, BindsAllTwentySixFromTheSystemFolder) {
    Advapi32API api;
    EXPECT_TRUE(api.IsNTPlatform());
    EXPECT_TRUE(api.LoadFunctions());
    EXPECT_TRUE(api.LoadFunctions());  // bound once, checked again
    Advapi32API unbound;
    DWORD size = 0;
    EXPECT_EQ(unbound.RegGetKeySecurity(HKEY_CURRENT_USER, DACL_SECURITY_INFORMATION, nullptr,
                                        &size),
              ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(unbound.InitializeSecurityDescriptor(nullptr, 1));
    EXPECT_EQ(LoadSystemLibrary(nullptr, 0), nullptr);
}

}  // namespace
