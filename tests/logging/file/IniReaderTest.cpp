// INI readers against real files and the real profile functions: the record
// form built independently from the cipher and the digest, parsing rules,
// tampering, and random or mutated files.
#include "logging/file/IniReader.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "basalt/Cipher.h"
#include "basalt/Md5.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace {

using Basalt::CObfuscatedIniReader;
using Basalt::ObfuscatedIniHeader;
using TestSupport::ScratchFolder;

constexpr wchar_t kConfig[] = L"Config";

std::string Hex(const BYTE* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// The profile functions' structure form: hexadecimal pairs and the byte sum.
std::string StructText(const BYTE* bytes, size_t count) {
    BYTE sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    return Hex(bytes, count) + Hex(&sum, 1);
}

struct Record {
    std::string header;  // the "_" key's text
    std::string value;   // the key's text
};

// Enciphers `plain` as the documented record, independently of the reader.
Record Encipher(const std::vector<BYTE>& plain, DWORD type) {
    std::vector<BYTE> cipher(plain.size());
    Basalt::CFeedbackCipher encipher(reinterpret_cast<const BYTE*>(Basalt::kIniValueKey),
                                     Basalt::kCipherKeyLength, 1);
    EXPECT_TRUE(encipher.Encrypt(plain.data(), cipher.data(), plain.size()));
    ObfuscatedIniHeader header = {};
    memcpy(header.magic, "HVRG", 4);
    header.version = 1;
    header.length = static_cast<DWORD>(cipher.size());
    header.type = type;
    header.valid = 1;
    EXPECT_EQ(0, Basalt::ComputeMd5(cipher.data(), cipher.size(), header.digest, 16));
    return {StructText(reinterpret_cast<const BYTE*>(&header), sizeof(header)),
            StructText(cipher.data(), cipher.size())};
}

Record EncipherDword(DWORD value) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    return Encipher(std::vector<BYTE>(bytes, bytes + 4), REG_DWORD);
}

Record EncipherString(const std::string& ansi) {
    return Encipher(std::vector<BYTE>(ansi.begin(), ansi.end()), REG_SZ);
}

std::string Pair(const std::string& key, const Record& record) {
    return "_" + key + "=" + record.header + "\r\n" + key + "=" + record.value + "\r\n";
}

std::wstring Profile(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    wchar_t text[512] = {};
    ::GetPrivateProfileStringW(section, key, L"<missing>", text, 512, path.c_str());
    return text;
}

class IniReaderTest : public ::testing::Test {
  protected:
    IniReaderTest() : folder_(L"IniReaderTest"), path_(folder_ / L"log.ini") {}

    CObfuscatedIniReader& Load(const std::string& text) {
        EXPECT_TRUE(TestSupport::WriteFileText(path_, text));
        EXPECT_TRUE(reader_.Load(path_));
        return reader_;
    }

    ScratchFolder folder_;
    std::wstring path_;
    CObfuscatedIniReader reader_;
};

TEST_F(IniReaderTest, HandWrittenRecordsAreRead) {
    Load("[Config]\r\n" + Pair("MaxEntries", EncipherDword(50)) +
         Pair("Name", EncipherString("caf\xE9 log")) + Pair("Negative", EncipherDword(~0u)));
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"MaxEntries", value));
    EXPECT_EQ(50u, value);
    EXPECT_TRUE(reader_.GetDword(kConfig, L"Negative", value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    std::wstring text;
    EXPECT_TRUE(reader_.GetString(kConfig, L"Negative", text));
    EXPECT_EQ(L"-1", text);
    EXPECT_TRUE(reader_.GetString(kConfig, L"Name", text));
    EXPECT_EQ(L"caf\u00e9 log", text);
    EXPECT_TRUE(reader_.GetStringByName(L"Config.Name", text));
}

TEST_F(IniReaderTest, WrittenDwordHasTheDocumentedFormAndReadsBack) {
    ASSERT_FALSE(reader_.Load(path_));  // missing: the name stays for the write
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 2));
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"LastLogIdx", value));  // same reader, no reload
    EXPECT_EQ(2u, value);

    const Record expected = EncipherDword(2);
    const std::wstring header = Profile(path_, kConfig, L"_LastLogIdx");
    EXPECT_EQ(74u, header.size());
    EXPECT_EQ(0u, header.find(L"48565247"));
    EXPECT_EQ(std::wstring(expected.header.begin(), expected.header.end()), header);
    EXPECT_EQ(std::wstring(expected.value.begin(), expected.value.end()),
              Profile(path_, kConfig, L"LastLogIdx"));

    CObfuscatedIniReader fresh;
    ASSERT_TRUE(fresh.Load(path_));
    EXPECT_TRUE(fresh.GetDword(kConfig, L"LastLogIdx", value));
    EXPECT_EQ(2u, value);
}

// A log.ini that someone else holds open for writing (another logger of the
// same folder, the operator tool) is still read, not taken for unusable. On
// Windows a file opened by _wfopen_s is not sharable, so this needs a sharing
// open; Wine's C runtime shares either way, so here it passes regardless.
TEST_F(IniReaderTest, FileOpenForWritingElsewhereIsStillRead) {
    ASSERT_TRUE(TestSupport::WriteFileText(
        path_, "[Config]\r\n" + Pair("LastLogIdx", EncipherDword(4))));
    Basalt::UniqueHandle writer(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(reader_.Load(path_));
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"LastLogIdx", value));
    EXPECT_EQ(4u, value);
    // The reader let go of the file and kept its name, so the writer can write
    // and so can the reader.
    EXPECT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 5));
}

TEST_F(IniReaderTest, WritesReplaceInPlaceAndKeepOtherLines) {
    Load("; kept\r\n[Other]\r\nplain=1\r\n");
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 1));
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 7));
    ASSERT_TRUE(reader_.SetString(kConfig, L"Name", L"h\u00e9llo"));
    const Record seven = EncipherDword(7);
    const Record name = EncipherString("h\xE9llo");
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(path_);
    EXPECT_EQ("; kept\r\n[Other]\r\nplain=1\r\n[Config]\r\n" + Pair("LastLogIdx", seven) +
                  Pair("Name", name),
              std::string(bytes.begin(), bytes.end()));
    CObfuscatedIniReader fresh;
    ASSERT_TRUE(fresh.Load(path_));
    std::wstring text;
    EXPECT_TRUE(fresh.GetString(kConfig, L"Name", text));
    EXPECT_EQ(L"h\u00e9llo", text);
}

TEST_F(IniReaderTest, PlainValuesAreParsedButNotAnswered) {
    Load("[Config]\r\nEnable=1\r\n");
    DWORD value = 7;
    EXPECT_FALSE(reader_.GetDword(kConfig, L"Enable", value));
    EXPECT_EQ(7u, value);
    std::map<std::wstring, std::wstring> section;
    EXPECT_TRUE(reader_.GetSection(kConfig, section));
    EXPECT_EQ(L"1", section[L"Enable"]);
    EXPECT_FALSE(reader_.GetSection(L"Missing", section));
}

TEST_F(IniReaderTest, ChangedDataDigitFailsTheDigestButTheChecksumPairDoesNot) {
    Record digit = EncipherDword(9);
    digit.value[0] = digit.value[0] == '0' ? '1' : '0';
    Record checksum = EncipherDword(9);
    checksum.value[8] = checksum.value[8] == '0' ? '1' : '0';
    checksum.value[9] = 'F';
    Record headerSum = EncipherDword(9);
    headerSum.header[73] = headerSum.header[73] == '0' ? '1' : '0';
    Load("[Config]\r\n" + Pair("Digit", digit) + Pair("Checksum", checksum) +
         Pair("HeaderSum", headerSum));
    DWORD value = 0;
    EXPECT_FALSE(reader_.GetDword(kConfig, L"Digit", value));
    std::map<std::wstring, std::wstring> section;
    reader_.GetSection(kConfig, section);
    EXPECT_EQ(std::wstring(digit.value.begin(), digit.value.end()), section[L"Digit"]);
    EXPECT_TRUE(reader_.GetDword(kConfig, L"Checksum", value));
    EXPECT_EQ(9u, value);
    EXPECT_TRUE(reader_.GetDword(kConfig, L"HeaderSum", value));
}

TEST_F(IniReaderTest, HeaderFieldsAndLengthsAreChecked) {
    Record badVersion = EncipherDword(1);
    badVersion.header[9] = '2';  // version 2
    Record invalid = EncipherDword(1);
    invalid.header.replace(32, 8, "00000000");  // valid 0
    Record wrongType = EncipherDword(1);
    wrongType.header[25] = '3';  // type 3
    Record shortValue = EncipherDword(1);
    shortValue.value.resize(6);
    // The type is outside the digest: a 4-byte string retyped as an integer
    // still deciphers, as the integer of its bytes.
    Record stringAsDword = EncipherString("abcd");
    stringAsDword.header[25] = '4';
    Load("[Config]\r\n" + Pair("BadVersion", badVersion) + Pair("Invalid", invalid) +
         Pair("WrongType", wrongType) + Pair("Short", shortValue) + Pair("Retyped", stringAsDword) +
         "_Lonely=" + EncipherDword(1).header + "\r\n");
    std::wstring text;
    for (const wchar_t* key : {L"BadVersion", L"Invalid", L"WrongType", L"Short"}) {
        EXPECT_FALSE(reader_.GetString(kConfig, key, text)) << std::string(key, key + wcslen(key));
    }
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"Retyped", value));
    EXPECT_EQ(0x64636261u, value);
    EXPECT_FALSE(reader_.GetString(kConfig, L"Lonely", text));
}

TEST_F(IniReaderTest, OnlyExactHeadersAreFiled) {
    const Record good = EncipherDword(4);
    const std::string longer = good.header + "0";
    const std::string shorter = good.header.substr(0, 73);
    std::string otherMagic = good.header;
    otherMagic[0] = '5';
    Load("[Config]\r\n_A=" + longer + "\r\nA=" + good.value + "\r\n_B=" + shorter +
         "\r\nB=" + good.value + "\r\n_C=" + otherMagic + "\r\nC=" + good.value + "\r\n");
    std::map<std::wstring, std::wstring> section;
    ASSERT_TRUE(reader_.GetSection(kConfig, section));
    EXPECT_EQ(std::wstring(longer.begin(), longer.end()), section[L"_A"]);
    EXPECT_EQ(73u, section[L"_B"].size());
    EXPECT_EQ(74u, section[L"_C"].size());
    DWORD value = 0;
    EXPECT_FALSE(reader_.GetDword(kConfig, L"A", value));
    EXPECT_FALSE(reader_.GetDword(kConfig, L"B", value));
    EXPECT_FALSE(reader_.GetDword(kConfig, L"C", value));
}

TEST_F(IniReaderTest, FirstKeyWinsAndLastHeaderWins) {
    const Record one = EncipherDword(1);
    const Record two = EncipherDword(2);
    Load("[Config]\r\nK=" + one.value + "\r\nK=" + two.value + "\r\n_K=" + two.header +
         "\r\n_K=" + one.header + "\r\n" + "_L=" + one.header + "\r\n_L=" + two.header +
         "\r\nL=" + one.value + "\r\n");
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"K", value));
    EXPECT_EQ(1u, value);
    EXPECT_FALSE(reader_.GetDword(kConfig, L"L", value));  // the last header does not fit
}

TEST_F(IniReaderTest, SectionsCommentsAndBlanks) {
    const Record five = EncipherDword(5);
    Load("top = 1\r\n\r\n   \r\n;comment=1\r\n[ Config ]\r\n" + Pair("A", five) +
         "[]\r\n  B  =  x ; not a comment \r\nnoequals\r\n=empty key\r\n"
         "[Dot.Section]\r\n" +
         Pair("D", five) + "[Config]\r\nC=\"quoted\"\r\n");
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"A", value));
    EXPECT_EQ(5u, value);
    std::map<std::wstring, std::wstring> config;
    ASSERT_TRUE(reader_.GetSection(kConfig, config));
    EXPECT_EQ(L"x ; not a comment", config[L"B"]);
    EXPECT_EQ(L"empty key", config[L""]);
    EXPECT_EQ(L"\"quoted\"", config[L"C"]);
    EXPECT_EQ(0u, config.count(L"noequals"));
    EXPECT_EQ(0u, config.count(L";comment"));
    std::map<std::wstring, std::wstring> top;
    ASSERT_TRUE(reader_.GetSection(L"", top));
    EXPECT_EQ(L"1", top[L"top"]);
    EXPECT_EQ(1u, top.size());
    // Composite names split at the first ".": a dotted section cannot be reached.
    EXPECT_FALSE(reader_.GetDword(L"Dot.Section", L"D", value));
    std::map<std::wstring, std::wstring> dotted;
    ASSERT_TRUE(reader_.GetSection(L"Dot.Section", dotted));
    EXPECT_EQ(10u, dotted[L"D"].size());
    std::wstring text;
    EXPECT_FALSE(reader_.GetStringByName(L"NoDot", text));
}

TEST_F(IniReaderTest, LongLineIsParsedAsThreeChunks) {
    const std::string line = "A=" + std::string(1021, 'a') + "B=" + std::string(1021, 'b') +
                             "C=" + std::string(952, 'c');
    ASSERT_EQ(3000u, line.size());
    Load("[S]\r\n" + line);
    std::map<std::wstring, std::wstring> section;
    ASSERT_TRUE(reader_.GetSection(L"S", section));
    EXPECT_EQ(3u, section.size());
    EXPECT_EQ(std::wstring(1021, L'a'), section[L"A"]);
    EXPECT_EQ(std::wstring(1021, L'b'), section[L"B"]);
    EXPECT_EQ(std::wstring(952, L'c'), section[L"C"]);
}

TEST_F(IniReaderTest, LoadStartsFromEmptyTables) {
    Load("[Config]\r\n" + Pair("A", EncipherDword(1)));
    ASSERT_TRUE(TestSupport::WriteFileText(path_, "[Other]\r\nx=1\r\n"));
    ASSERT_TRUE(reader_.Load(path_));
    DWORD value = 0;
    EXPECT_FALSE(reader_.GetDword(kConfig, L"A", value));
    std::map<std::wstring, std::wstring> section;
    EXPECT_FALSE(reader_.GetSection(kConfig, section));
}

TEST_F(IniReaderTest, MissingFileIsCreatedByTheFirstWrite) {
    EXPECT_FALSE(reader_.Load(path_));
    EXPECT_EQ(path_, reader_.FileName());
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 0));
    const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(path_);
    EXPECT_EQ("[Config]\r\n" + Pair("LastLogIdx", EncipherDword(0)),
              std::string(bytes.begin(), bytes.end()));
}

TEST_F(IniReaderTest, WritesWithoutAUsableFileFail) {
    CObfuscatedIniReader unnamed;
    EXPECT_FALSE(unnamed.Load(L""));
    EXPECT_FALSE(unnamed.SetDword(kConfig, L"A", 1));
    EXPECT_FALSE(unnamed.SetString(kConfig, L"A", L"x"));
    const std::wstring missingFolder = folder_ / L"no\\such\\log.ini";
    EXPECT_FALSE(reader_.Load(missingFolder));
    EXPECT_FALSE(reader_.SetDword(kConfig, L"A", 1));
    EXPECT_FALSE(TestSupport::FileExists(missingFolder));
    // An empty string has nothing to encipher: nothing is written.
    EXPECT_FALSE(reader_.Load(path_));
    EXPECT_FALSE(reader_.SetString(kConfig, L"A", L""));
    EXPECT_FALSE(TestSupport::FileExists(path_));
}

// Random and mutated files: no crash, and nothing answered but values that
// were enciphered.
TEST_F(IniReaderTest, RandomAndMutatedFilesYieldOnlyEncipheredValues) {
    const std::string valid = "[Config]\r\n" + Pair("Enable", EncipherDword(1)) +
                              Pair("MaxSize", EncipherDword(262144)) +
                              Pair("Name", EncipherString("plain text")) + "Plain=5\r\n";
    const std::set<std::wstring> allowed = {L"1", L"262144", L"plain text"};
    std::mt19937 random(20261209);
    const char kAlphabet[] = "[]=_;\r\n 0123456789ABCDEF48565247HVRGConfigEnableName.";
    for (int round = 0; round < 300; ++round) {
        std::string text = valid;
        const int kind = round % 3;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % text.size();
            const char c = kind == 2 ? static_cast<char>(random() % 256)
                                     : kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            if (kind == 0) {
                text[at] = c;
            } else if (kind == 1) {
                text.insert(at, 1, c);
            } else {
                text.erase(at, 1 + random() % 40);
                if (text.empty()) text = "x";
            }
        }
        if (round % 10 == 9) {  // wholly random bytes
            text.resize(1 + random() % 3000);
            for (char& c : text) c = static_cast<char>(random() % 256);
        }
        ASSERT_TRUE(TestSupport::WriteFileText(path_, text));
        CObfuscatedIniReader reader;
        reader.Load(path_);
        std::map<std::wstring, std::wstring> section;
        if (!reader.GetSection(kConfig, section)) continue;
        for (const auto& entry : section) {
            std::wstring answer;
            if (reader.GetString(kConfig, entry.first, answer)) {
                EXPECT_EQ(1u, allowed.count(answer)) << "round " << round;
            }
        }
    }
}

}  // namespace
