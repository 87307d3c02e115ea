// The trace reader over the stand-in tracing service: a session started by the reader, the
// ETW logger registered with the same service, and the lines that come out.
#include "hvlogcfg/Trace.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "basalt/StringHelpers.h"
#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "logging/file/LineFormat.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/logging/etw/EventTraceStandIn.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTTRACE";
constexpr wchar_t kSession[] = L"trace test session";
constexpr int kLine = 77;

// Session levels, each read with a set of line options.
struct LevelOptions {
    UCHAR level;
    DWORD options;
};
constexpr LevelOptions kLevelOptions[] = {{1, 0x3C}, {3, 0x10}, {4, 0x00}, {5, 0x04}, {6, 0x28}};

std::wstring ProcessImageName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring text = path;
    return text.substr(text.rfind(L'\\') + 1);
}

// The date and time field of an event recorded at `fileTime`, in local time.
std::wstring TimeField(LONGLONG fileTime) {
    const FILETIME utc = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    ::FileTimeToSystemTime(&utc, &universal);
    ::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local);
    const WORD hour = local.wHour % 12 == 0 ? 12 : local.wHour % 12;
    return Basalt::FormatString(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", local.wMonth, local.wDay,
                                local.wYear, hour, local.wMinute, local.wSecond,
                                local.wHour < 12 ? L"AM" : L"PM");
}

class TraceReaderTest : public ::testing::Test {
  protected:
    TraceReaderTest()
        : key_(kTag, /*complete=*/true),
          service_(std::make_shared<CEventTraceStandIn>()),
          logger_(std::make_unique<CETWLogging>(service_)) {}

    void SetUp() override {
        ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
        ASSERT_EQ(0u, logger_->Start());
    }

    void StartReader(DWORD options, UCHAR level, ULONG64 maxEvents = 0) {
        reader_ = std::make_unique<Hvlogcfg::CTraceReader>(
            service_, options, maxEvents, [this](const std::wstring& line) {
                std::lock_guard<std::mutex> lock(linesLock_);
                lines_.push_back(line);
            });
        Hvlogcfg::TraceFailure failure;
        ASSERT_TRUE(reader_->StartLive(kSession, kTestProviderGuid, level, failure))
            << failure.call << " " << failure.error;
    }
    // Every message level, 1 to 6, with "message N".
    void LogEveryLevel() {
        for (DWORD level = 1; level <= 6; ++level) {
            logger_->LogMessage(L"src\\TraceSource", L"TraceFunction", kLine, level,
                                Basalt::FormatString(L"message %lu", level).c_str());
        }
    }
    // The line of `level` and `message` with `options`, but for its date and time.
    std::wstring Expected(DWORD options, DWORD level, const std::wstring& message) {
        std::wstring fields;
        if (options & kOptionProcessName) {
            fields += Basalt::FormatString(L" [%15.15s]$", ProcessImageName().c_str());
        }
        if (options & kOptionProcessThread) {
            fields += Basalt::FormatString(L" [PID:%5lu TID:%5lu]$", ::GetCurrentProcessId(),
                                           ::GetCurrentThreadId());
        }
        if (options & kOptionSource)
            fields += Basalt::FormatString(L" [%20s:%5d]$", L"TraceSource", kLine);
        if (options & kOptionFunction)
            fields += Basalt::FormatString(L" [%40s()]$", L"TraceFunction");
        return Basalt::FormatString(L" -- (%s)$", SeverityLabel(level)) + fields + L" " + message +
               L"\r\n";
    }
    // The lines with each one's date and time checked against its event and taken off.
    std::vector<std::wstring> LinesWithoutTime() {
        const auto events = service_->Events();
        std::vector<std::wstring> rest;
        size_t event = 0;
        for (const std::wstring& line : lines_) {
            while (event < events.size() && !::IsEqualGUID(events[event].header.Guid, kEventGuid)) {
                ++event;
            }
            if (line[0] == L'(') {
                rest.push_back(line);
            } else {
                const std::wstring time = TimeField(events.at(event).timeStamp);
                EXPECT_EQ(time, line.substr(0, time.size()));
                rest.push_back(line.substr(time.size()));
            }
            ++event;
        }
        return rest;
    }

    EtwTest::ScratchProductKey key_;
    std::shared_ptr<CEventTraceStandIn> service_;
    std::unique_ptr<CETWLogging> logger_;
    std::unique_ptr<Hvlogcfg::CTraceReader> reader_;
    std::mutex linesLock_;
    std::vector<std::wstring> lines_;
};

TEST_F(TraceReaderTest, EachLevelWithItsOptionsGivesTheFileLines) {
    for (const LevelOptions& c : kLevelOptions) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " options " << c.options);
        lines_.clear();
        ASSERT_NO_FATAL_FAILURE(StartReader(c.options, c.level));
        LogEveryLevel();
        ASSERT_EQ(0u, reader_->Stop());

        std::vector<std::wstring> expected;
        for (DWORD level = 1; level <= 6; ++level) {
            if (level >= c.level || level == 3) {
                expected.push_back(
                    Expected(c.options, level, Basalt::FormatString(L"message %lu", level)));
            }
        }
        EXPECT_EQ(expected, LinesWithoutTime());
        EXPECT_EQ(0u, service_->SessionCount());
        EXPECT_EQ(0u, logger_->GetSessionHandle());
    }
}

// A controller's disable silences the logger; enabling again brings it back.
TEST_F(TraceReaderTest, DisableSilencesTheLoggerUntilEnabledAgain) {
    for (const LevelOptions& c : kLevelOptions) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " options " << c.options);
        lines_.clear();
        ASSERT_NO_FATAL_FAILURE(StartReader(c.options, c.level));
        ASSERT_EQ(0u,
                  service_->EnableTrace(FALSE, 0, 0, &kTestProviderGuid, reader_->SessionHandle()));
        logger_->LogMessage(L"src\\TraceSource", L"TraceFunction", kLine, 5, L"while disabled");
        ASSERT_EQ(0u, service_->EnableTrace(TRUE, 0, c.level, &kTestProviderGuid,
                                            reader_->SessionHandle()));
        logger_->LogMessage(L"src\\TraceSource", L"TraceFunction", kLine, 6, L"enabled again");
        ASSERT_EQ(0u, reader_->Stop());
        EXPECT_EQ(std::vector<std::wstring>{Expected(c.options, 6, L"enabled again")},
                  LinesWithoutTime());
    }
}

TEST_F(TraceReaderTest, EveryEventOfTheLoggingClassGivesOneLine) {
    ASSERT_NO_FATAL_FAILURE(StartReader(0, 1));
    logger_->LogMessage(L"f", L"g", 1, 4, L"before");
    // Three bytes of the logging class: a record cut short.
    const BYTE shortRecord[3] = {1, 2, 3};
    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    event.header.Guid = kEventGuid;
    event.header.Class.Type = kEventType;
    event.header.Class.Level = 4;
    event.header.Class.Version = kEventVersion;
    event.header.Flags = kEventFlags;
    event.fields[0].DataPtr = reinterpret_cast<ULONG_PTR>(shortRecord);
    event.fields[0].Length = sizeof(shortRecord);
    ASSERT_EQ(0u, service_->TraceEvent(logger_->GetSessionHandle(), &event.header));
    // An event of another class is not the framework's: no line.
    event.header.Guid = kTestProviderGuid;
    ASSERT_EQ(0u, service_->TraceEvent(logger_->GetSessionHandle(), &event.header));
    logger_->LogEx(4, L"f", L"g", 1, L"%s", L"");
    logger_->LogMessage(L"f", L"g", 1, 4, L"after");
    ASSERT_EQ(0u, reader_->Stop());

    const std::vector<std::wstring> expected = {
        L" -- (Error)$ before\r\n",
        L"(an event of the logging class with 3 bytes of data does not decode)\r\n",
        L" -- (Error)$ \r\n", L" -- (Error)$ after\r\n"};
    std::vector<std::wstring> rest = LinesWithoutTime();
    EXPECT_EQ(expected, rest);
}

TEST_F(TraceReaderTest, SessionLeftByAKilledRunIsReplaced) {
    struct {
        EVENT_TRACE_PROPERTIES properties;
        wchar_t name[64];
    } block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    block.properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    block.properties.LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    TRACEHANDLE leftOver = 0;
    ASSERT_EQ(0u, service_->StartTrace(&leftOver, kSession, &block.properties));

    ASSERT_NO_FATAL_FAILURE(StartReader(0, 1));
    EXPECT_EQ(1u, service_->SessionCount());
    ASSERT_EQ(0u, reader_->Stop());
    EXPECT_EQ(0u, service_->SessionCount());
}

TEST_F(TraceReaderTest, CountOfEventsEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(StartReader(0, 1, /*maxEvents=*/2));
    LogEveryLevel();
    reader_->Wait(nullptr, INFINITE);  // returns at the second line
    ASSERT_EQ(0u, reader_->Stop());
    EXPECT_EQ(2u, lines_.size());
    EXPECT_EQ(0u, service_->SessionCount());
}

}  // namespace
