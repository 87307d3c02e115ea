#include "basalt/ObfuscatedRegKey.h"

#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>
#include <string>

#include "basalt/Cipher.h"
#include "basalt/Md5.h"

namespace Basalt {

namespace {

constexpr BYTE kRecordMagic[4] = {'H', 'V', 'R', 'G'};
constexpr DWORD kRecordVersion = 1;
constexpr DWORD kHeaderSize = sizeof(ObfuscatedValueHeader);
constexpr DWORD kFirstReadSize = 256;
constexpr DWORD kMaxPlainLength = MAXDWORD - kHeaderSize;
constexpr int kRecordRounds = 1;

CFeedbackCipher MakeRecordCipher() {
    return CFeedbackCipher(reinterpret_cast<const BYTE*>(kRegistryValueKey), kCipherKeyLength,
                           kRecordRounds);
}

// MD5 of the header with its digest field zeroed, followed by the payload.
// Works on a copy of the header so that the caller's record is never touched.
void RecordDigest(const ObfuscatedValueHeader& header, const BYTE* payload, DWORD payloadLength,
                  BYTE (&digest)[kMd5DigestSize]) {
    ObfuscatedValueHeader zeroed = header;
    memset(zeroed.digest, 0, sizeof(zeroed.digest));
    CMd5 md5;
    md5.Update(reinterpret_cast<const BYTE*>(&zeroed), kHeaderSize);
    md5.Update(payload, payloadLength);
    md5.Finish(digest);
}

// The value name in the calling thread's ANSI code page, as the records are
// stored through the A entry points. A null name (the default value) stays null.
LONG ToAnsiName(const wchar_t* name, std::string& ansi) {
    if (name == nullptr) return ERROR_SUCCESS;
    if (*name == L'\0') {
        ansi.clear();
        return ERROR_SUCCESS;
    }
    const int size =
        ::WideCharToMultiByte(CP_THREAD_ACP, /*flags=*/0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return static_cast<LONG>(::GetLastError());
    ansi.assign(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_THREAD_ACP, /*flags=*/0, name, -1, &ansi[0], size, nullptr,
                              nullptr) <= 0) {
        return static_cast<LONG>(::GetLastError());
    }
    ansi.resize(static_cast<size_t>(size) - 1);
    return ERROR_SUCCESS;
}

const char* NameOrNull(const wchar_t* name, const std::string& ansi) {
    return name == nullptr ? nullptr : ansi.c_str();
}

LONG LastErrorOr(LONG fallback) {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

// UTF-16 characters of `length` UTF-8 bytes; 0 for no bytes.
int Utf16Length(const BYTE* utf8, DWORD length) {
    if (length == 0) return 0;
    return ::MultiByteToWideChar(CP_UTF8, /*flags=*/0, reinterpret_cast<const char*>(utf8),
                                 static_cast<int>(length), nullptr, 0);
}

// Plain REG_SZ payload (UTF-8 with its zero) into the caller's UTF-16 buffer.
LONG DecodeString(const BYTE* plain, DWORD length, void* data, DWORD* byteCount) {
    const int needed = Utf16Length(plain, length);
    if (needed <= 0) return LastErrorOr(ERROR_INVALID_DATA);
    const DWORD capacity = *byteCount / sizeof(wchar_t);
    *byteCount = static_cast<DWORD>(needed) * sizeof(wchar_t);
    if (data == nullptr) return ERROR_SUCCESS;
    if (static_cast<DWORD>(needed) > capacity) return ERROR_MORE_DATA;
    const int written =
        ::MultiByteToWideChar(CP_UTF8, /*flags=*/0, reinterpret_cast<const char*>(plain),
                              static_cast<int>(length), static_cast<wchar_t*>(data), needed);
    if (written <= 0) return LastErrorOr(ERROR_INVALID_DATA);
    *byteCount = static_cast<DWORD>(written) * sizeof(wchar_t);
    return ERROR_SUCCESS;
}

// Plain REG_MULTI_SZ payload (UTF-8 strings each with a zero, then a zero)
// into the caller's UTF-16 buffer. A payload cut short still ends the list.
LONG DecodeMultiString(const BYTE* plain, DWORD length, void* data, DWORD* byteCount) {
    wchar_t* buffer = static_cast<wchar_t*>(data);
    const DWORD originalBytes = *byteCount;
    const DWORD capacity = originalBytes / sizeof(wchar_t);
    DWORD used = 0;        // characters written
    DWORD totalBytes = 0;  // bytes needed for the strings, terminators included
    bool overflow = false;
    for (DWORD pos = 0; pos < length && plain[pos] != 0;) {
        const BYTE* end = static_cast<const BYTE*>(memchr(plain + pos, 0, length - pos));
        const DWORD segment = end != nullptr ? static_cast<DWORD>(end - plain) - pos : length - pos;
        const int chars = Utf16Length(plain + pos, segment);
        if (chars <= 0) return LastErrorOr(ERROR_INVALID_DATA);
        totalBytes += (static_cast<DWORD>(chars) + 1) * sizeof(wchar_t);
        if (buffer != nullptr && !overflow && static_cast<DWORD>(chars) + 1 <= capacity - used) {
            ::MultiByteToWideChar(CP_UTF8, /*flags=*/0, reinterpret_cast<const char*>(plain + pos),
                                  static_cast<int>(segment), buffer + used, chars);
            used += static_cast<DWORD>(chars);
            buffer[used++] = L'\0';
        } else {
            overflow = true;  // the rest is only measured
        }
        pos += segment + 1;
    }
    *byteCount = totalBytes + sizeof(wchar_t);
    if (buffer == nullptr) return ERROR_SUCCESS;
    if (overflow || capacity - used < 1) {
        memset(buffer, 0, originalBytes);
        return ERROR_MORE_DATA;
    }
    buffer[used] = L'\0';
    return ERROR_SUCCESS;
}

LONG DecodeOther(const BYTE* plain, DWORD length, void* data, DWORD* byteCount) {
    const DWORD capacity = *byteCount;
    *byteCount = length;
    if (data == nullptr) return ERROR_SUCCESS;
    if (capacity < length) return ERROR_MORE_DATA;
    if (length > 0) memcpy(data, plain, length);
    return ERROR_SUCCESS;
}

// UTF-8 of `chars` characters of `text` followed by one zero byte, written to
// `out` (room for `capacity` bytes) or only measured when `out` is null.
// Returns the byte count, or 0 with the system's error in `error`.
DWORD AppendUtf8(const wchar_t* text, size_t chars, BYTE* out, DWORD capacity, LONG& error) {
    int bytes = 0;
    if (chars > 0) {
        const int room = out != nullptr ? static_cast<int>(capacity - 1) : 0;
        bytes = ::WideCharToMultiByte(CP_UTF8, /*flags=*/0, text, static_cast<int>(chars),
                                      reinterpret_cast<char*>(out), room, nullptr, nullptr);
        if (bytes <= 0) {
            error = LastErrorOr(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (out != nullptr) out[bytes] = 0;
    return static_cast<DWORD>(bytes) + 1;
}

// The plain bytes of a REG_SZ write. The text is read up to its terminator but
// never past the caller's byte count.
LONG EncodeString(const wchar_t* text, DWORD byteCount, std::unique_ptr<BYTE[]>& plain,
                  DWORD& length) {
    const size_t chars = ::wcsnlen(text, byteCount / sizeof(wchar_t));
    LONG error = ERROR_SUCCESS;
    length = AppendUtf8(text, chars, nullptr, 0, error);
    if (length == 0) return error;
    plain.reset(new (std::nothrow) BYTE[length]);
    if (!plain) return ERROR_OUTOFMEMORY;
    if (AppendUtf8(text, chars, plain.get(), length, error) == 0) return error;
    return ERROR_SUCCESS;
}

// The plain bytes of a REG_MULTI_SZ write: each string's UTF-8 with its zero,
// then one more zero. The list is read no further than the caller's byte count.
LONG EncodeMultiString(const wchar_t* list, DWORD byteCount, std::unique_ptr<BYTE[]>& plain,
                       DWORD& length) {
    const size_t maxChars = byteCount / sizeof(wchar_t);
    LONG error = ERROR_SUCCESS;
    for (int pass = 0; pass < 2; ++pass) {
        BYTE* out = pass == 0 ? nullptr : plain.get();
        DWORD total = 0;
        for (size_t pos = 0; pos < maxChars;) {
            const size_t chars = ::wcsnlen(list + pos, maxChars - pos);
            if (chars == 0) break;
            BYTE* at = out != nullptr ? out + total : nullptr;
            const DWORD room = out != nullptr ? length - total : 0;
            const DWORD bytes = AppendUtf8(list + pos, chars, at, room, error);
            if (bytes == 0) return error;
            total += bytes;
            pos += chars + 1;
        }
        if (out != nullptr) out[total] = 0;
        length = total + 1;
        if (pass == 0) {
            plain.reset(new (std::nothrow) BYTE[length]);
            if (!plain) return ERROR_OUTOFMEMORY;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

LONG PackObfuscatedValue(const BYTE* plain, DWORD plainLength, DWORD type, BYTE* record,
                         DWORD capacity) {
    CFeedbackCipher cipher = MakeRecordCipher();
    if (plainLength > kMaxPlainLength || capacity < plainLength + kHeaderSize) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (record == nullptr) return ERROR_INVALID_PARAMETER;
    if (!cipher.Encrypt(plain, record + kHeaderSize, plainLength)) return ERROR_ENCRYPTION_FAILED;

    ObfuscatedValueHeader header = {};
    memcpy(header.magic, kRecordMagic, sizeof(header.magic));
    header.version = kRecordVersion;
    header.length = plainLength;
    header.type = type;
    RecordDigest(header, record + kHeaderSize, plainLength, header.digest);
    memcpy(record, &header, kHeaderSize);
    return ERROR_SUCCESS;
}

LONG UnpackObfuscatedValue(const BYTE* record, DWORD recordSize, DWORD* type, BYTE* plain,
                           DWORD* plainLength) {
    CFeedbackCipher cipher = MakeRecordCipher();
    // Checked in this order: size, digest, length field, magic. The version
    // is not examined. No record at all does not check out either.
    if (record == nullptr || recordSize < kHeaderSize) return ERROR_INVALID_DATA;
    ObfuscatedValueHeader header;
    memcpy(&header, record, kHeaderSize);
    const BYTE* payload = record + kHeaderSize;
    const DWORD payloadSize = recordSize - kHeaderSize;
    BYTE digest[kMd5DigestSize];
    RecordDigest(header, payload, payloadSize, digest);
    if (memcmp(digest, header.digest, kMd5DigestSize) != 0) return ERROR_INVALID_DATA;
    if (header.length != payloadSize) return ERROR_INVALID_DATA;
    if (memcmp(header.magic, kRecordMagic, sizeof(kRecordMagic)) != 0) return ERROR_INVALID_DATA;

    if (type != nullptr) *type = header.type;
    if (plainLength == nullptr) return ERROR_SUCCESS;
    const DWORD capacity = *plainLength;
    *plainLength = header.length;
    if (plain == nullptr) return ERROR_SUCCESS;
    if (capacity < header.length) return ERROR_MORE_DATA;
    if (!cipher.Decrypt(payload, plain, header.length)) return ERROR_DECRYPTION_FAILED;
    return ERROR_SUCCESS;
}

LONG ReadObfuscatedValue(HKEY key, const wchar_t* valueName, BYTE* plain, DWORD* plainLength,
                         DWORD* type) {
    if (type != nullptr) *type = 0;
    std::string ansiName;
    LONG result = ToAnsiName(valueName, ansiName);
    if (result != ERROR_SUCCESS) return result;

    // Most records fit the first buffer; a longer one is read again into a
    // buffer of the size the registry reported.
    BYTE firstBuffer[kFirstReadSize];
    std::unique_ptr<BYTE[]> largeBuffer;
    BYTE* record = firstBuffer;
    DWORD rawType = 0;
    DWORD recordSize = kFirstReadSize;
    result = ::RegQueryValueExA(key, NameOrNull(valueName, ansiName), nullptr, &rawType, record,
                                &recordSize);
    if (result == ERROR_MORE_DATA) {
        largeBuffer.reset(new (std::nothrow) BYTE[recordSize]);
        if (!largeBuffer) return ERROR_OUTOFMEMORY;
        record = largeBuffer.get();
        result = ::RegQueryValueExA(key, NameOrNull(valueName, ansiName), nullptr, &rawType, record,
                                    &recordSize);
    }
    if (result != ERROR_SUCCESS) return result;
    if (rawType != REG_BINARY) return ERROR_INVALID_DATA;
    return UnpackObfuscatedValue(record, recordSize, type, plain, plainLength);
}

LONG CObfuscatedRegKeyImpl::QueryValue(const wchar_t* valueName, DWORD* type, void* data,
                                       DWORD* byteCount) {
    if (byteCount == nullptr && type == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD plainLength = 0;
    DWORD plainType = 0;
    LONG result = ReadObfuscatedValue(GetHandle(), valueName, nullptr, &plainLength, &plainType);
    if (type != nullptr) *type = result == ERROR_SUCCESS ? plainType : 0;
    if (result != ERROR_SUCCESS) return result;
    if (byteCount == nullptr) return ERROR_SUCCESS;

    std::unique_ptr<BYTE[]> plain(new (std::nothrow) BYTE[plainLength > 0 ? plainLength : 1]());
    if (!plain) return ERROR_OUTOFMEMORY;
    result = ReadObfuscatedValue(GetHandle(), valueName, plain.get(), &plainLength, &plainType);
    if (result != ERROR_SUCCESS) return result;
    if (type != nullptr) *type = plainType;

    switch (plainType) {
        case REG_SZ:
            return DecodeString(plain.get(), plainLength, data, byteCount);
        case REG_MULTI_SZ:
            return DecodeMultiString(plain.get(), plainLength, data, byteCount);
        default:
            return DecodeOther(plain.get(), plainLength, data, byteCount);
    }
}

LONG CObfuscatedRegKeyImpl::SetValue(const wchar_t* valueName, DWORD type, const void* data,
                                     DWORD byteCount) {
    if (data == nullptr || byteCount == 0) return ERROR_INVALID_PARAMETER;
    std::unique_ptr<BYTE[]> converted;
    const BYTE* plain = static_cast<const BYTE*>(data);
    DWORD plainLength = byteCount;
    LONG result = ERROR_SUCCESS;
    if (type == REG_SZ) {
        result = EncodeString(static_cast<const wchar_t*>(data), byteCount, converted, plainLength);
        plain = converted.get();
    } else if (type == REG_MULTI_SZ) {
        result =
            EncodeMultiString(static_cast<const wchar_t*>(data), byteCount, converted, plainLength);
        plain = converted.get();
    }
    if (result != ERROR_SUCCESS) return result;
    if (plainLength > kMaxPlainLength) return ERROR_NOT_ENOUGH_MEMORY;

    const DWORD recordSize = plainLength + kHeaderSize;
    std::unique_ptr<BYTE[]> record(new (std::nothrow) BYTE[recordSize]);
    if (!record) return ERROR_NOT_ENOUGH_MEMORY;
    result = PackObfuscatedValue(plain, plainLength, type, record.get(), recordSize);
    if (result != ERROR_SUCCESS) return result;

    std::string ansiName;
    result = ToAnsiName(valueName, ansiName);
    if (result != ERROR_SUCCESS) return result;
    return ::RegSetValueExA(GetHandle(), NameOrNull(valueName, ansiName), /*reserved=*/0,
                            REG_BINARY, record.get(), recordSize);
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

}  // namespace Basalt
