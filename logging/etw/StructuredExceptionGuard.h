// Calls a function with structured exceptions (access violations, RaiseException
// and the like) caught, on every compiler the project builds with.
#pragma once

#include <windows.h>

namespace ETWLogging {
namespace internal {

// The guarded function: must not let a C++ exception escape.
using GuardedBody = ULONG (*)(void* context) noexcept;

// Returns body(context); when a structured exception escapes it, the stack is
// unwound back to this call and `faultResult` is returned instead. Destructors of
// the frames left that way do not run (as with MSVC's __except under /EHsc).
ULONG CallGuarded(GuardedBody body, void* context, ULONG faultResult);

}  // namespace internal
}  // namespace ETWLogging
