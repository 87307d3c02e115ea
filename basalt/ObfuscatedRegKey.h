// Registry keys whose values are stored as enciphered, digest-checked
// REG_BINARY records, whatever type the caller reads or writes.
//
// As CRegKey: a key owns its handle and closes it when destroyed, and belongs
// to one thread at a time. The record functions keep no state (any thread).
#pragma once

#include <windows.h>

#include "basalt/RegKey.h"

namespace Basalt {

// The 32-byte header that starts every record; the payload follows.
#pragma pack(push, 1)
struct ObfuscatedValueHeader {
    BYTE magic[4];    // "HVRG"
    DWORD version;    // 1
    DWORD length;     // payload bytes
    DWORD type;       // registry type of the plain value
    BYTE digest[16];  // MD5 of the whole record computed with these bytes zero
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedValueHeader) == 32, "record header is 32 bytes");

// Builds a record of `plainLength` + 32 bytes: 0, ERROR_INSUFFICIENT_BUFFER when `capacity` is too
// small, 6000 when enciphering or the digest fails.
LONG PackObfuscatedValue(const BYTE* plain, DWORD plainLength, DWORD type, BYTE* record,
                         DWORD capacity);

// Checks and opens a record: ERROR_INVALID_DATA when it does not check out, ERROR_MORE_DATA (with
// the length needed) for a small buffer, 6001 when deciphering fails, else 0. Null `type`, `plain`
// or `plainLength` skip that output.
LONG UnpackObfuscatedValue(const BYTE* record, DWORD recordSize, DWORD* type, BYTE* plain,
                           DWORD* plainLength);

// Reads the raw record of `valueName` below `key` (through the ANSI code
// page name) and opens it: the codes of UnpackObfuscatedValue, ERROR_INVALID_DATA for a value
// that is not REG_BINARY, ERROR_OUTOFMEMORY when a buffer cannot be allocated, or the
// registry's own code.
LONG ReadObfuscatedValue(HKEY key, const wchar_t* valueName, BYTE* plain, DWORD* plainLength,
                         DWORD* type);

// An implementation whose QueryValue and SetValue work on records.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
  public:
    LONG QueryValue(const wchar_t* valueName, DWORD* type, void* data, DWORD* byteCount) override;
    LONG SetValue(const wchar_t* valueName, DWORD type, const void* data, DWORD byteCount) override;
};

class CObfuscatedRegKey : public CRegKey {
  public:
    CObfuscatedRegKey();
    ~CObfuscatedRegKey() override;
};

}  // namespace Basalt
