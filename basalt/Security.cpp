#include "basalt/Security.h"

#include <algorithm>

#include "basalt/OSInfo.h"
#include "basalt/SystemLibrary.h"

namespace Basalt {
namespace {

constexpr DWORD kSpinCount = 4000;
constexpr DWORD kDescriptorRevision = SECURITY_DESCRIPTOR_REVISION;  // 1
constexpr DWORD kSubkeyNameChars = 256;

// The names in the order they are bound; the wrappers index this table.
constexpr const char* kFunctionNames[Advapi32API::kFunctionCount] = {
    "SetEntriesInAclW",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "LookupAccountSidW",
    "GetExplicitEntriesFromAclW",
    "RegGetKeySecurity",
    "RegSetKeySecurity",
    "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl",
    "AllocateAndInitializeSid",
    "FreeSid",
    "OpenThreadToken",
    "GetTokenInformation",
    "InitializeAcl",
    "InitializeSid",
    "GetSidSubAuthority",
    "AddAccessAllowedAce",
    "GetSecurityInfo",
    "SetSecurityInfo",
    "QueryServiceStatusEx",
    "GetAce",
    "DeleteAce",
    "EqualSid",
    "GetAclInformation",
    "SetSecurityDescriptorControl",
};
enum FunctionIndex : size_t {
    kSetEntriesInAclW = 0,
    kRegGetKeySecurity = 5,
    kInitializeSecurityDescriptor = 7,
    kSetSecurityDescriptorDacl = 8,
    kGetSecurityDescriptorDacl = 9,
    kAllocateAndInitializeSid = 10,
};

bool QueryNTPlatform() {
    WinOSVersionAPI api;
    return IsPlatform(api, VER_PLATFORM_WIN32_NT);
}

// The code of a failed BOOL call.
LONG LastErrorCode() { return static_cast<LONG>(::GetLastError()); }

}  // namespace

Advapi32API::Advapi32API(const wchar_t* libraryName)
    : libraryName_(libraryName), lock_(kSpinCount), platformNT_(QueryNTPlatform()) {}

bool Advapi32API::LoadFunctions() {
    CAutoLock guard(lock_);
    if (!module_) {
        module_.reset(LoadSystemLibrary(libraryName_, /*flags=*/0));
        if (!module_) return false;
        for (size_t i = 0; i < kFunctionCount; ++i) {
            functions_[i] = ::GetProcAddress(module_.get(), kFunctionNames[i]);
        }
    }
    for (FARPROC function : functions_) {
        if (function == nullptr) return false;
    }
    return true;
}

template <typename Fn>
Fn Advapi32API::Function(size_t index) const {
    if (!platformNT_) return nullptr;
    return ProcedureAs<Fn>(functions_[index]);
}

DWORD Advapi32API::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                    PACL* newAcl) {
    using Fn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*);
    Fn function = Function<Fn>(kSetEntriesInAclW);
    return function != nullptr ? function(count, entries, oldAcl, newAcl) : ERROR_INVALID_FUNCTION;
}

LONG Advapi32API::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                    PSECURITY_DESCRIPTOR descriptor, LPDWORD byteCount) {
    using Fn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, LPDWORD);
    Fn function = Function<Fn>(kRegGetKeySecurity);
    return function != nullptr ? function(key, information, descriptor, byteCount)
                               : ERROR_INVALID_FUNCTION;
}

BOOL Advapi32API::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
    Fn function = Function<Fn>(kInitializeSecurityDescriptor);
    return function != nullptr ? function(descriptor, revision) : FALSE;
}

BOOL Advapi32API::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present,
                                            PACL dacl, BOOL defaulted) {
    using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
    Fn function = Function<Fn>(kSetSecurityDescriptorDacl);
    return function != nullptr ? function(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL Advapi32API::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present,
                                            PACL* dacl, LPBOOL defaulted) {
    using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);
    Fn function = Function<Fn>(kGetSecurityDescriptorDacl);
    return function != nullptr ? function(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL Advapi32API::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                           DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3,
                                           DWORD sub4, DWORD sub5, DWORD sub6, DWORD sub7,
                                           PSID* sid) {
    using Fn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD,
                             DWORD, DWORD, DWORD, PSID*);
    Fn function = Function<Fn>(kAllocateAndInitializeSid);
    return function != nullptr
               ? function(authority, count, sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7, sid)
               : FALSE;
}

namespace {

// An ACL of `entries` added to `oldDacl`, and a descriptor holding it. 0 with
// both owners filled; otherwise the failing call's code and nothing handed out.
LONG DescriptorWithEntries(Advapi32API& api, EXPLICIT_ACCESS_W* entries, ULONG count, PACL oldDacl,
                           UniqueLocal& newAcl, UniqueLocal& newDescriptor) {
    PACL acl = nullptr;
    const DWORD code = api.SetEntriesInAclW(count, entries, oldDacl, &acl);
    if (code != ERROR_SUCCESS) return static_cast<LONG>(code);
    UniqueLocal aclOwner(acl);

    UniqueLocal descriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) return ERROR_NOT_ENOUGH_MEMORY;
    if (!api.InitializeSecurityDescriptor(descriptor.get(), kDescriptorRevision) ||
        !api.SetSecurityDescriptorDacl(descriptor.get(), /*present=*/TRUE, acl,
                                       /*defaulted=*/FALSE)) {
        return LastErrorCode();
    }
    newAcl = std::move(aclOwner);
    newDescriptor = std::move(descriptor);
    return ERROR_SUCCESS;
}

// An entry that grants `sid`, a well-known group or account, `access`.
EXPLICIT_ACCESS_W GrantEntry(PSID sid, DWORD access, DWORD inheritance) {
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = inheritance;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

}  // namespace

LONG BuildEveryoneDacl(Advapi32API& api, PACL oldDacl, UniqueLocal& newAcl,
                       UniqueLocal& newDescriptor, UniqueSid& sid, DWORD access) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    UniqueSid everyone;
    if (!api.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      everyone.put())) {
        return LastErrorCode();
    }
    EXPLICIT_ACCESS_W entry =
        GrantEntry(everyone.get(), access, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    const LONG code = DescriptorWithEntries(api, &entry, 1, oldDacl, newAcl, newDescriptor);
    if (code == ERROR_SUCCESS) sid = std::move(everyone);
    return code;
}

LONG BuildAdministratorsDacl(Advapi32API& api, DWORD access, DWORD inheritance, UniqueLocal& newAcl,
                             UniqueLocal& newDescriptor) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    UniqueSid system;
    UniqueSid administrators;
    if (!api.AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                      system.put()) ||
        !api.AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                      0, 0, 0, 0, 0, 0, administrators.put())) {
        return LastErrorCode();
    }
    // The ACL holds copies of the SIDs: they may go when it is built.
    EXPLICIT_ACCESS_W entries[] = {GrantEntry(system.get(), access, inheritance),
                                   GrantEntry(administrators.get(), access, inheritance)};
    return DescriptorWithEntries(api, entries, 2, /*oldDacl=*/nullptr, newAcl, newDescriptor);
}

LONG SetKeySecurityTree(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                        bool recursive) {
    LONG result = ::RegSetKeySecurity(key, information, descriptor);
    if (result != ERROR_SUCCESS || !recursive) return result;
    for (DWORD index = 0; result == ERROR_SUCCESS; ++index) {
        wchar_t name[kSubkeyNameChars] = {};
        DWORD nameChars = kSubkeyNameChars;
        result = ::RegEnumKeyExW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS) break;
        UniqueHkey subkey;
        // A subkey this process may not change is passed over.
        if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS, subkey.put()) == ERROR_SUCCESS) {
            result = SetKeySecurityTree(subkey.get(), information, descriptor, recursive);
        }
    }
    return result;
}

LONG GrantEveryoneFullAccessToKey(HKEY key, bool recursive, const wchar_t* libraryName) {
    Advapi32API api(libraryName);
    if (!api.IsNTPlatform()) return ERROR_SUCCESS;
    if (!api.LoadFunctions()) return ERROR_FILE_NOT_FOUND;

    DWORD size = 0;
    LONG code = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (code != ERROR_INSUFFICIENT_BUFFER) return code;
    if (size == 0) return ERROR_BAD_LENGTH;
    // The key reports the size of its self-relative descriptor, which can be
    // smaller (20 bytes with a null DACL, 28 with an empty one) than the
    // absolute descriptor that InitializeSecurityDescriptor writes first
    // (40 bytes on x64): the buffer holds whichever is larger.
    size = (std::max)(size, static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR)));
    UniqueLocal current(::LocalAlloc(LPTR, size));
    if (!current) return ERROR_OUTOFMEMORY;
    if (!api.InitializeSecurityDescriptor(current.get(), kDescriptorRevision)) {
        return LastErrorCode();
    }
    code = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current.get(), &size);
    if (code != ERROR_SUCCESS) return code;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!api.GetSecurityDescriptorDacl(current.get(), &present, &dacl, &defaulted)) {
        return LastErrorCode();
    }
    UniqueLocal newAcl;
    UniqueLocal newDescriptor;
    UniqueSid everyone;
    code = BuildEveryoneDacl(api, dacl, newAcl, newDescriptor, everyone, GENERIC_ALL);
    if (code != ERROR_SUCCESS) return code;
    return SetKeySecurityTree(key, DACL_SECURITY_INFORMATION, newDescriptor.get(), recursive);
}

}  // namespace Basalt
