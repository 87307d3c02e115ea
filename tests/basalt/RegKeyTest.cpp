// CRegKey against Wine's real registry, below a scratch key that each test removes.
#include "basalt/RegKey.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <string.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "basalt/UniqueHandle.h"
#include "tests/support/BasaltTestSupport.h"

using Basalt::CRegKey;
using Basalt::UniqueHkey;

namespace {

constexpr DWORD kAny = ~0u;  // a table's "not checked"
constexpr BYTE kBlob[] = {1, 2, 3, 4, 5};
const GUID kSampleGuid = {
    0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0x00, 0xdd, 0x01, 0x06, 0x62, 0xda}};

class RegKeyTest : public ::testing::Test {
  protected:
    RegKeyTest() : scratch_(L"RegKey") { EXPECT_EQ(OpenScratch(key_), ERROR_SUCCESS); }

    LONG OpenScratch(CRegKey& key) { return key.Open(scratch_.root(), scratch_.path().c_str()); }

    // Writes a value directly, bypassing the class under test.
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD byteCount) {
        ASSERT_EQ(::RegSetValueExW(scratch_.handle(), name, 0, type, static_cast<const BYTE*>(data),
                                   byteCount),
                  ERROR_SUCCESS);
    }

    // The stored byte count (and type) of a value, bypassing the class under test.
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

    // One value of each type: Dword, Qword, Blob (kBlob), Text, Expand, and Four, a string of
    // four bytes, the size of a DWORD, whose type decides how it reads.
    void SetTypedValues() {
        ASSERT_EQ(key_.SetDWORDValue(L"Dword", 0x12345678), ERROR_SUCCESS);
        ASSERT_EQ(key_.SetQWORDValue(L"Qword", 0x1122334455667788ull), ERROR_SUCCESS);
        ASSERT_EQ(key_.SetBinaryValue(L"Blob", kBlob, sizeof(kBlob)), ERROR_SUCCESS);
        ASSERT_EQ(key_.SetStringValue(L"Text", L"hello"), ERROR_SUCCESS);
        ASSERT_EQ(key_.SetStringValue(L"Expand", L"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);
        ASSERT_EQ(key_.SetStringValue(L"Four", L"1"), ERROR_SUCCESS);
    }

    void CreateKeys(std::initializer_list<const wchar_t*> paths) {
        for (const wchar_t* path : paths) {
            CRegKey key;
            ASSERT_EQ(key.Create(scratch_.handle(), path), ERROR_SUCCESS) << path;
        }
    }

    TestSupport::ScratchRegistryKey scratch_;
    CRegKey key_;  // the scratch key, open
};

TEST_F(RegKeyTest, CloseOfAClosedKeySucceeds) {
    CRegKey key;
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);  // never opened
    ASSERT_EQ(OpenScratch(key), ERROR_SUCCESS);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, DetachHandsOverTheHandleWithoutDeleteOnClose) {
    key_.SetDeleteOnClose(true);
    UniqueHkey detached(key_.Detach());
    EXPECT_NE(detached.get(), nullptr);
    EXPECT_EQ(key_.GetHandle(), nullptr);
    EXPECT_FALSE(key_.IsDeleteOnClose());
}

TEST_F(RegKeyTest, AttachTakesOverAHandle) {
    CRegKey attached;
    attached.Attach(key_.Detach());
    EXPECT_FALSE(attached.IsDeleteOnClose());
    EXPECT_EQ(attached.SetDWORDValue(L"Attached", 3), ERROR_SUCCESS);
    EXPECT_EQ(attached.Close(), ERROR_SUCCESS);
    EXPECT_EQ(RawSize(L"Attached"), 4u);
}

TEST_F(RegKeyTest, DestructionClosesTheHandleEvenWhileTheImplementationIsShared) {
    auto impl = std::make_shared<Basalt::internal::CRegKeyImpl>();
    HKEY raw = nullptr;
    {
        CRegKey shared(impl);
        ASSERT_EQ(OpenScratch(shared), ERROR_SUCCESS);
        raw = shared.GetHandle();
    }
    EXPECT_EQ(impl->GetHandle(), nullptr);
    DWORD byteCount = 0;
    EXPECT_EQ(::RegQueryValueExW(raw, L"x", nullptr, nullptr, nullptr, &byteCount),
              ERROR_INVALID_HANDLE);
}

TEST_F(RegKeyTest, CreateReportsTheDisposition) {
    CRegKey key;
    DWORD disposition = 99;
    for (DWORD expected : {REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}) {
        ASSERT_EQ(key.Create(scratch_.handle(), L"Made", nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, expected);
    }
}

TEST_F(RegKeyTest, FailedOpenOrCreateKeepsTheOldHandle) {
    CRegKey key;
    DWORD disposition = 99;
    ASSERT_EQ(key.Create(scratch_.handle(), L"Made"), ERROR_SUCCESS);
    const HKEY before = key.GetHandle();
    key.SetDeleteOnClose(true);
    const std::wstring missing = scratch_.path() + L"\\Missing";
    EXPECT_EQ(key.Open(scratch_.root(), missing.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(key.Create(nullptr, L"Made", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                         nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 0u);  // a failed Create reports none
    EXPECT_EQ(key.GetHandle(), before);
    EXPECT_TRUE(key.IsDeleteOnClose());
    EXPECT_EQ(key.SetDWORDValue(L"Still", 7), ERROR_SUCCESS);  // still open
}

TEST_F(RegKeyTest, TypedValuesRoundTrip) {
    ASSERT_NO_FATAL_FAILURE(SetTypedValues());
    DWORD type = 0;
    EXPECT_EQ(RawSize(L"Text", &type), 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RawSize(L"Expand", &type), 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));

    DWORD dword = 0, byteCount = 8;
    ULONGLONG qword = 0;
    BYTE read[8] = {};
    std::wstring text, expand;
    EXPECT_EQ(key_.QueryDWORDValue(L"Dword", dword), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryQWORDValue(L"Qword", qword), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryStringValue(L"Text", text), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryStringValue(L"Expand", expand), ERROR_SUCCESS);
    EXPECT_EQ(dword, 0x12345678u);
    EXPECT_EQ(qword, 0x1122334455667788ull);
    EXPECT_EQ(byteCount, 5u);
    EXPECT_EQ(memcmp(read, kBlob, sizeof(kBlob)), 0);
    EXPECT_EQ(text, L"hello");
    EXPECT_EQ(expand, L"%TEMP%");
}

// Another type gives ERROR_INVALID_DATA and leaves the output as it was.
TEST_F(RegKeyTest, TypedReadOfAnotherTypeFailsLeavingTheOutput) {
    ASSERT_NO_FATAL_FAILURE(SetTypedValues());
    DWORD dword = 7, byteCount = 8;
    ULONGLONG qword = 0;
    BYTE read[8] = {};
    std::wstring text = L"kept";
    EXPECT_EQ(key_.QueryDWORDValue(L"Four", dword), ERROR_INVALID_DATA);
    EXPECT_EQ(dword, 7u);
    EXPECT_EQ(key_.QueryQWORDValue(L"Dword", qword), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryBinaryValue(L"Dword", read, &byteCount), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryStringValue(L"Dword", text), ERROR_INVALID_DATA);
    EXPECT_EQ(text, L"kept");
}

TEST_F(RegKeyTest, TypedReadIntoTooSmallABufferGivesMoreDataWithTheSize) {
    ASSERT_NO_FATAL_FAILURE(SetTypedValues());
    DWORD dword = 0, byteCount = 2;
    BYTE read[8] = {};
    EXPECT_EQ(key_.QueryDWORDValue(L"Text", dword), ERROR_MORE_DATA);
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 5u);
}

TEST_F(RegKeyTest, TypedReadOfAMissingValueGivesFileNotFound) {
    DWORD dword = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Missing", dword), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, MisuseGivesTheMatchingCodes) {
    CRegKey closed;
    DWORD dword = 0, count = 8;
    ULONGLONG qword = 0;
    std::wstring text;
    wchar_t buffer[8];
    SECURITY_DESCRIPTOR descriptor = {};
    EXPECT_EQ(closed.QueryDWORDValue(L"x", dword), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.QueryQWORDValue(L"x", qword), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.QueryBinaryValue(L"x", buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.QueryStringValue(L"x", text), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.QueryStringValue(L"x", buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.Flush(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.EnumKey(0, buffer, &count), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.NotifyChangeKeyValue(true, REG_NOTIFY_CHANGE_LAST_SET, nullptr, false),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.DeleteSubKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.RecurseDeleteKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.DeleteValue(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.GetKeySecurity(DACL_SECURITY_INFORMATION, buffer, &count),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(closed.GrantEveryoneFullAccess(false), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, buffer, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.SetMultiStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.DeleteValue(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.DeleteSubKey(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.RecurseDeleteKey(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.GetKeySecurity(DACL_SECURITY_INFORMATION, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.QueryBinaryValue(L"x", buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.EnumKey(0, buffer, nullptr), ERROR_INVALID_PARAMETER);
    // And on an open key: Flush works, a security size query gives 122 and the size.
    EXPECT_EQ(key_.Flush(), ERROR_SUCCESS);
    EXPECT_EQ(key_.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &(count = 0)),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(count, 0u);
}

// Odd-sized and unterminated strings are refused as malformed, never read past.
TEST_F(RegKeyTest, StringReadsFollowTerminationRules) {
    SetRaw(L"Zero", REG_SZ, L"", 0);
    SetRaw(L"Empty", REG_SZ, L"", 2);
    // A letter follows, so the registry cannot supply the terminator the caller left out.
    SetRaw(L"Unterminated", REG_SZ, L"abcd", 6);
    SetRaw(L"Odd", REG_SZ, "a\0b", 3);
    ASSERT_EQ(key_.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);
    // room 0: a size query without a buffer. Where the buffer read is checked, so is the
    // std::wstring read: the same code, and the text kept as it was on failure.
    const struct {
        const wchar_t* name;
        DWORD room;
        LONG code;
        DWORD count;
        const wchar_t* text;
    } cases[] = {
        {L"Zero", 16, ERROR_SUCCESS, 0, L""},
        {L"Empty", 16, ERROR_SUCCESS, 1, L""},
        {L"Unterminated", 16, ERROR_INVALID_DATA, 0, nullptr},
        {L"Odd", 16, ERROR_INVALID_DATA, kAny, nullptr},
        {L"Text", 0, ERROR_SUCCESS, 4, nullptr},
        {L"Text", 3, ERROR_MORE_DATA, kAny, nullptr},
        {L"Text", 4, ERROR_SUCCESS, 4, L"abc"},
        // Sized with room for every byte, so the read that follows fails as malformed.
        {L"Odd", 0, ERROR_SUCCESS, 2, nullptr},
    };
    for (const auto& c : cases) {
        wchar_t buffer[17] = {};  // 16 for the read, then a zero for the check
        wmemset(buffer, L'x', 16);
        DWORD count = c.room;
        EXPECT_EQ(key_.QueryStringValue(c.name, c.room ? buffer : nullptr, &count), c.code)
            << c.name << " room " << c.room;
        EXPECT_EQ(count, c.count == kAny ? count : c.count) << c.name << " room " << c.room;
        EXPECT_STREQ(buffer, c.text ? c.text : buffer) << c.name;
        if (c.room == 0 || c.code == ERROR_MORE_DATA) continue;
        std::wstring text = L"kept";
        EXPECT_EQ(key_.QueryStringValue(c.name, text), c.code) << c.name;
        EXPECT_EQ(text, c.text ? c.text : L"kept") << c.name;
    }
}

TEST_F(RegKeyTest, MultiStringsFollowTerminationRules) {
    ASSERT_EQ(key_.SetMultiStringValue(L"One", L"a\0"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetMultiStringValue(L"Two", L"ab\0cd\0"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetMultiStringValue(L"None", L""), ERROR_SUCCESS);
    EXPECT_EQ(RawSize(L"One"), 6u);
    EXPECT_EQ(RawSize(L"Two"), 14u);
    EXPECT_EQ(RawSize(L"None"), 2u);
    SetRaw(L"Single", REG_MULTI_SZ, L"ab", 6);  // one terminator only
    SetRaw(L"Short", REG_MULTI_SZ, L"", 0);
    ASSERT_EQ(key_.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);

    wchar_t buffer[16];
    DWORD count = 1;
    CRegKey closed;  // the buffer is checked before the key
    EXPECT_EQ(closed.QueryMultiStringValue(L"Two", buffer, &count), ERROR_INSUFFICIENT_BUFFER);
    const struct {
        const wchar_t* name;
        DWORD room;  // 0: a size query without a buffer
        LONG code;
        DWORD count;
    } cases[] = {
        {L"Two", 1, ERROR_INSUFFICIENT_BUFFER, kAny}, {L"Two", 0, ERROR_SUCCESS, 7},
        {L"Two", 3, ERROR_MORE_DATA, kAny},           {L"None", 16, ERROR_SUCCESS, 1},
        {L"Single", 16, ERROR_INVALID_DATA, kAny},    {L"Short", 16, ERROR_INVALID_DATA, kAny},
        {L"Text", 16, ERROR_INVALID_DATA, kAny},      {L"Two", 16, ERROR_SUCCESS, 7},
    };
    for (const auto& c : cases) {
        count = c.room;
        EXPECT_EQ(key_.QueryMultiStringValue(c.name, c.room ? buffer : nullptr, &count), c.code)
            << c.name << " room " << c.room;
        EXPECT_EQ(count, c.count == kAny ? count : c.count) << c.name << " room " << c.room;
    }
    EXPECT_EQ(memcmp(buffer, L"ab\0cd\0", 14), 0);  // from the last case
}

TEST_F(RegKeyTest, GuidValuesRoundTrip) {
    ASSERT_EQ(key_.SetGUIDValue(L"Guid", kSampleGuid), ERROR_SUCCESS);
    std::wstring text;
    EXPECT_EQ(key_.QueryStringValue(L"Guid", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    GUID read = {};
    EXPECT_EQ(key_.QueryGUIDValue(L"Guid", read), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(read, kSampleGuid));
}

TEST_F(RegKeyTest, FailedGuidReadZeroesTheGuid) {
    ASSERT_EQ(key_.SetStringValue(L"NoBrace", L"6B29FC40-CA47-1067-B31D-00DD010662DA}"),
              ERROR_SUCCESS);
    ASSERT_EQ(key_.SetStringValue(L"Garbage", L"{not a guid}"), ERROR_SUCCESS);
    const struct {
        const wchar_t* name;
        LONG code;
    } cases[] = {{L"NoBrace", ERROR_INVALID_DATA},
                 {L"Garbage", ERROR_INVALID_DATA},
                 {L"Missing", ERROR_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        GUID read = kSampleGuid;
        EXPECT_EQ(key_.QueryGUIDValue(c.name, read), c.code) << c.name;
        EXPECT_TRUE(IsEqualGUID(read, GUID{})) << c.name;
    }
}

// Windows' SHDeleteKeyW with "" removes the key itself too; Wine keeps it, emptied.
TEST_F(RegKeyTest, DeleteOnCloseRemovesTheSubtree) {
    CreateKeys({L"Doomed\\Child\\Grandchild", L"Old\\Child", L"New"});
    CRegKey key;
    ASSERT_EQ(key.Open(scratch_.handle(), L"Doomed"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"Value", 1), ERROR_SUCCESS);
    key.SetDeleteOnClose(true);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(key.IsDeleteOnClose());
    EXPECT_FALSE(SubKeyExists(L"Doomed\\Child"));
    EXPECT_EQ(::RegGetValueW(scratch_.handle(), L"Doomed", L"Value", RRF_RT_ANY, nullptr, nullptr,
                             nullptr),
              ERROR_FILE_NOT_FOUND);
    // Opening another key deletes the old key's subtree first.
    ASSERT_EQ(key.Open(scratch_.handle(), L"Old"), ERROR_SUCCESS);
    key.SetDeleteOnClose(true);
    ASSERT_EQ(key.Open(scratch_.handle(), L"New"), ERROR_SUCCESS);
    EXPECT_FALSE(key.IsDeleteOnClose());
    EXPECT_FALSE(SubKeyExists(L"Old\\Child"));
    EXPECT_TRUE(SubKeyExists(L"New"));
}

TEST_F(RegKeyTest, SubKeysEnumerateInOrder) {
    CreateKeys({L"Beta\\Child", L"Alpha"});
    wchar_t name[32];
    FILETIME written = {};
    DWORD count = 32;
    EXPECT_EQ(key_.EnumKey(0, name, &count), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Alpha");
    EXPECT_EQ(key_.EnumKey(1, name, &(count = 32), &written), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Beta");
    EXPECT_EQ(key_.EnumKey(2, name, &(count = 32)), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegKeyTest, DeleteSubKeyRemovesOnlyAKeyWithoutSubKeys) {
    CreateKeys({L"Beta\\Child", L"Alpha"});
    EXPECT_EQ(key_.DeleteSubKey(L"Alpha"), ERROR_SUCCESS);
    EXPECT_FALSE(SubKeyExists(L"Alpha"));
    EXPECT_NE(key_.DeleteSubKey(L"Beta"), ERROR_SUCCESS);  // has a child
    EXPECT_TRUE(SubKeyExists(L"Beta\\Child"));
}

TEST_F(RegKeyTest, DeleteValueRemovesTheValueOnce) {
    ASSERT_EQ(key_.SetDWORDValue(L"Value", 1), ERROR_SUCCESS);
    EXPECT_EQ(key_.DeleteValue(L"Value"), ERROR_SUCCESS);
    EXPECT_EQ(key_.DeleteValue(L"Value"), ERROR_FILE_NOT_FOUND);
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
    EXPECT_EQ(key_.RecurseDeleteKey(L"Tree"), ERROR_SUCCESS);
    EXPECT_FALSE(SubKeyExists(L"Tree"));
    EXPECT_EQ(key_.RecurseDeleteKey(L"Tree"), ERROR_FILE_NOT_FOUND);
}

// A key whose DACL denies listing its subkeys stops the delete with that error and the rest
// stays. (A denied DELETE would do the same on Windows, but Wine does not check it.)
TEST_F(RegKeyTest, RecurseDeleteKeyStopsAtAKeyThatCannotBeDeleted) {
    CreateKeys({L"Guarded\\A\\Locked", L"Guarded\\B"});
    CRegKey locked;
    ASSERT_EQ(locked.Open(scratch_.handle(), L"Guarded\\A\\Locked"), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(locked.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size),
              ERROR_INSUFFICIENT_BUFFER);
    std::unique_ptr<BYTE[]> saved(new BYTE[size]);
    ASSERT_EQ(locked.GetKeySecurity(DACL_SECURITY_INFORMATION, saved.get(), &size), 0);
    // Everyone: listing subkeys denied, all else allowed.
    Basalt::UniqueLocal denying;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(D;;0x8;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1,
        reinterpret_cast<PSECURITY_DESCRIPTOR*>(denying.put()), nullptr));
    ASSERT_EQ(locked.SetKeySecurity(DACL_SECURITY_INFORMATION, denying.get()), ERROR_SUCCESS);
    locked.Close();

    const LONG result = key_.RecurseDeleteKey(L"Guarded");
    const bool lockedStays = SubKeyExists(L"Guarded\\A\\Locked");
    // Put the saved DACL back so that the scratch key can go.
    ASSERT_EQ(locked.Open(scratch_.handle(), L"Guarded\\A\\Locked", WRITE_DAC), ERROR_SUCCESS);
    EXPECT_EQ(locked.SetKeySecurity(DACL_SECURITY_INFORMATION, saved.get()), ERROR_SUCCESS);
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(lockedStays);
    EXPECT_TRUE(SubKeyExists(L"Guarded\\B"));
}

// A key opened in the 32-bit view of HKLM\Software deletes its subkeys in that view.
class RegKeyViewTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (REGSAM view : kViews) {
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (kPath + L"\\Child\\Leaf").c_str(), view, 0);
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (kPath + L"\\Child").c_str(), view, 0);
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPath.c_str(), view, 0);
        }
    }
    // The test key in the 64-bit and the 32-bit view, each with `subKey` below it.
    void CreateInBothViews(CRegKey (&parents)[2], const wchar_t* subKey) {
        for (int n = 0; n < 2; ++n) {
            ASSERT_EQ(parents[n].Create(HKEY_LOCAL_MACHINE, kPath.c_str(), nullptr, 0,
                                        KEY_ALL_ACCESS | kViews[n]),
                      ERROR_SUCCESS);
            CRegKey child;
            ASSERT_EQ(child.Create(parents[n].GetHandle(), subKey), ERROR_SUCCESS);
        }
    }

    const std::wstring kPath = L"Software\\GatesvcTests\\RegKeyView";
    const REGSAM kViews[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
};

TEST_F(RegKeyViewTest, DeleteSubKeyKeepsTheViewOfItsOpen) {
    CRegKey parents[2], child;
    ASSERT_NO_FATAL_FAILURE(CreateInBothViews(parents, L"Child"));
    EXPECT_EQ(parents[1].DeleteSubKey(L"Child"), ERROR_SUCCESS);  // opened in the 32-bit view
    EXPECT_EQ(child.Open(parents[1].GetHandle(), L"Child", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(child.Open(parents[0].GetHandle(), L"Child", KEY_READ), ERROR_SUCCESS);
}

TEST_F(RegKeyViewTest, RecurseDeleteKeyRemovesTheTreeOfItsOwnViewOnly) {
    CRegKey parents[2], leaf;
    ASSERT_NO_FATAL_FAILURE(CreateInBothViews(parents, L"Child\\Leaf"));
    EXPECT_EQ(parents[1].RecurseDeleteKey(L"Child"), ERROR_SUCCESS);  // the 32-bit view
    EXPECT_EQ(leaf.Open(parents[1].GetHandle(), L"Child", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(leaf.Open(parents[0].GetHandle(), L"Child\\Leaf", KEY_READ), ERROR_SUCCESS);
}

}  // namespace
