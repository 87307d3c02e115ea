// Console output of the operator tool: UTF-8 text on standard output and
// standard error, so that it reads the same on a console, in a file or
// through a pipe.
#pragma once

#include <string>

namespace Hvlogcfg {

// Writes `text` as UTF-8 to standard output.
void Print(const std::wstring& text);

// printf-style ("%s" wide) to standard output.
void PrintF(const wchar_t* format, ...);

// One line, "hvlogcfg: " and `reason`, to standard error.
void PrintError(const std::wstring& reason);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace Hvlogcfg
