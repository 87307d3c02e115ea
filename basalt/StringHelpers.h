// Wide-string formatting, splitting and system message texts.
//
// Formats follow the Windows meaning: "%s" takes a wide string and "%hs" a
// narrow one, on MSVC and mingw-w64 alike (the underscore printf family).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace Basalt {

// The system's text for a Win32 message id (FormatMessageW, 1024 characters
// at most), or an empty string when the system has none.
std::wstring FormatSystemMessage(DWORD messageId);

// printf-style formatting into a string of exactly the measured length. A
// format that the runtime rejects yields an empty string.
std::wstring FormatString(const wchar_t* format, ...);
std::wstring FormatStringV(const wchar_t* format, va_list args);

// The pieces of `text` between `separator`s, the piece after the last one
// included; empty pieces are left out when `skipEmpty` is set. An empty text
// gives an empty list.
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator, bool skipEmpty);

// `text` without the white space (the wide-character space class) at either end.
std::wstring TrimWhiteSpace(const std::wstring& text);
// The same as a view into `text`.
std::wstring_view TrimWhiteSpaceView(std::wstring_view text);

// Conversions between UTF-16 and a code page (CP_UTF8, CP_THREAD_ACP, ...);
// an empty result when the text does not convert.
std::wstring WideFromCodePage(UINT codePage, const std::string& bytes);
std::string CodePageFromWide(UINT codePage, const std::wstring& text);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(wchar_t c);

}  // namespace Basalt
