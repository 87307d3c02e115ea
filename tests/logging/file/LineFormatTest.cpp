// The log line byte for byte, with a clock that the tests set.
#include "logging/file/LineFormat.h"

#include <gtest/gtest.h>

#include <string>

#include "basalt/StringHelpers.h"
#include "logging/LoggingIf.h"

namespace {

using namespace ETWLogging;

class FixedClock : public LocalClockAPI {
  public:
    void Now(SYSTEMTIME& time) override { time = now; }
    SYSTEMTIME now = {2026, 12, 2, 8, 1, 2, 3, 456};
};

class LineFormatTest : public ::testing::Test {
  protected:
    LineFormatTest() {
        context_.options = kOptionProcessName;
        context_.processImageName = L"gatesvc.exe";
        context_.processId = 1234;
        context_.clock = &clock_;
    }

    // The formatted line without its terminator; checks the byte count.
    std::wstring Format(DWORD level, const wchar_t* message, const wchar_t* file = L"gatesvc",
                        const wchar_t* function = L"InstallHipsDriverFile", int line = 123) {
        DWORD byteCount = 0;
        std::unique_ptr<wchar_t[]> text;
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  FormatLine(context_, file, function, line, level, message, &byteCount, &text));
        if (!text) return L"<none>";
        const std::wstring result = text.get();
        EXPECT_EQ((result.size() + 1) * sizeof(wchar_t), byteCount);
        return result;
    }

    static std::wstring Tid() { return Basalt::FormatString(L"%5lu", ::GetCurrentThreadId()); }

    FixedClock clock_;
    LineContext context_;
};

TEST_F(LineFormatTest, DocumentedExampleLines) {
    context_.options = kOptionProcessName | kOptionProcessThread | kOptionSource | kOptionFunction;
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$ [    gatesvc.exe]$ [PID: 1234 TID:" + Tid() +
                  L"]$ [             gatesvc:  123]$ [                   "
                  L"InstallHipsDriverFile()]$ Cannot locate System Path.\r\n",
              Format(kLevelError, L"Cannot locate System Path."));
    context_.options = 16;
    EXPECT_EQ(
        L"12/08/2026 01:02:03 AM$ -- (Error)$ [    gatesvc.exe]$ Cannot locate System "
        L"Path.\r\n",
        Format(kLevelError, L"Cannot locate System Path."));
}

TEST_F(LineFormatTest, TwelveHourClock) {
    context_.options = 0;
    const struct {
        WORD hour;
        const wchar_t* text;
    } kCases[] = {{0, L"12:02:03 AM"},  {1, L"01:02:03 AM"},  {11, L"11:02:03 AM"},
                  {12, L"12:02:03 PM"}, {13, L"01:02:03 PM"}, {23, L"11:02:03 PM"}};
    for (const auto& c : kCases) {
        clock_.now.wHour = c.hour;
        EXPECT_EQ(std::wstring(L"12/08/2026 ") + c.text + L"$ -- (Normal)$ m\r\n",
                  Format(kLevelNormal, L"m"))
            << c.hour;
    }
    clock_.now = {987, 1, 0, 2, 9, 5, 7, 999};
    EXPECT_EQ(L"01/02/987 09:05:07 AM$ -- (Normal)$ m\r\n", Format(kLevelNormal, L"m"));
}

TEST_F(LineFormatTest, LineEnds) {
    context_.options = 0;
    const std::wstring head = L"12/08/2026 01:02:03 AM$ -- (Warning)$ ";
    EXPECT_EQ(head + L"a\r\n", Format(kLevelWarning, L"a\r\n"));
    EXPECT_EQ(head + L"a\n", Format(kLevelWarning, L"a\n"));
    EXPECT_EQ(head + L"a\r\r\n", Format(kLevelWarning, L"a\r"));
    EXPECT_EQ(head + L"\n", Format(kLevelWarning, L"\n"));
}

TEST_F(LineFormatTest, LabelsAndRefusedLevels) {
    context_.options = 0;
    const wchar_t* kLabels[] = {L"Normal", L"Warning",  L"Information",
                                L"Error",  L"Critical", L"Information"};
    for (DWORD level = 1; level <= 6; ++level) {
        EXPECT_EQ(std::wstring(L"12/08/2026 01:02:03 AM$ -- (") + kLabels[level - 1] + L")$ m\r\n",
                  Format(level, L"m"));
    }
    for (DWORD level : {0ul, 7ul, 10000ul}) {
        DWORD byteCount = 99;
        std::unique_ptr<wchar_t[]> text(new wchar_t[1]);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                  FormatLine(context_, nullptr, nullptr, 0, level, L"m", &byteCount, &text));
        EXPECT_EQ(0u, byteCount);
        EXPECT_FALSE(text);
    }
}

TEST_F(LineFormatTest, BadArgumentsGiveNoLine) {
    DWORD byteCount = 99;
    std::unique_ptr<wchar_t[]> text(new wchar_t[1]);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              FormatLine(context_, nullptr, nullptr, 0, 1, nullptr, &byteCount, &text));
    EXPECT_EQ(0u, byteCount);  // a previous line is never left behind
    EXPECT_FALSE(text);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              FormatLine(context_, nullptr, nullptr, 0, 1, L"", &byteCount, &text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              FormatLine(context_, nullptr, nullptr, 0, 1, L"m", nullptr, &text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              FormatLine(context_, nullptr, nullptr, 0, 1, L"m", &byteCount, nullptr));
    EXPECT_FALSE(text);
}

TEST_F(LineFormatTest, FieldsAreFittedRightAligned) {
    context_.options = kOptionProcessName | kOptionSource | kOptionFunction;
    context_.processImageName = L"abc";
    const std::wstring fifty(50, L'f');
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$ [            abc]$ [" + std::wstring(14, L' ') +
                  L"file.c:   -7]$ [" + fifty.substr(0, 40) + L"()]$ m\r\n",
              Format(kLevelError, L"m", L"C:\\src\\dir/x\\file.c", fifty.c_str(), -7));
    context_.processImageName = L"a-very-long-process-name.exe";
    EXPECT_EQ(
        L"12/08/2026 01:02:03 AM$ -- (Error)$ [a-very-long-pro]$ "
        L"[abcdefghijklmnopqrst:123456]$ [" +
            std::wstring(39, L' ') + L"f()]$ m\r\n",
        Format(kLevelError, L"m", L"abcdefghijklmnopqrstuvwxyz", L"f", 123456));
}

TEST_F(LineFormatTest, EmptyFieldsLeaveALoneBlank) {
    context_.options = kOptionProcessName | kOptionSource | kOptionFunction;
    context_.processImageName.clear();
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$    m\r\n",
              Format(kLevelError, L"m", nullptr, nullptr));
    context_.options = kOptionSource;
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$  m\r\n", Format(kLevelError, L"m", L""));
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$  m\r\n",
              Format(kLevelError, L"m", L"dir\\"));  // nothing after the last "\"
}

TEST_F(LineFormatTest, EachOptionBitAddsOnlyItsField) {
    context_.processId = 123456;
    const std::wstring head = L"12/08/2026 01:02:03 AM$ -- (Error)$ ";
    const struct {
        DWORD options;
        std::wstring fields;
    } kCases[] = {
        {0, L""},
        {kOptionDebugger, L""},
        {0x02, L""},
        {0x40 | 0x80 | 0xFFFFFF00, L""},
        {kOptionProcessName, L"[    gatesvc.exe]$ "},
        {kOptionProcessThread, L"[PID:123456 TID:" + Tid() + L"]$ "},
        {kOptionSource, L"[             gatesvc:  123]$ "},
        {kOptionFunction, L"[                   InstallHipsDriverFile()]$ "},
    };
    for (const auto& c : kCases) {
        context_.options = c.options;
        EXPECT_EQ(head + c.fields + L"msg\r\n", Format(kLevelError, L"msg")) << c.options;
    }
}

TEST_F(LineFormatTest, WideArgumentsAndPercentSignsPassUnchanged) {
    context_.options = kOptionProcessName;
    context_.processImageName = L"\u00e9\u4e2d%s.exe";
    EXPECT_EQ(L"12/08/2026 01:02:03 AM$ -- (Error)$ [       \u00e9\u4e2d%s.exe]$ 100% %s %d\r\n",
              Format(kLevelError, L"100% %s %d"));
}

TEST(LineFormatClockTest, PlainClockReadsTheLocalTime) {
    LineContext context;
    SYSTEMTIME before = {};
    ::GetLocalTime(&before);
    DWORD byteCount = 0;
    std::unique_ptr<wchar_t[]> text;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              FormatLine(context, nullptr, nullptr, 0, 1, L"m", &byteCount, &text));
    EXPECT_EQ(Basalt::FormatString(L"%02hu/%02hu/%hu", before.wMonth, before.wDay, before.wYear),
              std::wstring(text.get(), 10));
}

}  // namespace
