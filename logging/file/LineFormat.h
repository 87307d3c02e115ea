// The file back end's line format: local date and 12-hour time, severity
// label, the fields that the options select, and the message.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace ETWLogging {

// Bits of the "Options" setting.
constexpr DWORD kOptionDebugger = 0x01;       // each line also goes to the debugger
constexpr DWORD kOptionProcessThread = 0x04;  // "[PID:... TID:...]"
constexpr DWORD kOptionSource = 0x08;         // "[file: line]"
constexpr DWORD kOptionProcessName = 0x10;    // "[process image]"
constexpr DWORD kOptionFunction = 0x20;       // "[function()]"
// Every optional field of a line.
constexpr DWORD kAllLineFields =
    kOptionProcessThread | kOptionSource | kOptionProcessName | kOptionFunction;

// The local time of each line, replaceable so that tests control it.
class LocalClockAPI {
  public:
    virtual ~LocalClockAPI() = default;
    // GetLocalTime.
    virtual void Now(SYSTEMTIME& time);
};

// What a line carries besides the message.
struct LineContext {
    DWORD options = 0;
    std::wstring processImageName;
    DWORD processId = 0;
    LocalClockAPI* clock = nullptr;   // none: the system's local time
    std::optional<DWORD> threadId{};  // none: the calling thread
};

// The severity label of a level, or none outside 1..6.
const wchar_t* SeverityLabel(DWORD level);

// Builds one line into `text`, whose storage is reused: 0 with the line
// (CR LF ended, no terminator counted); ERROR_INVALID_PARAMETER, with `text`
// empty, for a missing or empty message or a level outside 1..6. The
// storage grows only for a line longer than any it held before.
DWORD FormatLineInto(const LineContext& context, const wchar_t* file, const wchar_t* function,
                     int line, DWORD level, const wchar_t* message, std::wstring& text);

// Builds one line. 0 with the line (owned by the caller) and its size in
// bytes, terminator included; ERROR_INVALID_PARAMETER for a missing or empty message, a missing
// output or a level outside 1..6; ERROR_OUTOFMEMORY when the line cannot be allocated.
DWORD FormatLine(const LineContext& context, const wchar_t* file, const wchar_t* function, int line,
                 DWORD level, const wchar_t* message, DWORD* byteCount,
                 std::unique_ptr<wchar_t[]>* text);

}  // namespace ETWLogging
