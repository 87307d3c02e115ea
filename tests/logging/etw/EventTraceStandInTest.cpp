#include "tests/logging/etw/EventTraceStandIn.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "logging/etw/EventLayout.h"

namespace {

using namespace ETWLogging;

constexpr GUID kControlGuid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// What the provider's callback saw, and what it answers.
struct CallbackLog {
    DWORD threadId = 0;
    std::vector<std::pair<ULONG, TRACEHANDLE>> requests;  // request code, session handle
    ULONG result = ERROR_SUCCESS;
};

ULONG WINAPI RecordingCallback(WMIDPREQUESTCODE code, PVOID context, ULONG*, PVOID buffer) {
    auto* log = static_cast<CallbackLog*>(context);
    log->threadId = ::GetCurrentThreadId();
    log->requests.emplace_back(code, static_cast<WNODE_HEADER*>(buffer)->HistoricalContext);
    return log->result;
}

// A reader's callback: keeps each record in the vector its context names.
VOID WINAPI KeepRecord(PEVENT_RECORD record) {
    static_cast<std::vector<EVENT_RECORD>*>(record->UserContext)->push_back(*record);
}

class EventTraceStandInTest : public ::testing::Test {
  protected:
    ULONG Register() {
        return service_.RegisterTraceGuids(RecordingCallback, &log_, &kControlGuid, 1, &eventClass_,
                                           nullptr, nullptr, &registration_);
    }
    // An event whose first MOF field points at `byteCount` bytes of `data_`.
    ULONG Trace(TRACEHANDLE handle, ULONG byteCount = 3) {
        TraceEventRecord event = {};
        event.header.Size = sizeof(event);
        event.header.Flags = kEventFlags;
        event.fields[0].DataPtr = reinterpret_cast<ULONG_PTR>(data_.data());
        event.fields[0].Length = byteCount;
        return service_.TraceEvent(handle, &event.header);
    }
    std::pair<ULONG, TRACEHANDLE> Enabled(TRACEHANDLE session, UCHAR level, ULONG flags) {
        return {WMI_ENABLE_EVENTS, CEventTraceStandIn::EnableContext(session, level, flags)};
    }

    CEventTraceStandIn service_;
    CallbackLog log_;
    TRACE_GUID_REGISTRATION eventClass_ = {&kEventGuid, nullptr};
    TRACEHANDLE registration_ = 0;
    std::vector<BYTE> data_ = std::vector<BYTE>(70000, 0x5A);
};

// TRACE_ENABLE_CONTEXT: logger id, level, internal flag byte, enable flags.
TEST_F(EventTraceStandInTest, HandlesCarryLoggerIdLevelAndFlagsAndChangeWithThem) {
    ASSERT_EQ(0u, Register());
    const TRACEHANDLE session = service_.StartSession();
    log_.result = 42;  // not the controller's business
    EXPECT_EQ(0u, service_.EnableProvider(session, kControlGuid, 4, 0x90));
    EXPECT_EQ(42u, service_.LastCallbackResult());
    EXPECT_NE(::GetCurrentThreadId(), log_.threadId);
    ASSERT_EQ(1u, log_.requests.size());
    const TRACEHANDLE handle = log_.requests[0].second;
    EXPECT_EQ(0x0000009000040000ull | session, handle);
    ::SetLastError(ERROR_ACCESS_DENIED);  // success leaves it as it is
    EXPECT_EQ(4, service_.GetTraceEnableLevel(handle));
    EXPECT_EQ(0x90u, service_.GetTraceEnableFlags(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());

    EXPECT_EQ(0u, service_.EnableProvider(session, kControlGuid, 2, 0x90));
    EXPECT_EQ(Enabled(session, 2, 0x90), log_.requests.back());
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Trace(handle));  // from before the change
    EXPECT_EQ(0u, Trace(log_.requests.back().second));
}

TEST_F(EventTraceStandInTest, EnableBeforeRegistrationArrivesInsideRegisterTraceGuids) {
    const TRACEHANDLE session = service_.StartSession();
    EXPECT_EQ(0u, service_.EnableProvider(session, kControlGuid, 3, 1));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_FUNCTION),
              service_.EnableProvider(session, kControlGuid, 5, 1));
    EXPECT_TRUE(log_.requests.empty());
    log_.result = 42;  // handed back by the registration
    EXPECT_EQ(42u, Register());
    EXPECT_EQ(::GetCurrentThreadId(), log_.threadId);
    EXPECT_EQ((std::vector<std::pair<ULONG, TRACEHANDLE>>{Enabled(session, 3, 1)}), log_.requests);

    // The session keeps the provider enabled across its unregistration.
    ASSERT_EQ(0u, service_.UnregisterTraceGuids(registration_));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER),
              service_.UnregisterTraceGuids(registration_));
    log_.result = ERROR_SUCCESS;
    EXPECT_EQ(0u, Register());
    EXPECT_EQ(Enabled(session, 3, 1), log_.requests.back());
}

// The second session takes the provider over; a stopped session disables it and its logger
// id goes to the next session.
TEST_F(EventTraceStandInTest, OneSessionAtATimeAndAStoppedSessionDisables) {
    ASSERT_EQ(0u, Register());
    const TRACEHANDLE first = service_.StartSession();
    const TRACEHANDLE second = service_.StartSession();
    ASSERT_EQ(0u, service_.EnableProvider(first, kControlGuid, 3, 0));
    ASSERT_EQ(0u, service_.EnableProvider(second, kControlGuid, 3, 0));
    const TRACEHANDLE taken = CEventTraceStandIn::EnableContext(first, 3, 0);
    const TRACEHANDLE holder = CEventTraceStandIn::EnableContext(second, 3, 0);
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Trace(taken));
    EXPECT_EQ(0u, service_.DisableProvider(first, kControlGuid));  // told, but not the holder
    EXPECT_EQ(0u, Trace(holder));
    EXPECT_EQ(0u, service_.StopSession(second));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Trace(holder));
    const std::vector<std::pair<ULONG, TRACEHANDLE>> expected = {
        Enabled(first, 3, 0),
        Enabled(second, 3, 0),
        {WMI_DISABLE_EVENTS, CEventTraceStandIn::EnableContext(first, 0, 0)},
        {WMI_DISABLE_EVENTS, holder}};
    EXPECT_EQ(expected, log_.requests);

    WNODE_HEADER buffer = {};
    buffer.HistoricalContext = holder;
    EXPECT_TRUE(IsInvalidTraceHandle(service_.GetTraceLoggerHandle(&buffer)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
    EXPECT_EQ(0, service_.GetTraceEnableLevel(holder));
    EXPECT_EQ(CEventTraceStandIn::kErrorSessionNotFound, service_.StopSession(second));
    EXPECT_EQ(CEventTraceStandIn::kErrorSessionNotFound,
              service_.EnableProvider(second, kControlGuid, 3, 0));
    EXPECT_EQ(second, service_.StartSession());
}

TEST_F(EventTraceStandInTest, TraceEventFailsAsDocumented) {
    ASSERT_EQ(0u, Register());
    const TRACEHANDLE session = service_.StartSession(/*bufferKilobytes=*/1);
    ASSERT_EQ(0u, service_.EnableProvider(session, kControlGuid, 3, 0));
    const TRACEHANDLE handle = log_.requests.back().second;
    const ULONG kFits = 1024 - sizeof(EVENT_TRACE_HEADER);
    const struct {
        TRACEHANDLE handle;
        ULONG byteCount;
        ULONG result;
    } cases[] = {
        {0, 3, ERROR_INVALID_PARAMETER},
        {CEventTraceStandIn::EnableContext(63, 3, 0), 3, ERROR_INVALID_HANDLE},  // no session
        {CEventTraceStandIn::EnableContext(session, 4, 0), 3, ERROR_INVALID_HANDLE},
        {handle, kFits, ERROR_SUCCESS},
        {handle, kFits + 1, ERROR_MORE_DATA},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, Trace(c.handle, c.byteCount)) << c.byteCount;
    EXPECT_EQ(0u, service_.StartSession(CEventTraceStandIn::kMaxBufferKilobytes + 1));

    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_FLAG_NUMBER),
              service_.TraceEvent(handle, &event.header));
    event.header.Flags = kEventFlags;
    event.header.Size = sizeof(EVENT_TRACE_HEADER) + 8;  // not a whole MOF field
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER),
              service_.TraceEvent(handle, &event.header));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), service_.TraceEvent(handle, nullptr));
    EXPECT_EQ(1u, service_.AcceptedEventCount());
    EXPECT_EQ(7u, service_.RefusedEventCount());
    EXPECT_EQ(2u, service_.ForeignHandleEventCount());  // the two never handed out
}

TEST_F(EventTraceStandInTest, RecordsCopiesOfTheFieldsAndTheConsumersDataBlock) {
    ASSERT_EQ(0u, Register());
    const TRACEHANDLE session = service_.StartSession();
    ASSERT_EQ(0u, service_.EnableProvider(session, kControlGuid, 3, 0));
    BYTE first[3] = {1, 2, 3};
    char second[2] = {'h', 'i'};
    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    event.header.Flags = kEventFlags;
    event.fields[0].DataPtr = reinterpret_cast<ULONG_PTR>(first);
    event.fields[0].Length = sizeof(first);
    event.fields[1].DataPtr = reinterpret_cast<ULONG_PTR>(second);
    event.fields[1].Length = sizeof(second);
    ASSERT_EQ(0u, service_.TraceEvent(log_.requests.back().second, &event.header));
    first[0] = 9;  // the record is a copy
    const std::vector<RecordedTraceEvent> events = service_.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(session, events[0].session);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), events[0].fields[0]);
    EXPECT_EQ((std::vector<BYTE>{'h', 'i'}), events[0].fields[1]);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 'h', 'i'}), events[0].data);
    service_.SetRecordEvents(false);
    ASSERT_EQ(0u, service_.TraceEvent(log_.requests.back().second, &event.header));
    EXPECT_EQ(1u, service_.Events().size());
    EXPECT_EQ(2u, service_.AcceptedEventCount());
}

// The controller and consumer calls: the errors Microsoft documents, then one session read
// from its start by a real-time reader until the session stops.
TEST_F(EventTraceStandInTest, SessionsStartStopAndAreReadAsDocumented) {
    struct Block {
        EVENT_TRACE_PROPERTIES properties;
        wchar_t name[16];
    };
    auto make = [](ULONG bufferSize, ULONG flags, ULONG mode) {
        Block block = {};
        block.properties.Wnode.BufferSize = bufferSize;
        block.properties.Wnode.Flags = flags;
        block.properties.LogFileMode = mode;
        block.properties.LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        return block;
    };
    const ULONG traced = WNODE_FLAG_TRACED_GUID;
    const ULONG realTime = EVENT_TRACE_REAL_TIME_MODE;
    struct Case {
        Block block;
        const wchar_t* name;
        ULONG expected;
    } cases[] = {
        {make(sizeof(Block), traced, realTime), L"a name far too long", ERROR_BAD_LENGTH},
        {make(sizeof(EVENT_TRACE_PROPERTIES) - 1, traced, realTime), L"s", ERROR_BAD_LENGTH},
        {make(sizeof(Block), 0, realTime), L"s", ERROR_INVALID_PARAMETER},
        {make(sizeof(Block), traced, EVENT_TRACE_FILE_MODE_SEQUENTIAL), L"s",
         ERROR_INVALID_PARAMETER},
        {make(sizeof(Block), traced, realTime), L"s", ERROR_SUCCESS},
        {make(sizeof(Block), traced, realTime), L"S", ERROR_ALREADY_EXISTS},
    };
    TRACEHANDLE session = 0;
    for (Case& c : cases) {
        EXPECT_EQ(c.expected, service_.StartTrace(&session, c.name, &c.block.properties)) << c.name;
    }
    Block block = make(sizeof(Block), 0, 0);
    EXPECT_EQ(CEventTraceStandIn::kErrorSessionNotFound,
              service_.ControlTrace(0, L"other", &block.properties, EVENT_TRACE_CONTROL_STOP));
    EVENT_TRACE_LOGFILEW logfile = {};
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.EventRecordCallback = &KeepRecord;
    std::vector<EVENT_RECORD> received;
    logfile.Context = &received;
    logfile.LoggerName = const_cast<LPWSTR>(L"other");
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, service_.OpenTrace(&logfile));
    EXPECT_EQ(CEventTraceStandIn::kErrorSessionNotFound, ::GetLastError());

    ASSERT_EQ(ERROR_SUCCESS, Register());
    ASSERT_EQ(ERROR_SUCCESS, service_.EnableTrace(TRUE, 0, 4, &kControlGuid, session));
    ASSERT_EQ(ERROR_SUCCESS, Trace(CEventTraceStandIn::EnableContext(session, 4, 0)));
    logfile.LoggerName = const_cast<LPWSTR>(L"s");
    TRACEHANDLE reader = service_.OpenTrace(&logfile);
    ASSERT_NE(INVALID_PROCESSTRACE_HANDLE, reader);
    ASSERT_EQ(ERROR_SUCCESS,
              service_.ControlTrace(0, L"s", &block.properties, EVENT_TRACE_CONTROL_STOP));
    EXPECT_EQ(ERROR_SUCCESS, service_.ProcessTrace(&reader, 1, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, service_.CloseTrace(reader));
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(EVENT_HEADER_FLAG_CLASSIC_HEADER,
              received[0].EventHeader.Flags & EVENT_HEADER_FLAG_CLASSIC_HEADER);
    EXPECT_EQ(::GetCurrentThreadId(), received[0].EventHeader.ThreadId);
    EXPECT_EQ(service_.Events()[0].timeStamp, received[0].EventHeader.TimeStamp.QuadPart);
    EXPECT_EQ(3u, received[0].UserDataLength);
    EXPECT_EQ(0u, service_.SessionCount());
    EXPECT_EQ(WMI_DISABLE_EVENTS, log_.requests.back().first);
}

}  // namespace
