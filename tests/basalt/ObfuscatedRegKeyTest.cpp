#include "basalt/ObfuscatedRegKey.h"

#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "basalt/Cipher.h"
#include "basalt/Md5.h"
#include "tests/support/TestSupport.h"

using Basalt::CObfuscatedRegKey;
using Basalt::ObfuscatedValueHeader;
using TestSupport::ScratchRegistryKey;

namespace {

using Bytes = std::vector<BYTE>;

class ObfuscatedRegKeyTest : public ::testing::Test {
  protected:
    ObfuscatedRegKeyTest() : scratch_(L"ObfuscatedRegKey") {
        EXPECT_EQ(key_.Open(scratch_.root(), scratch_.path().c_str()), ERROR_SUCCESS);
    }

    // The stored bytes of a value, read past the obfuscation.
    Bytes RawRecord(const wchar_t* name, DWORD* type = nullptr) {
        DWORD size = 0;
        ::RegQueryValueExW(scratch_.handle(), name, nullptr, type, nullptr, &size);
        Bytes data(size);
        ::RegQueryValueExW(scratch_.handle(), name, nullptr, type, data.data(), &size);
        return data;
    }

    void SetRaw(const wchar_t* name, DWORD type, const Bytes& data) {
        ASSERT_EQ(::RegSetValueExW(scratch_.handle(), name, 0, type, data.data(),
                                   static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

    static ObfuscatedValueHeader Header(const Bytes& record) {
        ObfuscatedValueHeader header = {};
        memcpy(&header, record.data(), sizeof(header));
        return header;
    }

    ScratchRegistryKey scratch_;
    CObfuscatedRegKey key_;
};

// A valid record built the way the format describes, independently of Pack.
Bytes BuildRecord(const Bytes& plain, DWORD type, DWORD version) {
    Bytes record(32 + plain.size());
    memcpy(record.data(), "HVRG", 4);
    memcpy(&record[4], &version, 4);
    const DWORD length = static_cast<DWORD>(plain.size());
    memcpy(&record[8], &length, 4);
    memcpy(&record[12], &type, 4);
    Basalt::CFeedbackCipher cipher(reinterpret_cast<const BYTE*>(Basalt::kRegistryValueKey), 38, 1);
    if (!plain.empty()) cipher.Encrypt(plain.data(), &record[32], plain.size());
    Basalt::ComputeMd5(record.data(), record.size(), &record[16], 16);
    return record;
}

TEST_F(ObfuscatedRegKeyTest, DwordIsStoredAsA36ByteRecord) {
    ASSERT_EQ(key_.SetDWORDValue(L"Mechanism", 1), ERROR_SUCCESS);
    DWORD rawType = 0;
    const Bytes record = RawRecord(L"Mechanism", &rawType);
    EXPECT_EQ(rawType, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(record.size(), 36u);
    const ObfuscatedValueHeader header = Header(record);
    EXPECT_EQ(memcmp(header.magic, "HVRG", 4), 0);
    EXPECT_EQ(header.version, 1u);
    EXPECT_EQ(header.length, 4u);
    EXPECT_EQ(header.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(record, BuildRecord({1, 0, 0, 0}, REG_DWORD, 1));
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Mechanism", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(ObfuscatedRegKeyTest, StringIsStoredAsUtf8AndReadAsUtf16) {
    ASSERT_EQ(key_.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);
    const Bytes record = RawRecord(L"Text");
    EXPECT_EQ(record, BuildRecord({'a', 'b', 'c', 0}, REG_SZ, 1));
    wchar_t buffer[8];
    DWORD count = 8;
    EXPECT_EQ(key_.QueryStringValue(L"Text", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(buffer, L"abc");

    // U+00E9 and U+20AC take 2 and 3 UTF-8 bytes but one UTF-16 unit each.
    ASSERT_EQ(key_.SetStringValue(L"Wide", L"\u00e9\u20ac"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Wide").size(), 32u + 6u);
    DWORD type = 0;
    DWORD byteCount = 0;
    EXPECT_EQ(key_.QueryValue(L"Wide", &type, nullptr, &byteCount), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(byteCount, 6u);
    std::wstring text;
    EXPECT_EQ(key_.QueryStringValue(L"Wide", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"\u00e9\u20ac");
    byteCount = 4;
    EXPECT_EQ(key_.QueryValue(L"Wide", &type, buffer, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 6u);
}

TEST_F(ObfuscatedRegKeyTest, EqualValuesGiveEqualRecords) {
    ASSERT_EQ(key_.SetStringValue(L"One", L"same"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetStringValue(L"Two", L"same"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"One"), RawRecord(L"Two"));
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedOrAppendedByteIsRejected) {
    ASSERT_EQ(key_.SetQWORDValue(L"Value", 0x0102030405060708ull), ERROR_SUCCESS);
    const Bytes record = RawRecord(L"Value");
    ASSERT_EQ(record.size(), 40u);
    for (size_t index = 0; index < record.size(); ++index) {
        Bytes changed = record;
        changed[index] ^= 0x01;
        SetRaw(L"Changed", REG_BINARY, changed);
        ULONGLONG value = 0;
        EXPECT_EQ(key_.QueryQWORDValue(L"Changed", value), ERROR_INVALID_DATA) << index;
    }
    Bytes appended = record;
    appended.push_back(0);
    SetRaw(L"Appended", REG_BINARY, appended);
    ULONGLONG value = 0;
    EXPECT_EQ(key_.QueryQWORDValue(L"Appended", value), ERROR_INVALID_DATA);
}

TEST_F(ObfuscatedRegKeyTest, PlainValuesAndOtherVersionsUnderAnObfuscatedKey) {
    SetRaw(L"Plain", REG_DWORD, {1, 0, 0, 0});
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Plain", value), ERROR_INVALID_DATA);
    SetRaw(L"ShortBinary", REG_BINARY, Bytes(31, 0));
    EXPECT_EQ(key_.QueryDWORDValue(L"ShortBinary", value), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryDWORDValue(L"Missing", value), ERROR_FILE_NOT_FOUND);

    SetRaw(L"Version2", REG_BINARY, BuildRecord({9, 0, 0, 0}, REG_DWORD, 2));
    EXPECT_EQ(key_.QueryDWORDValue(L"Version2", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);

    ASSERT_EQ(key_.SetStringValue(L"Text", L"x"), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryDWORDValue(L"Text", value), ERROR_INVALID_DATA);
}

TEST_F(ObfuscatedRegKeyTest, ExpandStringIsStoredAsUtf16Bytes) {
    ASSERT_EQ(key_.SetStringValue(L"Expand", L"%TEMP%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
    const wchar_t* text = L"%TEMP%\\x";
    const Bytes plain(reinterpret_cast<const BYTE*>(text),
                      reinterpret_cast<const BYTE*>(text) + 18);
    EXPECT_EQ(RawRecord(L"Expand"), BuildRecord(plain, REG_EXPAND_SZ, 1));
    std::wstring read;
    EXPECT_EQ(key_.QueryStringValue(L"Expand", read), ERROR_SUCCESS);
    EXPECT_EQ(read, text);
}

TEST_F(ObfuscatedRegKeyTest, BinaryGuidAndMultiStringRoundTrip) {
    const BYTE blob[] = {0, 1, 2, 3, 250};
    ASSERT_EQ(key_.SetBinaryValue(L"Blob", blob, sizeof(blob)), ERROR_SUCCESS);
    BYTE read[8] = {};
    DWORD byteCount = 3;
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 5u);
    byteCount = sizeof(read);
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(read, blob, sizeof(blob)), 0);

    const GUID guid = {
        0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0x00, 0xdd, 0x01, 0x06, 0x62, 0xda}};
    ASSERT_EQ(key_.SetGUIDValue(L"Guid", guid), ERROR_SUCCESS);
    GUID back = {};
    EXPECT_EQ(key_.QueryGUIDValue(L"Guid", back), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, guid));

    ASSERT_EQ(key_.SetMultiStringValue(L"Multi", L"ab\0\u00e9\0"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Multi"), BuildRecord({'a', 'b', 0, 0xc3, 0xa9, 0, 0}, REG_MULTI_SZ, 1));
    wchar_t buffer[8];
    DWORD count = 0;
    EXPECT_EQ(key_.QueryMultiStringValue(L"Multi", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 6u);
    count = 8;
    EXPECT_EQ(key_.QueryMultiStringValue(L"Multi", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(memcmp(buffer, L"ab\0\u00e9\0", 12), 0);

    // Too small: the whole buffer is zeroed and the size needed reported.
    wmemset(buffer, L'x', 8);
    byteCount = 8;
    DWORD type = 0;
    EXPECT_EQ(key_.QueryValue(L"Multi", &type, buffer, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 12u);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(buffer[n], L'\0');
    EXPECT_EQ(buffer[4], L'x');

    ASSERT_EQ(key_.SetMultiStringValue(L"Empty", L""), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Empty"), BuildRecord({0}, REG_MULTI_SZ, 1));
    count = 8;
    EXPECT_EQ(key_.QueryMultiStringValue(L"Empty", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], L'\0');
}

TEST_F(ObfuscatedRegKeyTest, ArgumentErrorsGiveTheirCodes) {
    DWORD value = 0;
    EXPECT_EQ(key_.QueryValue(L"x", nullptr, &value, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, &value, 0), ERROR_INVALID_PARAMETER);
    // An empty payload packs to nothing the cipher accepts.
    SetRaw(L"EmptyPayload", REG_BINARY, BuildRecord({}, REG_BINARY, 1));
    BYTE buffer[4];
    DWORD byteCount = sizeof(buffer);
    EXPECT_EQ(key_.QueryBinaryValue(L"EmptyPayload", buffer, &byteCount), ERROR_DECRYPTION_FAILED);
}

TEST_F(ObfuscatedRegKeyTest, WritesReadNoFurtherThanTheByteCount) {
    // Only the first two characters are offered; the text goes on without a zero.
    const wchar_t text[] = {L'a', L'b', L'c', L'd'};
    ASSERT_EQ(key_.SetValue(L"Cut", REG_SZ, text, 4), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Cut"), BuildRecord({'a', 'b', 0}, REG_SZ, 1));
    ASSERT_EQ(key_.SetValue(L"CutList", REG_MULTI_SZ, text, 6), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"CutList"), BuildRecord({'a', 'b', 'c', 0, 0}, REG_MULTI_SZ, 1));
}

TEST_F(ObfuscatedRegKeyTest, ValueNamesGoThroughTheAnsiCodePage) {
    ASSERT_EQ(key_.SetDWORDValue(L"Caf\u00e9", 5), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(RawRecord(L"Caf\u00e9", &type).size(), 36u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Caf\u00e9", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 5u);
}

TEST(ObfuscatedRecord, PackAndUnpackCodes) {
    const BYTE plain[] = {1, 2, 3};
    BYTE record[35];
    EXPECT_EQ(Basalt::PackObfuscatedValue(plain, 3, REG_BINARY, record, 34),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Basalt::PackObfuscatedValue(plain, 0, REG_BINARY, record, 35),
              ERROR_ENCRYPTION_FAILED);
    ASSERT_EQ(Basalt::PackObfuscatedValue(plain, 3, REG_BINARY, record, 35), ERROR_SUCCESS);
    const Bytes before(record, record + 35);

    DWORD type = 0;
    DWORD length = 0;
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, &type, nullptr, &length), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(length, 3u);
    BYTE out[3] = {};
    length = 2;
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, &type, out, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, nullptr, out, &length), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(out, plain, 3), 0);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 31, &type, out, &length), ERROR_INVALID_DATA);
    // The record given is only read, its digest field included.
    EXPECT_EQ(Bytes(record, record + 35), before);
}

// Random and mutated records never crash and always give a specified code.
TEST_F(ObfuscatedRegKeyTest, RandomAndMutatedRecordsGiveOnlySpecifiedCodes) {
    std::mt19937 random(1234567);
    const Bytes valid[] = {BuildRecord({1, 0, 0, 0}, REG_DWORD, 1),
                           BuildRecord({'h', 'i', 0}, REG_SZ, 1),
                           BuildRecord({'a', 0, 'b', 0, 0}, REG_MULTI_SZ, 1),
                           BuildRecord({'a', 'b'}, REG_SZ, 1),  // no terminator
                           BuildRecord({'a', 0, 'b'}, REG_MULTI_SZ, 1),
                           BuildRecord({0xff, 0xfe, 0}, REG_SZ, 1)};
    auto isSpecified = [](LONG code) {
        return code == ERROR_SUCCESS || code == ERROR_INVALID_DATA || code == ERROR_MORE_DATA ||
               code == ERROR_DECRYPTION_FAILED;
    };
    int accepted = 0;
    int rejected = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes record;
        if (round % 3 == 0) {
            record.resize(random() % 80);
            for (auto& b : record) b = static_cast<BYTE>(random());
        } else {
            record = valid[random() % 6];
            const int edits = 1 + random() % 3;
            for (int n = 0; n < edits; ++n) record[random() % record.size()] ^= 1 << (random() % 8);
            if (round % 2 == 0) {  // re-seal so that the later checks are reached
                memset(&record[16], 0, 16);
                Basalt::ComputeMd5(record.data(), record.size(), &record[16], 16);
            } else if (round % 7 == 0) {
                memset(&record[16], 0, 16);
            }
        }
        // Record and output both end at a page that may not be touched, so a
        // read past the record or a write past the buffer faults.
        const TestSupport::GuardedBuffer input(record.data(), record.size());
        DWORD length = static_cast<DWORD>(random() % 17);
        const TestSupport::GuardedBuffer plain(length);
        DWORD type = 0;
        const LONG unpacked = Basalt::UnpackObfuscatedValue(
            input.data(), static_cast<DWORD>(input.size()), &type, plain.data(), &length);
        ASSERT_TRUE(isSpecified(unpacked)) << unpacked;
        ++(unpacked == ERROR_SUCCESS ? accepted : rejected);
        if (round % 10 != 0) continue;  // the registry path is slower; sample it

        if (record.empty()) record.push_back(0);
        SetRaw(L"Fuzz", REG_BINARY, record);
        DWORD dword = 0;
        ASSERT_TRUE(isSpecified(key_.QueryDWORDValue(L"Fuzz", dword)));
        std::wstring text;
        ASSERT_TRUE(isSpecified(key_.QueryStringValue(L"Fuzz", text)));
        wchar_t buffer[4];
        DWORD count = 4;
        ASSERT_TRUE(isSpecified(key_.QueryMultiStringValue(L"Fuzz", buffer, &count)));
        GUID guid;
        ASSERT_TRUE(isSpecified(key_.QueryGUIDValue(L"Fuzz", guid)));
    }
    // Both roads were taken: re-sealed mutations open, the others do not.
    EXPECT_GT(accepted, 300);
    EXPECT_GT(rejected, 500);
}

}  // namespace
