// Security descriptors of registry keys, with the security functions of
// advapi32.dll bound by name at run time.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "basalt/UniqueHandle.h"

namespace Basalt {

constexpr wchar_t kAdvapi32[] = L"advapi32.dll";

// The security functions of advapi32.dll, bound by name on first use. Binding
// counts only when all 26 names are found. A wrapper calls its function only
// when it is bound and the system is of the NT platform; otherwise it returns
// 1 (ERROR_INVALID_FUNCTION) or FALSE without calling.
class Advapi32API {
  public:
    // `libraryName` is the library to bind from (advapi32.dll).
    explicit Advapi32API(const wchar_t* libraryName = kAdvapi32);
    ~Advapi32API() = default;
    Advapi32API(const Advapi32API&) = delete;
    Advapi32API& operator=(const Advapi32API&) = delete;

    // Loads the library once and binds every name; true when all 26 are bound.
    // Safe for threads sharing one holder.
    bool LoadFunctions();
    bool IsNTPlatform() const { return platformNT_; }

    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                           PSECURITY_DESCRIPTOR descriptor, LPDWORD byteCount);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                   BOOL defaulted);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted);
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD sub0,
                                  DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                  DWORD sub6, DWORD sub7, PSID* sid);

    static constexpr size_t kFunctionCount = 26;

  private:
    template <typename Fn>
    Fn Function(size_t index) const;

    const wchar_t* libraryName_;
    UniqueHmodule module_;
    CCriticalSection lock_;
    bool platformNT_ = false;
    FARPROC functions_[kFunctionCount] = {};
};

// A DACL that adds Everyone with `access` (inherited by subkeys and objects)
// to `oldDacl`, and a descriptor holding it. 0 with the three owners filled;
// otherwise the failing call's code and nothing handed out.
LONG BuildEveryoneDacl(Advapi32API& api, PACL oldDacl, UniqueLocal& newAcl,
                       UniqueLocal& newDescriptor, UniqueSid& sid, DWORD access);

// A DACL that grants `access` to LocalSystem and the Administrators group and
// to no one else (entries inherited as `inheritance` says: NO_INHERITANCE for
// an object that has no children), and a descriptor holding it. 0 with both
// owners filled; otherwise the failing call's code and nothing handed out.
LONG BuildAdministratorsDacl(Advapi32API& api, DWORD access, DWORD inheritance, UniqueLocal& newAcl,
                             UniqueLocal& newDescriptor);

// Writes `descriptor` to `key` and, when `recursive`, to every key below it
// that opens with KEY_ALL_ACCESS; the first failure stops the walk.
LONG SetKeySecurityTree(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                        bool recursive);

// Gives the well-known group Everyone full access (GENERIC_ALL, inherited by
// subkeys) to the open key `key` and, when `recursive`, to every key below it
// that can be opened. 0 on success (and, doing nothing, on a platform that is
// not NT); ERROR_FILE_NOT_FOUND when the functions cannot be bound from `libraryName`; otherwise
// the failing call's code. The caller checks that the key is open.
LONG GrantEveryoneFullAccessToKey(HKEY key, bool recursive, const wchar_t* libraryName = kAdvapi32);

}  // namespace Basalt
