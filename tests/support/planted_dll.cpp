// A stand-in for a system library planted beside a program ("wintrust.dll"): when it is
// loaded it leaves "<its own path>.loaded" beside itself, and it does nothing else.
#include <windows.h>

#include <wchar.h>

#include "basalt/UniqueHandle.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    constexpr wchar_t kSuffix[] = L".loaded";
    wchar_t path[MAX_PATH + sizeof(kSuffix) / sizeof(wchar_t)] = {};
    const DWORD length = ::GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    wcscat_s(path, kSuffix);
    Basalt::UniqueHandle marker(::CreateFileW(path, GENERIC_WRITE, /*shareMode=*/0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return TRUE;
}
