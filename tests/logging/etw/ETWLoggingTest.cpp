#include "logging/etw/ETWLogging.h"

#include <gtest/gtest.h>
#include <string.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "logging/etw/EventLayout.h"
#include "logging/etw/EventTraceStandIn.h"
#include "logging/etw/LoggingModuleInfo.h"
#include "tests/logging/etw/EtwTestSupport.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTLOG";
constexpr DWORD kAlreadyStarted = 20001;
constexpr ULONG kUnhandledException = 574;

// A listener that records its notifications and can be told to fail.
class ProbeListener : public LoggingConfigListenerIf {
  public:
    enum class Failure { kNone, kThrow, kRaise };
    void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) override {
        calls.push_back({enable, level, flags});
        if (failure == Failure::kThrow) throw std::runtime_error("listener failed");
        if (failure == Failure::kRaise) ::RaiseException(0xE0000042, 0, 0, nullptr);
    }
    struct Call {
        bool enable;
        DWORD level;
        DWORD flags;
    };
    std::vector<Call> calls;
    Failure failure = Failure::kNone;
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

void PutCounted(std::vector<BYTE>& out, const std::wstring& text) {
    const USHORT count = static_cast<USHORT>(text.size());
    PutBytes(out, &count, sizeof(count));
    PutBytes(out, text.data(), text.size() * sizeof(wchar_t));
}

class ETWLoggingTest : public ::testing::Test {
  protected:
    ETWLoggingTest()
        : key_(kTag, /*complete=*/true),
          service_(std::make_shared<CEventTraceStandIn>()),
          logger_(std::make_unique<CETWLogging>(service_)) {}

    // Initialised, started and enabled by one session with threshold 1.
    void Enable() {
        ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
        ASSERT_EQ(0u, logger_->Start());
        session_ = service_->StartSession();
        ASSERT_EQ(0u, service_->EnableProvider(session_, kTestProviderGuid, 1, 0));
        ASSERT_EQ(session_, logger_->GetSessionHandle());
    }

    std::vector<DecodedEvent> Decoded() {
        std::vector<DecodedEvent> decoded;
        for (const RecordedTraceEvent& event : service_->Events()) {
            DecodedEvent one;
            EXPECT_EQ(2u, event.fields.size());
            if (event.fields.size() != 2) continue;
            EXPECT_EQ(0u, DecodeEventPayload(event.fields[0].data(), event.fields[0].size(),
                                             event.fields[1].data(), event.fields[1].size(), one));
            decoded.push_back(one);
        }
        return decoded;
    }

    std::vector<int> EventLevels() {
        std::vector<int> levels;
        for (const RecordedTraceEvent& event : service_->Events()) {
            levels.push_back(event.header.Class.Level);
        }
        return levels;
    }

    EtwTest::ScratchProductKey key_;
    std::shared_ptr<CEventTraceStandIn> service_;
    std::unique_ptr<CETWLogging> logger_;
    TRACEHANDLE session_ = 0;
};

TEST_F(ETWLoggingTest, KnownMessageGivesExactHeaderAndContextRecord) {
    Enable();
    ASSERT_EQ(0u, logger_->LogEx(3, L"gatesvc", L"InstallHipsDriverFile", 136,
                                 L"Copy file to %s failed from %s. Try to delay copy until reboot",
                                 L"C:\\a\u00e9", L"D:\\b"));
    const std::vector<RecordedTraceEvent> events = service_->Events();
    ASSERT_EQ(1u, events.size());
    const RecordedTraceEvent& event = events[0];
    EXPECT_EQ(session_, event.sessionHandle);

    const BYTE expectedHeader[48] = {
        0x50, 0x00, 0x00, 0x00, 0x01, 0x03, 0x02, 0x00,  // size 80, type 1, level 3, version 2
        0,    0,    0,    0,    0,    0,    0,    0,
        0,    0,    0,    0,    0,    0,    0,    0,      // thread, process, time stamp
        0xD0, 0xAA, 0x1D, 0xCD, 0xCC, 0x54, 0xE0, 0x11,   // {CD1DAAD0-54CC-11E0-
        0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66,   //  B8AF-0800200C9A66}
        0,    0,    0,    0,    0x00, 0x00, 0x12, 0x00};  // client context, flags 0x120000
    EXPECT_EQ(0, ::memcmp(expectedHeader, &event.header, sizeof(expectedHeader)));

    const std::string message =
        "Copy file to C:\\a\xC3\xA9 failed from D:\\b. Try to delay copy "
        "until reboot";
    std::vector<BYTE> context;
    const DWORD processId = ::GetCurrentProcessId();
    const DWORD threadId = ::GetCurrentThreadId();
    const int line = 136;
    const ULONG64 messageSize = message.size();
    PutBytes(context, &processId, 4);
    PutBytes(context, &threadId, 4);
    PutCounted(context, ProcessImageName());
    PutCounted(context, L"gatesvc");
    PutCounted(context, L"InstallHipsDriverFile");
    PutBytes(context, &line, 4);
    PutCounted(context, ProcessImageName());  // the logging code is linked into the program
    PutCounted(context, L"");                 // which has no version resource
    PutCounted(context, L"RQD");
    PutBytes(context, &messageSize, 8);
    EXPECT_EQ(context, event.fields[0]);
    EXPECT_EQ(std::vector<BYTE>(message.begin(), message.end()), event.fields[1]);
    ASSERT_EQ(2u, event.mofEntries.size());
    EXPECT_EQ(context.size(), event.mofEntries[0].Length);
    EXPECT_EQ(0u, event.mofEntries[0].DataType);
    EXPECT_EQ(message.size(), event.mofEntries[1].Length);
    EXPECT_EQ(0u, event.mofEntries[1].DataType);
}

// The group stored by a refused InitEx is the one that events name, as
// GetGroupName and the listener's keys do.
TEST_F(ETWLoggingTest, EventsNameTheGroupStoredByARefusedInitEx) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->InitEx(kTag, L"OTHER", nullptr, L"", nullptr));
    ASSERT_EQ(0u, logger_->Start());
    session_ = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session_, kTestProviderGuid, 1, 0));
    ASSERT_EQ(0u, logger_->LogEx(2, L"f", L"g", 1, L"%s", L"x"));
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"OTHER", events[0].groupName);
}

// A logger used without a successful InitEx still sends a whole record: the
// identity fields it does not know go out as zero counts.
TEST_F(ETWLoggingTest, UninitialisedLoggerSendsAWholeRecord) {
    CETWLogging bare(service_);
    ASSERT_EQ(0u, bare.Start());
    session_ = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session_, GUID{}, 1, 0));
    ASSERT_EQ(session_, bare.GetSessionHandle());
    ASSERT_EQ(0u, bare.LogEx(3, L"f", L"g", 7, L"%s", L"x"));
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"", events[0].processImageName);
    EXPECT_EQ(L"", events[0].groupName);
    EXPECT_EQ(L"g", events[0].function);
    EXPECT_EQ(7, events[0].line);
    EXPECT_EQ("x", events[0].message);
}

TEST_F(ETWLoggingTest, LevelThreeAlwaysPassesTheThreshold) {
    Enable();
    logger_->SetSeverity(5);
    EXPECT_TRUE(logger_->IsLevelEnabled(3));
    EXPECT_FALSE(logger_->IsLevelEnabled(4));
    logger_->LogEx(4, L"f", L"g", 1, L"filtered");
    logger_->LogEx(3, L"f", L"g", 1, L"written");
    logger_->LogEx(5, L"f", L"g", 1, L"written");
    EXPECT_EQ((std::vector<int>{3, 5}), EventLevels());
}

TEST_F(ETWLoggingTest, LevelsSixAndAboveGoOutAsThree) {
    Enable();
    for (DWORD level : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 9u}) logger_->LogEx(level, L"f", L"g", 1, L"m");
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 3, 3}), EventLevels());
    EXPECT_EQ(3u, logger_->MapLevel(6));
    EXPECT_EQ(9u, logger_->MapLevel(9));
}

TEST_F(ETWLoggingTest, LongMessagesAreCutAt2079UnitsWithTheirZero) {
    Enable();
    logger_->LogEx(3, L"f", L"g", 1, L"%s", std::wstring(2079, L'a').c_str());
    logger_->LogEx(3, L"f", L"g", 1, L"%s", std::wstring(5000, L'b').c_str());
    // UTF-8 too long for the buffer's tail: converted on the heap.
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

TEST_F(ETWLoggingTest, EmptyMessageGivesEmptySecondField) {
    Enable();
    logger_->LogEx(3, L"f", L"g", 1, L"");
    const std::vector<RecordedTraceEvent> events = service_->Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_TRUE(events[0].fields[1].empty());
    const std::vector<BYTE>& context = events[0].fields[0];
    ASSERT_GE(context.size(), 8u);
    EXPECT_EQ(std::vector<BYTE>(8, 0), std::vector<BYTE>(context.end() - 8, context.end()));
}

TEST_F(ETWLoggingTest, NamesLongerThan65535UnitsCarryTheLowSixteenBits) {
    const std::wstring group(65537, L'g');
    ASSERT_EQ(0u, logger_->InitEx(kTag, group.c_str(), nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger_->Start());
    session_ = service_->StartSession();
    ASSERT_EQ(0u, service_->EnableProvider(session_, kTestProviderGuid, 1, 0));
    logger_->LogEx(3, std::wstring(65541, L'f').c_str(), std::wstring(65535, L'u').c_str(), 7,
                   L"m");
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"fffff", events[0].file);
    EXPECT_EQ(std::wstring(65535, L'u'), events[0].function);
    EXPECT_EQ(L"g", events[0].groupName);
    EXPECT_EQ(7, events[0].line);
    EXPECT_EQ("m", events[0].message);
}

TEST_F(ETWLoggingTest, NullFileAndFunctionAreCarriedEmpty) {
    Enable();
    EXPECT_EQ(0u, logger_->LogEx(3, nullptr, nullptr, 5, L"m"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->LogEx(3, L"f", L"g", 5, nullptr));
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"", events[0].file);
    EXPECT_EQ(L"", events[0].function);
    EXPECT_EQ(L"RQD", events[0].groupName);
}

TEST_F(ETWLoggingTest, EveryWritingOperationReachesTheTrace) {
    Enable();
    logger_->Log(1, L"f", L"g", 1, L"%s-%d", L"x", 5);
    logger_->Log(1, L"f", L"g", 1, L"");  // an empty format writes nothing
    EXPECT_EQ(0u, logger_->LogMessage(L"f", L"g", 1, 2, L"100% sure"));
    EXPECT_EQ(0u, logger_->LogWarning(L"f", L"g", 1, L"w%d", 2));
    EXPECT_EQ(0u, logger_->LogCritical(L"f", L"g", 1, L"c"));
    const std::vector<DecodedEvent> events = Decoded();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ("x-5", events[0].message);
    EXPECT_EQ("100% sure", events[1].message);
    EXPECT_EQ("w2", events[2].message);
    EXPECT_EQ((std::vector<int>{1, 2, 2, 5}), EventLevels());
}

TEST_F(ETWLoggingTest, DisabledOrSessionlessLoggerWritesNothing) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, logger_->LogEx(3, L"f", L"g", 1, L"no session"));
    EXPECT_EQ(1u, service_->RefusedEventCount());  // attempted with handle 0
    EXPECT_EQ(0u, service_->ForeignHandleEventCount());
    logger_->SetEnabled(false);
    EXPECT_EQ(0u, logger_->LogEx(3, L"f", L"g", 1, L"disabled"));
    EXPECT_EQ(1u, service_->RefusedEventCount());
    EXPECT_TRUE(service_->Events().empty());
}

TEST_F(ETWLoggingTest, StartRegistersOnceUnderTheProviderGuid) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(1u, service_->RegistrationCount());
    EXPECT_TRUE(::IsEqualGUID(kTestProviderGuid, service_->LastControlGuid()));
    EXPECT_EQ(kAlreadyStarted, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, logger_->Stop());
    EXPECT_EQ(0u, service_->ProviderCount());
    EXPECT_FALSE(logger_->IsEnabled());
    EXPECT_EQ(0u, logger_->Stop());
}

TEST_F(ETWLoggingTest, FailedRegistrationIsReportedOnce) {
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    service_->FailNextRegistration(ERROR_ACCESS_DENIED);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), logger_->Start());
    EXPECT_EQ(0u, logger_->Start());
    EXPECT_EQ(0u, service_->RegistrationCount());
}

TEST_F(ETWLoggingTest, DestructionUnregistersTheProvider) {
    Enable();
    EXPECT_EQ(1u, service_->ProviderCount());
    logger_.reset();
    EXPECT_EQ(0u, service_->ProviderCount());
}

TEST_F(ETWLoggingTest, SecondSessionNeitherTakesOverNorClearsTheFirst) {
    Enable();
    ASSERT_EQ(0u, service_->EnableProvider(session_, kTestProviderGuid, 4, 0x10));
    EXPECT_EQ(4u, logger_->GetSeverity());
    const TRACEHANDLE second = service_->StartSession();
    EXPECT_EQ(0u, service_->EnableProvider(second, kTestProviderGuid, 2, 0));
    EXPECT_EQ(session_, logger_->GetSessionHandle());
    EXPECT_EQ(4u, logger_->GetSeverity());  // the listener was not told

    EXPECT_EQ(0u, service_->DisableProvider(second, kTestProviderGuid));
    EXPECT_EQ(session_, logger_->GetSessionHandle());
    EXPECT_FALSE(logger_->IsEnabled());  // the disable still reached the listener
    EXPECT_EQ(4u, logger_->GetSeverity());

    EXPECT_EQ(0u, service_->DisableProvider(session_, kTestProviderGuid));
    EXPECT_EQ(0u, logger_->GetSessionHandle());
    EXPECT_EQ(0u, service_->EnableProvider(second, kTestProviderGuid, 2, 0));
    EXPECT_EQ(second, logger_->GetSessionHandle());
    EXPECT_TRUE(logger_->IsEnabled());
    EXPECT_EQ(2u, logger_->GetSeverity());
}

TEST_F(ETWLoggingTest, EnableFailuresReturnTheLastError) {
    Enable();
    logger_->SetSeverity(4);
    // Level 0: the session handle stays stored, the threshold is not touched.
    const TRACEHANDLE second = service_->StartSession();
    ASSERT_EQ(0u, service_->DisableProvider(session_, kTestProviderGuid));
    EXPECT_EQ(0u, service_->EnableProvider(second, kTestProviderGuid, 0, 0));
    EXPECT_EQ(second, logger_->GetSessionHandle());
    EXPECT_EQ(4u, logger_->GetSeverity());

    // A buffer naming no live session gives the invalid handle and its error.
    WNODE_HEADER stale = {};
    stale.HistoricalContext = 0x1234567812345678ull;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), logger_->OnControlRequest(4, &stale));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), logger_->OnControlRequest(4, nullptr));
    EXPECT_EQ(second, logger_->GetSessionHandle());
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), logger_->OnControlRequest(0, &stale));
}

TEST_F(ETWLoggingTest, ControlCallbackCodes) {
    auto* probe = new ProbeListener;
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, probe));
    ASSERT_EQ(1u, probe->calls.size());
    EXPECT_TRUE(probe->calls[0].enable);
    EXPECT_EQ(3u, probe->calls[0].level);
    ASSERT_EQ(0u, logger_->Start());
    const TRACEHANDLE session = service_->StartSession();

    WNODE_HEADER buffer = {};
    buffer.HistoricalContext = session;
    ULONG size = sizeof(buffer);
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER),
              CETWLogging::ControlCallback(WMI_ENABLE_EVENTS, nullptr, &size, &buffer));

    probe->failure = ProbeListener::Failure::kThrow;
    EXPECT_EQ(kUnhandledException, service_->EnableProvider(session, kTestProviderGuid, 2, 7));
    ASSERT_EQ(2u, probe->calls.size());
    EXPECT_EQ(2u, probe->calls[1].level);
    EXPECT_EQ(7u, probe->calls[1].flags);

    probe->failure = ProbeListener::Failure::kNone;
    EXPECT_EQ(0u, service_->EnableProvider(session, kTestProviderGuid, 2, 7));
}

// Structured exceptions are caught only where the compiler has __try.
TEST_F(ETWLoggingTest, ControlCallbackTurnsStructuredExceptionInto574) {
#ifndef _MSC_VER
    GTEST_SKIP() << "structured exceptions are caught only in the MSVC build";
#else
    auto* probe = new ProbeListener;
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, probe));
    ASSERT_EQ(0u, logger_->Start());
    const TRACEHANDLE session = service_->StartSession();
    probe->failure = ProbeListener::Failure::kRaise;
    EXPECT_EQ(kUnhandledException, service_->DisableProvider(session, kTestProviderGuid));
#endif
}

TEST_F(ETWLoggingTest, InitExRefusals) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->InitEx(kTag, L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->InitEx(kTag, L"RQD", nullptr, L"", nullptr));
    std::wstring group;
    logger_->GetGroupName(group);
    EXPECT_EQ(L"RQD", group);

    // A load that failed is not tried again: Init fails the same way.
    CETWLogging failed(service_);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              failed.InitEx(L"GSTESTNOKEY", L"RQD", nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              failed.Init(L"RQD", nullptr, nullptr, nullptr));

    // Nor after Stop.
    ASSERT_EQ(0u, logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger_->Start());
    ASSERT_EQ(0u, logger_->Stop());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_->InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
}

TEST_F(ETWLoggingTest, NamesAndSimpleOperations) {
    CETWLogging logger(service_);
    ASSERT_EQ(0u,
              logger.InitEx(kTag, L"RQD", ::GetModuleHandleW(L"kernel32.dll"), L"host", nullptr));
    std::wstring name;
    logger.GetLoggerName(name);
    EXPECT_EQ(L"RQD\\kernel32", name);
    EXPECT_EQ(L"kernel32.dll", logger.GetModuleName(::GetModuleHandleW(L"kernel32.dll"), false));
    EXPECT_EQ(ProcessImageName(), logger.GetModuleName(nullptr, false));

    logger.SetSeverity(2);
    EXPECT_EQ(2u, logger.SetSeverity(0));
    EXPECT_EQ(1u, logger.GetSeverity());
    EXPECT_EQ(1u, logger.SetSeverity(9));
    EXPECT_EQ(6u, logger.GetSeverity());
    EXPECT_EQ(0, logger.AddRef());
    EXPECT_EQ(0, logger.Release());
    logger.SetMaxEntries(5);
    logger.SetMaxSize(5);
    EXPECT_EQ(0u, logger.GetMaxEntries());
    EXPECT_EQ(0u, logger.GetMaxSize());

    CLoggingIf_ex::EventContext record;
    record.loggingModuleName = L"kept";
    logger.FillEventRecord(nullptr, L"fn", 12, record);
    EXPECT_EQ(::GetCurrentProcessId(), record.processId);
    EXPECT_EQ(::GetCurrentThreadId(), record.threadId);
    EXPECT_EQ(L"", record.file);
    EXPECT_EQ(L"fn", record.function);
    EXPECT_EQ(12, record.line);
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
    const std::wstring version =
        internal::QueryFileVersion(std::wstring(system) + L"\\kernel32.dll");
    EXPECT_FALSE(version.empty());
    EXPECT_EQ(L"", internal::QueryFileVersion(L"C:\\no\\such\\file.dll"));
    EXPECT_EQ(L"1.2.3.4", internal::NormalizeFileVersion(L"1, 2, 3, 4"));
    EXPECT_EQ(L"10.0.1.2", internal::NormalizeFileVersion(L"10,0,1,2 (build)"));
    EXPECT_EQ(L"1,2,3", internal::NormalizeFileVersion(L"1,2,3"));
    EXPECT_EQ(L"", internal::NormalizeFileVersion(L""));
    EXPECT_EQ(L"6.1.7601.17514 (win7)", internal::NormalizeFileVersion(L"6.1.7601.17514 (win7)"));
    EXPECT_EQ(L"x.dll", internal::ModuleFileNameFromPath(L"C:\\a\\x.dll"));
    EXPECT_EQ(L"x.dll", internal::ModuleFileNameFromPath(L"x.dll"));
    EXPECT_EQ(L"", internal::ModuleFileNameFromPath(L"\\x.dll"));
}

}  // namespace
