#include "basalt/Security.h"

namespace Basalt {

// Placeholder until the run-time bound implementation lands.
LONG GrantEveryoneFullAccessToKey(HKEY /*key*/, bool /*recursive*/) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace Basalt
