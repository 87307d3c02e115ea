// Several threads log while a controller takes sessions through their life, the
// requests reaching the logger on the tracing service's own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "tests/logging/etw/EtwTestSupport.h"
#include "tests/logging/etw/EventTraceStandIn.h"

namespace {

using namespace ETWLogging;
using EtwTest::kTestProviderGuid;

constexpr wchar_t kTag[] = L"GSTESTCON";
constexpr int kLoggingThreads = 4;
constexpr int kRounds = 25;
// Settled calls, of all threads together, logged after each controller action.
constexpr ULONG64 kSettledCallsPerAction = 40;

// How a logging call went. It is settled when no controller action overlapped it: the
// action counter was even (no action under way) and the same before and after the call,
// so the logger's state did not change during it.
enum Outcome : char { kSettledEnabled = 'E', kSettledDisabled = 'D', kUnsettled = 'U' };

TEST(ETWLoggingConcurrencyTest, EveryEventAttemptedWhileEnabledReachesTheServiceOrIsRefused) {
    EtwTest::ScratchProductKey key(kTag, /*complete=*/true);
    auto service = std::make_shared<CEventTraceStandIn>();
    CETWLogging logger(service);
    ASSERT_EQ(0u, logger.InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger.Start());
    // Enabled by a session before any thread logs.
    const TRACEHANDLE first = service->StartSession();
    ASSERT_EQ(0u, service->EnableProvider(first, kTestProviderGuid, 3, 0));
    service->Settle();

    std::atomic<ULONG64> actions{0};  // odd while an action is under way
    std::atomic<ULONG64> settled{0};
    std::atomic<bool> done{false};
    std::vector<std::vector<char>> outcomes(kLoggingThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kLoggingThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; !done; ++i) {
                const ULONG64 before = actions;
                const bool enabled = logger.IsEnabled();
                logger.LogEx(3, L"worker", L"Run", t, L"%d", i);
                const bool quiet = before % 2 == 0 && actions == before;
                outcomes[t].push_back(!quiet    ? kUnsettled
                                      : enabled ? kSettledEnabled
                                                : kSettledDisabled);
                if (quiet) ++settled;
                std::this_thread::yield();  // leave the service's thread room to deliver
            }
        });
    }
    const auto act = [&](const std::function<ULONG()>& request) {
        ++actions;  // odd from before the request until its callbacks have returned
        EXPECT_EQ(0u, request());
        service->Settle();
        ++actions;
        const ULONG64 target = settled + kSettledCallsPerAction;
        while (settled < target) std::this_thread::yield();
    };
    const auto enable = [&](const TRACEHANDLE& session, UCHAR level, ULONG flags) {
        return [&, level, flags] {
            return service->EnableProvider(session, kTestProviderGuid, level, flags);
        };
    };
    const auto disable = [&](const TRACEHANDLE& session) {
        return [&] { return service->DisableProvider(session, kTestProviderGuid); };
    };
    for (int round = 0; round < kRounds; ++round) {
        const TRACEHANDLE second = service->StartSession();
        act(enable(first, 5, 0x10));  // a level and flags change
        act(enable(second, 2, 0));    // from a second session: ignored
        act(disable(second));         // likewise
        act(enable(second, 4, 0));
        act([&] { return service->StopSession(second); });
        act(enable(first, 3, 0));
        act(disable(first));
        act(enable(first, 4, 0));
    }
    done = true;
    for (std::thread& thread : threads) thread.join();

    // Each event decodes; none is from a settled disabled call, and every settled enabled
    // call has exactly one.
    std::vector<std::vector<int>> found(kLoggingThreads);
    for (int t = 0; t < kLoggingThreads; ++t) found[t].assign(outcomes[t].size(), 0);
    const std::vector<RecordedTraceEvent> events = service->Events();
    for (const RecordedTraceEvent& event : events) {
        DecodedEvent decoded;
        ASSERT_EQ(0u, DecodeEventData(event.data.data(), event.data.size(), decoded));
        ASSERT_EQ(L"worker", decoded.file);
        ASSERT_TRUE(decoded.line >= 0 && decoded.line < kLoggingThreads);
        const size_t call = std::stoul(decoded.message);
        ASSERT_LT(call, found[decoded.line].size());
        ++found[decoded.line][call];
    }
    ULONG64 settledEnabled = 0;
    ULONG64 unsettled = 0;
    for (int t = 0; t < kLoggingThreads; ++t) {
        for (size_t i = 0; i < outcomes[t].size(); ++i) {
            const Outcome outcome = static_cast<Outcome>(outcomes[t][i]);
            settledEnabled += outcome == kSettledEnabled;
            unsettled += outcome == kUnsettled;
            if (outcome != kUnsettled) {
                ASSERT_EQ(outcome == kSettledEnabled ? 1 : 0, found[t][i]) << t << " " << i;
            }
        }
    }
    // Every event attempted was accepted or refused; no settled disabled call attempted one.
    const ULONG64 attempted = service->AcceptedEventCount() + service->RefusedEventCount();
    EXPECT_EQ(service->AcceptedEventCount(), events.size());
    EXPECT_GE(attempted, settledEnabled);
    EXPECT_LE(attempted, settledEnabled + unsettled);
    EXPECT_EQ(0u, service->ForeignHandleEventCount());  // no torn handle
    // Calls of all three kinds happened: the logging did overlap the controller's actions.
    EXPECT_GT(settledEnabled, 0u);
    EXPECT_GT(settled.load(), settledEnabled);
    EXPECT_GT(unsettled, 0u);
}

}  // namespace
