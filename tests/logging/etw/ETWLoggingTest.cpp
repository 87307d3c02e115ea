#include "logging/etw/ETWLogging.h"

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "logging/etw/EventLayout.h"
#include "logging/etw/LoggingModuleInfo.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/logging/etw/EventTraceStandIn.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTLOG";
constexpr DWORD kAlreadyStarted = 20001;
constexpr ULONG kUnhandledException = 574;
constexpr DWORD kInvalidParameter = ERROR_INVALID_PARAMETER;

// A listener that records its notifications and can be told to fail, or to wait.
class ProbeListener : public LoggingConfigListenerIf {
  public:
    enum class Failure { kNone, kThrow, kRaise, kFault };
    void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) override {
        calls.emplace_back(enable, level, flags);
        if (failure == Failure::kThrow) throw std::runtime_error("listener failed");
        if (failure == Failure::kRaise) ::RaiseException(0xE0000042, 0, 0, nullptr);
        if (failure == Failure::kFault) *badAddress = 1;  // an access violation
        if (entered != nullptr) {
            ::SetEvent(entered);
            ::WaitForSingleObject(release, INFINITE);
            returnedAs = ++*order;
        }
    }
    int* volatile badAddress = reinterpret_cast<int*>(0x10);
    std::vector<std::tuple<bool, DWORD, DWORD>> calls;
    Failure failure = Failure::kNone;
    // With `entered`: signals it, waits for `release`, and numbers its return from `order`.
    HANDLE entered = nullptr;
    HANDLE release = nullptr;
    std::atomic<int>* order = nullptr;
    int returnedAs = 0;
};

std::wstring ProcessImageName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring text = path;
    return text.substr(text.rfind(L'\\') + 1);
}

void PutBytes(std::vector<BYTE>& out, const void* data, size_t count) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    out.insert(out.end(), bytes, bytes + count);
}

void PutCounted(std::vector<BYTE>& out, std::initializer_list<std::wstring> texts) {
    for (const std::wstring& text : texts) {
        const USHORT count = static_cast<USHORT>(text.size());
        PutBytes(out, &count, sizeof(count));
        PutBytes(out, text.data(), text.size() * sizeof(wchar_t));
    }
}

class ETWLoggingTest : public ::testing::Test {
  protected:
    ETWLoggingTest()
        : key_(kTag, /*complete=*/true),
          service_(std::make_shared<CEventTraceStandIn>()),
          logger_(std::make_unique<CETWLogging>(service_)) {}

    // Initialised as group RQD, started and enabled by one session with threshold 1.
    void Enable() {
        ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
        StartAndEnable();
    }
    void StartAndEnable(const GUID& provider = kTestProviderGuid) {
        ASSERT_EQ(0u, logger_->Start());
        session_ = service_->StartSession();
        ASSERT_EQ(0u, service_->EnableProvider(session_, provider, 1, 0));
        service_->Settle();
        ASSERT_EQ(Handle(session_, 1), logger_->GetSessionHandle());
    }
    static TRACEHANDLE Handle(TRACEHANDLE session, UCHAR level, ULONG flags = 0) {
        return CEventTraceStandIn::EnableContext(session, level, flags);
    }

    // Each event's data block, decoded as a consumer would.
    std::vector<DecodedEvent> Decoded() {
        std::vector<DecodedEvent> decoded;
        for (const RecordedTraceEvent& event : service_->Events()) {
            decoded.emplace_back();
            EXPECT_EQ(0u, DecodeEventData(event.data.data(), event.data.size(), decoded.back()));
        }
        return decoded;
    }

    // The single event recorded, decoded.
    DecodedEvent Only() {
        const std::vector<DecodedEvent> events = Decoded();
        EXPECT_EQ(1u, events.size());
        return events.empty() ? DecodedEvent{} : events[0];
    }

    // The logger's session handle, enabled state and threshold.
    using LoggerState = std::tuple<TRACEHANDLE, bool, DWORD>;
    LoggerState State() {
        return {logger_->GetSessionHandle(), logger_->IsEnabled(), logger_->GetSeverity()};
    }

    std::vector<int> EventLevels() {
        std::vector<int> levels;
        for (const RecordedTraceEvent& e : service_->Events())
            levels.push_back(e.header.Class.Level);
        return levels;
    }

    EtwTest::ScratchProductKey key_;
    std::shared_ptr<CEventTraceStandIn> service_;
    std::unique_ptr<CETWLogging> logger_;
    TRACEHANDLE session_ = 0;
};

TEST_F(ETWLoggingTest, KnownMessageGivesTheExactEventBytes) {
    Enable();
    ASSERT_EQ(0u, logger_->LogEx(3, L"gatesvc", L"InstallHipsDriverFile", 136,
                                 L"Copy file to %s failed from %s. Try to delay copy until reboot",
                                 L"C:\\a\u00e9", L"D:\\b"));
    const std::vector<RecordedTraceEvent> events = service_->Events();
    ASSERT_EQ(1u, events.size());
    const RecordedTraceEvent& event = events[0];
    EXPECT_EQ(session_, event.session);

    const BYTE expectedHeader[48] = {
        0x50, 0x00, 0x00, 0x00, 0x01, 0x03, 0x02, 0x00,  // size 80, type 1, level 3, version 2
        0,    0,    0,    0,    0,    0,    0,    0,
        0,    0,    0,    0,    0,    0,    0,    0,      // thread, process, time stamp
        0xD0, 0xAA, 0x1D, 0xCD, 0xCC, 0x54, 0xE0, 0x11,   // {CD1DAAD0-54CC-11E0-
        0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66,   //  B8AF-0800200C9A66}
        0,    0,    0,    0,    0x00, 0x00, 0x12, 0x00};  // client context, flags 0x120000
    EXPECT_EQ(0, ::memcmp(expectedHeader, &event.header, sizeof(expectedHeader)));

    const std::string message =
        "Copy file to C:\\a\xC3\xA9 failed from D:\\b. Try to delay copy until reboot";
    std::vector<BYTE> context;
    const DWORD ids[2] = {::GetCurrentProcessId(), ::GetCurrentThreadId()};
    const int line = 136;
    const ULONG64 messageSize = message.size();
    PutBytes(context, ids, sizeof(ids));
    PutCounted(context, {ProcessImageName(), L"gatesvc", L"InstallHipsDriverFile"});
    PutBytes(context, &line, 4);
    // The logging code is linked into the program, which has no version resource.
    PutCounted(context, {ProcessImageName(), L"", L"RQD"});
    PutBytes(context, &messageSize, 8);
    EXPECT_EQ(context, event.fields[0]);
    EXPECT_EQ(std::vector<BYTE>(message.begin(), message.end()), event.fields[1]);
    ASSERT_EQ(2u, event.mofEntries.size());
    EXPECT_EQ(0u, event.mofEntries[0].DataType | event.mofEntries[1].DataType);
}

// Without a successful InitEx the record is still whole: unknown identity fields count zero.
TEST_F(ETWLoggingTest, UninitialisedLoggerSendsAWholeRecord) {
    StartAndEnable(GUID{});
    ASSERT_EQ(0u, logger_->LogEx(3, L"f", L"g", 7, L"%s", L"x"));
    const DecodedEvent event = Only();
    EXPECT_EQ(L"", event.processImageName + event.groupName);
    EXPECT_EQ(7, event.line);
    EXPECT_EQ("x", event.message);
}

TEST_F(ETWLoggingTest, NullFileOrFunctionIsSentAsAnEmptyString) {
    Enable();
    ASSERT_EQ(0u, logger_->LogEx(3, nullptr, nullptr, 7, L"%s", L"x"));
    EXPECT_EQ(L"", Only().file + Only().function);
}

TEST_F(ETWLoggingTest, NullFormatIsRefusedWithoutAnEvent) {
    Enable();
    EXPECT_EQ(kInvalidParameter, logger_->LogEx(3, L"f", L"g", 5, nullptr));
    EXPECT_TRUE(service_->Events().empty());
}

TEST_F(ETWLoggingTest, LevelsFromSixUpGoOutAsThree) {
    Enable();
    for (DWORD level : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 9u}) logger_->LogEx(level, L"f", L"g", 1, L"m");
    EXPECT_EQ(3u, logger_->MapLevel(6));
    EXPECT_EQ(9u, logger_->MapLevel(9));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 3, 3}), EventLevels());
}

TEST_F(ETWLoggingTest, LevelThreeAlwaysPassesTheThreshold) {
    Enable();
    logger_->SetSeverity(5);
    EXPECT_TRUE(logger_->IsLevelEnabled(3));
    EXPECT_FALSE(logger_->IsLevelEnabled(4));
    for (DWORD level : {4u, 3u, 5u}) logger_->LogEx(level, L"f", L"g", 1, L"m");
    EXPECT_EQ((std::vector<int>{3, 5}), EventLevels());
}

TEST_F(ETWLoggingTest, MessagesAreCutAt2079UnitsWithTheirZero) {
    Enable();
    logger_->LogEx(3, L"f", L"g", 1, L"%s", std::wstring(2079, L'a').c_str());
    logger_->LogEx(3, L"f", L"g", 1, L"%s", std::wstring(5000, L'b').c_str());
    // UTF-8 too long for the buffer's tail: converted on the heap, and not cut.
    logger_->LogEx(3, L"f", L"g", 1, L"%s", std::wstring(2000, L'\u00e9').c_str());
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(std::string(2079, 'a'), events[0].message);
    EXPECT_EQ(std::string(2079, 'b') + std::string(1, '\0'), events[1].message);
    std::string accented;
    for (int i = 0; i < 2000; ++i) accented += "\xC3\xA9";
    EXPECT_EQ(accented, events[2].message);
    EXPECT_EQ(4000u, events[2].messageSize);
}

TEST_F(ETWLoggingTest, EmptyMessageGoesOutAsAnEmptyField) {
    Enable();
    logger_->LogEx(3, L"f", L"g", 1, L"");
    EXPECT_EQ(0u, Only().messageSize);
    EXPECT_TRUE(service_->Events()[0].fields[1].empty());
}

// A name that fills its count makes an event larger than any session's buffer: the service
// refuses it, and the caller is not told.
TEST_F(ETWLoggingTest, NamesLongerThan65535UnitsCarryTheLowSixteenBits) {
    ASSERT_EQ(0u,
              logger_->InitEx(kTag, std::wstring(65537, L'g').c_str(), nullptr, nullptr, nullptr));
    StartAndEnable();
    logger_->LogEx(3, std::wstring(65541, L'f').c_str(), std::wstring(65539, L'u').c_str(), 7,
                   L"m");
    const DecodedEvent event = Only();
    EXPECT_EQ(L"fffff", event.file);
    EXPECT_EQ(L"uuu", event.function);
    EXPECT_EQ(L"g", event.groupName);
    EXPECT_EQ(7, event.line);
    EXPECT_EQ("m", event.message);
    EXPECT_EQ(0u, logger_->LogEx(3, L"f", std::wstring(65535, L'u').c_str(), 7, L"m"));
    EXPECT_EQ(static_cast<ULONG>(ERROR_MORE_DATA), service_->LastRefusal());
    EXPECT_EQ(1u, service_->Events().size());
}

// Without a session an event is attempted and refused; a disabled logger attempts none.
TEST_F(ETWLoggingTest, EveryWritingOperationReachesTheTraceWhenEnabledWithASession) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, logger_->LogEx(3, L"f", L"g", 1, L"no session"));
    EXPECT_EQ(1u, service_->RefusedEventCount());
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), service_->LastRefusal());
    StartAndEnable();
    logger_->Log(1, L"f", L"g", 1, L"%s-%d", L"x", 5);
    logger_->Log(1, L"f", L"g", 1, L"");  // an empty format writes nothing
    EXPECT_EQ(0u, logger_->LogMessage(L"f", L"g", 1, 2, L"100% sure"));
    EXPECT_EQ(0u, logger_->LogWarning(L"f", L"g", 1, L"w%d", 2));
    EXPECT_EQ(0u, logger_->LogCritical(L"f", L"g", 1, L"c"));
    logger_->SetEnabled(false);
    EXPECT_EQ(0u, logger_->LogEx(3, L"f", L"g", 1, L"disabled"));
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ("x-5", events[0].message);
    EXPECT_EQ("100% sure", events[1].message);
    EXPECT_EQ("w2", events[2].message);
    EXPECT_EQ((std::vector<int>{1, 2, 2, 5}), EventLevels());
    EXPECT_EQ(1u, service_->RefusedEventCount());
    EXPECT_EQ(0u, service_->ForeignHandleEventCount());
}

TEST_F(ETWLoggingTest, FailedRegistrationIsReportedOnceNotRetried) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    service_->FailNext(CEventTraceStandIn::Call::kRegisterTraceGuids, ERROR_ACCESS_DENIED);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), logger_->Start());
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, service_->RegistrationCount());
}

TEST_F(ETWLoggingTest, StartRegistersTheProviderOnce) {
    Enable();
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(1u, service_->RegistrationCount());
    EXPECT_TRUE(::IsEqualGUID(kTestProviderGuid, service_->LastControlGuid()));
}

TEST_F(ETWLoggingTest, InitExAfterStartGivesAlreadyStarted) {
    Enable();
    EXPECT_EQ(kAlreadyStarted, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
}

TEST_F(ETWLoggingTest, StopUnregistersTheProviderLeavingTheLoggerDisabled) {
    Enable();
    EXPECT_EQ(0u, logger_->Stop());
    EXPECT_EQ(0u, service_->ProviderCount());
    EXPECT_FALSE(logger_->IsEnabled());
    EXPECT_EQ(0u, logger_->Stop());
}

TEST_F(ETWLoggingTest, DestructionUnregistersTheProvider) {
    Enable();
    EXPECT_EQ(1u, service_->ProviderCount());
    logger_.reset();
    EXPECT_EQ(0u, service_->ProviderCount());
}

// One controller action per step; afterwards the logger writes with the handle of the
// session that holds the provider, at that session's level, or writes nothing when none does.
// The first session to enable it holds it until it disables it or stops: another session's
// enable and disable are ignored meanwhile.
TEST_F(ETWLoggingTest, FollowsASessionThroughItsLife) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    const TRACEHANDLE first = service_->StartSession();
    const TRACEHANDLE second = service_->StartSession();
    const auto enable = [&](TRACEHANDLE session, UCHAR level) {
        return [&, session, level] {
            ASSERT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, level, 0));
        };
    };
    const auto disable = [&](TRACEHANDLE session) {
        return
            [&, session] { ASSERT_EQ(0u, service_->DisableProvider(session, kTestProviderGuid)); };
    };
    const struct {
        const char* what;
        std::function<void()> act;
        TRACEHANDLE holder;  // 0: disabled
        UCHAR level;
    } steps[] = {
        {"session started before the program",
         [&] {
             enable(first, 4)();
             ASSERT_EQ(0u, logger_->Start());
         },
         first, 4},
        {"level changed", enable(first, 2), first, 2},
        {"disabled", disable(first), 0, 2},
        {"enabled again", enable(first, 5), first, 5},
        {"a second session's enable is ignored", enable(second, 3), first, 5},
        {"and so is its disable", disable(second), first, 5},
        {"provider registered again",
         [&] {
             ASSERT_EQ(0u, logger_->Stop());
             ASSERT_EQ(0u, logger_->Start());
         },
         first, 5},
        {"level 0, the default", enable(first, 0), first, 0},
        {"holder stopped", [&] { ASSERT_EQ(0u, service_->StopSession(first)); }, 0, 0},
        {"the next session takes it", enable(second, 1), second, 1},
    };
    std::vector<std::string> written;
    for (const auto& step : steps) {
        step.act();
        service_->Settle();
        const DWORD severity = step.level == 0 ? 3 : step.level;
        const TRACEHANDLE handle = step.holder != 0 ? Handle(step.holder, step.level) : 0;
        EXPECT_EQ(LoggerState(handle, step.holder != 0, severity), State()) << step.what;
        const ULONG64 refused = service_->RefusedEventCount();
        logger_->LogEx(3, L"f", L"g", 1, L"%hs", step.what);
        EXPECT_EQ(refused, service_->RefusedEventCount()) << step.what;
        if (step.holder != 0) written.push_back(step.what);
    }
    std::vector<std::string> messages;
    for (const DecodedEvent& event : Decoded()) messages.push_back(event.message);
    EXPECT_EQ(written, messages);
}

TEST_F(ETWLoggingTest, EnableFailuresReturnTheLastError) {
    Enable();
    // A buffer naming no live session gives the invalid handle and its error.
    WNODE_HEADER stale = {};
    stale.HistoricalContext = 0x1234567812345678ull;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), logger_->OnControlRequest(4, &stale));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), logger_->OnControlRequest(5, &stale));
    EXPECT_EQ(kInvalidParameter, logger_->OnControlRequest(4, nullptr));
    EXPECT_EQ(kInvalidParameter, logger_->OnControlRequest(0, &stale));
    EXPECT_EQ(LoggerState(Handle(session_, 1), true, 1), State());
}

// 87 for a missing context; 574 when the listener throws or faults, whatever the compiler.
TEST_F(ETWLoggingTest, ControlCallbackCodes) {
    auto owned = std::make_unique<ProbeListener>();
    ProbeListener* const probe = owned.get();
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, std::move(owned)));
    ASSERT_EQ(nullptr, owned);
    ASSERT_EQ(1u, probe->calls.size());
    EXPECT_EQ(std::make_tuple(true, DWORD{3}, DWORD{0}), probe->calls[0]);
    ASSERT_EQ(0u, logger_->Start());
    const TRACEHANDLE session = service_->StartSession();

    WNODE_HEADER buffer = {};
    buffer.HistoricalContext = Handle(session, 2);
    ULONG size = sizeof(buffer);
    EXPECT_EQ(kInvalidParameter,
              CETWLogging::ControlCallback(WMI_ENABLE_EVENTS, nullptr, &size, &buffer));

    for (auto failure : {ProbeListener::Failure::kThrow, ProbeListener::Failure::kRaise,
                         ProbeListener::Failure::kFault}) {
        probe->failure = failure;
        EXPECT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 2, 7));
        service_->Settle();
        EXPECT_EQ(kUnhandledException, service_->LastCallbackResult());
        EXPECT_EQ(std::make_tuple(true, DWORD{2}, DWORD{7}), probe->calls.back());
    }
    probe->failure = ProbeListener::Failure::kNone;
    EXPECT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 2, 7));
    service_->Settle();
    EXPECT_EQ(0u, service_->LastCallbackResult());
}

// The service does not promise that unregistering waits for a callback it has begun: Stop
// itself returns only once that callback has, and the session it named is forgotten.
TEST_F(ETWLoggingTest, StopReturnsOnlyOnceARunningCallbackHasReturned) {
    auto owned = std::make_unique<ProbeListener>();
    ProbeListener* const probe = owned.get();
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, std::move(owned)));
    ASSERT_EQ(0u, logger_->Start());
    Basalt::UniqueKernelHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Basalt::UniqueKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> order{0};
    probe->order = &order;
    probe->release = release.get();
    probe->entered = entered.get();
    ASSERT_EQ(0u, service_->EnableProvider(service_->StartSession(), kTestProviderGuid, 2, 0));
    constexpr DWORD kCallbackStartMs = 10000;
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.get(), kCallbackStartMs));

    int stoppedAs = 0;
    std::thread stopper([&] {
        EXPECT_EQ(0u, logger_->Stop());
        stoppedAs = ++order;
    });
    // Long enough for a Stop that does not wait to have returned.
    constexpr DWORD kStopGraceMs = 200;
    ::Sleep(kStopGraceMs);
    ::SetEvent(release.get());
    stopper.join();
    service_->Settle();
    EXPECT_LT(probe->returnedAs, stoppedAs);
    EXPECT_EQ(0u, logger_->GetSessionHandle());
}

// A refused InitEx still stores its group (a fixed fault), events name it; a failed load
// and Stop are not undone by another InitEx.
TEST_F(ETWLoggingTest, InitExRefusalsStoreTheGroupEventsName) {
    EXPECT_EQ(kInvalidParameter, logger_->InitEx(kTag, L"", nullptr, nullptr, nullptr));
    auto kept = std::make_unique<ProbeListener>();
    EXPECT_EQ(kInvalidParameter, logger_->InitEx(kTag, L"RQD", nullptr, L"", std::move(kept)));
    EXPECT_NE(nullptr, kept);  // a refused call leaves the listener with the caller
    std::wstring group;
    logger_->GetGroupName(group);
    EXPECT_EQ(L"RQD", group);
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(kInvalidParameter, logger_->InitEx(kTag, L"OTHER", nullptr, L"", nullptr));
    StartAndEnable();
    ASSERT_EQ(0u, logger_->LogEx(2, L"f", L"g", 1, L"%s", L"x"));
    EXPECT_EQ(L"OTHER", Only().groupName);
    ASSERT_EQ(0u, logger_->Stop());
    EXPECT_EQ(kInvalidParameter, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));

    CETWLogging failed(service_);
    EXPECT_EQ(kInvalidParameter, failed.InitEx(L"GSTESTNOKEY", L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(kInvalidParameter, failed.Init(L"RQD", nullptr, nullptr, nullptr));
}

TEST_F(ETWLoggingTest, LoggerNameIsTheGroupFollowedByTheModule) {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", kernel32, L"host", nullptr));
    std::wstring name;
    logger_->GetLoggerName(name);
    EXPECT_EQ(L"RQD\\kernel32", name);
    EXPECT_EQ(L"kernel32.dll", logger_->GetModuleName(kernel32, false));
}

TEST_F(ETWLoggingTest, SeverityIsClampedFromOneToSix) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    logger_->SetSeverity(2);
    EXPECT_EQ(2u, logger_->SetSeverity(0));
    EXPECT_EQ(1u, logger_->GetSeverity());
    EXPECT_EQ(1u, logger_->SetSeverity(9));
    EXPECT_EQ(6u, logger_->GetSeverity());
}

// The record is filled as for an event, except the logging module name it already holds.
TEST_F(ETWLoggingTest, EventRecordIsFilledKeepingItsLoggingModuleName) {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", kernel32, L"host", nullptr));
    CLoggingIf_ex::EventContext record;
    record.loggingModuleName = L"kept";
    logger_->FillEventRecord(nullptr, L"fn", 12, record);
    EXPECT_EQ(L"RQD", record.groupName);
    EXPECT_EQ(L"kept", record.loggingModuleName);
    EXPECT_EQ(ProcessImageName(), record.processImageName);
}

// Wine's tracing service is a stub: registration succeeds, TraceEvent refuses.
TEST_F(ETWLoggingTest, PlainServiceReachesTheSystemFunctions) {
    CETWLogging logger;
    ASSERT_EQ(0u, logger.InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, logger.Start());
    EXPECT_EQ(0u, logger.LogEx(3, L"f", L"g", 1, L"through advapi32"));
    EXPECT_EQ(0u, logger.Stop());
}

TEST(LoggingModuleInfoTest, IdentityOfTheModuleHoldingTheLoggingCode) {
    const internal::LoggingModuleInfo& info = internal::GetLoggingModuleInfo();
    EXPECT_EQ(ProcessImageName(), info.moduleFileName);
    EXPECT_EQ(&info, &internal::GetLoggingModuleInfo());
    EXPECT_EQ(L"", info.fileVersion);

    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_FALSE(internal::QueryFileVersion(std::wstring(system) + L"\\kernel32.dll").empty());
    EXPECT_EQ(L"", internal::QueryFileVersion(L"C:\\no\\such\\file.dll"));
    const std::pair<const wchar_t*, const wchar_t*> versions[] = {
        {L"1, 2, 3, 4", L"1.2.3.4"},
        {L"10,0,1,2 (build)", L"10.0.1.2"},
        {L"1,2,3", L"1,2,3"},
        {L"", L""},
        {L"6.1.7601.17514 (win7)", L"6.1.7601.17514 (win7)"}};
    for (const auto& [raw, normal] : versions) {
        EXPECT_EQ(normal, internal::NormalizeFileVersion(raw)) << raw;
    }
    EXPECT_EQ(L"x.dll", internal::ModuleFileNameFromPath(L"C:\\a\\x.dll"));
    EXPECT_EQ(L"x.dll", internal::ModuleFileNameFromPath(L"x.dll"));
    EXPECT_EQ(L"", internal::ModuleFileNameFromPath(L"\\x.dll"));
}

}  // namespace
