#include "hvlogcfg/Console.h"

#include <windows.h>

#include <stdio.h>

#include <cstdarg>

#include "basalt/StringHelpers.h"

namespace Hvlogcfg {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                              size, nullptr, nullptr);
    }
    return bytes;
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(size > 0 ? static_cast<size_t>(size) : 0, L'\0');
    if (size > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                              size);
    }
    return text;
}

void Print(const std::wstring& text) {
    const std::string bytes = ToUtf8(text);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

void PrintF(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Print(Basalt::FormatStringV(format, args));
    va_end(args);
}

void PrintError(const std::wstring& reason) {
    const std::string bytes = ToUtf8(L"hvlogcfg: " + reason + L"\n");
    fwrite(bytes.data(), 1, bytes.size(), stderr);
    fflush(stderr);
}

}  // namespace Hvlogcfg
