// The foundation logger's registration rules and messages. Its own
// executable: the registered handler is process-wide.
#include "basalt/Logging/internal_logging.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "basalt/StringHelpers.h"

using namespace Basalt;

namespace {

struct Received {
    DWORD type;
    std::wstring file, function;
    int line;
    std::wstring message;
};

class RecordingHandler : public ILoggingHandler {
public:
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override {
        received.push_back({type, file, function, line, message});
    }
    std::vector<Received> received;
};

class RecordingOutput : public DebugOutputAPI {
public:
    void Write(const wchar_t* text) override { lines.push_back(text); }
    std::vector<std::wstring> lines;
};

std::wstring Id(const ILoggingHandler* handler) {
    return FormatString(L"0x%08X",
                        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(handler)));
}

std::wstring Text(DWORD code) { return FormatSystemMessage(code); }

// Each test leaves nothing registered.
class FoundationLogger : public ::testing::Test {
protected:
    void TearDown() override {
        if (ILoggingHandler* handler = CLogger::GetRegisteredHandler()) {
            CLogger::UnregisterHandler(handler);
        }
    }
    void ExpectMessage(const Received& got, const wchar_t* function, int line,
                       const std::wstring& message) {
        EXPECT_EQ(got.type, kLogTypeError);
        EXPECT_EQ(got.file, L"Logging\\internal_logging");
        EXPECT_EQ(got.function, function);
        EXPECT_EQ(got.line, line);
        EXPECT_EQ(got.message, message);
    }
    RecordingHandler first, second;
};

TEST_F(FoundationLogger, FirstMessageInstallsTheDefaultHandlerWhichTheProgramsReplaces) {
    ASSERT_EQ(CLogger::GetRegisteredHandler(), nullptr);
    CLogger::Log(kLogTypeNone, L"f", L"fn", 1, L"nothing");
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &CDefaultLoggingHandler::Instance());
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);  // the default gives way silently
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    EXPECT_TRUE(first.received.empty());
}

TEST_F(FoundationLogger, SameHandlerTwiceIsQuiet) {
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_TRUE(first.received.empty());
}

TEST_F(FoundationLogger, SecondHandlerIsRefusedAndTheFirstToldOfIt) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    ASSERT_EQ(first.received.size(), 1u);
    ExpectMessage(first.received[0], L"Basalt::CLogger::RegisterHandler", 72,
                  Text(ERROR_INVALID_STATE) + L": Registered Logging Handler " + Id(&first) +
                      L" cannot be replaced with " + Id(&second));
    EXPECT_TRUE(second.received.empty());
}

TEST_F(FoundationLogger, NullHandlersAreRefused) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(first.received.size(), 2u);
    ExpectMessage(first.received[0], L"Basalt::CLogger::RegisterHandler", 62,
                  Text(ERROR_INVALID_PARAMETER) + L": Cannot Register (NULL) handler");
    ExpectMessage(first.received[1], L"Basalt::CLogger::UnregisterHandler", 97,
                  Text(ERROR_INVALID_PARAMETER) + L": Cannot Unregister (NULL) handler");
}

TEST_F(FoundationLogger, UnregisteringWhenNoneIsRegisteredTellsTheAsker) {
    EXPECT_EQ(CLogger::UnregisterHandler(&first), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), nullptr);
    ASSERT_EQ(first.received.size(), 1u);
    ExpectMessage(first.received[0], L"Basalt::CLogger::UnregisterHandler", 107,
                  Text(ERROR_INVALID_STATE) + L": Request to Unregister Logging handler " +
                      Id(&first) + L", but none are registered");
}

TEST_F(FoundationLogger, UnregisteringAnotherHandlerTellsBothAndKeepsTheRegistration) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::GetRegisteredHandler(), &first);
    const std::wstring message = Text(ERROR_INVALID_STATE) +
                                 L": Failed to Unregister Logging handler (requested handler " +
                                 Id(&second) + L" != registered handler " + Id(&first) + L")";
    ASSERT_EQ(first.received.size(), 1u);
    ExpectMessage(first.received[0], L"Basalt::CLogger::UnregisterHandler", 115, message);
    ASSERT_EQ(second.received.size(), 1u);
    ExpectMessage(second.received[0], L"Basalt::CLogger::UnregisterHandler", 120, message);
    EXPECT_EQ(CLogger::UnregisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::GetRegisteredHandler(), nullptr);
}

TEST_F(FoundationLogger, MessagesAreFormattedWithWideStrings) {
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    const std::wstring longText(5000, L'w');
    CLogger::Log(kLogTypeInfo, L"src", L"fn", 7, L"%s=%d %s", L"x", 5, longText.c_str());
    ASSERT_EQ(first.received.size(), 1u);
    EXPECT_EQ(first.received[0].type, kLogTypeInfo);
    EXPECT_EQ(first.received[0].message, L"x=5 " + longText);
}

TEST(DefaultLoggingHandler, WritesOneDebuggerLinePerTypedMessage) {
    auto output = std::make_shared<RecordingOutput>();
    CDefaultLoggingHandler handler(output);
    handler.Log(0, L"alpha", L"f", 5, L"x");
    handler.Log(1, L"alpha", L"f", 5, L"x");
    handler.Log(2, L"beta", L"g", -3, L"y");
    handler.Log(9, L"gamma", L"h", 0, L"z");
    const std::vector<std::wstring> expected = {
        L"alpha(5): [INFO]: [f]: x\n",
        L"beta(-3): [ERROR]: [g]: y\n",
        L"gamma(0): [UNKNOWN]: [h]: z\n",
    };
    EXPECT_EQ(output->lines, expected);
}

}  // namespace
