// Takes a log folder's lock name as a user other than the framework's writers
// might, and keeps it for the given number of seconds (or until killed); prints
// "ready" once it is set up.
// Usage: squat_lock.exe <folder> <mode> <seconds>, the mode one of
//   hold        opens or creates the mutex as the framework does and owns it
//   mutex       creates the mutex first, with the framework's security, owning it
//   empty-dacl  creates the mutex first with an empty DACL (no one may open it)
//   event       creates an event of that name
// Exit code 0 after the wait; 1 when the name cannot be taken; 2 for bad arguments.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "basalt/Security.h"
#include "basalt/UniqueHandle.h"
#include "logging/file/FolderLock.h"

namespace {

// Creates the mutex of `name`, owned, with `descriptor`; none when the name exists.
Basalt::UniqueKernelHandle CreateFirst(const std::wstring& name, PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    Basalt::UniqueKernelHandle mutex(::CreateMutexExW(
        &attributes, name.c_str(), CREATE_MUTEX_INITIAL_OWNER, ETWLogging::kFolderLockAccess));
    if (mutex && ::GetLastError() == ERROR_ALREADY_EXISTS) mutex.reset();
    return mutex;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::wstring mode = argv[2];
    const std::wstring name = ETWLogging::FolderLockName(argv[1]);
    ETWLogging::CFolderLock lock(argv[1]);
    Basalt::UniqueKernelHandle object;
    if (mode == L"hold") {
        if (lock.Acquire(INFINITE) != ETWLogging::CFolderLock::Result::kAcquired) return 1;
    } else if (mode == L"mutex") {
        Basalt::Advapi32API api;
        Basalt::UniqueLocal acl;
        Basalt::UniqueLocal descriptor;
        if (!api.LoadFunctions() ||
            Basalt::BuildAdministratorsDacl(api, ETWLogging::kFolderLockAccess, NO_INHERITANCE, acl,
                                            descriptor) != ERROR_SUCCESS) {
            return 1;
        }
        object = CreateFirst(name, descriptor.get());
    } else if (mode == L"empty-dacl") {
        ACL empty;
        SECURITY_DESCRIPTOR descriptor;
        if (!::InitializeAcl(&empty, sizeof(empty), ACL_REVISION) ||
            !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, /*present=*/TRUE, &empty,
                                         /*defaulted=*/FALSE)) {
            return 1;
        }
        object = CreateFirst(name, &descriptor);
    } else if (mode == L"event") {
        object.reset(
            ::CreateEventW(nullptr, /*manualReset=*/TRUE, /*initialState=*/FALSE, name.c_str()));
        if (object && ::GetLastError() == ERROR_ALREADY_EXISTS) return 1;
    } else {
        return 2;
    }
    if (mode != L"hold" && !object) return 1;
    fputs("ready\n", stdout);
    fflush(stdout);
    ::Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
    return 0;
}
