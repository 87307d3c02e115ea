#include "basalt/StringHelpers.h"

#include <stdio.h>
#include <wchar.h>
#include <wctype.h>

namespace Basalt {

std::wstring FormatSystemMessage(DWORD messageId) {
    constexpr DWORD kMessageCapacity = 1024;
    wchar_t buffer[kMessageCapacity] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, messageId,
                                    /*languageId=*/0, buffer, kMessageCapacity, nullptr);
    if (length == 0) return std::wstring();
    return std::wstring(buffer);  // ends at the first zero character
}

std::wstring FormatStringV(const wchar_t* format, va_list args) {
    if (format == nullptr) return std::wstring();
    va_list measure;
    va_copy(measure, args);
    const int length = ::_vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0) return std::wstring();

    std::wstring text(static_cast<size_t>(length), L'\0');
    va_list print;
    va_copy(print, args);
    const int written = ::_vsnwprintf_s(&text[0], text.size() + 1, _TRUNCATE, format, print);
    va_end(print);
    if (written < 0) return std::wstring();
    text.resize(static_cast<size_t>(written));
    return text;
}

std::wstring FormatString(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    return text;
}

std::wstring TrimWhiteSpace(const std::wstring& text) {
    return std::wstring(TrimWhiteSpaceView(text));
}

std::wstring_view TrimWhiteSpaceView(std::wstring_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && iswspace(text[first])) ++first;
    while (last > first && iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator, bool skipEmpty) {
    std::vector<std::wstring> pieces;
    if (text.empty()) return pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        std::wstring piece = text.substr(start, end == std::wstring::npos ? end : end - start);
        if (!piece.empty() || !skipEmpty) pieces.push_back(std::move(piece));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return pieces;
}

std::wstring WideFromCodePage(UINT codePage, const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int byteCount = static_cast<int>(bytes.size());
    const int charCount = ::MultiByteToWideChar(codePage, 0, bytes.data(), byteCount, nullptr, 0);
    if (charCount <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(charCount), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes.data(), byteCount, &text[0], charCount);
    return text;
}

std::string CodePageFromWide(UINT codePage, const std::wstring& text) {
    if (text.empty()) return std::string();
    const int charCount = static_cast<int>(text.size());
    const int byteCount =
        ::WideCharToMultiByte(codePage, 0, text.data(), charCount, nullptr, 0, nullptr, nullptr);
    if (byteCount <= 0) return std::string();
    std::string bytes(static_cast<size_t>(byteCount), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), charCount, &bytes[0], byteCount, nullptr,
                          nullptr);
    return bytes;
}

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

}  // namespace Basalt
