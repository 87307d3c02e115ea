// The operator tool's commands. Each returns the process exit code: 0 on
// success, 1 with a one-line reason on standard error otherwise, 2 for a
// command line it does not understand.
#pragma once

#include <windows.h>

#include <string>

#include "hvlogcfg/Options.h"

namespace Hvlogcfg {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int RunTool(int argc, wchar_t** argv);

// Says that the command line is not understood: `reason` and where help is, on standard error;
// returns kExitUsage.
int Usage(const std::wstring& reason);

int ShowCommand(const Options& options);
int SetCommand(const Options& options);
int UnsetCommand(const Options& options);
int DecodeCommand(const Options& options);
int TailCommand(const Options& options);
int TraceCommand(const Options& options);

// The back-end choice: "file" or "etw" stored enciphered; absent when unset.
int SetMechanism(const std::wstring& value);
int UnsetMechanism();

// The plain "Enable" and "Severity" overrides below the ETW Provider key.
int SetEtwOverride(const Options& options, const std::wstring& name, const std::wstring& value);
int UnsetEtwOverride(const Options& options, const std::wstring& name);

// The file logger's five settings in the folder or the shared log.ini.
int SetFileSetting(const Options& options, const std::wstring& key, const std::wstring& value);
int UnsetFileSetting(const Options& options, const std::wstring& key);

// What `show` prints of each part.
void ShowMechanism();
void ShowEtw(const Options& options);
bool ShowFile(const Options& options);

// A Win32 code as "text (code)"; for access denied, whether running as administrator may help.
std::wstring DescribeError(DWORD code);

// Parses an unsigned decimal or 0x-prefixed hexadecimal 32-bit number.
bool ParseNumber(const std::wstring& text, DWORD& value);

}  // namespace Hvlogcfg
