#include "tests/support/TestSupport.h"

#include "basalt/StringHelpers.h"

namespace TestSupport {

void RecordingLogger::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = Basalt::FormatStringV(format, args);
    va_end(args);
    Record(level, file, function, line, text.c_str());
}

DWORD RecordingLogger::LogMessage(const wchar_t* file, const wchar_t* function, int line,
                                  DWORD level, const wchar_t* message) {
    Record(level, file, function, line, message);
    return 0;
}

DWORD RecordingLogger::SetSeverity(DWORD level) {
    severity_ = ETWLogging::ClampLevel(level);
    return ETWLogging::ExchangeProcessSeverity(severity_);
}

std::vector<RecordedMessage> RecordingLogger::Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void RecordingLogger::Record(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(
        {level, file ? file : L"", function ? function : L"", line, message ? message : L""});
}

}  // namespace TestSupport
