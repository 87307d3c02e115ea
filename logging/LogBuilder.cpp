#include "logging/LogBuilder.h"

#include <stdlib.h>

#include <mutex>

namespace ETWLogging {
namespace {

void DeleteLogBuilder() {}

}  // namespace

void RegisterLogBuilderCleanup() {
    static std::once_flag once;
    std::call_once(once, [] { ::atexit(DeleteLogBuilder); });
}

}  // namespace ETWLogging
