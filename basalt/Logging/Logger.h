// The foundation library's own logger: the library's messages go to one
// registered handler. A program registers its handler once (the logging
// facade registers a bridge to its logger); until then a default handler
// writes each message to the debugger (internal_logging.h).
//
// Ownership: the logger keeps a plain pointer to the registered handler and
// never deletes it: a handler stays alive until it has unregistered itself.
// Threads: register and unregister at start-up and shut-down; Log may run on
// any thread, and the handler's Log with it.
#pragma once

#include <windows.h>

namespace Basalt {

// Message types of the foundation logger.
constexpr DWORD kLogTypeNone = 0;
constexpr DWORD kLogTypeInfo = 1;
constexpr DWORD kLogTypeError = 2;

// Receives the foundation library's finished messages, on the thread that
// logged them.
class ILoggingHandler {
  public:
    virtual void Log(DWORD type, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* message) = 0;

  protected:
    ~ILoggingHandler() = default;
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
