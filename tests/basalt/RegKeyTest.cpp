#include "basalt/RegKey.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

#include "basalt/UniqueHandle.h"
#include "tests/support/TestSupport.h"

using Basalt::CRegKey;
using Basalt::UniqueHkey;
using TestSupport::ScratchRegistryKey;

namespace {

// {6B29FC40-CA47-1067-B31D-00DD010662DA}
constexpr GUID kSampleGuid = {
    0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0x00, 0xdd, 0x01, 0x06, 0x62, 0xda}};

class RegKeyTest : public ::testing::Test {
  protected:
    RegKeyTest() : scratch_(L"RegKey") {}

    // Writes a value directly, bypassing the class under test.
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD byteCount) {
        ASSERT_EQ(::RegSetValueExW(scratch_.handle(), name, 0, type, static_cast<const BYTE*>(data),
                                   byteCount),
                  ERROR_SUCCESS);
    }

    // The stored type and byte count of a value, bypassing the class under test.
    DWORD RawSize(const wchar_t* name, DWORD* type = nullptr) {
        DWORD byteCount = 0;
        ::RegQueryValueExW(scratch_.handle(), name, nullptr, type, nullptr, &byteCount);
        return byteCount;
    }

    bool SubKeyExists(const std::wstring& path) {
        UniqueHkey key;
        return ::RegOpenKeyExW(scratch_.handle(), path.c_str(), 0, KEY_QUERY_VALUE, key.put()) ==
               ERROR_SUCCESS;
    }

    void OpenScratch(CRegKey& key) {
        ASSERT_EQ(key.Open(scratch_.root(), scratch_.path().c_str()), ERROR_SUCCESS);
    }

    ScratchRegistryKey scratch_;
};

TEST_F(RegKeyTest, CloseOnClosedKeyReturnsZeroAndCloseTwiceIsHarmless) {
    CRegKey key;
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    OpenScratch(key);
    EXPECT_NE(key.GetHandle(), nullptr);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(key.GetHandle(), nullptr);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, OpenFailureKeepsOldHandle) {
    CRegKey key;
    OpenScratch(key);
    const HKEY before = key.GetHandle();
    key.SetDeleteOnClose(true);
    const std::wstring missing = scratch_.path() + L"\\Missing";
    EXPECT_EQ(key.Open(scratch_.root(), missing.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.GetHandle(), before);
    EXPECT_TRUE(key.IsDeleteOnClose());
    key.SetDeleteOnClose(false);
    EXPECT_EQ(key.SetDWORDValue(L"Still", 7), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"Still", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
}

TEST_F(RegKeyTest, CreateReportsDispositionAndFailureKeepsOldHandle) {
    CRegKey key;
    DWORD disposition = 99;
    ASSERT_EQ(key.Create(scratch_.handle(), L"Made", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(key.Create(scratch_.handle(), L"Made", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    const HKEY before = key.GetHandle();
    disposition = 99;
    EXPECT_NE(key.Create(nullptr, L"Made", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                         nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 0u);
    EXPECT_EQ(key.GetHandle(), before);
    EXPECT_EQ(key.SetDWORDValue(L"Usable", 1), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, TypedValuesRoundTripWithTheirTypes) {
    CRegKey key;
    OpenScratch(key);
    ASSERT_EQ(key.SetDWORDValue(L"Dword", 0x12345678), ERROR_SUCCESS);
    ASSERT_EQ(key.SetQWORDValue(L"Qword", 0x1122334455667788ull), ERROR_SUCCESS);
    const BYTE blob[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(key.SetBinaryValue(L"Blob", blob, sizeof(blob)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"Text", L"hello"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"Expand", L"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);

    DWORD type = 0;
    EXPECT_EQ(RawSize(L"Text", &type), 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RawSize(L"Expand", &type), 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));

    DWORD dword = 0;
    ULONGLONG qword = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"Dword", dword), ERROR_SUCCESS);
    EXPECT_EQ(dword, 0x12345678u);
    EXPECT_EQ(key.QueryQWORDValue(L"Qword", qword), ERROR_SUCCESS);
    EXPECT_EQ(qword, 0x1122334455667788ull);
    BYTE read[8] = {};
    DWORD byteCount = sizeof(read);
    EXPECT_EQ(key.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_SUCCESS);
    EXPECT_EQ(byteCount, 5u);
    EXPECT_EQ(memcmp(read, blob, sizeof(blob)), 0);
    std::wstring text;
    EXPECT_EQ(key.QueryStringValue(L"Text", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"hello");
    EXPECT_EQ(key.QueryStringValue(L"Expand", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%TEMP%");
}

TEST_F(RegKeyTest, TypedReadsRejectOtherTypesMissingValuesAndSmallBuffers) {
    CRegKey key;
    OpenScratch(key);
    // Four bytes, so that the type check, not the buffer size, decides.
    ASSERT_EQ(key.SetStringValue(L"Text", L"1"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"LongText", L"12345"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"Dword", 5), ERROR_SUCCESS);
    const BYTE blob[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(key.SetBinaryValue(L"Blob", blob, sizeof(blob)), ERROR_SUCCESS);

    DWORD dword = 42;
    ULONGLONG qword = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"Text", dword), ERROR_INVALID_DATA);
    EXPECT_EQ(dword, 42u);
    EXPECT_EQ(key.QueryDWORDValue(L"LongText", dword), ERROR_MORE_DATA);
    EXPECT_EQ(key.QueryDWORDValue(L"Missing", dword), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.QueryQWORDValue(L"Dword", qword), ERROR_INVALID_DATA);
    BYTE read[4] = {};
    DWORD byteCount = sizeof(read);
    EXPECT_EQ(key.QueryBinaryValue(L"Dword", read, &byteCount), ERROR_INVALID_DATA);
    byteCount = 2;
    EXPECT_EQ(key.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 5u);
    std::wstring text = L"kept";
    EXPECT_EQ(key.QueryStringValue(L"Dword", text), ERROR_INVALID_DATA);
    EXPECT_EQ(key.QueryStringValue(L"Missing", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, L"kept");
}

TEST_F(RegKeyTest, ClosedKeyAndNullArgumentsGiveTheirCodes) {
    CRegKey key;
    DWORD dword = 0;
    ULONGLONG qword = 0;
    std::wstring text;
    wchar_t buffer[8];
    DWORD count = 8;
    EXPECT_EQ(key.QueryDWORDValue(L"x", dword), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryQWORDValue(L"x", qword), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryBinaryValue(L"x", buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryStringValue(L"x", text), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryStringValue(L"x", buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Flush(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.EnumKey(0, buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.NotifyChangeKeyValue(true, REG_NOTIFY_CHANGE_LAST_SET, nullptr, false),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.DeleteSubKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.RecurseDeleteKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.DeleteValue(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.GetKeySecurity(DACL_SECURITY_INFORMATION, buffer, &count),
              ERROR_INVALID_PARAMETER);
    SECURITY_DESCRIPTOR descriptor = {};
    EXPECT_EQ(key.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.GrantEveryoneFullAccess(false), ERROR_INVALID_PARAMETER);

    OpenScratch(key);
    EXPECT_EQ(key.SetValue(L"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.SetValue(L"x", REG_BINARY, buffer, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.SetStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key.SetMultiStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key.DeleteValue(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.DeleteSubKey(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.GetKeySecurity(DACL_SECURITY_INFORMATION, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryBinaryValue(L"x", buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.EnumKey(0, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegKeyTest, StringReadsFollowTerminationRules) {
    CRegKey key;
    OpenScratch(key);
    SetRaw(L"Zero", REG_SZ, L"", 0);
    SetRaw(L"Empty", REG_SZ, L"", 2);
    // The registry adds a terminator the caller forgot to count when one
    // follows the data, so the unterminated text is followed by a letter.
    SetRaw(L"Unterminated", REG_SZ, L"abcd", 6);
    SetRaw(L"Odd", REG_SZ, "a\0b", 3);
    ASSERT_EQ(key.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);

    wchar_t buffer[16];
    DWORD count = 16;
    wmemset(buffer, L'x', 16);
    EXPECT_EQ(key.QueryStringValue(L"Zero", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], L'\0');
    count = 16;
    wmemset(buffer, L'x', 16);
    EXPECT_EQ(key.QueryStringValue(L"Empty", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], L'\0');
    count = 16;
    EXPECT_EQ(key.QueryStringValue(L"Unterminated", buffer, &count), ERROR_INVALID_DATA);
    EXPECT_EQ(count, 0u);
    count = 16;
    EXPECT_EQ(key.QueryStringValue(L"Odd", buffer, &count), ERROR_INVALID_DATA);

    count = 0;
    EXPECT_EQ(key.QueryStringValue(L"Text", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 4u);
    count = 3;
    EXPECT_EQ(key.QueryStringValue(L"Text", buffer, &count), ERROR_MORE_DATA);
    count = 4;
    EXPECT_EQ(key.QueryStringValue(L"Text", buffer, &count), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, L"abc");

    std::wstring text = L"kept";
    EXPECT_EQ(key.QueryStringValue(L"Unterminated", text), ERROR_INVALID_DATA);
    EXPECT_EQ(text, L"kept");
    EXPECT_EQ(key.QueryStringValue(L"Zero", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"");

    // An odd byte count is sized with room for every byte, so the read that
    // follows is refused as malformed rather than as too small.
    count = 0;
    EXPECT_EQ(key.QueryStringValue(L"Odd", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(key.QueryStringValue(L"Odd", text), ERROR_INVALID_DATA);
    EXPECT_EQ(text, L"");
}

TEST_F(RegKeyTest, MultiStringsFollowTerminationRules) {
    CRegKey key;
    OpenScratch(key);
    ASSERT_EQ(key.SetMultiStringValue(L"One", L"a\0"), ERROR_SUCCESS);
    EXPECT_EQ(RawSize(L"One"), 6u);
    ASSERT_EQ(key.SetMultiStringValue(L"Two", L"ab\0cd\0"), ERROR_SUCCESS);
    EXPECT_EQ(RawSize(L"Two"), 14u);
    ASSERT_EQ(key.SetMultiStringValue(L"None", L""), ERROR_SUCCESS);
    EXPECT_EQ(RawSize(L"None"), 2u);
    SetRaw(L"Single", REG_MULTI_SZ, L"ab", 6);  // one terminator only
    SetRaw(L"Short", REG_MULTI_SZ, L"", 0);
    ASSERT_EQ(key.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);

    wchar_t buffer[16];
    DWORD count = 1;
    EXPECT_EQ(key.QueryMultiStringValue(L"Two", buffer, &count), ERROR_INSUFFICIENT_BUFFER);
    CRegKey closed;
    EXPECT_EQ(closed.QueryMultiStringValue(L"Two", buffer, &count), ERROR_INSUFFICIENT_BUFFER);

    count = 0;
    EXPECT_EQ(key.QueryMultiStringValue(L"Two", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 7u);
    count = 16;
    EXPECT_EQ(key.QueryMultiStringValue(L"Two", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(memcmp(buffer, L"ab\0cd\0", 14), 0);
    count = 16;
    EXPECT_EQ(key.QueryMultiStringValue(L"None", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    count = 16;
    EXPECT_EQ(key.QueryMultiStringValue(L"Single", buffer, &count), ERROR_INVALID_DATA);
    count = 16;
    EXPECT_EQ(key.QueryMultiStringValue(L"Short", buffer, &count), ERROR_INVALID_DATA);
    count = 16;
    EXPECT_EQ(key.QueryMultiStringValue(L"Text", buffer, &count), ERROR_INVALID_DATA);
    count = 3;
    EXPECT_EQ(key.QueryMultiStringValue(L"Two", buffer, &count), ERROR_MORE_DATA);
}

TEST_F(RegKeyTest, GuidValuesRoundTripAndBadTextLeavesGuidZeroed) {
    CRegKey key;
    OpenScratch(key);
    ASSERT_EQ(key.SetGUIDValue(L"Guid", kSampleGuid), ERROR_SUCCESS);
    std::wstring text;
    EXPECT_EQ(key.QueryStringValue(L"Guid", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    GUID read = {};
    EXPECT_EQ(key.QueryGUIDValue(L"Guid", read), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(read, kSampleGuid));

    ASSERT_EQ(key.SetStringValue(L"NoBrace", L"6B29FC40-CA47-1067-B31D-00DD010662DA"),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"Garbage", L"{not a guid}"), ERROR_SUCCESS);
    read = kSampleGuid;
    EXPECT_EQ(key.QueryGUIDValue(L"NoBrace", read), ERROR_INVALID_DATA);
    EXPECT_TRUE(IsEqualGUID(read, GUID{}));
    read = kSampleGuid;
    EXPECT_EQ(key.QueryGUIDValue(L"Garbage", read), ERROR_INVALID_DATA);
    EXPECT_TRUE(IsEqualGUID(read, GUID{}));
    read = kSampleGuid;
    EXPECT_EQ(key.QueryGUIDValue(L"Missing", read), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(IsEqualGUID(read, GUID{}));
}

// Windows' SHDeleteKeyW with "" removes the key itself too; Wine keeps the
// (emptied) key. Both remove every value and subkey, which is what is asserted.
TEST_F(RegKeyTest, DeleteOnCloseRemovesTheSubtree) {
    CRegKey setup;
    ASSERT_EQ(setup.Create(scratch_.handle(), L"Doomed\\Child\\Grandchild"), ERROR_SUCCESS);
    ASSERT_EQ(setup.Open(scratch_.handle(), L"Doomed"), ERROR_SUCCESS);
    ASSERT_EQ(setup.SetDWORDValue(L"Value", 1), ERROR_SUCCESS);
    setup.SetDeleteOnClose(true);
    EXPECT_TRUE(setup.IsDeleteOnClose());
    EXPECT_EQ(setup.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(setup.IsDeleteOnClose());
    EXPECT_FALSE(SubKeyExists(L"Doomed\\Child"));
    if (SubKeyExists(L"Doomed")) {
        EXPECT_EQ(::RegQueryValueExW(scratch_.handle(), L"Doomed\\Value", nullptr, nullptr, nullptr,
                                     nullptr),
                  ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(RegKeyTest, OpenWithDeleteOnCloseDeletesOldSubtreeFirst) {
    CRegKey key;
    ASSERT_EQ(key.Create(scratch_.handle(), L"Old\\Child"), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(scratch_.handle(), L"New"), ERROR_SUCCESS);
    ASSERT_EQ(key.Open(scratch_.handle(), L"Old"), ERROR_SUCCESS);
    key.SetDeleteOnClose(true);
    ASSERT_EQ(key.Open(scratch_.handle(), L"New"), ERROR_SUCCESS);
    EXPECT_FALSE(key.IsDeleteOnClose());
    EXPECT_FALSE(SubKeyExists(L"Old\\Child"));
    EXPECT_TRUE(SubKeyExists(L"New"));
}

TEST_F(RegKeyTest, DetachHandsOverAndAttachAdopts) {
    CRegKey key;
    OpenScratch(key);
    key.SetDeleteOnClose(true);
    UniqueHkey detached(key.Detach());
    EXPECT_EQ(key.GetHandle(), nullptr);
    EXPECT_FALSE(key.IsDeleteOnClose());
    ASSERT_TRUE(detached);

    CRegKey other;
    other.Attach(detached.release());
    EXPECT_NE(other.GetHandle(), nullptr);
    EXPECT_FALSE(other.IsDeleteOnClose());
    EXPECT_EQ(other.SetDWORDValue(L"Attached", 3), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(other.QueryDWORDValue(L"Attached", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 3u);
}

TEST_F(RegKeyTest, DestructionClosesHandleEvenWhenImplementationIsShared) {
    auto impl = std::make_shared<Basalt::internal::CRegKeyImpl>();
    {
        CRegKey key(impl);
        OpenScratch(key);
        EXPECT_EQ(impl->GetHandle(), key.GetHandle());
    }
    EXPECT_EQ(impl->GetHandle(), nullptr);

    HKEY raw = nullptr;
    {
        CRegKey key;
        OpenScratch(key);
        raw = key.GetHandle();
    }
    DWORD byteCount = 0;
    EXPECT_EQ(::RegQueryValueExW(raw, L"x", nullptr, nullptr, nullptr, &byteCount),
              ERROR_INVALID_HANDLE);
}

TEST_F(RegKeyTest, EnumKeyListsSubkeys) {
    CRegKey key;
    ASSERT_EQ(key.Create(scratch_.handle(), L"Enum\\Beta"), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(scratch_.handle(), L"Enum\\Alpha"), ERROR_SUCCESS);
    ASSERT_EQ(key.Open(scratch_.handle(), L"Enum"), ERROR_SUCCESS);
    wchar_t name[32];
    DWORD count = 32;
    EXPECT_EQ(key.EnumKey(0, name, &count), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Alpha");
    count = 32;
    FILETIME written = {};
    EXPECT_EQ(key.EnumKey(1, name, &count, &written), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Beta");
    count = 32;
    EXPECT_EQ(key.EnumKey(2, name, &count), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesADeepTree) {
    std::wstring path = L"Tree";
    for (int depth = 0; depth < 12; ++depth) {
        path += L"\\Level" + std::to_wstring(depth);
        CRegKey sibling;
        ASSERT_EQ(sibling.Create(scratch_.handle(), (path + L"Sibling\\Leaf").c_str()),
                  ERROR_SUCCESS);
        ASSERT_EQ(sibling.SetDWORDValue(L"Value", depth), ERROR_SUCCESS);
    }
    CRegKey key;
    OpenScratch(key);
    EXPECT_EQ(key.RecurseDeleteKey(L"Tree"), ERROR_SUCCESS);
    EXPECT_FALSE(SubKeyExists(L"Tree"));
    EXPECT_EQ(key.RecurseDeleteKey(L"Tree"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.RecurseDeleteKey(nullptr), ERROR_INVALID_PARAMETER);
}

// A key whose DACL denies listing its subkeys cannot be opened for the
// recursive delete; that error is returned and the rest of the tree stays.
// (A denied DELETE would do the same on Windows, but Wine does not check it.)
TEST_F(RegKeyTest, RecurseDeleteKeyStopsAtAKeyThatCannotBeDeleted) {
    CRegKey setup;
    ASSERT_EQ(setup.Create(scratch_.handle(), L"Guarded\\A\\Locked"), ERROR_SUCCESS);
    ASSERT_EQ(setup.Create(scratch_.handle(), L"Guarded\\B"), ERROR_SUCCESS);
    ASSERT_EQ(setup.Open(scratch_.handle(), L"Guarded\\A\\Locked", KEY_ALL_ACCESS), ERROR_SUCCESS);
    // Deny KEY_ENUMERATE_SUB_KEYS to Everyone, allow everything else.
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    BYTE aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_TRUE(::InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION));
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    Basalt::UniqueSid everyone;
    ASSERT_TRUE(::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                           everyone.put()));
    ASSERT_TRUE(::AddAccessDeniedAce(acl, ACL_REVISION, KEY_ENUMERATE_SUB_KEYS, everyone.get()));
    ASSERT_TRUE(::AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone.get()));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    ASSERT_EQ(setup.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
    setup.Close();

    CRegKey key;
    OpenScratch(key);
    const LONG result = key.RecurseDeleteKey(L"Guarded");
    const bool locked = SubKeyExists(L"Guarded\\A\\Locked");

    // Lift the guard so that the scratch key can go.
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    if (setup.Open(scratch_.handle(), L"Guarded\\A\\Locked", WRITE_DAC) == ERROR_SUCCESS) {
        setup.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor);
    }
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(locked);
    EXPECT_TRUE(SubKeyExists(L"Guarded\\B"));
}

TEST_F(RegKeyTest, DeleteSubKeyAndValue) {
    CRegKey key;
    ASSERT_EQ(key.Create(scratch_.handle(), L"Gone"), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(scratch_.handle(), L"Parent\\Child"), ERROR_SUCCESS);
    OpenScratch(key);
    ASSERT_EQ(key.SetDWORDValue(L"Value", 1), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteSubKey(L"Gone"), ERROR_SUCCESS);
    EXPECT_FALSE(SubKeyExists(L"Gone"));
    EXPECT_NE(key.DeleteSubKey(L"Parent"), ERROR_SUCCESS);  // has a child
    EXPECT_TRUE(SubKeyExists(L"Parent\\Child"));
    EXPECT_EQ(key.DeleteValue(L"Value"), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteValue(L"Value"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, FlushAndKeySecurityWorkOnAnOpenKey) {
    CRegKey key;
    OpenScratch(key);
    EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
    DWORD byteCount = 0;
    EXPECT_EQ(key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &byteCount),
              ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(byteCount, 0u);
    std::unique_ptr<BYTE[]> descriptor(new BYTE[byteCount]);
    EXPECT_EQ(key.GetKeySecurity(DACL_SECURITY_INFORMATION, descriptor.get(), &byteCount),
              ERROR_SUCCESS);
    EXPECT_EQ(key.SetKeySecurity(DACL_SECURITY_INFORMATION, descriptor.get()), ERROR_SUCCESS);
}

// The 32-bit view of HKEY_LOCAL_MACHINE\Software is a separate tree; a key
// opened in that view deletes its subkeys in that view.
class RegKeyViewTest : public ::testing::Test {
  protected:
    static constexpr const wchar_t* kPath = L"Software\\GatesvcTests\\RegKeyView";
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPath) + L"\\Child").c_str(), view,
                              0);
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPath, view, 0);
        }
    }
};

TEST_F(RegKeyViewTest, DeleteSubKeyKeepsTheViewOfItsOpen) {
    CRegKey key64, key32;
    ASSERT_EQ(key64.Create(HKEY_LOCAL_MACHINE, kPath, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY),
              ERROR_SUCCESS);
    ASSERT_EQ(key32.Create(HKEY_LOCAL_MACHINE, kPath, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    CRegKey child;
    ASSERT_EQ(child.Create(key64.GetHandle(), L"Child"), ERROR_SUCCESS);
    ASSERT_EQ(child.Create(key32.GetHandle(), L"Child"), ERROR_SUCCESS);
    child.Close();

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kPath, KEY_ALL_ACCESS | KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteSubKey(L"Child"), ERROR_SUCCESS);
    EXPECT_EQ(child.Open(key32.GetHandle(), L"Child", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(child.Open(key64.GetHandle(), L"Child", KEY_READ), ERROR_SUCCESS);
}

}  // namespace
