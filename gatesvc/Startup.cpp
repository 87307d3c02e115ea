#include "gatesvc/Startup.h"

#include <shlwapi.h>
#include <wchar.h>

#include "basalt/Logging/internal_logging.h"
#include "basalt/SystemLibrary.h"
#include "gatesvc/gatesvc.h"
#include "logging/LogBuilder.h"
#include "logging/LogFacade.h"

namespace Gatesvc {
namespace {

constexpr wchar_t kInstallCommand[] = L"/InstallCat";
constexpr wchar_t kUninstallCommand[] = L"/UninstallCat";
constexpr wchar_t kGroupName[] = L"RQD";

// Compares `argument` with the first characters of `command`, folding only
// the ASCII letters: a prefix test over the command's length.
bool MatchesCommand(const wchar_t* argument, const wchar_t* command) {
    for (size_t i = 0; command[i] != L'\0'; ++i) {
        wchar_t a = argument[i];
        wchar_t c = command[i];
        if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a - L'A' + L'a');
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (a != c) return false;
    }
    return true;
}

}  // namespace

HMODULE GetCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&GetCurrentModuleHandle), &module)) {
        return nullptr;
    }
    return module;
}

void ProcessStartup() {
    // A function-local static as the once-only guard: unlike std::call_once
    // with winpthreads, it is tried again when the set-up throws.
    static const bool done = [] {
        ETWLogging::RegisterLogFacadeCleanup();
        Basalt::CDefaultLoggingHandler::Instance();
        ETWLogging::RegisterLogBuilderCleanup();
        ETWLogging::ProcessLogIdentity().module = GetCurrentModuleHandle();
        return true;
    }();
    (void)done;
}

int RunCommandLine(int argc, wchar_t** argv) {
    Basalt::HardenDllSearchPath();

    ETWLogging::LogIdentity& identity = ETWLogging::ProcessLogIdentity();
    identity.groupName = kGroupName;
    identity.productTag = nullptr;
    identity.hostName = nullptr;
    identity.module = GetCurrentModuleHandle();
    identity.forceFileLogging = 0;

    if (argc != 2 || argv[1] == nullptr) return 0;
    const wchar_t* argument = argv[1];

    if (MatchesCommand(argument, kInstallCommand)) {
        CHipsDriverInstaller().RunInstallCommand();
    } else if (MatchesCommand(argument, kUninstallCommand)) {
        CHipsDriverInstaller().RunUninstallCommand();
    }
    return 0;
}

}  // namespace Gatesvc
