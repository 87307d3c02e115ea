// Console output of the operator tool: on a console the characters
// themselves, whatever its code page; in a file or through a pipe UTF-8.
#pragma once

#include <string>

namespace Hvlogcfg {

// Writes `text` to standard output.
void Print(const std::wstring& text);

// printf-style ("%s" wide) to standard output.
void PrintF(const wchar_t* format, ...);

// One line, "hvlogcfg: " and `reason`, to standard error.
void PrintError(const std::wstring& reason);

}  // namespace Hvlogcfg
