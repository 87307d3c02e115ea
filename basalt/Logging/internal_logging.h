// The foundation library's own logger: one registered handler receives every
// message; until a program registers its own, a default handler writes each
// message to the debugger.
#pragma once

#include <windows.h>

#include <memory>

namespace Basalt {

// Message types of the foundation logger.
constexpr DWORD kLogTypeNone = 0;
constexpr DWORD kLogTypeInfo = 1;
constexpr DWORD kLogTypeError = 2;

// Receives the foundation library's finished messages.
class ILoggingHandler {
  public:
    virtual void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* message) = 0;

  protected:
    ~ILoggingHandler() = default;
};

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

// The process-wide registration. Registration is meant for start-up and
// shut-down; Log may run on any thread.
class CLogger {
  public:
    // 0 when `handler` is (or already was) registered; ERROR_INVALID_PARAMETER for none;
    // ERROR_INVALID_STATE when another handler than the default one is registered, which keeps it
    // and is told of the refusal.
    static DWORD RegisterHandler(ILoggingHandler* handler);

    // 0 when `handler` was the registered one and is no longer; ERROR_INVALID_PARAMETER for none;
    // ERROR_INVALID_STATE when it was not registered (the registration stays as it was).
    static DWORD UnregisterHandler(ILoggingHandler* handler);

    // Formats a printf-style wide message and passes it to the registered
    // handler, registering the default one when none is. After the default
    // handler has been destroyed at exit, a message with no handler is dropped.
    static void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...);

    // The handler registered now, or none.
    static ILoggingHandler* GetRegisteredHandler();

    CLogger() = delete;
};

}  // namespace Basalt
