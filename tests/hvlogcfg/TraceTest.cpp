// The trace reader over the stand-in tracing service: a session started by the reader, the
// ETW logger registered with the same service, and the lines that come out; how every run
// ends, and what each failure says.
#include "hvlogcfg/Trace.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basalt/StringHelpers.h"
#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "logging/file/LineFormat.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/logging/etw/EventTraceStandIn.h"
#include "tests/support/BasaltTestSupport.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;
using Hvlogcfg::TraceFailure;
using Hvlogcfg::TraceStep;
using Call = CEventTraceStandIn::Call;

constexpr wchar_t kTag[] = L"GSTESTTRACE";
constexpr wchar_t kSession[] = L"trace test session";
constexpr wchar_t kOtherSession[] = L"another program's session";
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

// Properties of a session as another program starts it: real time, or into `logFile`.
struct SessionBlock {
    EVENT_TRACE_PROPERTIES properties;
    wchar_t name[64];
    wchar_t logFile[MAX_PATH];
};
SessionBlock OtherProperties(const GUID& guid, const std::wstring& logFile = L"") {
    SessionBlock block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    block.properties.Wnode.Guid = guid;
    block.properties.LoggerNameOffset = offsetof(SessionBlock, name);
    block.properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    if (!logFile.empty()) {
        block.properties.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        block.properties.BufferSize = 4;  // kilobytes: a handful of events per buffer
        block.properties.LogFileNameOffset = offsetof(SessionBlock, logFile);
        logFile.copy(block.logFile, logFile.size());
    }
    return block;
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

    std::unique_ptr<Hvlogcfg::CTraceReader> MakeReader(DWORD options, ULONG64 maxEvents = 0) {
        return std::make_unique<Hvlogcfg::CTraceReader>(
            service_, options, maxEvents, [this](const std::wstring& line) {
                std::lock_guard<std::mutex> lock(linesLock_);
                lines_.push_back(line);
            });
    }
    // A reader of kSession at `level`, started, with the provider's enable delivered.
    void StartReader(DWORD options, UCHAR level, ULONG64 maxEvents = 0) {
        reader_ = MakeReader(options, maxEvents);
        TraceFailure failure;
        ASSERT_TRUE(reader_->StartLive(kSession, kTestProviderGuid, level, failure))
            << static_cast<int>(failure.step) << " " << failure.error;
        ASSERT_TRUE(WaitUntilEnabled());
    }
    // Starts a session as another program would; its handle.
    TRACEHANDLE StartOther(const wchar_t* name, const GUID& guid, const std::wstring& file = L"") {
        SessionBlock block = OtherProperties(guid, file);
        TRACEHANDLE session = 0;
        EXPECT_EQ(0u, service_->StartTrace(&session, name, &block.properties));
        return session;
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
    // Waits (a while) until the reader reads and the logger writes for a session: events
    // written before a reader starts reading are lost when the session stops first.
    bool WaitUntilEnabled() {
        constexpr int kAttempts = 10000;
        for (int i = 0; i < kAttempts && !Enabled(); ++i) ::Sleep(1);
        return Enabled();
    }
    bool Enabled() {
        service_->Settle();
        return logger_->GetSessionHandle() != 0 && service_->ReadingCount() != 0;
    }
    // Nothing of a reader is left: no session of its name, no trace handle, no enable, and
    // the logger (once told) writes for no session.
    void ExpectNothingLeft(size_t otherSessions = 0) {
        service_->Settle();
        EXPECT_EQ(otherSessions, service_->SessionCount());
        EXPECT_EQ(0u, service_->ConsumerCount());
        EXPECT_EQ(otherSessions, service_->EnablingSessions(kTestProviderGuid).size());
        if (otherSessions == 0) {
            EXPECT_EQ(0u, logger_->GetSessionHandle());
        }
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
        ExpectNothingLeft();
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
        service_->Settle();
        logger_->LogMessage(L"src\\TraceSource", L"TraceFunction", kLine, 5, L"while disabled");
        ASSERT_EQ(0u, service_->EnableTrace(TRUE, 0, c.level, &kTestProviderGuid,
                                            reader_->SessionHandle()));
        service_->Settle();
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

// Whatever DecodeEventData accepts is shown, with the thread the event names (even 0): a
// zero inside the message, a level without a label, another event type or version.
TEST(FormatTraceEventTest, EveryEventThatDecodesIsShownWithItsOwnThread) {
    const struct {
        std::string message;
        DWORD threadId;
        UCHAR level, type, version;
        const wchar_t* shown;
    } kCases[] = {
        {std::string("\0starts with a zero", 19), 0, 4, kEventType, kEventVersion,
         L" -- (Error)$ [PID:   12 TID:    0]$ \xFFFDstarts with a zero\r\n"},
        {"cut at the limit" + std::string(1, '\0'), 34, 2, kEventType, kEventVersion,
         L" -- (Warning)$ [PID:   12 TID:   34]$ cut at the limit\r\n"},
        {"level 0", 34, 0, kEventType, kEventVersion,
         L" -- (Information)$ [PID:   12 TID:   34]$ level 0\r\n"},
        {"level 9, type 7, version 5", 34, 9, 7, 5,
         L" -- (Information)$ [PID:   12 TID:   34]$ level 9, type 7, version 5\r\n"},
    };
    for (const auto& c : kCases) {
        std::vector<BYTE> data;
        const DWORD ids[2] = {12, c.threadId};
        const BYTE* idBytes = reinterpret_cast<const BYTE*>(ids);
        data.insert(data.end(), idBytes, idBytes + sizeof(ids));
        data.resize(data.size() + 3 * kCountBytes + sizeof(int) + 3 * kCountBytes);
        const ULONG64 size = c.message.size();
        const BYTE* sizeBytes = reinterpret_cast<const BYTE*>(&size);
        data.insert(data.end(), sizeBytes, sizeBytes + sizeof(size));
        data.insert(data.end(), c.message.begin(), c.message.end());
        DecodedEvent decoded;
        ASSERT_EQ(0u, DecodeEventData(data.data(), data.size(), decoded));

        EVENT_RECORD record = {};
        record.EventHeader.ProviderId = kEventGuid;
        record.EventHeader.EventDescriptor.Level = c.level;
        record.EventHeader.EventDescriptor.Opcode = c.type;
        record.EventHeader.EventDescriptor.Version = c.version;
        record.UserData = data.data();
        record.UserDataLength = static_cast<USHORT>(data.size());
        std::wstring line;
        ASSERT_TRUE(Hvlogcfg::FormatTraceEvent(record, kOptionProcessThread, line));
        const size_t afterTime = line.find(L"$ ");
        ASSERT_NE(std::wstring::npos, afterTime) << line;
        EXPECT_EQ(c.shown, line.substr(afterTime + 1)) << c.message;
    }
}

// A session of the reader's name is stopped and replaced only when a killed run left it: a
// real-time session with the reader's GUID, which no running reader owns. Any other is left
// running and named.
TEST_F(TraceReaderTest, ASessionOfItsNameIsReplacedOnlyWhenAKilledRunLeftIt) {
    const struct {
        const char* what;
        std::function<void()> leave;
        TraceStep refusal;  // kStart: none, replaced
    } kCases[] = {
        {"left by a killed run", [&] { StartOther(kSession, Hvlogcfg::kTraceSessionGuid); },
         TraceStep::kStart},
        {"started by another program", [&] { StartOther(kSession, kTestProviderGuid); },
         TraceStep::kNotLeftByUs},
        {"read by a running trace", [&] { StartReader(0, 1); }, TraceStep::kInUse},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        c.leave();
        auto second = MakeReader(0);
        TraceFailure failure;
        const bool started = second->StartLive(kSession, kTestProviderGuid, 1, failure);
        EXPECT_EQ(c.refusal == TraceStep::kStart, started);
        EXPECT_EQ(1u, service_->SessionCount());
        if (!started) {
            EXPECT_EQ(c.refusal, failure.step);
            EXPECT_EQ(kSession, failure.subject);
        }
        second.reset();
        if (reader_) reader_->Stop();
        SessionBlock block = OtherProperties(GUID{});
        service_->ControlTrace(0, kSession, &block.properties, EVENT_TRACE_CONTROL_STOP);
        ExpectNothingLeft();
    }
}

// Ctrl+C, Ctrl+Break, the window closing, logoff, shutdown, the time limit and the event
// limit each disable the provider, stop the session and close the trace. On closing, logoff
// and shutdown the process ends when the handler returns: by then all of it is done.
TEST_F(TraceReaderTest, EveryWayTheTraceEndsStopsWhatItStarted) {
    constexpr DWORD kNoControl = ~0ul;
    constexpr DWORD kLimitMs = 2000;
    const struct {
        const char* what;
        DWORD control;
        DWORD milliseconds;
        ULONG64 maxEvents;
    } kCases[] = {
        {"Ctrl+C", CTRL_C_EVENT, INFINITE, 0},
        {"Ctrl+Break", CTRL_BREAK_EVENT, INFINITE, 0},
        {"window closed", CTRL_CLOSE_EVENT, INFINITE, 0},
        {"logoff", CTRL_LOGOFF_EVENT, INFINITE, 0},
        {"shutdown", CTRL_SHUTDOWN_EVENT, INFINITE, 0},
        {"--seconds", kNoControl, kLimitMs, 0},
        {"--count", kNoControl, INFINITE, 2},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        lines_.clear();
        Hvlogcfg::CTraceStopSignal signal;
        auto reader = MakeReader(0, c.maxEvents);
        bool finished = false;
        std::thread run([&] {
            TraceFailure failure;
            finished = Hvlogcfg::RunLiveTrace(*reader, signal, kSession, kTestProviderGuid, 1,
                                              c.milliseconds, failure);
        });
        const bool enabled = WaitUntilEnabled();
        EXPECT_TRUE(enabled);
        LogEveryLevel();
        if (!enabled) signal.OnControl(CTRL_C_EVENT);  // so that the run ends all the same
        if (c.control != kNoControl) {
            BOOL handled = FALSE;
            std::thread handler([&] { handled = signal.OnControl(c.control); });
            handler.join();
            EXPECT_TRUE(handled);
            if (c.control != CTRL_C_EVENT && c.control != CTRL_BREAK_EVENT) ExpectNothingLeft();
        }
        run.join();
        EXPECT_TRUE(finished);
        ExpectNothingLeft();
        EXPECT_EQ(c.maxEvents != 0 ? c.maxEvents : 6u, lines_.size());
    }
}

// Every failure, from the session, the reader or the provider's enable, ends the trace with
// its step and error, and leaves nothing of it running (the name is free again: each case
// uses it). Both forms of the invalid trace handle count.
TEST_F(TraceReaderTest, EveryFailureIsReportedLeavingNothingRunning) {
    const auto fail = [&](Call call, ULONG error) {
        return [this, call, error] {
            service_->FailNext(call, error);
            return std::thread();
        };
    };
    const struct {
        const char* what;
        std::function<std::thread()> arrange;  // what runs beside the trace, if anything
        TraceStep step;
        DWORD error;
        size_t otherSessions;
    } kCases[] = {
        {"StartTrace refused", fail(Call::kStartTrace, ERROR_ACCESS_DENIED), TraceStep::kStart,
         ERROR_ACCESS_DENIED, 0},
        {"OpenTrace refused", fail(Call::kOpenTrace, ERROR_ACCESS_DENIED), TraceStep::kOpen,
         ERROR_ACCESS_DENIED, 0},
        {"OpenTrace refused, 32-bit Windows 7's handle",
         [&] {
             service_->SetInvalidTraceHandle(CEventTraceStandIn::kInvalidTraceHandle32);
             service_->FailNext(Call::kOpenTrace, ERROR_ACCESS_DENIED);
             return std::thread();
         },
         TraceStep::kOpen, ERROR_ACCESS_DENIED, 0},
        {"provider not queried", fail(Call::kEnumerateTraceGuidsEx, ERROR_ACCESS_DENIED),
         TraceStep::kQueryHolder, ERROR_ACCESS_DENIED, 0},
        {"provider held by another session",
         [&] {
             const TRACEHANDLE other = StartOther(kOtherSession, kTestProviderGuid);
             service_->EnableProvider(other, kTestProviderGuid, 4, 0);
             return std::thread();
         },
         TraceStep::kHeld, ERROR_SUCCESS, 1},
        {"EnableTrace refused", fail(Call::kEnableTrace, ERROR_NO_SYSTEM_RESOURCES),
         TraceStep::kEnable, ERROR_NO_SYSTEM_RESOURCES, 0},
        {"ProcessTrace failed", fail(Call::kProcessTrace, ERROR_WMI_INSTANCE_NOT_FOUND),
         TraceStep::kRead, ERROR_WMI_INSTANCE_NOT_FOUND, 0},
        {"session stopped by another program",
         [&] {
             return std::thread([&] {
                 WaitUntilEnabled();
                 SessionBlock block = OtherProperties(GUID{});
                 service_->ControlTrace(0, kSession, &block.properties, EVENT_TRACE_CONTROL_STOP);
             });
         },
         TraceStep::kEnded, ERROR_SUCCESS, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        std::thread beside = c.arrange();
        Hvlogcfg::CTraceStopSignal signal;
        auto reader = MakeReader(0);
        TraceFailure failure;
        EXPECT_FALSE(Hvlogcfg::RunLiveTrace(*reader, signal, kSession, kTestProviderGuid, 1,
                                            INFINITE, failure));
        if (beside.joinable()) beside.join();
        EXPECT_EQ(c.step, failure.step);
        EXPECT_EQ(c.error, failure.error);
        ExpectNothingLeft(c.otherSessions);
        if (c.step == TraceStep::kHeld) {
            EXPECT_EQ(kOtherSession, failure.subject);
            SessionBlock block = OtherProperties(GUID{});
            service_->ControlTrace(0, kOtherSession, &block.properties, EVENT_TRACE_CONTROL_STOP);
            ExpectNothingLeft();
        }
        service_->SetInvalidTraceHandle(INVALID_PROCESSTRACE_HANDLE);
    }
}

// A file that a session recorded is read buffer by buffer; the event limit ends the reading
// through the buffer callback. A missing file is said to be missing.
TEST_F(TraceReaderTest, RecordedFileIsReadUpToTheEventLimit) {
    TestSupport::ScratchFolder folder(TestSupport::PerTestFolderName(L"trace"));
    const std::wstring path = folder / L"recorded.etl";
    const TRACEHANDLE session = StartOther(kOtherSession, kTestProviderGuid, path);
    ASSERT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 1, 0));
    service_->Settle();
    constexpr int kEvents = 60;  // more than one 4 KB buffer holds
    for (int i = 0; i < kEvents; ++i) {
        logger_->LogMessage(L"f", L"g", 1, 4, std::wstring(40, L'a' + i % 26).c_str());
    }
    ASSERT_EQ(0u, service_->StopSession(session));

    const struct {
        ULONG64 maxEvents;
        size_t lines;
    } kCases[] = {{0, kEvents}, {5, 5}, {kEvents + 1, kEvents}};
    for (const auto& c : kCases) {
        lines_.clear();
        TraceFailure failure;
        EXPECT_TRUE(MakeReader(0, c.maxEvents)->ReadFile(path, failure))
            << static_cast<int>(failure.step) << " " << failure.error;
        EXPECT_EQ(c.lines, lines_.size()) << c.maxEvents;
        EXPECT_EQ(0u, service_->ConsumerCount());
    }
    TraceFailure failure;
    EXPECT_FALSE(MakeReader(0)->ReadFile(folder / L"absent.etl", failure));
    EXPECT_EQ(TraceStep::kFileMissing, failure.step);
}

// Access denied says to run as administrator only where that can help.
TEST(DescribeTraceFailureTest, AccessDeniedAsksForElevationOnlyWhenNotElevated) {
    const TraceFailure failure{TraceStep::kOpen, ERROR_ACCESS_DENIED, L"s"};
    const std::wstring plain = Hvlogcfg::DescribeTraceFailure(failure, /*elevated=*/false);
    const std::wstring elevated = Hvlogcfg::DescribeTraceFailure(failure, /*elevated=*/true);
    EXPECT_NE(std::wstring::npos, plain.find(L"; run as administrator")) << plain;
    EXPECT_EQ(std::wstring::npos, elevated.find(L"run as administrator")) << elevated;
    EXPECT_NE(std::wstring::npos, elevated.find(L"although this program runs as administrator"));
}

}  // namespace
