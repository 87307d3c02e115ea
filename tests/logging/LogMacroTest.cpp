// The logging macro for other modules: one line per message, with the caller's source
// name, function and line. Its own executable: it uses the process-wide facade.
#include "logging/LogMacro.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/TestSupport.h"

using namespace ETWLogging;

namespace {

TEST(LogMacro, SourceNameIsTheFileNameWithoutFolderOrExtension) {
    const struct {
        const wchar_t* path;
        const wchar_t* name;
    } kCases[] = {{L"C:\\src\\module\\Reader.cpp", L"Reader"},
                  {L"/build/src/a.b.cpp", L"a.b"},
                  {L"plain", L"plain"},
                  {L"", L""},
                  {nullptr, L""}};
    for (const auto& c : kCases) EXPECT_EQ(c.name, SourceNameFromPath(c.path));
}

TEST(LogMacro, SkipsItsArgumentsBelowTheLevel) {
    auto owned = std::make_unique<TestSupport::RecordingLogger>();
    TestSupport::RecordingLogger* logger = owned.get();
    logger->SetSeverity(kLevelError);
    GetLogFacade()->SetLogger(std::move(owned));
    int evaluated = 0;
    EXPECT_EQ(0u, ETWLOGGING_LOG(kLevelWarning, L"%d", ++evaluated));
    EXPECT_EQ(0, evaluated);
    EXPECT_TRUE(logger->Messages().empty());
}

TEST(LogMacro, PassesTheCallersPosition) {
    auto owned = std::make_unique<TestSupport::RecordingLogger>();
    TestSupport::RecordingLogger* logger = owned.get();
    GetLogFacade()->SetLogger(std::move(owned));
    const int line = __LINE__ + 1;
    EXPECT_EQ(0u, ETWLOGGING_LOG(kLevelError, L"%s %d", L"wide", 7));
    EXPECT_EQ(0u, ETWLOGGING_LOG(kLevelCritical, L"no arguments"));
    const std::vector<TestSupport::RecordedMessage> messages = logger->Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(kLevelError, messages[0].level);
    EXPECT_EQ(L"LogMacroTest", messages[0].file);
    EXPECT_EQ(L"TestBody", messages[0].function);
    EXPECT_EQ(line, messages[0].line);
    EXPECT_EQ(L"wide 7", messages[0].message);
    EXPECT_EQ(L"no arguments", messages[1].message);
}

}  // namespace
