// The process-wide facade. Its own executable, so the facade starts clean.
#include "logging/LogFacade.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <memory>
#include <vector>

#include "basalt/StringHelpers.h"
#include "logging/etw/ETWLogging.h"
#include "tests/support/TestSupport.h"

using namespace ETWLogging;
using TestSupport::RecordingLogger;

namespace {

// An extended logger, never started, that records what LogV and LogMessageEx receive.
class RecordingExLogger : public CETWLogging {
  public:
    DWORD Start() override { return 0; }
    // The ETW rule on a threshold of its own: the threshold, or level 3 always.
    bool IsLevelEnabled(DWORD level) override { return level >= severity || level == 3; }
    DWORD LogMessageEx(DWORD level, const wchar_t*, const wchar_t*, int,
                       const wchar_t* message) override {
        received.emplace_back(level, message);
        return 0;
    }
    DWORD LogV(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t* format,
               va_list args) override {
        received.emplace_back(level, Basalt::FormatStringV(format, args));
        return 55;  // the facade returns 0 whatever LogV returns
    }
    DWORD severity = 3;
    std::vector<std::pair<DWORD, std::wstring>> received;
};

// Tests share the one facade; each puts its own logger in and takes it out.
class LogFacadeTest : public ::testing::Test {
  protected:
    void TearDown() override { GetLogFacade()->SetLogger(nullptr); }
};

TEST(LogFacadeCreation, ConcurrentFirstCallsCreateOneFacade) {
    ASSERT_EQ(PeekLogFacade(), nullptr);  // nothing logged yet: no facade
    std::vector<std::thread> threads;
    std::vector<CLogFacade*> seen(8, nullptr);
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = GetLogFacade(); });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_NE(seen[0], nullptr);
    for (CLogFacade* facade : seen) EXPECT_EQ(facade, seen[0]);
    EXPECT_NE(seen[0]->GetLogger(), nullptr);
}

// Write makes no level check and goes through LogMessageEx.
TEST_F(LogFacadeTest, ExtendedLoggerAlwaysPassesLevelThreeButFiltersBelowThreshold) {
    auto owned = std::make_unique<RecordingExLogger>();
    RecordingExLogger* logger = owned.get();
    logger->severity = 5;
    GetLogFacade()->SetLogger(std::move(owned));
    EXPECT_EQ(GetLogFacade()->Log(3, L"gatesvc", L"fn", 1, L"three %s", L"wide"), 0u);
    EXPECT_EQ(GetLogFacade()->Log(4, L"gatesvc", L"fn", 1, L"four"), 0u);
    EXPECT_EQ(GetLogFacade()->Write(L"f", L"fn", 1, 1, L"direct"), 0u);
    using Received = std::vector<std::pair<DWORD, std::wstring>>;
    EXPECT_EQ(logger->received, (Received{{3, L"three wide"}, {1, L"direct"}}));
}

TEST_F(LogFacadeTest, PlainLoggerGetsMessagesCutOnlyPastTheTrigger) {
    auto owned = std::make_unique<RecordingLogger>();
    RecordingLogger* logger = owned.get();
    GetLogFacade()->SetLogger(std::move(owned));
    const std::wstring medium(3000, L'm'), limit(4160, L'l'), huge(5000, L'h');
    for (const std::wstring* text : {&medium, &limit, &huge}) {
        EXPECT_EQ(GetLogFacade()->Log(2, L"f", L"fn", 7, L"%s", text->c_str()), 0u);
    }
    auto messages = logger->Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].message, medium);
    EXPECT_EQ(messages[1].message, limit);
    EXPECT_EQ(messages[2].message, std::wstring(2080, L'h'));
    EXPECT_EQ(messages[2].level, 2u);
    EXPECT_EQ(messages[2].line, 7);
}

// The printer refuses these formats, on Windows through its invalid-parameter handler, which
// ends the process: the facade and the fixed-level operations log the format's text instead.
TEST_F(LogFacadeTest, UnprintableFormatIsLoggedAsAMarkerWithItsText) {
    for (const wchar_t* format : {L"%", L"abc%", L"%y", L"%1$s", L"%n"}) {
        const std::wstring marked = std::wstring(kUnprintableFormatMarker) + format;
        auto plain = std::make_unique<RecordingLogger>();
        RecordingLogger* plainLogger = plain.get();
        GetLogFacade()->SetLogger(std::move(plain));
        EXPECT_EQ(GetLogFacade()->Log(4, L"f", L"fn", 1, format, L"argument"), 0u);
        plainLogger->LogError(L"f", L"fn", 1, format, L"argument");
        ASSERT_EQ(plainLogger->Messages().size(), 2u) << format;
        EXPECT_EQ(plainLogger->Messages()[0].message, marked);
        EXPECT_EQ(plainLogger->Messages()[1].message, marked);

        auto extended = std::make_unique<RecordingExLogger>();
        RecordingExLogger* extendedLogger = extended.get();
        GetLogFacade()->SetLogger(std::move(extended));
        EXPECT_EQ(GetLogFacade()->Log(4, L"f", L"fn", 1, format, L"argument"), 0u);
        using Received = std::vector<std::pair<DWORD, std::wstring>>;
        EXPECT_EQ(extendedLogger->received, (Received{{4, marked}}));
    }
}

TEST_F(LogFacadeTest, FailedStartDropsTheMessageWithItsCode) {
    auto owned = std::make_unique<RecordingLogger>();
    RecordingLogger* logger = owned.get();
    logger->startResult = ERROR_ACCESS_DENIED;
    GetLogFacade()->SetLogger(std::move(owned));
    const DWORD denied = ERROR_ACCESS_DENIED;
    EXPECT_EQ(GetLogFacade()->Log(4, L"f", L"fn", 1, L"x"), denied);
    EXPECT_EQ(GetLogFacade()->Write(L"f", L"fn", 1, 4, L"x"), denied);
    EXPECT_TRUE(logger->Messages().empty());
}

TEST(LoggingIf, FixedLevelOperationsUseLevels14253) {
    RecordingLogger logger;
    logger.LogNormal(L"f", L"fn", 1, L"n");
    logger.LogError(L"f", L"fn", 1, L"e");
    logger.LogWarning(L"f", L"fn", 1, L"w");
    logger.LogCritical(L"f", L"fn", 1, L"c");
    logger.LogInformation(L"f", L"fn", 1, L"i %s %d", L"wide", 5);
    auto messages = logger.Messages();
    ASSERT_EQ(messages.size(), 5u);
    const DWORD levels[] = {1, 4, 2, 5, 3};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(messages[i].level, levels[i]) << "call " << i;
    EXPECT_EQ(messages[4].message, L"i wide 5");
}

TEST(LoggingIf, FixedLevelOperationsCutAt4159Characters) {
    RecordingLogger logger;
    logger.LogError(L"f", L"fn", 1, L"%s", std::wstring(5000, L'x').c_str());
    ASSERT_EQ(logger.Messages().size(), 1u);
    EXPECT_EQ(logger.Messages()[0].message, std::wstring(4159, L'x'));
}

// No other test of this program sets the process-wide severity.
TEST(LoggingIf, SetSeverityExchangesTheClampedProcessWideValue) {
    RecordingLogger logger;
    EXPECT_EQ(logger.SetSeverity(0), 3u);  // first call in the process
    EXPECT_EQ(logger.GetSeverity(), 1u);
    EXPECT_EQ(logger.SetSeverity(9), 1u);
    EXPECT_EQ(logger.GetSeverity(), 6u);
    EXPECT_EQ(ClampLevel(4), 4u);
}

}  // namespace
