// The layout of the events that the ETW logger writes, the packed context
// record it builds for each one, and the decoder that reads them back.
//
// An event is an EVENT_TRACE_HEADER followed by two MOF fields (80 bytes):
// field 1 points at the context record, field 2 at the UTF-8 message. The
// context record is packed little-endian without padding: process id (32),
// thread id (32), process image name, source file, function (counted strings),
// line (signed 32), logging module name, logging module version, group name
// (counted strings), message size (64). A counted string is a 16-bit count of
// UTF-16 units followed by that many units, without a terminator.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <wmistr.h>

#include <string.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ETWLogging {

// The event (trace class) GUID of every event: {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}.
constexpr GUID kEventGuid = {
    0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr UCHAR kEventType = 1;
constexpr USHORT kEventVersion = 2;
constexpr ULONG kEventFlags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;

// The header with its two MOF fields, exactly as handed to TraceEvent.
struct TraceEventRecord {
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
};
static_assert(sizeof(EVENT_TRACE_HEADER) == 48, "the event header is 48 bytes");
static_assert(sizeof(TraceEventRecord) == 80, "an event is 80 bytes");

// Bytes of the fixed-size fields of a context record (ids, line, message size).
constexpr size_t kContextFixedBytes = 4 + 4 + 4 + 8;
// Bytes of a counted string's count.
constexpr size_t kCountBytes = 2;

// A byte buffer with 256 bytes of inline storage that moves to the heap when
// it must grow: the new capacity is the larger of the size needed and 1.5
// times the old one. Growth throws std::bad_alloc when memory runs out.
class CPayloadBuffer {
  public:
    static constexpr size_t kInlineBytes = 256;

    CPayloadBuffer() = default;
    CPayloadBuffer(const CPayloadBuffer&) = delete;
    CPayloadBuffer& operator=(const CPayloadBuffer&) = delete;

    // Grows the stored bytes by `byteCount` and returns where they start, for
    // the caller to fill (with the Put functions below).
    BYTE* Extend(size_t byteCount);

    const BYTE* Data() const { return heap_ ? heap_.get() : inline_; }
    size_t Size() const { return size_; }

  private:
    // Makes room for `byteCount` bytes in all, keeping what is stored.
    void Reserve(size_t byteCount);
    BYTE* MutableData() { return heap_ ? heap_.get() : inline_; }

    BYTE inline_[kInlineBytes];
    std::unique_ptr<BYTE[]> heap_;
    size_t capacity_ = kInlineBytes;
    size_t size_ = 0;
};

// Writers for a record being filled at `cursor`; each moves the cursor on.
// The copy is done here in 8-byte steps rather than by a call into the C
// runtime: the pieces are short, and the call costs more than the copy.
inline void PutBytes(BYTE*& cursor, const void* data, size_t byteCount) {
    const BYTE* source = static_cast<const BYTE*>(data);
    constexpr size_t kStep = 8;
    for (; byteCount >= kStep; byteCount -= kStep, source += kStep, cursor += kStep) {
        ULONG64 chunk;
        ::memcpy(&chunk, source, kStep);
        ::memcpy(cursor, &chunk, kStep);
    }
    for (; byteCount != 0; --byteCount) *cursor++ = *source++;
}
inline void PutUInt32(BYTE*& cursor, DWORD value) {
    ::memcpy(cursor, &value, sizeof(value));
    cursor += sizeof(value);
}
inline void PutInt32(BYTE*& cursor, int value) {
    ::memcpy(cursor, &value, sizeof(value));
    cursor += sizeof(value);
}
inline void PutUInt64(BYTE*& cursor, ULONG64 value) {
    ::memcpy(cursor, &value, sizeof(value));
    cursor += sizeof(value);
}
// A counted string: the low 16 bits of `charCount`, then that many units.
inline void PutCountedString(BYTE*& cursor, const wchar_t* text, size_t charCount) {
    const USHORT units = static_cast<USHORT>(charCount & 0xFFFFu);
    ::memcpy(cursor, &units, sizeof(units));
    cursor += sizeof(units);
    PutBytes(cursor, text, units * sizeof(wchar_t));
}

// The units of a counted string that a context record carries for `charCount`.
inline size_t CountedUnits(size_t charCount) { return charCount & 0xFFFFu; }

// Bytes of a counted string of `charCount` units in a context record.
inline size_t CountedStringBytes(size_t charCount) {
    return kCountBytes + CountedUnits(charCount) * sizeof(wchar_t);
}

// One event read back from its two MOF fields.
struct DecodedEvent {
    DWORD processId = 0;
    DWORD threadId = 0;
    std::wstring processImageName;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring loggingModuleName;
    std::wstring loggingModuleVersion;
    std::wstring groupName;
    ULONG64 messageSize = 0;
    std::string message;  // the UTF-8 bytes of MOF field 2
};

// Decodes one event's data block as a consumer receives it: the context record
// followed directly by the message. 0 on success; ERROR_INVALID_PARAMETER for a
// null pointer with a non-zero length; ERROR_HANDLE_EOF when the block ends
// inside the record or holds fewer message bytes than the record's message size;
// ERROR_INVALID_DATA when bytes follow the message. Never reads past the block;
// `out` is changed only on success.
DWORD DecodeEventData(const void* data, size_t byteCount, DecodedEvent& out);

}  // namespace ETWLogging
