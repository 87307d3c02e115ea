#include "logging/file/IniReader.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include "basalt/Cipher.h"
#include "basalt/Md5.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"

namespace Basalt {
namespace {

constexpr wchar_t kHeaderKeyPrefix = L'_';
constexpr size_t kHeaderTextChars = 74;
constexpr wchar_t kHeaderMagicText[] = L"48565247";  // "HVRG" as hexadecimal pairs
constexpr BYTE kHeaderMagic[4] = {'H', 'V', 'R', 'G'};
constexpr DWORD kHeaderVersion = 1;
constexpr int kIniCipherRounds = 1;

// Splits a composite name at its first "."; none gives the empty section and key.
void SplitName(const std::wstring& name, std::wstring& section, std::wstring& key) {
    const size_t dot = name.find(L'.');
    if (dot == std::wstring::npos) {
        section.clear();
        key.clear();
        return;
    }
    section = name.substr(0, dot);
    key = name.substr(dot + 1);
}

// Reads `count` bytes from the first 2 * count hexadecimal digits of `text`.
bool ReadHexBytes(std::wstring_view text, size_t count, BYTE* bytes) {
    if (text.size() < count * 2) return false;
    for (size_t i = 0; i < count; ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<BYTE>(high * 16 + low);
    }
    return true;
}

// A fresh cipher for one INI value.
CFeedbackCipher MakeIniCipher() {
    return CFeedbackCipher(reinterpret_cast<const BYTE*>(kIniValueKey), kCipherKeyLength,
                           kIniCipherRounds);
}

// Reads and checks one pair as log.ini stores it (the "_KEY" header text and
// the KEY value text: hexadecimal pairs plus a checksum pair) and hands its
// plain bytes, their count and the type to `use`; ERROR_INVALID_DATA when it
// does not check out. A value short enough for one line of the file needs no
// allocation.
template <typename Use>
LONG WithDecipheredPair(std::wstring_view headerText, std::wstring_view valueText, Use&& use) {
    ObfuscatedIniHeader header;
    if (!ReadHexBytes(headerText, sizeof(header), reinterpret_cast<BYTE*>(&header)) ||
        memcmp(header.magic, kHeaderMagic, sizeof(kHeaderMagic)) != 0 ||
        header.version != kHeaderVersion || header.valid == 0) {
        return ERROR_INVALID_DATA;
    }
    size_t count;
    if (header.type == kIniTypeString) {
        // The ciphertext's pairs, without the checksum pair at the end.
        count = valueText.empty() ? 0 : (valueText.size() - 1) / 2;
    } else if (header.type == kIniTypeDword) {
        count = sizeof(DWORD);
    } else {
        return ERROR_INVALID_DATA;
    }
    constexpr size_t kInlineBytes = kIniChunkBytes / 2;
    BYTE inlineCipher[kInlineBytes];
    BYTE inlinePlain[kInlineBytes];
    std::vector<BYTE> allocated;
    BYTE* cipher = inlineCipher;
    BYTE* plain = inlinePlain;
    if (count > kInlineBytes) {
        allocated.resize(2 * count);
        cipher = allocated.data();
        plain = cipher + count;
    }
    if (count == 0 || count != header.length || !ReadHexBytes(valueText, count, cipher) ||
        VerifyMd5(cipher, count, header.digest, sizeof(header.digest)) != 0) {
        return ERROR_INVALID_DATA;
    }
    CFeedbackCipher decipher = MakeIniCipher();
    if (!decipher.Decrypt(cipher, plain, count)) return ERROR_INVALID_DATA;
    use(static_cast<const BYTE*>(plain), count, header.type);
    return ERROR_SUCCESS;
}

// The text of a deciphered value: a string through the thread's code page, an
// integer in signed decimal.
std::wstring PlainText(const BYTE* plain, size_t count, DWORD type) {
    if (type == kIniTypeString) {
        return WideFromCodePage(CP_THREAD_ACP,
                                std::string(reinterpret_cast<const char*>(plain), count));
    }
    LONG number;
    memcpy(&number, plain, sizeof(number));
    return FormatString(L"%d", static_cast<int>(number));
}

// A value's text as GetDword reads it: leading blanks and a sign allowed, no
// digits give 0.
DWORD DwordFromText(const std::wstring& text) {
    return static_cast<DWORD>(::wcstol(text.c_str(), nullptr, 10));
}

bool IsHeaderText(std::wstring_view text) {
    return text.size() == kHeaderTextChars && text.compare(0, 8, kHeaderMagicText) == 0;
}

}  // namespace

bool IsObfuscatedIniHeaderText(const std::wstring& text) { return IsHeaderText(text); }

LONG DecodeObfuscatedIniPair(const std::wstring& headerText, const std::wstring& valueText,
                             DWORD& type, std::wstring& plainText) {
    return WithDecipheredPair(headerText, valueText,
                              [&](const BYTE* plain, size_t count, DWORD plainType) {
                                  plainText = PlainText(plain, count, plainType);
                                  type = plainType;
                              });
}

CTextModeChunks::CTextModeChunks(const char* bytes, size_t size)
    : next_(bytes), end_(size == 0 ? bytes : bytes + size) {
    // A text-mode stream ends at the first Ctrl+Z.
    if (const void* stop = size == 0 ? nullptr : memchr(bytes, 0x1A, size)) {
        end_ = static_cast<const char*>(stop);
    }
}

bool CTextModeChunks::Next(char (&chunk)[kIniChunkBytes]) {
    if (next_ == end_) return false;
    size_t count = 0;
    while (next_ != end_ && count < kIniChunkBytes - 1) {
        const char c = *next_++;
        // CR LF reads as LF; a CR alone stays.
        if (c == '\r' && next_ != end_ && *next_ == '\n') continue;
        chunk[count++] = c;
        if (c == '\n') break;
    }
    chunk[count] = '\0';
    return true;
}

IniLine SplitIniLine(std::wstring_view text) {
    IniLine line;
    text = TrimWhiteSpaceView(text);
    if (text.empty() || text[0] == L';') return line;
    if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
        const std::wstring_view name = TrimWhiteSpaceView(text.substr(1, text.size() - 2));
        if (!name.empty()) {
            line.kind = IniLine::Kind::kSection;
            line.name = name;
        }
        return line;
    }
    const size_t equals = text.find(L'=');
    if (equals == std::wstring_view::npos) return line;
    line.kind = IniLine::Kind::kValue;
    line.name = TrimWhiteSpaceView(text.substr(0, equals));
    line.value = TrimWhiteSpaceView(text.substr(equals + 1));
    return line;
}

bool FindObfuscatedDword(const char* bytes, size_t size, std::wstring_view section,
                         std::wstring_view key, DWORD& value) {
    // The reader keeps the first value of a key in its section, and the last
    // header ("_" + key, in header form) of that key deciphers it at the end.
    // A "_" + key line not in header form is kept as a value of its own, and
    // the headers after it are then ignored as repeats of that key.
    wchar_t entry[kIniChunkBytes];
    wchar_t header[kIniChunkBytes];
    size_t entryLength = 0;
    size_t headerLength = 0;
    bool entryKept = false;
    bool headerKept = false;
    bool plainHeaderKept = false;
    bool inSection = section.empty();  // before any header: the section without a name
    CTextModeChunks chunks(bytes, size);
    char chunk[kIniChunkBytes];
    wchar_t wide[kIniChunkBytes];
    while (chunks.Next(chunk)) {
        // As the reader: the chunk up to its first NUL, through the code page.
        const int byteCount = static_cast<int>(strlen(chunk));
        const int length = byteCount == 0
                               ? 0
                               : ::MultiByteToWideChar(CP_THREAD_ACP, 0, chunk, byteCount, wide,
                                                       static_cast<int>(kIniChunkBytes));
        if (length <= 0) continue;
        const IniLine line = SplitIniLine(std::wstring_view(wide, static_cast<size_t>(length)));
        if (line.kind == IniLine::Kind::kSection) {
            inSection = line.name == section;
            continue;
        }
        if (line.kind != IniLine::Kind::kValue || !inSection) continue;
        if (line.name == key) {
            if (entryKept) continue;
            entryKept = true;
            entryLength = line.value.size();
            wmemcpy(entry, line.value.data(), entryLength);
        } else if (line.name.size() == key.size() + 1 && line.name[0] == kHeaderKeyPrefix &&
                   line.name.substr(1) == key && !plainHeaderKept) {
            if (IsHeaderText(line.value)) {
                headerKept = true;
                headerLength = line.value.size();
                wmemcpy(header, line.value.data(), headerLength);
            } else {
                plainHeaderKept = true;
            }
        }
    }
    if (!entryKept || !headerKept) return false;
    const LONG code = WithDecipheredPair(
        std::wstring_view(header, headerLength), std::wstring_view(entry, entryLength),
        [&value](const BYTE* plain, size_t count, DWORD type) {
            if (type == kIniTypeDword) {
                memcpy(&value, plain, sizeof(value));
            } else {
                value = DwordFromText(PlainText(plain, count, type));
            }
        });
    return code == ERROR_SUCCESS;
}

bool CBaseIniReader::Load(const std::wstring& fileName) {
    if (fileName.empty()) return false;
    fileName_ = fileName;
    currentSection_.clear();
    // Opened with full sharing: other programs read and write this file (the
    // profile functions of another logger of the same folder, the operator
    // tool) while it is read here, and neither side may shut the other out.
    errno = 0;
    UniqueCFile file(::_wfsopen(fileName.c_str(), L"r", _SH_DENYNO));
    if (!file) {
        // A missing file is created by the first write; any other failure
        // leaves no usable file.
        if (errno != ENOENT) fileName_.clear();
        return false;
    }
    ParseStream(file.get());
    return true;
}

bool CBaseIniReader::LoadFromHandle(const std::wstring& fileName, UniqueHandle file) {
    fileName_.clear();
    currentSection_.clear();
    if (fileName.empty() || !file) return false;
    // A text-mode stream over the handle reads exactly as Load's does (line
    // ends, an end-of-file mark). The descriptor takes the handle over, and
    // the stream the descriptor.
    const int descriptor =
        ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_TEXT);
    if (descriptor == -1) return false;
    file.release();
    UniqueCFile stream(::_fdopen(descriptor, "r"));
    if (!stream) {
        ::_close(descriptor);
        return false;
    }
    fileName_ = fileName;
    ParseStream(stream.get());
    return true;
}

void CBaseIniReader::ParseStream(FILE* stream) {
    char chunk[kIniChunkBytes];
    while (::fgets(chunk, static_cast<int>(kIniChunkBytes), stream) != nullptr) ParseLine(chunk);
}

bool CBaseIniReader::GetDword(const std::wstring& section, const std::wstring& key, DWORD& value) {
    return GetDwordByName(section + L"." + key, value);
}

bool CBaseIniReader::GetString(const std::wstring& section, const std::wstring& key,
                               std::wstring& text) {
    return GetStringByName(section + L"." + key, text);
}

bool CBaseIniReader::SetDword(const std::wstring& section, const std::wstring& key, DWORD value) {
    return SetString(section, key, FormatString(L"%d", static_cast<int>(value)));
}

bool CBaseIniReader::SetString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& text) {
    if (fileName_.empty()) return false;
    if (!::WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(),
                                      fileName_.c_str())) {
        return false;
    }
    return StoreValue(section, key, text, /*overwrite=*/true);
}

void CBaseIniReader::ParseLine(const char* line) {
    if (line == nullptr) return;
    const std::wstring text = WideFromCodePage(CP_THREAD_ACP, line);
    const IniLine parsed = SplitIniLine(text);
    if (parsed.kind == IniLine::Kind::kSection) {
        currentSection_.assign(parsed.name);
    } else if (parsed.kind == IniLine::Kind::kValue) {
        StoreValue(currentSection_, std::wstring(parsed.name), std::wstring(parsed.value),
                   /*overwrite=*/false);
    }
}

template <typename LoadFn>
bool CObfuscatedIniReader::LoadWith(LoadFn load) {
    sections_.clear();
    pendingHeaders_.clear();
    if (!load()) {
        sections_.clear();
        pendingHeaders_.clear();
        return false;
    }
    DecipherPendingHeaders();
    pendingHeaders_.clear();
    return true;
}

bool CObfuscatedIniReader::Load(const std::wstring& fileName) {
    return LoadWith([&] { return CBaseIniReader::Load(fileName); });
}

bool CObfuscatedIniReader::LoadFromHandle(const std::wstring& fileName, UniqueHandle file) {
    return LoadWith([&] { return CBaseIniReader::LoadFromHandle(fileName, std::move(file)); });
}

void CObfuscatedIniReader::DecipherPendingHeaders() {
    for (const auto& pending : pendingHeaders_) {
        IniEntry* entry = FindEntry(pending.first);
        if (entry == nullptr) continue;
        DWORD type = 0;
        std::wstring plain;
        // A pair that does not check out stays as read, and so is not answered.
        if (DecodeObfuscatedIniPair(pending.second, entry->text, type, plain) != ERROR_SUCCESS) {
            continue;
        }
        entry->text = plain;
        entry->obfuscated = true;
        entry->type = type;
    }
}

IniEntry* CObfuscatedIniReader::FindEntry(const std::wstring& name) {
    std::wstring section;
    std::wstring key;
    SplitName(name, section, key);
    auto table = sections_.find(section);
    if (table == sections_.end()) return nullptr;
    auto entry = table->second.find(key);
    return entry == table->second.end() ? nullptr : &entry->second;
}

bool CObfuscatedIniReader::GetStringByName(const std::wstring& name, std::wstring& text) {
    const IniEntry* entry = FindEntry(name);
    if (entry == nullptr || (obfuscatedOnly_ && !entry->obfuscated)) return false;
    text = entry->text;
    return true;
}

bool CObfuscatedIniReader::GetDwordByName(const std::wstring& name, DWORD& value) {
    std::wstring text;
    if (!GetStringByName(name, text)) return false;
    value = DwordFromText(text);
    return true;
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section,
                                      std::map<std::wstring, std::wstring>& values) {
    auto table = sections_.find(section);
    if (table == sections_.end()) return false;
    for (const auto& entry : table->second) values[entry.first] = entry.second.text;
    return true;
}

bool CObfuscatedIniReader::StoreValue(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& text, bool overwrite) {
    auto table = sections_.find(section);
    if (table != sections_.end() && !overwrite && table->second.count(key) != 0) return false;
    if (!key.empty() && key[0] == kHeaderKeyPrefix && IsObfuscatedIniHeaderText(text)) {
        pendingHeaders_[section + L"." + key.substr(1)] = text;  // the last one wins
        return false;
    }
    sections_[section][key] = IniEntry{text, false, kIniTypeString};
    return true;
}

bool CObfuscatedIniReader::WriteEnciphered(const std::wstring& section, const std::wstring& key,
                                           const BYTE* plain, DWORD length, DWORD type) {
    // With no file name the profile functions would fall back to win.ini.
    if (fileName_.empty()) return false;
    std::vector<BYTE> cipher(length);
    ObfuscatedIniHeader header = {};
    memcpy(header.magic, kHeaderMagic, sizeof(kHeaderMagic));
    header.version = kHeaderVersion;
    header.length = length;
    header.type = type;
    header.valid = 1;
    CFeedbackCipher encipher = MakeIniCipher();
    if (!encipher.Encrypt(plain, cipher.data(), length) ||
        ComputeMd5(cipher.data(), length, header.digest, sizeof(header.digest)) != 0) {
        return false;
    }
    const std::wstring headerKey = kHeaderKeyPrefix + key;
    return ::WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), &header, sizeof(header),
                                        fileName_.c_str()) &&
           ::WritePrivateProfileStructW(section.c_str(), key.c_str(), cipher.data(), length,
                                        fileName_.c_str());
}

bool CObfuscatedIniReader::SetString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& text) {
    const std::string plain = CodePageFromWide(CP_THREAD_ACP, text);
    if (!WriteEnciphered(section, key, reinterpret_cast<const BYTE*>(plain.data()),
                         static_cast<DWORD>(plain.size()), kIniTypeString)) {
        return false;
    }
    sections_[section][key] = IniEntry{text, true, kIniTypeString};
    return true;
}

bool CObfuscatedIniReader::SetDword(const std::wstring& section, const std::wstring& key,
                                    DWORD value) {
    if (fileName_.empty()) return false;
    BYTE plain[sizeof(DWORD)];
    memcpy(plain, &value, sizeof(plain));  // little-endian on every Windows target
    if (!WriteEnciphered(section, key, plain, sizeof(plain), kIniTypeDword)) return false;
    sections_[section][key] =
        IniEntry{FormatString(L"%d", static_cast<int>(value)), true, kIniTypeDword};
    return true;
}

}  // namespace Basalt
