#include "logging/etw/EventLayout.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace ETWLogging {

void CPayloadBuffer::Reserve(size_t byteCount) {
    if (byteCount <= capacity_) return;
    const size_t newCapacity = std::max(byteCount, capacity_ + capacity_ / 2);
    std::unique_ptr<BYTE[]> block(new BYTE[newCapacity]);
    if (size_ != 0) ::memcpy(block.get(), Data(), size_);
    heap_ = std::move(block);  // frees a previous heap block
    capacity_ = newCapacity;
}

BYTE* CPayloadBuffer::Extend(size_t byteCount) {
    Reserve(size_ + byteCount);
    BYTE* start = MutableData() + size_;
    size_ += byteCount;
    return start;
}

namespace {

// Reads fields from a byte range, failing instead of reading past its end.
class CRecordReader {
  public:
    CRecordReader(const BYTE* data, size_t byteCount) : data_(data), left_(byteCount) {}

    bool Read(void* target, size_t byteCount) {
        if (byteCount > left_) return false;
        if (byteCount != 0) ::memcpy(target, data_, byteCount);
        data_ += byteCount;
        left_ -= byteCount;
        return true;
    }
    bool ReadCountedString(std::wstring& text) {
        USHORT count = 0;
        if (!Read(&count, sizeof(count))) return false;
        if (static_cast<size_t>(count) * sizeof(wchar_t) > left_) return false;
        text.assign(count, L'\0');
        return Read(&text[0], count * sizeof(wchar_t));
    }
    size_t Left() const { return left_; }

  private:
    const BYTE* data_;
    size_t left_;
};

bool ReadContext(CRecordReader& reader, DecodedEvent& event) {
    return reader.Read(&event.processId, sizeof(event.processId)) &&
           reader.Read(&event.threadId, sizeof(event.threadId)) &&
           reader.ReadCountedString(event.processImageName) &&
           reader.ReadCountedString(event.file) && reader.ReadCountedString(event.function) &&
           reader.Read(&event.line, sizeof(event.line)) &&
           reader.ReadCountedString(event.loggingModuleName) &&
           reader.ReadCountedString(event.loggingModuleVersion) &&
           reader.ReadCountedString(event.groupName) &&
           reader.Read(&event.messageSize, sizeof(event.messageSize));
}

}  // namespace

DWORD DecodeEventData(const void* data, size_t byteCount, DecodedEvent& out) {
    if (data == nullptr && byteCount != 0) return ERROR_INVALID_PARAMETER;
    DecodedEvent event;
    CRecordReader reader(static_cast<const BYTE*>(data), byteCount);
    if (!ReadContext(reader, event)) return ERROR_HANDLE_EOF;
    // The message is what follows the record, exactly as many bytes as it names.
    if (event.messageSize > reader.Left()) return ERROR_HANDLE_EOF;
    if (event.messageSize < reader.Left()) return ERROR_INVALID_DATA;
    event.message.assign(static_cast<size_t>(event.messageSize), '\0');
    reader.Read(&event.message[0], event.message.size());
    out = std::move(event);
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
