#include "hvlogcfg/Options.h"

#include <wchar.h>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "hvlogcfg/Tool.h"
#include "hvlogcfg/Trace.h"
#include "logging/LoggingIf.h"

namespace Hvlogcfg {
namespace {

constexpr unsigned long kMillisecondsPerSecond = 1000;
// --seconds becomes a wait in milliseconds, short of INFINITE.
constexpr unsigned long kMaxSeconds = 0xFFFFFFFFul / kMillisecondsPerSecond - 1;

// Takes the value that follows option `name`.
bool TakeValue(int argc, wchar_t** argv, int& index, const wchar_t* name, std::wstring& value,
               std::wstring& error) {
    if (index + 1 >= argc || argv[index + 1][0] == L'\0') {
        error = std::wstring(name) + L" needs a value";
        return false;
    }
    value = argv[++index];
    return true;
}

// A group, module or logger name becomes one folder or key name below the
// log root or the Provider key: nothing that could climb out of it or name
// more than one level.
bool IsPlainName(const std::wstring& name) {
    constexpr size_t kMaxNameChars = 255;
    return name.size() <= kMaxNameChars && Basalt::IsPlainPathComponent(name);
}

bool TakeName(int argc, wchar_t** argv, int& index, const wchar_t* name, std::wstring& value,
              std::wstring& error) {
    if (!TakeValue(argc, argv, index, name, value, error)) return false;
    if (!IsPlainName(value)) {
        error = std::wstring(name) +
                L" must be a plain name (no \\ / : * ? \" < > |, not . or .., no trailing dot or "
                L"blank, not a device name)";
        return false;
    }
    return true;
}

// Takes the number that follows option `name`.
bool TakeNumber(int argc, wchar_t** argv, int& index, const wchar_t* name, unsigned long& value,
                std::wstring& error) {
    std::wstring text;
    if (!TakeValue(argc, argv, index, name, text, error)) return false;
    DWORD number = 0;
    if (!ParseNumber(text, number)) {
        error = std::wstring(name) + L" needs a number";
        return false;
    }
    value = number;
    return true;
}

// Takes the number that follows option `name`, which must lie in [minimum, maximum].
bool TakeNumberIn(int argc, wchar_t** argv, int& index, const wchar_t* name, unsigned long minimum,
                  unsigned long maximum, unsigned long& value, std::wstring& error) {
    if (!TakeNumber(argc, argv, index, name, value, error)) return false;
    if (value < minimum || value > maximum) {
        error = Basalt::FormatString(L"%s must be %lu to %lu", name, minimum, maximum);
        return false;
    }
    return true;
}

// The options of the trace command; false when `argument` is none of them.
bool TakeTraceOption(int argc, wchar_t** argv, int& index, Options& options, bool& known,
                     std::wstring& error) {
    const std::wstring argument = argv[index];
    known = true;
    if (argument == L"--session") {
        options.sessionGiven = true;
        if (!TakeValue(argc, argv, index, L"--session", options.session, error)) return false;
        if (options.session.size() > kMaxSessionNameChars) {
            error = Basalt::FormatString(L"--session needs a name of 1 to %lu characters",
                                         static_cast<unsigned long>(kMaxSessionNameChars));
            return false;
        }
        return true;
    }
    if (argument == L"--file") {
        return TakeValue(argc, argv, index, L"--file", options.traceFile, error);
    }
    if (argument == L"--level") {
        return TakeNumberIn(argc, argv, index, L"--level", ETWLogging::kLevelMin,
                            ETWLogging::kLevelMax, options.level, error);
    }
    if (argument == L"--options") {
        return TakeNumber(argc, argv, index, L"--options", options.fields, error);
    }
    if (argument == L"--seconds") {
        return TakeNumberIn(argc, argv, index, L"--seconds", 0, kMaxSeconds, options.seconds,
                            error);
    }
    if (argument == L"--count") {
        return TakeNumber(argc, argv, index, L"--count", options.count, error);
    }
    known = false;
    return true;
}

}  // namespace

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        // Any other word that starts with one "-" ("-1", say) is an argument.
        const bool option =
            argument == L"-n" || argument == L"-f" || argument.compare(0, 2, L"--") == 0;
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            options.help = true;
            continue;
        }
        if (argument == L"--version") {
            options.version = true;
            continue;
        }
        if (option) options.given.push_back(argument);
        if (argument == L"--group") {
            if (!TakeName(argc, argv, i, L"--group", options.group, error)) return false;
            options.groupGiven = true;
        } else if (argument == L"--host") {
            if (!TakeName(argc, argv, i, L"--host", options.host, error)) return false;
        } else if (argument == L"-f" || argument == L"--follow") {
            options.follow = true;
        } else if (argument == L"--module") {
            if (!TakeName(argc, argv, i, L"--module", options.module, error)) return false;
            options.moduleGiven = true;
        } else if (argument == L"--logger") {
            if (!TakeName(argc, argv, i, L"--logger", options.logger, error)) return false;
            options.loggerGiven = true;
        } else if (argument == L"--shared") {
            options.shared = true;
        } else if (argument == L"-n") {
            std::wstring count;
            if (!TakeValue(argc, argv, i, L"-n", count, error)) return false;
            DWORD lines = 0;
            if (!ParseNumber(count, lines)) {
                error = L"-n needs a number of lines";
                return false;
            }
            options.lines = lines;
        } else if (option) {
            bool known = false;
            if (!TakeTraceOption(argc, argv, i, options, known, error)) return false;
            if (known) continue;
            error = L"unknown option " + argument;
            return false;
        } else {
            options.words.push_back(argument);
        }
    }
    return true;
}

}  // namespace Hvlogcfg
