// INI readers against real files and the real profile functions, with records built
// independently from the cipher and the digest; parsing rules, tampering, random files.
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

constexpr wchar_t kConfig[] = L"Config";

std::wstring W(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The profile functions' structure form: hexadecimal pairs, then the pair of the byte sum.
std::string StructText(const BYTE* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    BYTE sum = 0;
    for (size_t i = 0; i <= count; ++i) {
        const BYTE byte = i < count ? bytes[i] : sum;
        sum = static_cast<BYTE>(sum + byte);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

struct Record {
    std::string header;  // the "_" key's text
    std::string value;   // the key's text; empty: no such line
};

// Enciphers `plain` as the documented record, independently of the reader.
Record Encipher(const std::vector<BYTE>& plain, DWORD type) {
    std::vector<BYTE> cipher(plain.size());
    Basalt::CFeedbackCipher encipher(reinterpret_cast<const BYTE*>(Basalt::kIniValueKey),
                                     Basalt::kCipherKeyLength, 1);
    EXPECT_TRUE(encipher.Encrypt(plain.data(), cipher.data(), plain.size()));
    ObfuscatedIniHeader header = {
        {'H', 'V', 'R', 'G'}, 1, static_cast<DWORD>(cipher.size()), type, 1, {}};
    EXPECT_EQ(0, Basalt::ComputeMd5(cipher.data(), cipher.size(), header.digest, 16));
    return {StructText(reinterpret_cast<const BYTE*>(&header), sizeof(header)),
            StructText(cipher.data(), cipher.size())};
}

Record EncipherDword(DWORD value) {
    return Encipher({BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)},
                    REG_DWORD);
}

Record EncipherString(const std::string& ansi) {
    return Encipher(std::vector<BYTE>(ansi.begin(), ansi.end()), REG_SZ);
}

std::string Pair(const std::string& key, const Record& record) {
    return "_" + key + "=" + record.header + "\r\n" +
           (record.value.empty() ? "" : key + "=" + record.value + "\r\n");
}

// `text` with the digit at `at` changed.
std::string Flip(std::string text, size_t at) {
    text[at] = text[at] == '0' ? '1' : '0';
    return text;
}

// A key's answer, or "<none>".
std::wstring Answer(CObfuscatedIniReader& reader, const std::wstring& key,
                    const wchar_t* section = kConfig) {
    std::wstring text;
    return reader.GetString(section, key, text) ? text : L"<none>";
}

using Section = std::map<std::wstring, std::wstring>;

class IniReaderTest : public ::testing::Test {
  protected:
    void Load(const std::string& text) {
        EXPECT_TRUE(TestSupport::WriteFileText(path_, text));
        EXPECT_TRUE(reader_.Load(path_));
    }

    std::string FileText() {
        const std::vector<unsigned char> bytes = TestSupport::ReadFileBytes(path_);
        return std::string(bytes.begin(), bytes.end());
    }

    // A section's values; checks that it is there, or not.
    Section SectionOf(const std::wstring& name, bool present = true) {
        Section values;
        EXPECT_EQ(present, reader_.GetSection(name, values))
            << std::string(name.begin(), name.end());
        return values;
    }

    TestSupport::ScratchFolder folder_{L"IniReaderTest"};
    std::wstring path_ = folder_ / L"log.ini";
    CObfuscatedIniReader reader_;
};

// Windows needs a sharing open for a file held open elsewhere; Wine's C runtime shares either way.
TEST_F(IniReaderTest, HandWrittenRecordsAreReadWhileOpenForWritingElsewhere) {
    ASSERT_TRUE(TestSupport::WriteFileText(path_, "[Config]\r\n" +
                                                      Pair("MaxEntries", EncipherDword(50)) +
                                                      Pair("Name", EncipherString("caf\xE9 log")) +
                                                      Pair("Negative", EncipherDword(~0u))));
    Basalt::UniqueHandle writer(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(reader_.Load(path_));
    EXPECT_EQ(L"50", Answer(reader_, L"MaxEntries"));
    DWORD value = 0;
    EXPECT_TRUE(reader_.GetDword(kConfig, L"Negative", value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    EXPECT_EQ(L"-1", Answer(reader_, L"Negative"));
    std::wstring text;
    EXPECT_TRUE(reader_.GetStringByName(L"Config.Name", text));
    EXPECT_EQ(L"caf\u00e9 log", text);
    EXPECT_TRUE(reader_.SetDword(kConfig, L"MaxEntries", 5));  // the reader let go of the file
}

TEST_F(IniReaderTest, FirstWriteCreatesTheFile) {
    ASSERT_FALSE(reader_.Load(path_));  // missing: the name stays for the write
    EXPECT_EQ(path_, reader_.FileName());
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 1));
    EXPECT_EQ(L"1", Answer(reader_, L"LastLogIdx"));  // same reader, no reload
    EXPECT_EQ("[Config]\r\n" + Pair("LastLogIdx", EncipherDword(1)), FileText());
    wchar_t header[100] = {};
    ::GetPrivateProfileStringW(kConfig, L"_LastLogIdx", L"", header, 100, path_.c_str());
    EXPECT_EQ(74u, wcslen(header));
    EXPECT_EQ(0, wcsncmp(header, L"48565247", 8));
}

TEST_F(IniReaderTest, LaterWritesReplaceInPlace) {
    Load("; kept\r\n[Other]\r\nplain=1\r\n[Config]\r\n" + Pair("LastLogIdx", EncipherDword(1)));
    ASSERT_TRUE(reader_.SetDword(kConfig, L"LastLogIdx", 7));
    ASSERT_TRUE(reader_.SetString(kConfig, L"Name", L"h\u00e9llo"));
    EXPECT_EQ("; kept\r\n[Other]\r\nplain=1\r\n[Config]\r\n" +
                  Pair("LastLogIdx", EncipherDword(7)) + Pair("Name", EncipherString("h\xE9llo")),
              FileText());
    CObfuscatedIniReader fresh;
    ASSERT_TRUE(fresh.Load(path_));
    EXPECT_EQ(L"7", Answer(fresh, L"LastLogIdx"));
    EXPECT_EQ(L"h\u00e9llo", Answer(fresh, L"Name"));
}

// A pair made by an encoder of its own, outside this code: a wrong key constant or cipher
// would make every stored value unreadable, and no round trip would notice.
TEST_F(IniReaderTest, MatchesAnIndependentEncoderBothWays) {
    const std::string kPair =
        "_LastLogIdx=485652470100000004000000040000000100000018F6A7725EE90FDE7577091D600D1B79AF"
        "\r\nLastLogIdx=5747BA1169\r\n";
    ASSERT_TRUE(TestSupport::WriteFileText(path_, "[Config]\r\n" + kPair));
    ASSERT_TRUE(reader_.Load(path_));
    EXPECT_EQ(L"2", Answer(reader_, L"LastLogIdx"));
    ASSERT_TRUE(::DeleteFileW(path_.c_str()));
    CObfuscatedIniReader writer;
    writer.Load(path_);
    ASSERT_TRUE(writer.SetDword(kConfig, L"LastLogIdx", 2));
    EXPECT_EQ("[Config]\r\n" + kPair, FileText());
}

TEST_F(IniReaderTest, LoadStartsFromEmptyTables) {
    Load("[Config]\r\n" + Pair("A", EncipherDword(1)));
    Load("[Other]\r\nEnable=1\r\n");
    EXPECT_EQ(L"<none>", Answer(reader_, L"A"));
    SectionOf(kConfig, false);
}

TEST_F(IniReaderTest, PlainValuesAreNotAnswered) {
    Load("[Other]\r\nEnable=1\r\n");
    EXPECT_EQ(L"<none>", Answer(reader_, L"Enable", L"Other"));
    EXPECT_EQ((Section{{L"Enable", L"1"}}), SectionOf(L"Other"));  // parsed all the same
}

// Answered only with an exact header (74 characters, magic, version 1, valid, a
// known type) and data matching the digest; the checksum pairs are not checked.
TEST_F(IniReaderTest, ChangedDataDigitOrHeaderFailsButAChangedChecksumPairDoesNot) {
    const Record nine = EncipherDword(9);
    auto change = [&](size_t at, const char* digits) {
        return nine.header.substr(0, at) + digits + nine.header.substr(at + strlen(digits));
    };
    Record retyped = EncipherString("abcd");  // the type is outside the digest
    retyped.header[25] = '4';
    const struct {
        const char* key;
        Record record;
        const wchar_t* answer;
    } kCases[] = {
        {"Digit", {nine.header, Flip(nine.value, 0)}, L"<none>"},
        {"Checksum", {nine.header, Flip(nine.value, 8)}, L"9"},
        {"HeaderSum", {Flip(nine.header, 73), nine.value}, L"9"},
        {"BadVersion", {change(9, "2"), nine.value}, L"<none>"},
        {"Invalid", {change(32, "00000000"), nine.value}, L"<none>"},
        {"WrongType", {change(25, "3"), nine.value}, L"<none>"},
        {"Short", {nine.header, nine.value.substr(0, 6)}, L"<none>"},
        {"Lonely", {nine.header, ""}, L"<none>"},
        {"Longer", {nine.header + "0", nine.value}, L"<none>"},
        {"Shorter", {nine.header.substr(0, 73), nine.value}, L"<none>"},
        {"OtherMagic", {change(0, "5"), nine.value}, L"<none>"},
        {"Retyped", retyped, L"1684234849"},  // 0x64636261: "abcd" as an integer
    };
    std::string text = "[Config]\r\n";
    for (const auto& c : kCases) text += Pair(c.key, c.record);
    Load(text);
    for (const auto& c : kCases) EXPECT_EQ(c.answer, Answer(reader_, W(c.key))) << c.key;
    // Headers not of the exact form stay plain keys, as does a value failing the digest.
    Section section = SectionOf(kConfig);
    EXPECT_EQ(W(kCases[0].record.value), section[L"Digit"]);
    EXPECT_EQ(W(nine.header + "0"), section[L"_Longer"]);
    EXPECT_EQ(73u, section[L"_Shorter"].size());
    EXPECT_EQ(74u, section[L"_OtherMagic"].size());
}

// Blank lines, comments and lines without "=" are skipped; names and values are trimmed,
// and a section named again goes on where it left off.
TEST_F(IniReaderTest, LinesParseIntoTrimmedPairsOfTheirSection) {
    Load("top = 1\r\n\r\n   \r\n;comment=1\r\n[ Config ]\r\n" + Pair("A", EncipherDword(2)) +
         "[]\r\n  B  =  x ; not a comment \r\nnoequals\r\n=empty key\r\n[Dot.Section]\r\n" +
         "D=1\r\n[Config]\r\nC=\"quoted\"\r\n");
    EXPECT_EQ(L"2", Answer(reader_, L"A"));
    const Section config = SectionOf(kConfig);
    EXPECT_EQ(L"x ; not a comment", config.at(L"B"));
    EXPECT_EQ(L"empty key", config.at(L""));
    EXPECT_EQ(L"\"quoted\"", config.at(L"C"));
    EXPECT_EQ(0u, config.count(L"noequals") + config.count(L";comment"));
    EXPECT_EQ((Section{{L"top", L"1"}}), SectionOf(L""));
}

// Of two keys the first wins; of two headers the last, which here does not fit.
TEST_F(IniReaderTest, DuplicateKeyTakesTheFirstValueWithTheLastHeader) {
    const Record one = EncipherDword(1);
    const Record two = EncipherDword(2);
    Load("[Config]\r\nK=" + one.value + "\r\nK=" + two.value + "\r\n_K=" + two.header +
         "\r\n_K=" + one.header + "\r\n_L=" + one.header + "\r\n_L=" + two.header +
         "\r\nL=" + one.value + "\r\n");
    EXPECT_EQ(L"1", Answer(reader_, L"K"));
    EXPECT_EQ(L"<none>", Answer(reader_, L"L"));
}

// Composite names split at the first ".": a dotted section cannot be reached.
TEST_F(IniReaderTest, CompositeNamesSplitAtTheFirstDot) {
    Load("[Dot.Section]\r\n" + Pair("D", EncipherDword(2)));
    EXPECT_EQ(L"<none>", Answer(reader_, L"D", L"Dot.Section"));
    EXPECT_EQ(10u, SectionOf(L"Dot.Section")[L"D"].size());
    std::wstring text;
    EXPECT_FALSE(reader_.GetStringByName(L"NoDot", text));
}

TEST_F(IniReaderTest, LongLineIsParsedAsThreeChunks) {
    const std::string line = "A=" + std::string(1021, 'a') + "B=" + std::string(1021, 'b') +
                             "C=" + std::string(952, 'c');
    ASSERT_EQ(3000u, line.size());
    Load("[S]\r\n" + line);
    EXPECT_EQ((Section{{L"A", std::wstring(1021, L'a')},
                       {L"B", std::wstring(1021, L'b')},
                       {L"C", std::wstring(952, L'c')}}),
              SectionOf(L"S"));
}

TEST_F(IniReaderTest, WritesWithoutAUsableFileFail) {
    CObfuscatedIniReader unnamed;
    EXPECT_FALSE(unnamed.Load(L""));
    EXPECT_FALSE(unnamed.SetDword(kConfig, L"A", 1));
    const std::wstring missingFolder = folder_ / L"no\\such\\log.ini";
    EXPECT_FALSE(reader_.Load(missingFolder));
    EXPECT_FALSE(reader_.SetDword(kConfig, L"A", 1));
    EXPECT_FALSE(TestSupport::FileExists(missingFolder));
    EXPECT_FALSE(reader_.Load(path_));
    EXPECT_FALSE(reader_.SetString(kConfig, L"A", L""));  // nothing to encipher
    EXPECT_FALSE(TestSupport::FileExists(path_));
}

// Random and mutated files: no crash, and no answer but the enciphered values.
TEST_F(IniReaderTest, ArbitraryFilesYieldOnlyEncipheredValues) {
    const std::string valid = "[Config]\r\n" + Pair("Enable", EncipherDword(1)) +
                              Pair("MaxSize", EncipherDword(262144)) +
                              Pair("Name", EncipherString("plain text")) + "Plain=5\r\n";
    const std::set<std::wstring> allowed = {L"1", L"262144", L"plain text"};
    std::mt19937 random(20261209);
    const char kAlphabet[] = "[]=_;\r\n 0123456789ABCDEF48565247HVRGConfigEnableName.";
    for (int round = 0; round < 300; ++round) {
        std::string text = valid;
        const int kind = round % 3;  // replace, insert, erase
        for (int e = 0, edits = 1 + static_cast<int>(random() % 8); e < edits; ++e) {
            const size_t at = random() % text.size();
            const char c = kind == 2 ? static_cast<char>(random() % 256)
                                     : kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            if (kind == 0) text[at] = c;
            if (kind == 1) text.insert(at, 1, c);
            if (kind == 2 && text.erase(at, 1 + random() % 40).empty()) text = "x";
        }
        if (round % 10 == 9) {  // wholly random bytes
            text.resize(1 + random() % 3000);
            for (char& c : text) c = static_cast<char>(random() % 256);
        }
        ASSERT_TRUE(TestSupport::WriteFileText(path_, text));
        CObfuscatedIniReader reader;
        reader.Load(path_);
        Section section;
        reader.GetSection(kConfig, section);
        for (const auto& entry : section) {
            const std::wstring answer = Answer(reader, entry.first);
            EXPECT_TRUE(answer == L"<none>" || allowed.count(answer) == 1) << round << answer;
        }
    }
}

}  // namespace

// The logger reads its index straight from log.ini's bytes: it must answer as
// the reader does over the C runtime's text stream, whatever the file holds.
TEST_F(IniReaderTest, DwordReadFromTheBytesAnswersAsTheReader) {
    const Record five = EncipherDword(5);
    const Record six = EncipherDword(6);
    const std::string pair = Pair("LastLogIdx", five);
    const std::string utf16 = [&] {
        std::string wide = "\xFF\xFE";
        for (char c : "[Config]\r\n" + pair) wide += std::string{c, '\0'};
        return wide;
    }();
    const std::vector<std::string> files = {
        "",
        "[Config]\r\n" + pair,
        "[Config]\n_LastLogIdx=" + five.header + "\nLastLogIdx=" + five.value + "\n",
        "[Config]\r_LastLogIdx=" + five.header + "\rLastLogIdx=" + five.value,  // CR alone
        "[Config]\r\r\n_LastLogIdx=" + five.header + "\r\r\nLastLogIdx=" + five.value + "\r\r\n",
        "[Config]\r\n\x1A" + pair,                                // Ctrl+Z ends the stream
        "[Config]\r\n_LastLogIdx=" + five.header + "\r\x1A\r\n",  // CR before Ctrl+Z
        "[Config]\r\n_LastLogIdx=" + five.header + "\r\nLastLogIdx=" + five.value.substr(0, 4) +
            std::string(1, '\0') + five.value.substr(4) + "\r\n",  // a NUL cuts the line
        "[Config]\r\n" + std::string(1022, ' ') + "x" + pair,      // the pair starts a chunk
        "[Config]\r\n" + std::string(1021, ' ') + "x\r\n" + pair,  // CR LF across a chunk
        "[Config]\r\n;" + std::string(4080, 'c') + "\r\n" + pair,  // CR LF across a buffer
        "[Config]\r\nLastLogIdx=" + six.value + "\r\n_LastLogIdx=" + six.header + "\r\n" + pair,
        "[Config]\r\n_LastLogIdx=" + six.header + "\r\nLastLogIdx=" + five.value + "\r\n" + pair,
        "[Config]\r\n_LastLogIdx=plain\r\n" + pair,  // a plain "_" key first
        "[Config]\r\n" + pair + "_LastLogIdx=plain\r\n",
        "[config]\r\n" + pair,
        "[Config]\r\n_lastlogidx=" + five.header + "\r\nlastlogidx=" + five.value + "\r\n",
        " [ Config ] \r\n  _LastLogIdx  =  " + five.header + " \r\n\tLastLogIdx\t=\t" + five.value +
            "\t\r\n",
        "[Config]\r\n_LastLogIdx=" + five.header +
            "\r\n[Other]\r\n[Config]\r\nLastLogIdx=" + five.value + "\r\n",
        "[Other]\r\n" + pair,
        pair,  // before any section
        "[Config]\r\n" + Pair("LastLogIdx", EncipherString("7")),
        "[Config]\r\n" + Pair("LastLogIdx", EncipherString("  -2x")),
        "[Config]\r\n" + Pair("LastLogIdx", EncipherDword(0xFFFFFFFF)),
        utf16,
        "[Config]\r\n\xA0LastLogIdx=" + five.value + "\r\n_LastLogIdx=" + five.header + "\r\n",
        "[Config]\r\n_LastLogIdx=" + five.header + "0\r\nLastLogIdx=" + five.value + "\r\n",
        "[Config]\r\n[]\r\n[ ]\r\n" + pair,
    };
    std::mt19937 random(20261210);
    const char kAlphabet[] = "[]=_;\r\n\x1A 0123456789ABCDEF48565247Config.LastLogIdx";
    std::vector<std::string> mutated;
    for (int round = 0; round < 200; ++round) {
        std::string text = "[Config]\r\n" + pair + Pair("LastLogIdx", six);
        for (int e = 0, edits = 1 + static_cast<int>(random() % 6); e < edits; ++e) {
            const size_t at = random() % text.size();
            const char c = round % 4 == 3 ? static_cast<char>(random() % 256)
                                          : kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            if (round % 2 == 0) text[at] = c;
            if (round % 2 == 1) text.insert(at, 1, c);
        }
        mutated.push_back(text);
    }
    int found = 0;
    const std::vector<const std::vector<std::string>*> sets = {&files, &mutated};
    for (const std::vector<std::string>* set : sets) {
        for (size_t i = 0; i < set->size(); ++i) {
            const std::string& text = (*set)[i];
            ASSERT_TRUE(TestSupport::WriteFileText(path_, text));
            CObfuscatedIniReader reader;
            DWORD expected = 0;
            const bool expectedFound =
                reader.Load(path_) && reader.GetDword(kConfig, L"LastLogIdx", expected);
            DWORD value = 0;
            const bool valueFound = Basalt::FindObfuscatedDword(text.data(), text.size(), kConfig,
                                                                L"LastLogIdx", value);
            EXPECT_EQ(expectedFound, valueFound) << (set == &files ? "file " : "mutation ") << i;
            if (expectedFound && valueFound) {
                EXPECT_EQ(expected, value) << i;
            }
            found += expectedFound ? 1 : 0;
        }
    }
    // The table reaches both answers.
    EXPECT_GT(found, 10);
    EXPECT_LT(found, static_cast<int>(files.size() + mutated.size()));
}
