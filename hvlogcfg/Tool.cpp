#include "hvlogcfg/Tool.h"

#include <windows.h>

#include <errno.h>
#include <wchar.h>

#include "basalt/StringHelpers.h"
#include "hvlogcfg/Console.h"

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
    L"  hvlogcfg tail [--group NAME --module NAME] [-n N]\n"
    L"  hvlogcfg trace [--level N] [--options N] [--session NAME] [--seconds N] [--count N]\n"
    L"  hvlogcfg trace --file PATH.etl [--options N] [--count N]\n"
    L"\n"
    L"Group and module default to RQD and gatesvc. \"hvlogcfg COMMAND --help\" says more.\n";

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
    L"\"unset\" takes the same arguments without VALUE and removes the setting.\n"
    L"VALUE is decimal, or hexadecimal after 0x (Options 0x3C is 60).\n";

constexpr wchar_t kDecodeHelp[] =
    L"hvlogcfg decode HEX [HEX]\n"
    L"  One argument: a registry value record (hex bytes, as \"reg query\" shows).\n"
    L"  Two: an INI header and value pair as stored in log.ini (\"_KEY\" then KEY).\n"
    L"  Says what the value holds and whether it checks out.\n";

constexpr wchar_t kTailHelp[] =
    L"hvlogcfg tail [--group NAME --module NAME] [-n N]\n"
    L"  The last N (default 10) lines of the current log file, the one that\n"
    L"  \"LastLogIdx\" names.\n";

constexpr wchar_t kTraceHelp[] =
    L"hvlogcfg trace [--level N] [--options N] [--session NAME] [--seconds N] [--count N]\n"
    L"  Starts a real-time trace session (default name \"hvlogcfg trace\"; a live\n"
    L"  session of that name, left by a killed run, is stopped and replaced), enables\n"
    L"  the ETW back end's provider and prints each of its events as a log file line,\n"
    L"  with the event's own time, process and thread. Runs until Ctrl+C, N seconds\n"
    L"  or N events, then disables the provider and stops the session.\n"
    L"  --level N (default 1) is the framework's own severity: 1 Normal, 2 Warning,\n"
    L"  3 Information, 4 Error, 5 Critical, 6 Information. Messages of level N and\n"
    L"  above are shown, and level 3 always. It is sent as ETW enable level N, which\n"
    L"  the provider takes as its threshold as it stands (not the usual ETW meaning,\n"
    L"  in which 5 is the most verbose); 0 would be refused by the provider. The\n"
    L"  registry's Severity and Enable overrides (\"hvlogcfg show\") apply after it.\n"
    L"  A classic provider is enabled by one session at a time: this one takes it\n"
    L"  from any other session while it runs.\n"
    L"  --options N selects the fields as log.ini's Options does: 0x10 process name,\n"
    L"  0x04 process and thread ids, 0x08 source file and line, 0x20 function;\n"
    L"  default 0x3C, all of them. An event of the class that does not decode is\n"
    L"  shown as one line saying so, with its size.\n"
    L"hvlogcfg trace --file PATH.etl [--options N] [--count N]\n"
    L"  The same for a trace file recorded with Windows' own tools.\n"
    L"Exit code 1, with the reason, when no session can be started or opened\n"
    L"(always so under Wine, whose event tracing records nothing).\n";

int Usage(const std::wstring& reason) {
    PrintError(reason + L" (hvlogcfg --help)");
    return kExitUsage;
}

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

}  // namespace

std::wstring DescribeError(DWORD code) {
    std::wstring text = Basalt::FormatSystemMessage(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    std::wstring described = text.empty() ? Basalt::FormatString(L"error %lu", code)
                                          : Basalt::FormatString(L"%s (%lu)", text.c_str(), code);
    // The settings are the machine's: changing them takes an elevated run.
    if (code == ERROR_ACCESS_DENIED) described += L"; run as administrator";
    return described;
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
    if (options.words.empty()) {
        if (options.help) return Help(L"");
        return Usage(L"no command given");
    }
    const std::wstring& command = options.words[0];
    if (options.help) return Help(command);
    if (command == L"show") return ShowCommand(options);
    if (command == L"set") return SetCommand(options);
    if (command == L"unset") return UnsetCommand(options);
    if (command == L"decode") return DecodeCommand(options);
    if (command == L"tail") return TailCommand(options);
    if (command == L"trace") return TraceCommand(options);
    return Usage(L"unknown command " + command);
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
