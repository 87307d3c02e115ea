// INI files with enciphered values.
//
// CBaseIniReader parses a file into memory and writes plain values;
// CObfuscatedIniReader keeps the parsed values, deciphers the enciphered ones
// when a file is loaded, and writes every value enciphered: a header under
// "_" + key and the ciphertext under the key, both in the structure form of
// the Windows profile functions (hexadecimal pairs and a checksum pair).
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "basalt/UniqueHandle.h"

namespace Basalt {

// The registry type numbers that INI entries carry.
constexpr DWORD kIniTypeString = REG_SZ;
constexpr DWORD kIniTypeDword = REG_DWORD;

// A key's value: the text as read, or the deciphered plain value.
struct IniEntry {
    std::wstring text;
    bool obfuscated = false;
    DWORD type = kIniTypeString;
};

#pragma pack(push, 1)
// The header of an enciphered value, stored under "_" + key.
struct ObfuscatedIniHeader {
    BYTE magic[4];    // "HVRG"
    DWORD version;    // 1
    DWORD length;     // ciphertext bytes
    DWORD type;       // 1 string, 4 integer
    DWORD valid;      // 1 when written; non-zero when read
    BYTE digest[16];  // MD5 of the ciphertext alone
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedIniHeader) == 36, "the INI value header is 36 bytes");

// Whether a "_KEY" value's text has the form of a header: 74 characters that
// start with "48565247". Only such text is taken for a header when a file is read.
bool IsObfuscatedIniHeaderText(const std::wstring& text);

// Deciphers one pair as log.ini stores it: the "_KEY" header text and the KEY
// value text (hexadecimal pairs plus a checksum pair). 0 with the plain text
// and type (1 or 4; an integer comes back formatted with "%d");
// ERROR_INVALID_DATA when it does not check out.
LONG DecodeObfuscatedIniPair(const std::wstring& headerText, const std::wstring& valueText,
                             DWORD& type, std::wstring& plainText);

// The chunks a reader of a file's bytes gets from fgets over a text-mode
// stream of the C runtime: the bytes end at the first Ctrl+Z, a CR right
// before an LF is dropped, and a chunk ends after an LF or when it holds
// kIniChunkBytes - 1 bytes. Views the bytes; no allocation.
constexpr size_t kIniChunkBytes = 1024;
class CTextModeChunks {
  public:
    CTextModeChunks(const char* bytes, size_t size);
    // The next chunk into `chunk`, terminated; false when none is left.
    bool Next(char (&chunk)[kIniChunkBytes]);

  private:
    const char* next_;
    const char* end_;
};

// One line (or chunk) of an INI file as the reader takes it, once converted
// from the thread's ANSI code page and trimmed: a section header with a name,
// a key and its value, or nothing (blank, comment, or neither form).
struct IniLine {
    enum class Kind { kNothing, kSection, kValue };
    Kind kind = Kind::kNothing;
    std::wstring_view name;  // the section's, or the key's; views the text
    std::wstring_view value;
};
IniLine SplitIniLine(std::wstring_view text);

// What CObfuscatedIniReader::LoadFromHandle followed by GetDword(section,
// key) answers for a file of `bytes`, read straight from them: true with the
// value when the key holds an enciphered value that checks out. The same
// chunks, conversion, first key and last header as the reader; no allocation
// for an integer value.
bool FindObfuscatedDword(const char* bytes, size_t size, std::wstring_view section,
                         std::wstring_view key, DWORD& value);

// Parses a file and writes plain values; storage and lookup are the derived
// class's. Not thread-safe: one reader per use.
class CBaseIniReader {
  public:
    CBaseIniReader() = default;
    virtual ~CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    // Parses `fileName`. False for an empty name or a file that cannot be
    // read; a missing file keeps its name, so that a later write creates it.
    virtual bool Load(const std::wstring& fileName);
    // Parses the file open as `file` (read access), a handle that the caller
    // has checked, and keeps `fileName` for later writes; takes the handle
    // over. False, with no file name, when it cannot be read.
    virtual bool LoadFromHandle(const std::wstring& fileName, UniqueHandle file);
    // The value of `key` in `section`, through the ByName lookups.
    virtual bool GetDword(const std::wstring& section, const std::wstring& key, DWORD& value);
    virtual bool GetString(const std::wstring& section, const std::wstring& key,
                           std::wstring& text);
    // Lookups by composite name ("section.key", split at the first ".").
    virtual bool GetDwordByName(const std::wstring& name, DWORD& value) = 0;
    virtual bool GetStringByName(const std::wstring& name, std::wstring& text) = 0;
    // Copies every key of `section` and its text; false when it is missing.
    virtual bool GetSection(const std::wstring& section,
                            std::map<std::wstring, std::wstring>& values) = 0;
    // Writes the signed decimal form of `value` through SetString.
    virtual bool SetDword(const std::wstring& section, const std::wstring& key, DWORD value);
    // Writes `text` to the file, then stores it; false when either fails.
    virtual bool SetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& text);
    // Stores a value in memory; without `overwrite`, a key already present wins.
    virtual bool StoreValue(const std::wstring& section, const std::wstring& key,
                            const std::wstring& text, bool overwrite) = 0;
    // Parses one line (or one chunk of a long line) of the file.
    virtual void ParseLine(const char* line);

    const std::wstring& FileName() const { return fileName_; }

  protected:
    // Parses a stream line by line, as Load reads the file.
    void ParseStream(FILE* stream);

    std::wstring fileName_;
    std::wstring currentSection_;
};

// Keeps the values in memory, deciphers enciphered ones at the end of a load
// and answers only those (or those it wrote enciphered itself).
class CObfuscatedIniReader : public CBaseIniReader {
  public:
    CObfuscatedIniReader() = default;
    ~CObfuscatedIniReader() override = default;

    bool Load(const std::wstring& fileName) override;
    bool LoadFromHandle(const std::wstring& fileName, UniqueHandle file) override;
    bool GetDwordByName(const std::wstring& name, DWORD& value) override;
    bool GetStringByName(const std::wstring& name, std::wstring& text) override;
    bool GetSection(const std::wstring& section,
                    std::map<std::wstring, std::wstring>& values) override;
    // Enciphered writes: the header, then the ciphertext; false when the file
    // name is empty or either write fails (a header already written stays).
    bool SetDword(const std::wstring& section, const std::wstring& key, DWORD value) override;
    bool SetString(const std::wstring& section, const std::wstring& key,
                   const std::wstring& text) override;
    bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& text,
                    bool overwrite) override;

  private:
    using ValueTable = std::unordered_map<std::wstring, IniEntry>;

    // Empties the reader, runs `load` and deciphers what it read.
    template <typename LoadFn>
    bool LoadWith(LoadFn load);
    IniEntry* FindEntry(const std::wstring& name);
    void DecipherPendingHeaders();
    bool WriteEnciphered(const std::wstring& section, const std::wstring& key, const BYTE* plain,
                         DWORD length, DWORD type);

    std::unordered_map<std::wstring, ValueTable> sections_;
    std::unordered_map<std::wstring, std::wstring> pendingHeaders_;
    bool obfuscatedOnly_ = true;
};

}  // namespace Basalt
