// Everyone's full access to registry keys, against Wine's real key security.
#include "basalt/Security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "basalt/RegKey.h"
#include "basalt/SystemLibrary.h"
#include "tests/support/BasaltTestSupport.h"

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

// A self-relative descriptor made from SDDL text.
UniqueLocal Descriptor(const wchar_t* sddl) {
    UniqueLocal descriptor;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr);
    return descriptor;
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
    // Administrators may read.
    ASSERT_EQ(key_.SetKeySecurity(DACL_SECURITY_INFORMATION, Descriptor(L"D:(A;;KR;;;BA)").get()),
              0);
    EXPECT_EQ(key_.GrantEveryoneFullAccess(false), 0);
    const std::wstring dacl = DaclText(key_.GetHandle());
    EXPECT_NE(dacl.find(L"(A;;KR;;;BA)"), std::wstring::npos) << dacl;
    EXPECT_TRUE(EveryoneHasFullAccess(key_.GetHandle())) << dacl;
}

// A key whose DACL is empty (a 28-byte descriptor) or null (20 bytes) reports less than an
// absolute descriptor takes on x64. The test program runs with Wine's heap checks
// (WINEDEBUG=warn+heap), which catch a write past the block the descriptor is read into.
TEST_F(KeySecurity, EmptyOrNullDaclIsReplacedWithoutWritingPastItsBuffer) {
    ACL empty;
    ASSERT_TRUE(::InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
    const struct {
        const char* name;
        PACL dacl;
    } cases[] = {{"empty DACL", &empty}, {"null DACL", nullptr}};
    for (const auto& c : cases) {
        SECURITY_DESCRIPTOR descriptor;
        ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, c.dacl, FALSE));
        ASSERT_EQ(child_.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor), 0) << c.name;
        EXPECT_EQ(child_.GrantEveryoneFullAccess(false), 0) << c.name;
        EXPECT_TRUE(EveryoneHasFullAccess(child_.GetHandle())) << c.name;
        EXPECT_TRUE(::HeapValidate(::GetProcessHeap(), 0, nullptr)) << c.name;
    }
}

// A subkey that does not open with KEY_ALL_ACCESS (here Everyone may not set its values) is
// passed over, and the walk goes on to the keys after it.
TEST_F(KeySecurity, RecursionPassesOverASubkeyThatCannotBeOpened) {
    CRegKey locked;  // enumerated before "child"
    ASSERT_EQ(locked.Create(key_.GetHandle(), L"a-locked"), 0);
    ASSERT_EQ(locked.SetKeySecurity(DACL_SECURITY_INFORMATION,
                                    Descriptor(L"D:(D;;0x2;;;WD)(A;;KA;;;WD)").get()),
              0);
    const std::wstring lockedDacl = DaclText(locked.GetHandle());

    EXPECT_EQ(key_.GrantEveryoneFullAccess(true), 0);
    EXPECT_EQ(DaclText(locked.GetHandle()), lockedDacl);
    EXPECT_TRUE(EveryoneHasFullAccess(grandchild_.GetHandle()))
        << DaclText(grandchild_.GetHandle());
    // Let the scratch key's removal in.
    EXPECT_EQ(locked.SetKeySecurity(DACL_SECURITY_INFORMATION, Descriptor(L"D:(A;;KA;;;WD)").get()),
              0);
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

TEST(AdministratorsDacl, GrantsTheAccessToLocalSystemAndAdministratorsAlone) {
    Advapi32API api;
    ASSERT_TRUE(api.LoadFunctions());
    const struct {
        DWORD access;
        DWORD inheritance;
        const wchar_t* dacl;
    } kCases[] = {
        {SYNCHRONIZE | MUTEX_MODIFY_STATE, NO_INHERITANCE,
         L"D:(A;;0x100001;;;SY)(A;;0x100001;;;BA)"},
        {GENERIC_ALL, SUB_CONTAINERS_AND_OBJECTS_INHERIT, L"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)"},
    };
    for (const auto& entry : kCases) {
        UniqueLocal acl;
        UniqueLocal descriptor;
        ASSERT_EQ(BuildAdministratorsDacl(api, entry.access, entry.inheritance, acl, descriptor),
                  0);
        UniqueLocal text;
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<LPWSTR*>(text.put()), nullptr));
        EXPECT_STREQ(entry.dacl, static_cast<const wchar_t*>(text.get()));
    }
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
