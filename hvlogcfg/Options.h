// The operator tool's command line.
#pragma once

#include <string>
#include <vector>

#include "logging/file/LineFormat.h"

namespace Hvlogcfg {

// The program's own group and module, the defaults of every command.
constexpr wchar_t kDefaultGroup[] = L"RQD";
constexpr wchar_t kDefaultModule[] = L"gatesvc";
constexpr unsigned long kDefaultTailLines = 10;

struct Options {
    std::vector<std::wstring> words;  // the command and its arguments, options removed
    std::vector<std::wstring> given;  // the options given (but --help and --version), as typed
    std::wstring group = kDefaultGroup;
    std::wstring module = kDefaultModule;
    std::wstring logger;
    bool groupGiven = false;
    bool moduleGiven = false;
    bool loggerGiven = false;
    bool shared = false;
    bool help = false;
    bool version = false;
    unsigned long lines = kDefaultTailLines;
    std::wstring host;    // tail: the host name in the log files' names
    bool follow = false;  // tail -f
    // The trace command's settings; 0 seconds or events means no limit.
    std::wstring session;
    std::wstring traceFile;
    unsigned long level = 1;
    unsigned long fields = ETWLogging::kAllLineFields;
    unsigned long seconds = 0;
    unsigned long count = 0;
    bool sessionGiven = false;
};

// Splits the arguments after the program name into words and options.
// False with a one-line reason for an unknown option, a missing value, or a
// value that is malformed or out of its range.
bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error);

}  // namespace Hvlogcfg
