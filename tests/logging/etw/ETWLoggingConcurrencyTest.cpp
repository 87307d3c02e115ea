// Several threads log while the tracing service enables and disables the
// provider from its own thread, from two sessions in turn.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/etw/ETWLogging.h"
#include "logging/etw/EventLayout.h"
#include "logging/etw/EventTraceStandIn.h"
#include "tests/logging/etw/EtwTestSupport.h"

namespace {

using namespace ETWLogging;

constexpr wchar_t kTag[] = L"GSTESTCON";
constexpr int kLoggingThreads = 4;
constexpr int kMinMessagesPerThread = 1000;
constexpr int kControlRounds = 300;

TEST(ETWLoggingConcurrencyTest, LoggingWhileSessionsComeAndGo) {
    EtwTest::ScratchProductKey key(kTag, /*complete=*/true);
    auto service = std::make_shared<CEventTraceStandIn>();
    CETWLogging logger(service);
    ASSERT_EQ(0u, logger.InitEx(kTag, L"RQD", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger.Start());
    const TRACEHANDLE sessions[2] = {service->StartSession(), service->StartSession()};

    // Each thread logs until the control rounds are over, and at least a minimum.
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::atomic<ULONG64> written{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kLoggingThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kMinMessagesPerThread || !done; ++i) {
                logger.LogEx(3, L"worker", L"Run", t, L"thread %d message %d", t, i);
                ++written;
            }
        });
    }
    go = true;
    for (int round = 0; round < kControlRounds; ++round) {
        const TRACEHANDLE session = sessions[round % 2];
        EXPECT_EQ(0u, service->EnableProvider(session, EtwTest::kTestProviderGuid, 3, 0));
        EXPECT_EQ(0u, service->DisableProvider(session, EtwTest::kTestProviderGuid));
    }
    done = true;
    for (std::thread& thread : threads) thread.join();

    // No torn handle reached the service, and every recorded event decodes.
    EXPECT_EQ(0u, service->ForeignHandleEventCount());
    const std::vector<RecordedTraceEvent> events = service->Events();
    EXPECT_EQ(service->AcceptedEventCount(), events.size());
    // A message logged while disabled is not attempted at all.
    EXPECT_LE(service->AcceptedEventCount() + service->RefusedEventCount(), written.load());
    EXPECT_GT(service->AcceptedEventCount(), 0u);
    for (const RecordedTraceEvent& event : events) {
        ASSERT_TRUE(event.sessionHandle == sessions[0] || event.sessionHandle == sessions[1]);
        ASSERT_EQ(2u, event.fields.size());
        DecodedEvent decoded;
        ASSERT_EQ(0u, DecodeEventPayload(event.fields[0].data(), event.fields[0].size(),
                                         event.fields[1].data(), event.fields[1].size(), decoded));
        const std::string expected = "thread " + std::to_string(decoded.line) + " message ";
        ASSERT_EQ(0u, decoded.message.compare(0, expected.size(), expected));
        ASSERT_EQ(L"worker", decoded.file);
    }
}

}  // namespace
