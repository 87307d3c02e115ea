#include "logging/etw/StructuredExceptionGuard.h"

#include <string.h>

// MSVC has __try/__except. GCC has neither, and its catch (...) does not receive
// structured exceptions, so the mingw builds put a handler frame of their own
// around the call: on x64 a function whose unwind information names a handler,
// on x86 a registration on the thread's handler chain. Either handler unwinds the
// frames above it as the system's own __except does, then resumes in CallGuarded.

#if defined(_MSC_VER)

namespace ETWLogging {
namespace internal {

ULONG CallGuarded(GuardedBody body, void* context, ULONG faultResult) {
    __try {
        return body(context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return faultResult;
    }
}

}  // namespace internal
}  // namespace ETWLogging

#elif defined(__x86_64__)

extern "C" {
ULONG etwlogging_guarded_call(ETWLogging::internal::GuardedBody body, void* context,
                              ULONG faultResult);
extern char etwlogging_guard_resume[];
EXCEPTION_DISPOSITION etwlogging_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                               CONTEXT* context, void* dispatcherContext);
}

// etwlogging_guarded_call(body, context, faultResult): keeps faultResult in its frame
// (32 bytes above the frame's base, past the callee's home area) and calls body(context).
// The nop keeps the call's return address out of the epilogue, where the unwinder would
// not consult the handler. The handler resumes at etwlogging_guard_resume with RAX set.
asm(".text\n"
    "  .p2align 4\n"
    "  .globl etwlogging_guarded_call\n"
    "  .def etwlogging_guarded_call; .scl 2; .type 32; .endef\n"
    "  .seh_proc etwlogging_guarded_call\n"
    "etwlogging_guarded_call:\n"
    "  subq $40, %rsp\n"
    "  .seh_stackalloc 40\n"
    "  .seh_endprologue\n"
    "  .seh_handler etwlogging_guard_handler, @except\n"
    "  movl %r8d, 32(%rsp)\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  call *%rax\n"
    "  nop\n"
    "  .globl etwlogging_guard_resume\n"
    "etwlogging_guard_resume:\n"
    "  addq $40, %rsp\n"
    "  ret\n"
    "  .seh_endproc\n");

namespace {

constexpr size_t kFaultResultOffset = 32;

}  // namespace

// Called by the system's dispatcher for an exception raised below the guarded call.
extern "C" EXCEPTION_DISPOSITION etwlogging_guard_handler(EXCEPTION_RECORD* record,
                                                          void* establisherFrame,
                                                          CONTEXT* /*context*/,
                                                          void* dispatcherContext) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0) return ExceptionContinueSearch;
    ULONG faultResult = 0;
    ::memcpy(&faultResult, static_cast<BYTE*>(establisherFrame) + kFaultResultOffset,
             sizeof(faultResult));
    // Runs the termination handlers of the frames in between and continues in the
    // guard's frame, at the resume label, with faultResult as its return value.
    auto* dispatcher = static_cast<DISPATCHER_CONTEXT*>(dispatcherContext);
    ::RtlUnwindEx(establisherFrame, etwlogging_guard_resume, record,
                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(faultResult)),
                  dispatcher->ContextRecord, dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // not reached
}

namespace ETWLogging {
namespace internal {

ULONG CallGuarded(GuardedBody body, void* context, ULONG faultResult) {
    return etwlogging_guarded_call(body, context, faultResult);
}

}  // namespace internal
}  // namespace ETWLogging

#elif defined(__i386__)

namespace ETWLogging {
namespace internal {
namespace {

// A registration on the thread's handler chain (fs:[0]) and the way back to CallGuarded.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD registration;  // first: the chain points at it
    void* resume[5];                             // __builtin_setjmp's buffer
};

EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* record, PVOID establisherFrame,
                                         CONTEXT* /*context*/, PVOID /*dispatcherContext*/) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0) return ExceptionContinueSearch;
    // Runs the unwind handlers of the registrations above this one and leaves this one at
    // the head of the chain (RtlUnwind returns to its caller on x86).
    ::RtlUnwind(establisherFrame, nullptr, record, nullptr);
    __builtin_longjmp(static_cast<GuardFrame*>(establisherFrame)->resume, 1);
}

void SetHandlerChain(EXCEPTION_REGISTRATION_RECORD* head) {
    __writefsdword(0, reinterpret_cast<DWORD>(head));
}

}  // namespace

ULONG CallGuarded(GuardedBody body, void* context, ULONG faultResult) {
    // Both are read again after a fault: volatile keeps them in memory, out of the
    // registers that the jump back does not restore.
    EXCEPTION_REGISTRATION_RECORD* volatile previous =
        reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    volatile ULONG result = faultResult;
    GuardFrame frame;
    frame.registration.Next = previous;
    frame.registration.Handler = GuardHandler;
    if (__builtin_setjmp(frame.resume) == 0) {
        SetHandlerChain(&frame.registration);
        result = body(context);
    }
    SetHandlerChain(previous);
    return result;
}

}  // namespace internal
}  // namespace ETWLogging

#else
#error "No structured exception guard for this compiler and processor."
#endif
