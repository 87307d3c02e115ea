#include "hvlogcfg/Console.h"

#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <cstdarg>

#include "basalt/StringHelpers.h"

namespace Hvlogcfg {

namespace {

// A console gets the characters themselves, whatever its code page; a file or
// a pipe gets UTF-8.
void Write(DWORD standardHandle, FILE* stream, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(standardHandle);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        fflush(stream);
        constexpr size_t kChunkChars = 8192;  // older consoles take a limited write
        for (size_t start = 0; start < text.size(); start += kChunkChars) {
            const DWORD count = static_cast<DWORD>(std::min(kChunkChars, text.size() - start));
            DWORD written = 0;
            if (!::WriteConsoleW(handle, text.data() + start, count, &written, nullptr)) break;
        }
        return;
    }
    const std::string bytes = Basalt::CodePageFromWide(CP_UTF8, text);
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}

}  // namespace

void Print(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, stdout, text); }

void PrintF(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Print(Basalt::FormatStringV(format, args));
    va_end(args);
}

void PrintError(const std::wstring& reason) {
    Write(STD_ERROR_HANDLE, stderr, L"hvlogcfg: " + reason + L"\n");
}

}  // namespace Hvlogcfg
