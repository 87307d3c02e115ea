// The process-wide facade. Its own executable, so the facade starts clean.
#include "logging/LogFacade.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

using namespace ETWLogging;
using TestSupport::RecordingLogger;

namespace {

// An extended logger that records what LogV and LogMessageEx receive.
class RecordingExLogger : public CLoggingIf_ex {
public:
    DWORD Init(const wchar_t*, HMODULE, const wchar_t*, LoggingConfigListenerIf*) override {
        return 0;
    }
    DWORD Start() override { return 0; }
    void GetLoggerName(std::wstring&) override {}
    void GetGroupName(std::wstring&) override {}
    DWORD Stop() override { return 0; }
    void SetEnabled(bool) override {}
    bool IsEnabled() override { return true; }
    void Log(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {}
    DWORD LogMessage(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override {
        return 0;
    }
    // The ETW rule: the threshold, or level 3 always.
    bool IsLevelEnabled(DWORD level) override { return level >= severity || level == 3; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD level) override { return severity = level; }
    DWORD GetSeverity() override { return severity; }
    LONG AddRef() override { return 0; }
    LONG Release() override { return 0; }
    DWORD InitEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*,
                 LoggingConfigListenerIf*) override {
        return 0;
    }
    DWORD LogMessageEx(DWORD level, const wchar_t*, const wchar_t*, int,
                       const wchar_t* message) override {
        levels.push_back(level);
        texts.push_back(message);
        return 0;
    }
    DWORD LogV(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t* format,
               va_list args) override {
        wchar_t buffer[256] = {};
        _vsnwprintf_s(buffer, 256, _TRUNCATE, format, args);
        levels.push_back(level);
        texts.push_back(buffer);
        return 55;  // the facade returns 0 whatever LogV returns
    }
    DWORD LogEx(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {
        return 0;
    }
    bool IsSessionHandle(ULONG64) override { return false; }
    ULONG OnControlRequest(ULONG, PVOID) override { return 0; }
    void SetEventGuid() override {}
    std::wstring GetModuleName(HMODULE, bool) override { return L""; }
    void BuildLoggerName() override {}
    ULONG Unregister() override { return 0; }
    ULONG StopTracing() override { return 0; }
    DWORD MapLevel(DWORD level) override { return level; }
    void FillEventRecord(const wchar_t*, const wchar_t*, int, EventContext&) override {}

    DWORD severity = 3;
    std::vector<DWORD> levels;
    std::vector<std::wstring> texts;
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

TEST_F(LogFacadeTest, WithoutLoggerEveryMessageIsDropped) {
    GetLogFacade()->SetLogger(nullptr);
    EXPECT_FALSE(IsLogLevelEnabled(kLevelCritical));
    EXPECT_EQ(GetLogFacade()->Log(kLevelError, L"f", L"fn", 1, L"x"), kErrorNoLogger);
    EXPECT_EQ(GetLogFacade()->Write(L"f", L"fn", 1, kLevelError, L"x"), kErrorNoLogger);
}

TEST_F(LogFacadeTest, ExtendedLoggerAlwaysPassesLevelThreeButFiltersBelowThreshold) {
    auto* logger = new RecordingExLogger();
    logger->severity = 5;
    GetLogFacade()->SetLogger(logger);

    EXPECT_EQ(GetLogFacade()->Log(3, L"gatesvc", L"fn", 1, L"three %s", L"wide"), 0u);
    EXPECT_EQ(GetLogFacade()->Log(4, L"gatesvc", L"fn", 1, L"four"), 0u);
    ASSERT_EQ(logger->levels.size(), 1u);
    EXPECT_EQ(logger->levels[0], 3u);
    EXPECT_EQ(logger->texts[0], L"three wide");

    // Write makes no level check and uses LogMessageEx.
    EXPECT_EQ(GetLogFacade()->Write(L"f", L"fn", 1, 1, L"direct"), 0u);
    ASSERT_EQ(logger->levels.size(), 2u);
    EXPECT_EQ(logger->texts[1], L"direct");
}

TEST_F(LogFacadeTest, PlainLoggerGetsLongMessagesWholeAndVeryLongOnesCut) {
    auto* logger = new RecordingLogger();
    GetLogFacade()->SetLogger(logger);
    const std::wstring medium(3000, L'm');
    const std::wstring limit(4160, L'l');
    const std::wstring huge(5000, L'h');

    EXPECT_EQ(GetLogFacade()->Log(2, L"f", L"fn", 7, L"%s", medium.c_str()), 0u);
    EXPECT_EQ(GetLogFacade()->Log(2, L"f", L"fn", 7, L"%s", limit.c_str()), 0u);
    EXPECT_EQ(GetLogFacade()->Log(2, L"f", L"fn", 7, L"%s", huge.c_str()), 0u);
    auto messages = logger->Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].message, medium);
    EXPECT_EQ(messages[1].message, limit);
    EXPECT_EQ(messages[2].message, std::wstring(2080, L'h'));
    EXPECT_EQ(messages[2].level, 2u);
    EXPECT_EQ(messages[2].line, 7);
}

TEST_F(LogFacadeTest, FailedStartDropsTheMessageWithItsCode) {
    auto* logger = new RecordingLogger();
    logger->startResult = ERROR_ACCESS_DENIED;
    GetLogFacade()->SetLogger(logger);
    EXPECT_EQ(GetLogFacade()->Log(4, L"f", L"fn", 1, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetLogFacade()->Write(L"f", L"fn", 1, 4, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(logger->Messages().empty());
}

TEST(LoggingIf, FixedLevelOperationsUseTheirOwnLevels) {
    RecordingLogger logger;
    logger.LogNormal(L"f", L"fn", 1, L"n");
    logger.LogError(L"f", L"fn", 1, L"e");
    logger.LogWarning(L"f", L"fn", 1, L"w");
    logger.LogCritical(L"f", L"fn", 1, L"c");
    logger.LogInformation(L"f", L"fn", 1, L"i %s %d", L"wide", 5);
    auto messages = logger.Messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0].level, 1u);
    EXPECT_EQ(messages[1].level, 4u);
    EXPECT_EQ(messages[2].level, 2u);
    EXPECT_EQ(messages[3].level, 5u);
    EXPECT_EQ(messages[4].level, 3u);
    EXPECT_EQ(messages[4].message, L"i wide 5");
}

TEST(LoggingIf, FixedLevelOperationsCutAt4159Characters) {
    RecordingLogger logger;
    const std::wstring text(5000, L'x');
    logger.LogError(L"f", L"fn", 1, L"%s", text.c_str());
    auto messages = logger.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, std::wstring(4159, L'x'));
}

// No other test of this program sets the process-wide severity.
TEST(LoggingIf, SetSeverityClampsAndExchangesTheProcessWideValue) {
    RecordingLogger logger;
    EXPECT_EQ(logger.SetSeverity(0), 3u);  // first call in the process
    EXPECT_EQ(logger.GetSeverity(), 1u);
    EXPECT_EQ(logger.SetSeverity(9), 1u);
    EXPECT_EQ(logger.GetSeverity(), 6u);
    EXPECT_EQ(ClampLevel(7), 6u);
    EXPECT_EQ(ClampLevel(4), 4u);
}

}  // namespace
