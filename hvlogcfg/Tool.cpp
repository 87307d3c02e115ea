#include "hvlogcfg/Tool.h"

#include <windows.h>

#include <errno.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "basalt/StringHelpers.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/ErrorText.h"

namespace Hvlogcfg {
namespace {

constexpr wchar_t kToolHelp[] =
    L"hvlogcfg: shows and changes what the logging framework will do.\n"
    L"\n"
    L"  hvlogcfg show [--group NAME] [--module NAME]\n"
    L"  hvlogcfg set mechanism file|etw          hvlogcfg unset mechanism\n"
    L"  hvlogcfg set file KEY VALUE [--shared | --group NAME --module NAME]\n"
    L"  hvlogcfg unset file KEY [--shared | --group NAME --module NAME]\n"
    L"  hvlogcfg set etw Enable|Severity VALUE [--group NAME [--logger NAME]]\n"
    L"  hvlogcfg unset etw Enable|Severity [--group NAME [--logger NAME]]\n"
    L"  hvlogcfg decode HEX [HEX]\n"
    L"  hvlogcfg tail [--group NAME --module NAME] [--host NAME] [-n N] [-f [--seconds N] "
    L"[--count N]]\n"
    L"  hvlogcfg trace [--level N] [--options N] [--session NAME] [--seconds N] [--count N]\n"
    L"  hvlogcfg trace --file PATH.etl [--options N] [--count N]\n"
    L"  hvlogcfg --version\n"
    L"\n"
    L"Group and module default to RQD and gatesvc. \"hvlogcfg COMMAND --help\" says more.\n"
    L"\n"
    L"Exit codes: 0 done; 1 a request that cannot be done, with the reason on one\n"
    L"line; 2 a command line that is not understood: an unknown command or option,\n"
    L"an option of another command, or a value that is malformed or out of range.\n";

constexpr wchar_t kShowHelp[] =
    L"hvlogcfg show [--group NAME] [--module NAME]\n"
    L"  The effective configuration, as the framework computes it: the back end\n"
    L"  (\"Logging Mechanism\"), the ETW identity and its Enable/Severity overrides,\n"
    L"  the file logger's five settings with the file each came from and every\n"
    L"  value present but not accepted, \"LastLogIdx\", and the log files.\n";

constexpr wchar_t kSetHelp[] =
    L"hvlogcfg set mechanism file|etw\n"
    L"  Stores \"Logging Mechanism\" enciphered (file = 1, etw = 0).\n"
    L"hvlogcfg set file KEY VALUE [--shared | --group NAME --module NAME]\n"
    L"  KEY is Enable, MaxSize (262144-10485760), MaxEntries (2-100), Severity (0-6)\n"
    L"  or Options; stored enciphered in the module's log.ini, or the shared one.\n"
    L"hvlogcfg set etw Enable|Severity VALUE [--group NAME [--logger NAME]]\n"
    L"  A plain DWORD below the Provider key, its group key or its logger key.\n"
    L"\"unset\" takes the same arguments without VALUE and removes the setting; one\n"
    L"that is not there is reported as not set (exit code 0).\n"
    L"VALUE is decimal, or hexadecimal after 0x (Options 0x3C is 60).\n";

constexpr wchar_t kDecodeHelp[] =
    L"hvlogcfg decode HEX [HEX]\n"
    L"  One argument: a registry value record (hex bytes, as \"reg query\" shows).\n"
    L"  Two: an INI header and value pair as stored in log.ini (\"_KEY\" then KEY).\n"
    L"  Says what the value holds and whether it checks out.\n";

constexpr wchar_t kTailHelp[] =
    L"hvlogcfg tail [--group NAME --module NAME] [--host NAME] [-n N] [-f [--seconds N] "
    L"[--count N]]\n"
    L"  The last N (default 10) lines of the current log file: the one that\n"
    L"  \"LastLogIdx\" names or, when log.ini gives no index it can read, the file\n"
    L"  written last (it says so). --host reads the files named MODULE_HOSTnnn.log.\n"
    L"  -f (--follow) then prints every new line, across the ring's turn-overs, until\n"
    L"  Ctrl+C, N seconds or N lines. It takes no lock and keeps no file open between\n"
    L"  two looks, so writers are never held up.\n";

constexpr wchar_t kTraceHelp[] =
    L"hvlogcfg trace [--level N] [--options N] [--session NAME] [--seconds N] [--count N]\n"
    L"  Starts a real-time trace session (default name \"hvlogcfg trace\"), enables\n"
    L"  the ETW back end's provider and prints each of its events as a log file line,\n"
    L"  with the event's own time, process and thread. Runs until Ctrl+C, the window\n"
    L"  closes, N seconds or N events, then disables the provider and stops the\n"
    L"  session. A session of that name is stopped and replaced only when a killed\n"
    L"  run of this command left it behind; any other is left alone and named.\n"
    L"  --level N (default 1) is the framework's own severity: 1 Normal, 2 Warning,\n"
    L"  3 Information, 4 Error, 5 Critical, 6 Information. Messages of level N and\n"
    L"  above are shown, and level 3 always. It is sent as the ETW enable level, which\n"
    L"  the provider takes as its threshold as it stands: the other way round from\n"
    L"  ETW's convention, in which a higher level shows more. So the enable levels of\n"
    L"  other tools (logman, tracelog, xperf) show:\n"
    L"    0 (their default)     Information, Error, Critical\n"
    L"    1                     everything\n"
    L"    2                     all but Normal\n"
    L"    3 or 4                Information, Error, Critical\n"
    L"    5 (their \"verbose\")   Information, Critical: Error is lost\n"
    L"    6 to 255              Information only: Error and Critical are lost\n"
    L"  The registry's Severity and Enable overrides (\"hvlogcfg show\") apply after it.\n"
    L"  The provider serves one session at a time, the first that enabled it: while\n"
    L"  another session holds it, trace names that session and ends.\n"
    L"  --options N selects the fields as log.ini's Options does: 0x10 process name,\n"
    L"  0x04 process and thread ids, 0x08 source file and line, 0x20 function;\n"
    L"  default 0x3C, all of them. An event of the class that does not decode is\n"
    L"  shown as one line saying so, with its size.\n"
    L"hvlogcfg trace --file PATH.etl [--options N] [--count N]\n"
    L"  The same for a trace file recorded with Windows' own tools.\n"
    L"Exit code 1, with the reason, when the trace cannot be started, read or\n"
    L"stopped (always so under Wine, whose event tracing records nothing).\n";

int Help(const std::wstring& command) {
    if (command == L"show") return Print(kShowHelp), kExitSuccess;
    if (command == L"set" || command == L"unset") return Print(kSetHelp), kExitSuccess;
    if (command == L"decode") return Print(kDecodeHelp), kExitSuccess;
    if (command == L"tail") return Print(kTailHelp), kExitSuccess;
    if (command == L"trace") return Print(kTraceHelp), kExitSuccess;
    if (!command.empty()) return Usage(L"unknown command " + command);
    Print(kToolHelp);
    return kExitSuccess;
}

bool IsCommand(const std::wstring& command) {
    static const wchar_t* const kCommands[] = {L"show",   L"set",  L"unset",
                                               L"decode", L"tail", L"trace"};
    return std::any_of(std::begin(kCommands), std::end(kCommands),
                       [&](const wchar_t* known) { return command == known; });
}

// The options a command line's command takes, and how to name that command in a refusal.
std::vector<std::wstring> CommandOptions(const Options& options, std::wstring& command) {
    const auto& words = options.words;
    command = words[0];
    if (command == L"show") return {L"--group", L"--module"};
    if (command == L"tail") {
        return {L"--group", L"--module", L"--host",    L"-n",
                L"-f",      L"--follow", L"--seconds", L"--count"};
    }
    if (command == L"trace" && !options.traceFile.empty()) {
        command = L"trace --file";
        return {L"--file", L"--options", L"--count"};
    }
    if (command == L"trace")
        return {L"--level", L"--options", L"--session", L"--seconds", L"--count"};
    if ((command == L"set" || command == L"unset") && words.size() > 1) {
        command += L" " + words[1];
        if (words[1] == L"file") return {L"--shared", L"--group", L"--module"};
        if (words[1] == L"etw") return {L"--group", L"--logger"};
    }
    return {};  // decode, set and unset mechanism
}

// False, with the reason, for an option given to a command that does not take it.
bool OptionsFitTheCommand(const Options& options, std::wstring& reason) {
    std::wstring command;
    const std::vector<std::wstring> taken = CommandOptions(options, command);
    for (const std::wstring& option : options.given) {
        if (std::find(taken.begin(), taken.end(), option) == taken.end()) {
            reason = command + L" takes no " + option;
            return false;
        }
    }
    if (options.shared && (options.groupGiven || options.moduleGiven)) {
        reason = L"--shared takes no --group or --module";
        return false;
    }
    // The logger's key lies below its group's: without --group it would silently be RQD's.
    if (options.loggerGiven && !options.groupGiven) {
        reason = L"--logger needs --group";
        return false;
    }
    return true;
}

}  // namespace

int Usage(const std::wstring& reason) {
    PrintError(reason + L" (hvlogcfg --help)");
    return kExitUsage;
}

std::wstring DescribeError(DWORD code) {
    return Hvlogcfg::DescribeError(code, IsProcessElevated());
}

bool ParseNumber(const std::wstring& text, DWORD& value) {
    // Digits only: no sign, no white space, and a leading zero is decimal
    // (never octal), so "010" is ten.
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    const wchar_t* allowed = hex ? L"0123456789abcdefABCDEF" : L"0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::wstring::npos) return false;
    errno = 0;
    const unsigned long long parsed = wcstoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

int RunTool(int argc, wchar_t** argv) {
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) return Usage(error);
    if (options.version) {
        if (!options.words.empty() || !options.given.empty() || options.help) {
            return Usage(L"--version takes nothing else");
        }
        Print(L"hvlogcfg " GATESVC_PROJECT_VERSION L"\n");
        return kExitSuccess;
    }
    if (options.words.empty()) {
        if (options.help) return Help(L"");
        return Usage(L"no command given");
    }
    const std::wstring& command = options.words[0];
    if (options.help) return Help(command);
    if (!IsCommand(command)) return Usage(L"unknown command " + command);
    if (!OptionsFitTheCommand(options, error)) return Usage(error);
    if (command == L"show") return ShowCommand(options);
    if (command == L"set") return SetCommand(options);
    if (command == L"unset") return UnsetCommand(options);
    if (command == L"decode") return DecodeCommand(options);
    if (command == L"tail") return TailCommand(options);
    return TraceCommand(options);
}

int ShowCommand(const Options& options) {
    if (options.words.size() != 1) return Usage(L"show takes no arguments");
    ShowMechanism();
    ShowEtw(options);
    return ShowFile(options) ? kExitSuccess : kExitFailure;
}

int SetCommand(const Options& options) {
    const auto& words = options.words;
    if (words.size() == 3 && words[1] == L"mechanism") return SetMechanism(words[2]);
    if (words.size() == 4 && words[1] == L"file")
        return SetFileSetting(options, words[2], words[3]);
    if (words.size() == 4 && words[1] == L"etw") return SetEtwOverride(options, words[2], words[3]);
    return Usage(L"set needs: mechanism VALUE | file KEY VALUE | etw NAME VALUE");
}

int UnsetCommand(const Options& options) {
    const auto& words = options.words;
    if (words.size() == 2 && words[1] == L"mechanism") return UnsetMechanism();
    if (words.size() == 3 && words[1] == L"file") return UnsetFileSetting(options, words[2]);
    if (words.size() == 3 && words[1] == L"etw") return UnsetEtwOverride(options, words[2]);
    return Usage(L"unset needs: mechanism | file KEY | etw NAME");
}

}  // namespace Hvlogcfg
