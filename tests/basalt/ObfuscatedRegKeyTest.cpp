// Obfuscated records under a scratch key: exact bytes, rejected records and a fuzz run.
#include "basalt/ObfuscatedRegKey.h"

#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "basalt/Cipher.h"
#include "basalt/Md5.h"
#include "basalt/StringHelpers.h"
#include "tests/support/BasaltTestSupport.h"

using Basalt::CObfuscatedRegKey;

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

    TestSupport::ScratchRegistryKey scratch_;
    CObfuscatedRegKey key_;
};

// A valid record built the way the format describes, independently of Pack.
Bytes BuildRecord(const Bytes& plain, DWORD type, DWORD version = 1) {
    Bytes record(32 + plain.size());
    const DWORD length = static_cast<DWORD>(plain.size());
    memcpy(record.data(), "HVRG", 4);
    memcpy(&record[4], &version, 4);
    memcpy(&record[8], &length, 4);
    memcpy(&record[12], &type, 4);
    Basalt::CFeedbackCipher cipher(reinterpret_cast<const BYTE*>(Basalt::kRegistryValueKey), 38, 1);
    if (!plain.empty()) cipher.Encrypt(plain.data(), &record[32], plain.size());
    Basalt::ComputeMd5(record.data(), record.size(), &record[16], 16);
    return record;
}

TEST_F(ObfuscatedRegKeyTest, DwordIsStoredAsA36ByteBinaryRecord) {
    ASSERT_EQ(key_.SetDWORDValue(L"Mechanism", 1), ERROR_SUCCESS);
    DWORD rawType = 0;
    EXPECT_EQ(RawRecord(L"Mechanism", &rawType), BuildRecord({1, 0, 0, 0}, REG_DWORD));
    EXPECT_EQ(rawType, static_cast<DWORD>(REG_BINARY));
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Mechanism", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    // Value names go through the ANSI code page.
    ASSERT_EQ(key_.SetDWORDValue(L"Caf\u00e9", 5), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Caf\u00e9"), BuildRecord({5, 0, 0, 0}, REG_DWORD));
    EXPECT_EQ(key_.QueryDWORDValue(L"Caf\u00e9", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 5u);
}

// The record that an independent encoder made of the DWORD 1 as "Logging Mechanism": a wrong
// key constant, cipher step or digest in the project would fail here even where its own
// records agree with each other.
TEST_F(ObfuscatedRegKeyTest, MatchesAnIndependentEncoderByteForByte) {
    const char hex[] = "485652470100000004000000040000008EE9C57B50191264430CA7B6D9929B81546DA675";
    Bytes record;
    for (size_t at = 0; hex[at] != '\0'; at += 2) {
        record.push_back(static_cast<BYTE>(Basalt::HexDigitValue(hex[at]) * 16 +
                                           Basalt::HexDigitValue(hex[at + 1])));
    }
    SetRaw(L"Logging Mechanism", REG_BINARY, record);
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Logging Mechanism", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(key_.SetDWORDValue(L"Logging Mechanism", 1), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Logging Mechanism"), record);
}

// The first read takes 256 bytes; a longer record is read again at its full size.
TEST_F(ObfuscatedRegKeyTest, RecordLongerThanTheFirstReadComesBackWhole) {
    const std::wstring text(600, L'L');
    ASSERT_EQ(key_.SetStringValue(L"Long", text.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RawRecord(L"Long").size(), 32u + 601u);
    std::wstring back;
    EXPECT_EQ(key_.QueryStringValue(L"Long", back), ERROR_SUCCESS);
    EXPECT_EQ(back, text);
}

TEST_F(ObfuscatedRegKeyTest, StringIsStoredAsUtf8) {
    ASSERT_EQ(key_.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Text"), BuildRecord({'a', 'b', 'c', 0}, REG_SZ));
    wchar_t buffer[8];
    DWORD count = 8;
    EXPECT_EQ(key_.QueryStringValue(L"Text", buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(buffer, L"abc");

    // U+00E9 and U+20AC take 2 and 3 UTF-8 bytes but one UTF-16 unit each.
    ASSERT_EQ(key_.SetStringValue(L"Wide", L"\u00e9\u20ac"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Wide").size(), 32u + 6u);
    DWORD type = 0, byteCount = 0;
    EXPECT_EQ(key_.QueryValue(L"Wide", &type, nullptr, &byteCount), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(byteCount, 6u);
    EXPECT_EQ(key_.QueryValue(L"Wide", &type, buffer, &(byteCount = 4)), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 6u);
    std::wstring text;
    EXPECT_EQ(key_.QueryStringValue(L"Wide", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"\u00e9\u20ac");
}

TEST_F(ObfuscatedRegKeyTest, ExpandStringIsStoredAsUtf16) {
    const wchar_t* expand = L"%TEMP%\\x";
    ASSERT_EQ(key_.SetStringValue(L"Expand", expand, REG_EXPAND_SZ), ERROR_SUCCESS);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(expand);
    EXPECT_EQ(RawRecord(L"Expand"), BuildRecord(Bytes(bytes, bytes + 18), REG_EXPAND_SZ));
    std::wstring text;
    EXPECT_EQ(key_.QueryStringValue(L"Expand", text), ERROR_SUCCESS);
    EXPECT_EQ(text, expand);
}

TEST_F(ObfuscatedRegKeyTest, EqualValuesAreStoredAlike) {
    ASSERT_EQ(key_.SetStringValue(L"Text", L"abc"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetStringValue(L"Again", L"abc"), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Again"), RawRecord(L"Text"));
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedOrAppendedByteIsRejected) {
    ASSERT_EQ(key_.SetQWORDValue(L"Value", 0x0102030405060708ull), ERROR_SUCCESS);
    const Bytes record = RawRecord(L"Value");
    ASSERT_EQ(record.size(), 40u);
    ULONGLONG value = 0;
    for (size_t index = 0; index <= record.size(); ++index) {
        Bytes changed = record;
        changed.resize(record.size() + (index == record.size()));  // the last round appends one
        changed[index] ^= 0x01;
        SetRaw(L"Changed", REG_BINARY, changed);
        EXPECT_EQ(key_.QueryQWORDValue(L"Changed", value), ERROR_INVALID_DATA) << index;
    }
}

TEST_F(ObfuscatedRegKeyTest, EveryRefusalGivesItsCode) {
    SetRaw(L"Plain", REG_DWORD, {1, 0, 0, 0});
    SetRaw(L"EmptyPayload", REG_BINARY, BuildRecord({}, REG_BINARY));
    SetRaw(L"ShortBinary", REG_BINARY, Bytes(31, 0));
    SetRaw(L"Version2", REG_BINARY, BuildRecord({9, 0, 0, 0}, REG_DWORD, 2));
    ASSERT_EQ(key_.SetStringValue(L"Text", L"x"), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Plain", value), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryDWORDValue(L"ShortBinary", value), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryDWORDValue(L"Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key_.QueryDWORDValue(L"Text", value), ERROR_INVALID_DATA);
    EXPECT_EQ(key_.QueryDWORDValue(L"Version2", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);
    // An empty payload packs to nothing the cipher accepts.
    BYTE buffer[4];
    DWORD byteCount = sizeof(buffer);
    EXPECT_EQ(key_.QueryBinaryValue(L"EmptyPayload", buffer, &byteCount), ERROR_DECRYPTION_FAILED);
    EXPECT_EQ(key_.QueryValue(L"x", nullptr, &value, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"x", REG_BINARY, &value, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(ObfuscatedRegKeyTest, NonTextValueTypesRoundTrip) {
    const BYTE blob[] = {0, 1, 2, 3, 250};
    ASSERT_EQ(key_.SetBinaryValue(L"Blob", blob, sizeof(blob)), ERROR_SUCCESS);
    BYTE read[8] = {};
    DWORD byteCount = 3;
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &byteCount), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 5u);
    EXPECT_EQ(key_.QueryBinaryValue(L"Blob", read, &(byteCount = 8)), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(read, blob, sizeof(blob)), 0);
    const GUID guid = {0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0, 0xdd, 1, 6, 0x62, 0xda}};
    GUID back = {};
    ASSERT_EQ(key_.SetGUIDValue(L"Guid", guid), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryGUIDValue(L"Guid", back), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, guid));

    ASSERT_EQ(key_.SetMultiStringValue(L"Multi", L"ab\0\u00e9\0"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetMultiStringValue(L"Empty", L""), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Multi"), BuildRecord({'a', 'b', 0, 0xc3, 0xa9, 0, 0}, REG_MULTI_SZ));
    EXPECT_EQ(RawRecord(L"Empty"), BuildRecord({0}, REG_MULTI_SZ));
    wchar_t buffer[8];
    DWORD count = 0;
    EXPECT_EQ(key_.QueryMultiStringValue(L"Multi", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(key_.QueryMultiStringValue(L"Multi", buffer, &(count = 8)), ERROR_SUCCESS);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(memcmp(buffer, L"ab\0\u00e9\0", 12), 0);
    EXPECT_EQ(key_.QueryMultiStringValue(L"Empty", buffer, &(count = 8)), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], L'\0');
    // Too small: the whole buffer is zeroed and the size needed reported.
    wmemset(buffer, L'x', 8);
    DWORD type = 0;
    EXPECT_EQ(key_.QueryValue(L"Multi", &type, buffer, &(byteCount = 8)), ERROR_MORE_DATA);
    EXPECT_EQ(byteCount, 12u);
    EXPECT_EQ(std::wstring(buffer, 5), std::wstring(4, L'\0') + L"x");
}

TEST_F(ObfuscatedRegKeyTest, WritesReadNoFurtherThanTheByteCount) {
    // Only the first characters are offered; the text goes on without a zero.
    const wchar_t text[] = {L'a', L'b', L'c', L'd'};
    ASSERT_EQ(key_.SetValue(L"Cut", REG_SZ, text, 4), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"Cut"), BuildRecord({'a', 'b', 0}, REG_SZ));
    ASSERT_EQ(key_.SetValue(L"CutList", REG_MULTI_SZ, text, 6), ERROR_SUCCESS);
    EXPECT_EQ(RawRecord(L"CutList"), BuildRecord({'a', 'b', 'c', 0, 0}, REG_MULTI_SZ));
}

TEST(ObfuscatedRecord, PackRefusesTooSmallARecordOrNoData) {
    const BYTE plain[] = {1, 2, 3};
    BYTE record[35];
    EXPECT_EQ(Basalt::PackObfuscatedValue(plain, 3, REG_BINARY, record, 34),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Basalt::PackObfuscatedValue(plain, 0, REG_BINARY, record, 35),
              ERROR_ENCRYPTION_FAILED);
}

TEST(ObfuscatedRecord, UnpackGivesWhatItHasRoomForWithoutChangingTheRecord) {
    const BYTE plain[] = {1, 2, 3};
    BYTE record[35], out[3] = {};
    ASSERT_EQ(Basalt::PackObfuscatedValue(plain, 3, REG_BINARY, record, 35), ERROR_SUCCESS);
    const Bytes before(record, record + 35);
    DWORD type = 0, length = 0;
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, &type, nullptr, &length), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, &type, out, &(length = 2)),
              ERROR_MORE_DATA);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, nullptr, out, &length), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(out, plain, 3), 0);
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 35, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(record, record + 35), before);  // only read, its digest field included
}

TEST(ObfuscatedRecord, UnpackRefusesARecordShorterThanItsHeader) {
    const BYTE plain[] = {1, 2, 3};
    BYTE record[35], out[3] = {};
    ASSERT_EQ(Basalt::PackObfuscatedValue(plain, 3, REG_BINARY, record, 35), ERROR_SUCCESS);
    DWORD type = 0, length = 3;
    EXPECT_EQ(Basalt::UnpackObfuscatedValue(record, 31, &type, out, &length), ERROR_INVALID_DATA);
}

// Random and mutated records never crash, never read outside the record and give a
// specified code, through Unpack and through the typed reads.
TEST_F(ObfuscatedRegKeyTest, ArbitraryRecordsGiveOnlySpecifiedCodes) {
    std::mt19937 random(1234567);
    const Bytes valid[] = {BuildRecord({1, 0, 0, 0}, REG_DWORD),
                           BuildRecord({'h', 'i', 0}, REG_SZ),
                           BuildRecord({'a', 0, 'b', 0, 0}, REG_MULTI_SZ),
                           BuildRecord({'a', 'b'}, REG_SZ),  // no terminator
                           BuildRecord({'a', 0, 'b'}, REG_MULTI_SZ),
                           BuildRecord({0xff, 0xfe, 0}, REG_SZ)};
    auto isSpecified = [](LONG code) {
        return code == ERROR_SUCCESS || code == ERROR_INVALID_DATA || code == ERROR_MORE_DATA ||
               code == ERROR_DECRYPTION_FAILED;
    };
    int accepted = 0, rejected = 0;
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
        // Record and output both end at a guard page: any read or write past them faults.
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
        DWORD dword = 0, count = 4;
        std::wstring text;
        wchar_t buffer[4];
        GUID guid;
        ASSERT_TRUE(isSpecified(key_.QueryDWORDValue(L"Fuzz", dword)));
        ASSERT_TRUE(isSpecified(key_.QueryStringValue(L"Fuzz", text)));
        ASSERT_TRUE(isSpecified(key_.QueryMultiStringValue(L"Fuzz", buffer, &count)));
        ASSERT_TRUE(isSpecified(key_.QueryGUIDValue(L"Fuzz", guid)));
    }
    // Both roads were taken: re-sealed mutations open, the others do not.
    EXPECT_GT(accepted, 300);
    EXPECT_GT(rejected, 500);
}

}  // namespace
