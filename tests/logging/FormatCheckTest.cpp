// The format check at run time, against the printer the programs are linked with.
#include "logging/FormatCheck.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <wchar.h>

namespace {

// What the secure printer returns for `format`, called as the logger calls it,
// with a string argument (after a width of 3 for a "*"); -1 when it refuses it.
int Print(const wchar_t* format) {
    wchar_t text[64] = {};
    if (::wcschr(format, L'*') != nullptr) {
        return ::_snwprintf_s(text, _countof(text), _TRUNCATE, format, 3, L"w");
    }
    return ::_snwprintf_s(text, _countof(text), _TRUNCATE, format, L"w");
}

// Every format the check accepts, the printer prints: so a format that passes
// never reaches the printer's invalid-parameter handler. Those it refuses are
// the printer's refusals (the first four under Wine's msvcrt too) and the
// conversions that not every runtime has.
TEST(FormatCheck, AcceptsOnlyFormatsThePrinterPrints) {
    const struct {
        const wchar_t* format;
        bool printable;
    } kCases[] = {
        {L"plain text", true},
        {L"100%%", true},
        {L"%s", true},
        {L"%ls", true},
        {L"%ws", true},
        {L"%hs", true},
        {L"%S", true},
        {L"%d", true},
        {L"%i", true},
        {L"%u", true},
        {L"%x", true},
        {L"%X", true},
        {L"%o", true},
        {L"%c", true},
        {L"%C", true},
        {L"%p", true},
        {L"%lu", true},
        {L"%ld", true},
        {L"%hd", true},
        {L"%I64d", true},
        {L"%I32u", true},
        {L"%Iu", true},
        {L"%lld", true},
        {L"%llu", true},
        {L"%zu", true},
        {L"%f", true},
        {L"%g", true},
        {L"%e", true},
        {L"%a", true},
        {L"%lf", true},
        {L"%-+ 0#8.3d", true},
        {L"%*d", true},
        {L"%.*s", true},
        {L"%0.3lu", true},
        {L"%", false},
        {L"abc%", false},
        {L"%y", false},
        {L"%1$s", false},
        {L"%n", false},
        {L"%F", false},
        {L"%Z", false},
        {L"%5%", false},
        {L"%hf", false},
        {L"%lp", false},
        {L"%I16d", false},
        {L"%ll", false},
        {L"ok %d then %y", false},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(c.printable, ETWLogging::IsPrintableFormat(c.format)) << c.format;
        if (c.printable) {
            EXPECT_GE(Print(c.format), 0) << c.format;
        }
    }
}

}  // namespace
