// The log line byte for byte, with a clock that the tests set.
#include "logging/file/LineFormat.h"

#include <gtest/gtest.h>

#include <string>

#include "basalt/StringHelpers.h"
#include "logging/LoggingIf.h"

namespace {

using namespace ETWLogging;

constexpr DWORD kRefused = ERROR_INVALID_PARAMETER;
const std::wstring kErrorHead = L"12/08/2026 01:02:03 AM$ -- (Error)$ ";

// The fixture is the clock of its lines.
class LineFormatTest : public ::testing::Test, public LocalClockAPI {
  protected:
    void Now(SYSTEMTIME& time) override { time = now_; }

    // The line; checks that the byte count covers it and its terminator.
    std::wstring Format(DWORD options, DWORD level, const wchar_t* message,
                        const wchar_t* file = L"gatesvc",
                        const wchar_t* function = L"InstallHipsDriverFile", int line = 123) {
        context_.options = options;
        DWORD byteCount = 0;
        std::unique_ptr<wchar_t[]> text;
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  FormatLine(context_, file, function, line, level, message, &byteCount, &text));
        const std::wstring result = text ? text.get() : L"<none>";
        EXPECT_EQ((result.size() + 1) * sizeof(wchar_t), byteCount);
        return result;
    }

    static std::wstring Tid() { return Basalt::FormatString(L"%5lu", ::GetCurrentThreadId()); }

    SYSTEMTIME now_ = {2026, 12, 2, 8, 1, 2, 3, 456};
    LineContext context_ = {0, L"gatesvc.exe", 1234, this};
};

TEST_F(LineFormatTest, DocumentedExampleLines) {
    EXPECT_EQ(kErrorHead + L"[    gatesvc.exe]$ [PID: 1234 TID:" + Tid() +
                  L"]$ [             gatesvc:  123]$ [                   "
                  L"InstallHipsDriverFile()]$ Cannot locate System Path.\r\n",
              Format(kOptionProcessName | kOptionProcessThread | kOptionSource | kOptionFunction,
                     kLevelError, L"Cannot locate System Path."));
    EXPECT_EQ(kErrorHead + L"[    gatesvc.exe]$ Cannot locate System Path.\r\n",
              Format(16, kLevelError, L"Cannot locate System Path."));
}

// The date, a twelve-hour time, the level's label and the message, then one line end
// unless the message ends with its own.
TEST_F(LineFormatTest, LineWithoutOptionsFollowsTheDocumentedForm) {
    const struct {
        WORD hour;
        DWORD level;
        const wchar_t *message, *line;
    } kCases[] = {{0, 1, L"m", L"12:02:03 AM$ -- (Normal)$ m\r\n"},
                  {1, 2, L"a\r\n", L"01:02:03 AM$ -- (Warning)$ a\r\n"},
                  {11, 3, L"a\n", L"11:02:03 AM$ -- (Information)$ a\n"},
                  {12, 4, L"a\r", L"12:02:03 PM$ -- (Error)$ a\r\r\n"},
                  {13, 5, L"\n", L"01:02:03 PM$ -- (Critical)$ \n"},
                  {23, 6, L"m", L"11:02:03 PM$ -- (Information)$ m\r\n"}};
    for (const auto& c : kCases) {
        now_.wHour = c.hour;
        EXPECT_EQ(L"12/08/2026 " + std::wstring(c.line), Format(0, c.level, c.message)) << c.hour;
    }
    now_ = {987, 1, 0, 2, 9, 5, 7, 999};
    EXPECT_EQ(L"01/02/987 09:05:07 AM$ -- (Normal)$ m\r\n", Format(0, kLevelNormal, L"m"));
}

TEST_F(LineFormatTest, BadArgumentsLeaveNoLine) {
    const struct {
        DWORD level;
        const wchar_t* message;
        bool withCount, withText;
    } kCases[] = {{0, L"m", true, true},    {7, L"m", true, true}, {10000, L"m", true, true},
                  {1, nullptr, true, true}, {1, L"", true, true},  {1, L"m", false, true},
                  {1, L"m", true, false}};
    for (const auto& c : kCases) {
        DWORD byteCount = 99;
        std::unique_ptr<wchar_t[]> text(new wchar_t[1]);
        EXPECT_EQ(kRefused,
                  FormatLine(context_, nullptr, nullptr, 0, c.level, c.message,
                             c.withCount ? &byteCount : nullptr, c.withText ? &text : nullptr))
            << c.level;
        EXPECT_EQ(c.withCount ? 0u : 99u, byteCount) << c.level;  // no earlier line left behind
        EXPECT_EQ(c.withText, !text) << c.level;
    }
}

// Each option bit adds only its field; fields are fitted right-aligned, an empty
// one leaves a lone blank; wide names and percent signs pass unchanged.
TEST_F(LineFormatTest, EachOptionBitAddsItsFittedField) {
    const DWORD kAll = kOptionProcessName | kOptionSource | kOptionFunction;
    const std::wstring fifty(50, L'f');
    const struct {
        DWORD options;
        std::wstring fields;
        const wchar_t* image = L"gatesvc.exe";
        const wchar_t* file = L"gatesvc";
        const wchar_t* function = L"InstallHipsDriverFile";
        int line = 123;
    } kCases[] = {
        {kOptionDebugger | 0x02 | 0x40 | 0x80 | 0xFFFFFF00, L""},
        {kOptionProcessName, L"[    gatesvc.exe]$ "},
        {kOptionProcessThread, L"[PID:123456 TID:" + Tid() + L"]$ "},
        {kOptionSource, L"[             gatesvc:  123]$ "},
        {kOptionFunction, L"[                   InstallHipsDriverFile()]$ "},
        {kAll,
         L"[            abc]$ [" + std::wstring(14, L' ') + L"file.c:   -7]$ [" +
             fifty.substr(0, 40) + L"()]$ ",
         L"abc", L"C:\\src\\dir/x\\file.c", fifty.c_str(), -7},
        {kAll,
         L"[a-very-long-pro]$ [abcdefghijklmnopqrst:123456]$ [" + std::wstring(39, L' ') +
             L"f()]$ ",
         L"a-very-long-process-name.exe", L"abcdefghijklmnopqrstuvwxyz", L"f", 123456},
        {kAll, L"   ", L"", nullptr, nullptr},
        {kOptionSource, L" ", L"", L""},
        {kOptionSource, L" ", L"", L"dir\\"},  // nothing after the last "\"
        {kOptionProcessName, L"[       \u00e9\u4e2d%s.exe]$ ", L"\u00e9\u4e2d%s.exe"},
    };
    context_.processId = 123456;
    for (const auto& c : kCases) {
        context_.processImageName = c.image;
        EXPECT_EQ(kErrorHead + c.fields + L"100% %s %d\r\n",
                  Format(c.options, kLevelError, L"100% %s %d", c.file, c.function, c.line))
            << c.options << " " << c.fields.size();
    }
}

TEST_F(LineFormatTest, WithoutAClockTheLocalTimeIsRead) {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    context_.clock = nullptr;
    EXPECT_EQ(Basalt::FormatString(L"%02hu/%02hu/%hu", now.wMonth, now.wDay, now.wYear),
              Format(0, kLevelNormal, L"m").substr(0, 10));
}

}  // namespace
