// The logging macro for other modules: one line per message, with the caller's source
// name, function and line. Its own executable: it uses the process-wide facade.
#include "logging/LogMacro.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

using namespace ETWLogging;

namespace {

// What the secure printer makes of a format and its arguments.
std::wstring Printed(const wchar_t* format, ...) {
    wchar_t text[256] = {};
    va_list args;
    va_start(args, format);
    ::_vsnwprintf_s(text, _countof(text), _TRUNCATE, format, args);
    va_end(args);
    return text;
}

// The message that `log` leaves with a recording logger put into the facade.
template <typename Log>
std::wstring LoggedBy(Log&& log) {
    auto owned = std::make_unique<TestSupport::RecordingLogger>();
    TestSupport::RecordingLogger* logger = owned.get();
    GetLogFacade()->SetLogger(std::move(owned));
    log();
    const std::vector<TestSupport::RecordedMessage> messages = logger->Messages();
    return messages.size() == 1 ? messages[0].message
                                : L"(" + std::to_wstring(messages.size()) + L" messages)";
}

// One use of the macro: it compiles (this file is compiled with -pedantic-errors)
// and logs what the printer makes of the same format and arguments.
#define EXPECT_LOGGED_AS_PRINTED(...) \
    EXPECT_EQ(Printed(__VA_ARGS__), LoggedBy([&] { ETWLOGGING_ERROR(__VA_ARGS__); }))

TEST(LogMacro, LogsCheckedFormatsAsThePrinterPrintsThem) {
    const wchar_t* wide = L"C:\\a file";
    const char* narrow = "narrow";
    wchar_t buffer[8] = L"buffer";
    const std::wstring text = L"text";
    const DWORD code = ERROR_ACCESS_DENIED;
    const size_t count = 7;
    const long long big = -1234567890123LL;
    enum Plain { kPlainValue = 9 };
    EXPECT_LOGGED_AS_PRINTED(L"no arguments, 100%%");
    EXPECT_LOGGED_AS_PRINTED(L"%s|%ls|%ws|%hs|%S|%.3s", wide, buffer, text.c_str(), narrow, narrow,
                             L"wide");
    EXPECT_LOGGED_AS_PRINTED(L"%d|%i|%u|%x|%X|%o|%c|%C|%lu|%ld|%hd|%d|%d", -1, 2, 3u, 255, 255, 8,
                             L'w', 'n', code, -5L, 6, kPlainValue, true);
    EXPECT_LOGGED_AS_PRINTED(L"%I64d|%lld|%llu|%zu|%Iu|%*d|%-4d|%0.3lu", big, big, 6ULL, count,
                             count, 4, 7, 8, 9UL);
    EXPECT_LOGGED_AS_PRINTED(L"%f|%5.2f|%g|%e|%a|%lf", 1.5, 2.25f, 0.25, 100.0, 1.0, 3.5);
    EXPECT_LOGGED_AS_PRINTED(L"%p|%p|%p", nullptr, wide, &count);
}

TEST(LogMacro, EachLevelMacroLogsAtItsLevel) {
    auto owned = std::make_unique<TestSupport::RecordingLogger>();
    TestSupport::RecordingLogger* logger = owned.get();
    GetLogFacade()->SetLogger(std::move(owned));
    ETWLOGGING_NORMAL(L"normal");
    ETWLOGGING_WARNING(L"warning %d", 2);
    ETWLOGGING_INFORMATION(L"information");
    ETWLOGGING_ERROR(L"error %s", L"four");
    ETWLOGGING_CRITICAL(L"critical");
    std::vector<DWORD> levels;
    for (const auto& message : logger->Messages()) levels.push_back(message.level);
    EXPECT_EQ(levels, (std::vector<DWORD>{kLevelNormal, kLevelWarning, kLevelInformation,
                                          kLevelError, kLevelCritical}));
}

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
