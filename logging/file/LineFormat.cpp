#include "logging/file/LineFormat.h"

#include <string.h>
#include <wchar.h>

#include <new>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"

namespace ETWLogging {
namespace {

constexpr unsigned long kProcessNameWidth = 15;
constexpr unsigned long kSourceFileWidth = 20;
constexpr unsigned long kFunctionWidth = 40;
constexpr WORD kHoursPerHalfDay = 12;

// The first `width` characters of `text`, right-aligned in exactly `width`.
std::wstring Fit(const std::wstring& text, unsigned long width) {
    const std::wstring conversion = Basalt::FormatString(L"%%%lus", width);
    return Basalt::FormatString(conversion.c_str(), text.substr(0, width).c_str());
}

std::wstring DateAndTime(const SYSTEMTIME& time) {
    WORD hour = time.wHour % kHoursPerHalfDay;
    if (hour == 0) hour = kHoursPerHalfDay;
    const wchar_t* half = time.wHour < kHoursPerHalfDay ? L"AM" : L"PM";
    return Basalt::FormatString(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay,
                                time.wYear, hour, time.wMinute, time.wSecond, half);
}

// The optional fields in their order, each after a blank.
std::wstring OptionalFields(const LineContext& context, const wchar_t* file,
                            const wchar_t* function, int line) {
    std::wstring fields;
    if (context.options & kOptionProcessName) {
        fields += L' ';
        if (!context.processImageName.empty()) {
            fields += L"[" + Fit(context.processImageName, kProcessNameWidth) + L"]$";
        }
    }
    if (context.options & kOptionProcessThread) {
        const DWORD threadId = context.threadId.value_or(::GetCurrentThreadId());
        fields += Basalt::FormatString(L" [PID:%5lu TID:%5lu]$", context.processId, threadId);
    }
    if (context.options & kOptionSource) {
        fields += L' ';
        const std::wstring name = Basalt::TextAfterLastBackslash(file != nullptr ? file : L"");
        if (!name.empty()) {
            fields += Basalt::FormatString(L"[%s:%5d]$", Fit(name, kSourceFileWidth).c_str(), line);
        }
    }
    if (context.options & kOptionFunction) {
        fields += L' ';
        if (function != nullptr && *function != L'\0') {
            fields += L"[" + Fit(function, kFunctionWidth) + L"()]$";
        }
    }
    return fields;
}

}  // namespace

void LocalClockAPI::Now(SYSTEMTIME& time) { ::GetLocalTime(&time); }

const wchar_t* SeverityLabel(DWORD level) {
    static const wchar_t* const kLabels[] = {L"Normal", L"Warning",  L"Information",
                                             L"Error",  L"Critical", L"Information"};
    if (level < 1 || level > 6) return nullptr;
    return kLabels[level - 1];
}

DWORD FormatLine(const LineContext& context, const wchar_t* file, const wchar_t* function, int line,
                 DWORD level, const wchar_t* message, DWORD* byteCount,
                 std::unique_ptr<wchar_t[]>* text) {
    // Whatever the outcome, the outputs never keep a previous line.
    if (byteCount != nullptr) *byteCount = 0;
    if (text != nullptr) text->reset();
    if (message == nullptr || *message == L'\0' || byteCount == nullptr || text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring fields = OptionalFields(context, file, function, line);
    const wchar_t* label = SeverityLabel(level);
    if (label == nullptr) return ERROR_INVALID_PARAMETER;

    SYSTEMTIME now = {};
    if (context.clock != nullptr) {
        context.clock->Now(now);
    } else {
        ::GetLocalTime(&now);
    }
    const std::wstring header =
        Basalt::FormatString(L"%s -- (%s)$", DateAndTime(now).c_str(), label);
    const size_t messageLength = wcslen(message);
    const bool endsLine = message[messageLength - 1] == L'\n';
    const size_t length = header.size() + fields.size() + 1 + messageLength + (endsLine ? 0 : 2);

    std::unique_ptr<wchar_t[]> composed(new (std::nothrow) wchar_t[length + 1]);
    if (!composed) return ERROR_OUTOFMEMORY;
    wchar_t* out = composed.get();
    auto append = [&out](const wchar_t* part, size_t count) {
        memcpy(out, part, count * sizeof(wchar_t));
        out += count;
    };
    append(header.data(), header.size());
    append(fields.data(), fields.size());
    append(L" ", 1);
    append(message, messageLength);
    if (!endsLine) append(L"\r\n", 2);
    *out = L'\0';

    *byteCount = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    *text = std::move(composed);
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
