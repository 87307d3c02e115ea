// Uses of the logging macros that must not compile, one per FORMAT_CASE, each
// with the verdict it must be refused with ("expect:"). Case 0 is a good use:
// it proves that the command line compiles what is right.
// LogMacroRefusals.cmake compiles every case.
#include <string>

#include "logging/LogMacro.h"

void Use(const wchar_t* wide, const char* narrow, int number, long long big, double real,
         const std::wstring& text, const wchar_t* runtimeFormat) {
    (void)wide, (void)narrow, (void)number, (void)big, (void)real, (void)text, (void)runtimeFormat;
#if FORMAT_CASE == 0  // expect: compiles
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%s %hs %d %I64d %f", wide, narrow, number, big, real);
#elif FORMAT_CASE == 1   // expect: kWideStringExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s", narrow);
#elif FORMAT_CASE == 2   // expect: kWideStringExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s", number);
#elif FORMAT_CASE == 3   // expect: kWideStringExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s", text);
#elif FORMAT_CASE == 4   // expect: kNarrowStringExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %hs", wide);
#elif FORMAT_CASE == 5   // expect: kTooFewArguments
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s: %lu", wide);
#elif FORMAT_CASE == 6   // expect: kTooManyArguments
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"Cannot open %s", wide, number);
#elif FORMAT_CASE == 7   // expect: kIncompleteConversion
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%");
#elif FORMAT_CASE == 8   // expect: kIncompleteConversion
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"abc%");
#elif FORMAT_CASE == 9   // expect: kUnknownConversion
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%y", number);
#elif FORMAT_CASE == 10  // expect: kPositionalArgument
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%1$s", wide);
#elif FORMAT_CASE == 11  // expect: kConversionN
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%n", &number);
#elif FORMAT_CASE == 12  // expect: kUnknownConversion
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%F", real);
#elif FORMAT_CASE == 13  // expect: kSizeNotForConversion
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%hf", real);
#elif FORMAT_CASE == 14  // expect: kIntegerExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%d", real);
#elif FORMAT_CASE == 15  // expect: kIntegerSizeMismatch
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%d", big);
#elif FORMAT_CASE == 16  // expect: kIntegerSizeMismatch
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%I64d", number);
#elif FORMAT_CASE == 17  // expect: kFloatingExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%f", number);
#elif FORMAT_CASE == 18  // expect: kPointerExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%p", number);
#elif FORMAT_CASE == 19  // expect: kIntegerExpected
    ETWLOGGING_LOG(ETWLogging::kLevelError, L"%*d", wide, number);
#elif FORMAT_CASE == 20  // expect: kFormatNotWide
    ETWLOGGING_LOG(ETWLogging::kLevelError, "Cannot open %s", wide);
#elif FORMAT_CASE == 21  // expect: constant
    ETWLOGGING_LOG(ETWLogging::kLevelError, runtimeFormat, wide);
#elif FORMAT_CASE == 22  // expect: kWideStringExpected
    ETWLOGGING_WARNING(L"Retrying %s", narrow);
#elif FORMAT_CASE == 23  // expect: kTooFewArguments
    ETWLOGGING_CRITICAL(L"%.*s", 3);
#endif
}
