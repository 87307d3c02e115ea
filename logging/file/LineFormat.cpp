#include "logging/file/LineFormat.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <new>

namespace ETWLogging {
namespace {

constexpr unsigned long kProcessNameWidth = 15;
constexpr unsigned long kSourceFileWidth = 20;
constexpr unsigned long kFunctionWidth = 40;
constexpr WORD kHoursPerHalfDay = 12;
// The longest piece that is printed before it is appended: a date and time, or
// the process and thread numbers.
constexpr size_t kPieceChars = 64;

// Appends the first `width` characters of `text`, right-aligned in exactly `width`.
void AppendFitted(std::wstring& out, const wchar_t* text, unsigned long width) {
    const size_t length = wcsnlen(text, width);
    out.append(width - length, L' ');
    out.append(text, length);
}

// Appends what `format` prints, at most kPieceChars - 1 characters.
void AppendPrinted(std::wstring& out, const wchar_t* format, ...) {
    wchar_t piece[kPieceChars];
    va_list args;
    va_start(args, format);
    const int length = ::_vsnwprintf_s(piece, kPieceChars, _TRUNCATE, format, args);
    va_end(args);
    if (length > 0) out.append(piece, static_cast<size_t>(length));
}

// Appends the optional fields in their order, each after a blank.
void AppendOptionalFields(std::wstring& out, const LineContext& context, const wchar_t* file,
                          const wchar_t* function, int line) {
    if (context.options & kOptionProcessName) {
        out += L' ';
        if (!context.processImageName.empty()) {
            out += L'[';
            AppendFitted(out, context.processImageName.c_str(), kProcessNameWidth);
            out += L"]$";
        }
    }
    if (context.options & kOptionProcessThread) {
        const DWORD threadId = context.threadId.value_or(::GetCurrentThreadId());
        AppendPrinted(out, L" [PID:%5lu TID:%5lu]$", context.processId, threadId);
    }
    if (context.options & kOptionSource) {
        out += L' ';
        const wchar_t* name = file != nullptr ? file : L"";
        if (const wchar_t* slash = wcsrchr(name, L'\\')) name = slash + 1;
        if (*name != L'\0') {
            out += L'[';
            AppendFitted(out, name, kSourceFileWidth);
            AppendPrinted(out, L":%5d]$", line);
        }
    }
    if (context.options & kOptionFunction) {
        out += L' ';
        if (function != nullptr && *function != L'\0') {
            out += L'[';
            AppendFitted(out, function, kFunctionWidth);
            out += L"()]$";
        }
    }
}

DWORD ComposeLine(const LineContext& context, const wchar_t* file, const wchar_t* function,
                  int line, DWORD level, const wchar_t* message, std::wstring& text) {
    text.clear();
    if (message == nullptr || *message == L'\0') return ERROR_INVALID_PARAMETER;
    const wchar_t* label = SeverityLabel(level);
    if (label == nullptr) return ERROR_INVALID_PARAMETER;

    SYSTEMTIME now = {};
    if (context.clock != nullptr) {
        context.clock->Now(now);
    } else {
        ::GetLocalTime(&now);
    }
    WORD hour = now.wHour % kHoursPerHalfDay;
    if (hour == 0) hour = kHoursPerHalfDay;
    const wchar_t* half = now.wHour < kHoursPerHalfDay ? L"AM" : L"PM";
    const size_t messageLength = wcslen(message);
    const bool endsLine = message[messageLength - 1] == L'\n';
    // One allocation at most, for a line longer than any before it.
    text.reserve(2 * kPieceChars + kFunctionWidth + kSourceFileWidth + kProcessNameWidth +
                 messageLength + 2);
    AppendPrinted(text, L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", now.wMonth, now.wDay, now.wYear,
                  hour, now.wMinute, now.wSecond, half);
    text += L" -- (";
    text += label;
    text += L")$";
    AppendOptionalFields(text, context, file, function, line);
    text += L' ';
    text.append(message, messageLength);
    if (!endsLine) text += L"\r\n";
    return ERROR_SUCCESS;
}

}  // namespace

void LocalClockAPI::Now(SYSTEMTIME& time) { ::GetLocalTime(&time); }

const wchar_t* SeverityLabel(DWORD level) {
    static const wchar_t* const kLabels[] = {L"Normal", L"Warning",  L"Information",
                                             L"Error",  L"Critical", L"Information"};
    if (level < 1 || level > 6) return nullptr;
    return kLabels[level - 1];
}

DWORD FormatLineInto(const LineContext& context, const wchar_t* file, const wchar_t* function,
                     int line, DWORD level, const wchar_t* message, std::wstring& text) {
    try {
        return ComposeLine(context, file, function, line, level, message, text);
    } catch (const std::bad_alloc&) {
        text.clear();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD FormatLine(const LineContext& context, const wchar_t* file, const wchar_t* function, int line,
                 DWORD level, const wchar_t* message, DWORD* byteCount,
                 std::unique_ptr<wchar_t[]>* text) {
    // Whatever the outcome, the outputs never keep a previous line.
    if (byteCount != nullptr) *byteCount = 0;
    if (text != nullptr) text->reset();
    if (byteCount == nullptr || text == nullptr) return ERROR_INVALID_PARAMETER;
    std::wstring composed;
    const DWORD code = FormatLineInto(context, file, function, line, level, message, composed);
    if (code != ERROR_SUCCESS) return code;
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[composed.size() + 1]);
    if (!copy) return ERROR_OUTOFMEMORY;
    wmemcpy(copy.get(), composed.c_str(), composed.size() + 1);
    *byteCount = static_cast<DWORD>((composed.size() + 1) * sizeof(wchar_t));
    *text = std::move(copy);
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
