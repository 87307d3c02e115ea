#include "logging/etw/EventLayout.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;

// A well-formed record with short names and a 3-byte message.
std::vector<BYTE> SampleRecord(ULONG64 messageSize = 3) {
    std::vector<BYTE> record(kContextFixedBytes + CountedStringBytes(7) * 3 +
                             CountedStringBytes(4) + CountedStringBytes(2) + CountedStringBytes(3));
    BYTE* cursor = record.data();
    PutUInt32(cursor, 11);
    PutUInt32(cursor, 22);
    PutCountedString(cursor, L"app.exe", 7);
    PutCountedString(cursor, L"file", 4);
    PutCountedString(cursor, L"fn", 2);
    PutInt32(cursor, -5);
    PutCountedString(cursor, L"mod.dll", 7);
    PutCountedString(cursor, L"1.2.3.4", 7);
    PutCountedString(cursor, L"RQD", 3);
    PutUInt64(cursor, messageSize);
    EXPECT_EQ(record.data() + record.size(), cursor);
    return record;
}

// The record followed by `message`, as a consumer receives one event's data.
std::vector<BYTE> SampleBlock(ULONG64 messageSize, const std::string& message) {
    std::vector<BYTE> block = SampleRecord(messageSize);
    block.insert(block.end(), message.begin(), message.end());
    return block;
}

TEST(EventLayoutTest, DecodesEveryField) {
    const std::vector<BYTE> block = SampleBlock(3, "abc");
    DecodedEvent event;
    ASSERT_EQ(0u, DecodeEventData(block.data(), block.size(), event));
    EXPECT_EQ(11u, event.processId);
    EXPECT_EQ(22u, event.threadId);
    EXPECT_EQ(L"app.exe", event.processImageName);
    EXPECT_EQ(L"file", event.file);
    EXPECT_EQ(L"fn", event.function);
    EXPECT_EQ(-5, event.line);
    EXPECT_EQ(L"mod.dll", event.loggingModuleName);
    EXPECT_EQ(L"1.2.3.4", event.loggingModuleVersion);
    EXPECT_EQ(L"RQD", event.groupName);
    EXPECT_EQ(3u, event.messageSize);
    EXPECT_EQ("abc", event.message);
}

TEST(EventLayoutTest, DecodesAConsumersDataBlockOnlyWhenItIsExact) {
    const std::vector<BYTE> block = SampleBlock(3, "abc");
    DecodedEvent event;
    // Every shorter block ends inside the record or the message: nothing past it is read.
    for (size_t length = 0; length < block.size(); ++length) {
        const TestSupport::GuardedBuffer cut(block.data(), length);
        event.groupName = L"untouched";
        EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF),
                  DecodeEventData(cut.data(), cut.size(), event))
            << length;
        EXPECT_EQ(L"untouched", event.groupName);
    }
    std::vector<BYTE> overlongName = block;
    overlongName[8] = 0xFF;  // the image name's count claims more units than the block holds
    overlongName[9] = 0xFF;
    const struct {
        std::vector<BYTE> block;
        DWORD error;
    } malformed[] = {
        {SampleBlock(3, "abcd"), ERROR_INVALID_DATA},   // a byte after the message
        {SampleBlock(2, "abc"), ERROR_INVALID_DATA},    // a size short of the message
        {SampleBlock(4, "abc"), ERROR_HANDLE_EOF},      // a size past the block's end
        {SampleBlock(~0ull, "abc"), ERROR_HANDLE_EOF},  // a size no block can hold
        {overlongName, ERROR_HANDLE_EOF},
    };
    for (const auto& c : malformed) {
        event.groupName = L"untouched";
        EXPECT_EQ(c.error, DecodeEventData(c.block.data(), c.block.size(), event));
        EXPECT_EQ(L"untouched", event.groupName);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), DecodeEventData(nullptr, 1, event));
}

TEST(EventLayoutTest, PayloadBufferKeepsItsBytesAsItGrowsOntoTheHeap) {
    CPayloadBuffer buffer;
    const BYTE* inlineData = buffer.Data();
    ::memset(buffer.Extend(200), 0xAB, 200);
    EXPECT_EQ(inlineData, buffer.Data());
    ::memset(buffer.Extend(100), 0xCD, 100);  // past the inline 256 bytes
    EXPECT_NE(inlineData, buffer.Data());
    const BYTE* grown = buffer.Data();
    ::memset(buffer.Extend(84), 0xEF, 84);  // 384 = 1.5 x 256: room made by the last growth
    EXPECT_EQ(grown, buffer.Data());
    ::memset(buffer.Extend(1000), 0x12, 1000);
    std::vector<BYTE> expected(200, 0xAB);
    expected.resize(300, 0xCD);
    expected.resize(384, 0xEF);
    expected.resize(1384, 0x12);
    EXPECT_EQ(expected, std::vector<BYTE>(buffer.Data(), buffer.Data() + buffer.Size()));
}

TEST(EventLayoutTest, CountedStringCarriesTheLowSixteenBitsOfItsLength) {
    EXPECT_EQ(2u + 2u * 65535u, CountedStringBytes(65535));
    EXPECT_EQ(2u, CountedStringBytes(65536));
    EXPECT_EQ(2u + 2u * 3u, CountedStringBytes(65539));
}

}  // namespace
