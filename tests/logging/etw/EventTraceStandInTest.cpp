#include "logging/etw/EventTraceStandIn.h"

#include <gtest/gtest.h>

#include "logging/etw/EventLayout.h"

namespace {

using namespace ETWLogging;

constexpr GUID kControlGuid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct CallbackLog {
    DWORD threadId = 0;
    ULONG code = 0;
    TRACEHANDLE handle = 0;
};

ULONG WINAPI RecordingCallback(WMIDPREQUESTCODE code, PVOID context, ULONG*, PVOID buffer) {
    auto* log = static_cast<CallbackLog*>(context);
    log->threadId = ::GetCurrentThreadId();
    log->code = code;
    log->handle = static_cast<WNODE_HEADER*>(buffer)->HistoricalContext;
    return 42;
}

TEST(EventTraceStandInTest, DeliversRequestsOnItsOwnThread) {
    CEventTraceStandIn service;
    CallbackLog log;
    TRACE_GUID_REGISTRATION eventClass = {&kEventGuid, nullptr};
    TRACEHANDLE registration = 0;
    ASSERT_EQ(0u, service.RegisterTraceGuids(RecordingCallback, &log, &kControlGuid, 1, &eventClass,
                                             nullptr, nullptr, &registration));
    const TRACEHANDLE session = service.StartSession();
    EXPECT_EQ(42u, service.EnableProvider(session, kControlGuid, 4, 9));
    EXPECT_NE(::GetCurrentThreadId(), log.threadId);
    EXPECT_EQ(static_cast<ULONG>(WMI_ENABLE_EVENTS), log.code);
    EXPECT_EQ(session, log.handle);
    EXPECT_EQ(4, service.GetTraceEnableLevel(session));
    EXPECT_EQ(9u, service.GetTraceEnableFlags(session));
    EXPECT_EQ(42u, service.DisableProvider(session, kControlGuid));
    EXPECT_EQ(static_cast<ULONG>(WMI_DISABLE_EVENTS), log.code);

    EXPECT_EQ(0u, service.UnregisterTraceGuids(registration));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER),
              service.UnregisterTraceGuids(registration));
    EXPECT_EQ(CEventTraceStandIn::kErrorProviderNotFound,
              service.EnableProvider(session, kControlGuid, 4, 0));
}

TEST(EventTraceStandInTest, FailsLikeTheRealService) {
    CEventTraceStandIn service;
    const TRACEHANDLE session = service.StartSession();
    WNODE_HEADER buffer = {};
    buffer.HistoricalContext = session + 1;
    const TRACEHANDLE invalid = service.GetTraceLoggerHandle(&buffer);
    EXPECT_TRUE(IsInvalidTraceHandle(invalid));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
    EXPECT_TRUE(IsInvalidTraceHandle(service.GetTraceLoggerHandle(nullptr)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    EXPECT_EQ(0, service.GetTraceEnableLevel(session + 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());

    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    event.header.Flags = kEventFlags;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), service.TraceEvent(0, &event.header));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE),
              service.TraceEvent(session + 1, &event.header));
    EXPECT_EQ(1u, service.ForeignHandleEventCount());
    EXPECT_EQ(0u, service.TraceEvent(session, &event.header));
    service.StopSession(session);
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), service.TraceEvent(session, &event.header));
    EXPECT_EQ(3u, service.RefusedEventCount());
    EXPECT_EQ(1u, service.AcceptedEventCount());
    EXPECT_EQ(CEventTraceStandIn::kErrorSessionNotFound,
              service.EnableProvider(session, kControlGuid, 4, 0));
}

TEST(EventTraceStandInTest, RecordsCopiesOfTheFieldBytes) {
    CEventTraceStandIn service;
    const TRACEHANDLE session = service.StartSession();
    BYTE first[3] = {1, 2, 3};
    char second[2] = {'h', 'i'};
    TraceEventRecord event = {};
    event.header.Size = sizeof(event);
    event.header.Flags = kEventFlags;
    event.fields[0].DataPtr = reinterpret_cast<ULONG_PTR>(first);
    event.fields[0].Length = sizeof(first);
    event.fields[1].DataPtr = reinterpret_cast<ULONG_PTR>(second);
    event.fields[1].Length = sizeof(second);
    ASSERT_EQ(0u, service.TraceEvent(session, &event.header));
    first[0] = 9;  // the record is a copy
    const std::vector<RecordedTraceEvent> events = service.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), events[0].fields[0]);
    EXPECT_EQ((std::vector<BYTE>{'h', 'i'}), events[0].fields[1]);
    service.SetRecordEvents(false);
    ASSERT_EQ(0u, service.TraceEvent(session, &event.header));
    EXPECT_EQ(1u, service.Events().size());
    EXPECT_EQ(2u, service.AcceptedEventCount());
}

}  // namespace
