// The foundation logger's default handler, which writes each message to the
// debugger until a program registers its own handler (Logger.h), and the
// replaceable debugger output it writes to. Internal to the libraries.
#pragma once

#include <windows.h>

#include <memory>

#include "basalt/Logging/Logger.h"

namespace Basalt {

// Where the default handler's lines go: the debugger, unless replaced.
class DebugOutputAPI {
  public:
    virtual ~DebugOutputAPI() = default;
    // Hands one line to OutputDebugStringW.
    virtual void Write(const wchar_t* text);
};

// Writes each message as one debugger line; type 0 writes nothing.
class CDefaultLoggingHandler : public ILoggingHandler {
  public:
    explicit CDefaultLoggingHandler(std::shared_ptr<DebugOutputAPI> output = nullptr);
    // Unregisters the handler from the foundation logger if it is registered.
    virtual ~CDefaultLoggingHandler();

    void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override;

    // The process-wide instance, made on first use and destroyed at exit; not
    // to be asked for after that (InstanceIfAlive says whether it is gone).
    static CDefaultLoggingHandler& Instance();

    // The process-wide instance if it exists and has not been destroyed yet,
    // creating it on first use; none once it is gone.
    static CDefaultLoggingHandler* InstanceIfAlive();

  private:
    std::shared_ptr<DebugOutputAPI> output_;
};

}  // namespace Basalt
