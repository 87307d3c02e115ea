// Helpers shared by the tests of the logging library and the programs: those of the
// foundation library and a logger that records what reaches it.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LoggingIf.h"
#include "tests/support/BasaltTestSupport.h"

namespace TestSupport {

// One message as a logger received it.
struct RecordedMessage {
    DWORD level;
    std::wstring file;
    std::wstring function;
    int line;
    std::wstring message;
};

// A logger that records what reaches it. Thread-safe.
class RecordingLogger : public ETWLogging::CLoggingIf {
  public:
    DWORD Init(const wchar_t*, HMODULE, const wchar_t*,
               ETWLogging::LoggingConfigListenerIf*) override {
        return 0;
    }
    DWORD Start() override { return startResult; }
    void GetLoggerName(std::wstring&) override {}
    void GetGroupName(std::wstring&) override {}
    DWORD Stop() override { return 0; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    bool IsEnabled() override { return enabled_; }
    void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
    DWORD LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                     const wchar_t* message) override;
    bool IsLevelEnabled(DWORD level) override { return level >= severity_; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override { return severity_; }
    LONG AddRef() override { return 0; }
    LONG Release() override { return 0; }

    std::vector<RecordedMessage> Messages();
    DWORD startResult = 0;

  protected:
    void Record(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                const wchar_t* message);

  private:
    std::mutex mutex_;
    std::vector<RecordedMessage> messages_;
    bool enabled_ = true;
    DWORD severity_ = 1;
};

}  // namespace TestSupport
