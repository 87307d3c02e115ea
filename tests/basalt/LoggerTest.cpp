// The foundation logger's registration rules and messages. Its own executable:
// the registered handler is process-wide.
#include "basalt/Logging/internal_logging.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "basalt/StringHelpers.h"
#include "tests/support/BasaltTestSupport.h"

using namespace Basalt;

namespace {

using Lines = std::vector<std::wstring>;

// Records each message as "type|file|function|line|message".
class RecordingHandler : public ILoggingHandler {
  public:
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override {
        received.push_back(FormatString(L"%u|%s|%s|%d|%s", static_cast<unsigned>(type), file,
                                        function, line, message));
    }
    Lines received;
};

std::wstring Id(const ILoggingHandler* handler) {
    return FormatString(L"0x%08X", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(handler)));
}

// One of the logger's own error messages as recorded: code text, ": ", then `text`.
std::wstring Own(const wchar_t* function, int line, DWORD code, const std::wstring& text) {
    return FormatString(L"%u|Logging\\internal_logging|Basalt::CLogger::%s|%d|",
                        static_cast<unsigned>(kLogTypeError), function, line) +
           FormatSystemMessage(code) + L": " + text;
}

// Each test leaves nothing registered.
class FoundationLogger : public ::testing::Test {
  protected:
    void TearDown() override {
        if (ILoggingHandler* handler = CLogger::GetRegisteredHandler()) {
            CLogger::UnregisterHandler(handler);
        }
    }
    RecordingHandler first, second;
};

// Runs first: nothing is registered before it.
TEST_F(FoundationLogger, FirstMessageInstallsTheDefaultHandler) {
    ASSERT_EQ(CLogger::GetRegisteredHandler(), nullptr);
    CLogger::Log(kLogTypeNone, L"f", L"fn", 1, L"nothing");
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &CDefaultLoggingHandler::Instance());
}

TEST_F(FoundationLogger, DefaultHandlerGivesWayToARegisteredOne) {
    CLogger::Log(kLogTypeNone, L"f", L"fn", 1, L"nothing");
    ASSERT_EQ(CLogger::GetRegisteredHandler(), &CDefaultLoggingHandler::Instance());
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
}

TEST_F(FoundationLogger, RegisteringTheSameHandlerTwiceIsQuiet) {
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    EXPECT_TRUE(first.received.empty());
}

TEST_F(FoundationLogger, SecondHandlerIsRefusedWithAMessageToTheFirst) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    EXPECT_EQ(first.received, Lines{Own(L"RegisterHandler", 72, ERROR_INVALID_STATE,
                                        L"Registered Logging Handler " + Id(&first) +
                                            L" cannot be replaced with " + Id(&second))});
    EXPECT_TRUE(second.received.empty());
}

TEST_F(FoundationLogger, NullHandlersAreRefused) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(first.received, (Lines{Own(L"RegisterHandler", 62, ERROR_INVALID_PARAMETER,
                                         L"Cannot Register (NULL) handler"),
                                     Own(L"UnregisterHandler", 97, ERROR_INVALID_PARAMETER,
                                         L"Cannot Unregister (NULL) handler")}));
}

TEST_F(FoundationLogger, UnregisteringWhenNoneIsRegisteredTellsTheAsker) {
    EXPECT_EQ(CLogger::UnregisterHandler(&first), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), nullptr);
    EXPECT_EQ(first.received, Lines{Own(L"UnregisterHandler", 107, ERROR_INVALID_STATE,
                                        L"Request to Unregister Logging handler " + Id(&first) +
                                            L", but none are registered")});
}

TEST_F(FoundationLogger, UnregisteringAnotherHandlerIsRefusedWithAMessageToBoth) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    const std::wstring text = L"Failed to Unregister Logging handler (requested handler " +
                              Id(&second) + L" != registered handler " + Id(&first) + L")";
    EXPECT_EQ(first.received, Lines{Own(L"UnregisterHandler", 115, ERROR_INVALID_STATE, text)});
    EXPECT_EQ(second.received, Lines{Own(L"UnregisterHandler", 120, ERROR_INVALID_STATE, text)});
    EXPECT_EQ(CLogger::UnregisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::GetRegisteredHandler(), nullptr);
}

TEST_F(FoundationLogger, MessagesAreFormattedWithWideStrings) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    const std::wstring longText(5000, L'w');
    CLogger::Log(kLogTypeInfo, L"src", L"fn", 7, L"%s=%d %s", L"x", 5, longText.c_str());
    EXPECT_EQ(
        first.received,
        Lines{FormatString(L"%u|src|fn|7|x=5 ", static_cast<unsigned>(kLogTypeInfo)) + longText});
}

TEST(DefaultLoggingHandler, WritesOneDebuggerLinePerTypedMessage) {
    auto output = std::make_shared<TestSupport::RecordingDebugOutput>();
    CDefaultLoggingHandler handler(output);
    handler.Log(0, L"alpha", L"f", 5, L"x");
    handler.Log(1, L"alpha", L"f", 5, L"x");
    handler.Log(2, L"beta", L"g", -3, L"y");
    handler.Log(9, L"gamma", L"h", 0, L"z");
    EXPECT_EQ(output->lines, (Lines{L"alpha(5): [INFO]: [f]: x\n", L"beta(-3): [ERROR]: [g]: y\n",
                                    L"gamma(0): [UNKNOWN]: [h]: z\n"}));
}

// A default handler that goes while it is registered takes itself out, so that no later
// message reaches the dead object.
TEST(DefaultLoggingHandler, DestroyedWhileRegisteredItUnregistersItself) {
    {
        CDefaultLoggingHandler handler(std::make_shared<TestSupport::RecordingDebugOutput>());
        ASSERT_EQ(CLogger::RegisterHandler(&handler), 0u);
    }
    EXPECT_EQ(CLogger::GetRegisteredHandler(), nullptr);
}

}  // namespace
