#include "basalt/FileChecks.h"

#include <aclapi.h>
#include <sddl.h>

namespace Basalt {
namespace {

// What new folders get: SYSTEM and Administrators full control, signed-in
// users read, list and traverse (so that they can read the logs), inherited
// by everything below and protected from what the parent grants.
constexpr wchar_t kNewFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";

// Every right that changes an object or the names below it.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
bool IsTrustedInstaller(PSID sid) {
    static constexpr DWORD kSubAuthorities[] = {80,          956008885u,  3418522649u,
                                                1831038044u, 1853292631u, 2271478464u};
    constexpr size_t kCount = sizeof(kSubAuthorities) / sizeof(kSubAuthorities[0]);
    static const SID_IDENTIFIER_AUTHORITY kNtAuthority = SECURITY_NT_AUTHORITY;
    const PSID_IDENTIFIER_AUTHORITY authority = ::GetSidIdentifierAuthority(sid);
    if (authority == nullptr || memcmp(authority, &kNtAuthority, sizeof(kNtAuthority)) != 0 ||
        *::GetSidSubAuthorityCount(sid) != kCount) {
        return false;
    }
    for (DWORD i = 0; i < kCount; ++i) {
        if (*::GetSidSubAuthority(sid, i) != kSubAuthorities[i]) return false;
    }
    return true;
}

bool IsTrustedSid(PSID sid, PSID self) {
    if (sid == nullptr || !::IsValidSid(sid)) return false;
    return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsTrustedInstaller(sid) ||
           (self != nullptr && ::EqualSid(sid, self));
}

constexpr DWORD kFileFlags =
    FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_OPEN_REPARSE_POINT;

}  // namespace

bool IsRefusal(DWORD code) { return DescribeRefusal(code) != nullptr; }

const wchar_t* DescribeRefusal(DWORD code) {
    switch (code) {
        case kErrorLinkedElsewhere:
            return L"it leads somewhere else (a link, junction or mount point)";
        case kErrorHardLinked:
            return L"it has more than one name (a hard link)";
        case kErrorUntrustedOwner:
            return L"it belongs to an account that is not trusted";
        case kErrorOpenDacl:
            return L"other users may change it, and its rights cannot be tightened";
        default:
            return nullptr;
    }
}

bool FileSecurityAPI::IsPrivilegedWriter() {
    std::vector<BYTE> user;
    if (CurrentUserSid(user) && ::IsWellKnownSid(user.data(), WinLocalSystemSid)) return true;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           ::CheckTokenMembership(nullptr, administrators, &member) && member;
}

bool FileSecurityAPI::CurrentUserSid(std::vector<BYTE>& sid) {
    UniqueKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        return false;
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* first = static_cast<const BYTE*>(user);
    sid.assign(first, first + ::GetLengthSid(user));
    return true;
}

DWORD FileSecurityAPI::QuerySecurity(HANDLE handle, UniqueLocal& descriptor) {
    // The kernel object's own descriptor: the cheapest query, as it runs for
    // every file a privileged writer opens.
    constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 256;
    DWORD code = ERROR_SUCCESS;
    for (int round = 0; round < 2; ++round) {
        descriptor.reset(::LocalAlloc(LMEM_FIXED, size));
        if (!descriptor) return ERROR_OUTOFMEMORY;
        DWORD needed = 0;
        if (::GetKernelObjectSecurity(handle, kWanted, descriptor.get(), size, &needed)) {
            return ERROR_SUCCESS;
        }
        code = ::GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER) break;
        size = needed;
    }
    descriptor.reset();
    return code;
}

DWORD FileSecurityAPI::SetProtectedDacl(HANDLE handle, PACL dacl) {
    return ::SetSecurityInfo(handle, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
}

BOOL FileSecurityAPI::CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
    return ::CreateDirectoryW(path, attributes);
}

bool IsTrustedOwner(PSID owner, PSID self) { return IsTrustedSid(owner, self); }

bool DaclKeepsOthersOut(BOOL present, PACL dacl, PSID self) {
    if (!present || dacl == nullptr) return false;  // no DACL: everyone may do anything
    ACL_SIZE_INFORMATION size = {};
    if (!::GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) return false;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children only
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                // Both lay out the mask and the SID the same way.
                auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
                if ((allowed->Mask & kWriteRights) != 0 &&
                    !IsTrustedSid(reinterpret_cast<PSID>(&allowed->SidStart), self)) {
                    return false;
                }
                break;
            }
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                // Not used on files; taken as granting what its mask says to anyone.
                if ((reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(entry)->Mask & kWriteRights) !=
                    0) {
                    return false;
                }
                break;
            default:
                break;  // denials and audits grant nothing
        }
    }
    return true;
}

std::wstring FinalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.assign(length, L'\0');  // too small: the size needed, terminator included
    }
}

namespace {

// Whether the final path of `handle` is `expected`: read into the stack, or
// through FinalPathOf when it is longer.
bool HasFinalPath(HANDLE handle, const std::wstring& expected) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path, static_cast<DWORD>(MAX_PATH + 8),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return false;
    if (length >= MAX_PATH + 8) return SamePath(FinalPathOf(handle), expected);
    return !expected.empty() &&
           ::CompareStringOrdinal(path, static_cast<int>(length), expected.c_str(),
                                  static_cast<int>(expected.size()),
                                  /*ignoreCase=*/TRUE) == CSTR_EQUAL;
}

}  // namespace

bool SamePath(const std::wstring& first, const std::wstring& second) {
    if (first.empty() || second.empty()) return false;
    return ::CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                  static_cast<int>(second.size()),
                                  /*ignoreCase=*/TRUE) == CSTR_EQUAL;
}

CFolderChain::CFolderChain(std::shared_ptr<FileSecurityAPI> security)
    : security_(security ? std::move(security) : std::make_shared<FileSecurityAPI>()) {
    privileged_ = security_->IsPrivilegedWriter();
    if (!security_->CurrentUserSid(self_)) self_.clear();
}

DWORD CFolderChain::Open(const std::wstring& anchor, const std::vector<std::wstring>& levels,
                         bool create, std::wstring& finalPath, std::wstring& failedAt) {
    std::wstring path = anchor;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    failedAt = path;
    UniqueHandle top(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!top) return ::GetLastError();
    std::wstring parentFinal = FinalPathOf(top.get());
    if (parentFinal.empty()) return ::GetLastError();
    for (const std::wstring& level : levels) {
        path += L"\\" + level;
        failedAt = path;
        const std::wstring expected = parentFinal + L"\\" + level;
        const DWORD code = OpenLevel(path, expected, create);
        if (code != ERROR_SUCCESS) return code;
        parentFinal = expected;
    }
    failedAt.clear();
    finalPath = parentFinal;
    return ERROR_SUCCESS;
}

DWORD CFolderChain::OpenLevel(const std::wstring& path, const std::wstring& expectedFinal,
                              bool create) {
    bool created = false;
    if (!create) {
        ::SetLastError(ERROR_ALREADY_EXISTS);  // opened below as it is, or not found
    } else if (privileged_) {
        UniqueLocal descriptor;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                kNewFolderSddl, SDDL_REVISION_1,
                reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)) {
            return ::GetLastError();
        }
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
        created = security_->CreateFolder(path.c_str(), &attributes) != FALSE;
    } else {
        created = security_->CreateFolder(path.c_str(), nullptr) != FALSE;
    }
    if (!created && ::GetLastError() != ERROR_ALREADY_EXISTS) return ::GetLastError();

    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    constexpr DWORD kCheckAccess = FILE_READ_ATTRIBUTES | READ_CONTROL;
    UniqueHandle folder;
    if (privileged_ && !created) {
        // With WRITE_DAC where it is granted, so that a level to tighten need
        // not be opened again by name.
        folder.reset(::CreateFileW(path.c_str(), kCheckAccess | WRITE_DAC, kShareAll, nullptr,
                                   OPEN_EXISTING, kFlags, nullptr));
    }
    if (!folder) {
        folder.reset(::CreateFileW(path.c_str(), kCheckAccess, kShareAll, nullptr, OPEN_EXISTING,
                                   kFlags, nullptr));
    }
    if (!folder) return ::GetLastError();
    FILE_BASIC_INFO basic = {};
    if (!::GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &basic, sizeof(basic))) {
        return ::GetLastError();
    }
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SamePath(FinalPathOf(folder.get()), expectedFinal)) {
        return kErrorLinkedElsewhere;
    }
    return privileged_ && !created ? CheckOwnership(folder.get()) : ERROR_SUCCESS;
}

DWORD CFolderChain::CheckOwnership(HANDLE folder) {
    UniqueLocal descriptor;
    DWORD code = security_->QuerySecurity(folder, descriptor);
    if (code != ERROR_SUCCESS) return code;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    PSID self = self_.empty() ? nullptr : self_.data();
    if (!::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }
    if (!IsTrustedOwner(owner, self)) return kErrorUntrustedOwner;
    if (DaclKeepsOthersOut(present, dacl, self)) return ERROR_SUCCESS;
    // A folder of a trusted owner that others may write to (made with the
    // rights it inherited from the common application data folder, say): it
    // gets the DACL of new folders, or is refused.
    UniqueLocal tight;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kNewFolderSddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(tight.put()),
            nullptr) ||
        !::GetSecurityDescriptorDacl(tight.get(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }
    code = security_->SetProtectedDacl(folder, dacl);
    return code == ERROR_SUCCESS ? ERROR_SUCCESS : kErrorOpenDacl;
}

bool CFolderChain::OwnerTrusted(HANDLE handle) {
    UniqueLocal descriptor;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    return security_->QuerySecurity(handle, descriptor) == ERROR_SUCCESS &&
           ::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) &&
           IsTrustedOwner(owner, self_.empty() ? nullptr : self_.data());
}

DWORD CheckFileHandle(HANDLE file, const std::wstring& expectedFinal, FileFacts& facts) {
    // Not GetFileInformationByHandle: besides these it looks up the file's
    // name, which costs several times a whole message under some systems.
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) ||
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) {
        return ::GetLastError();
    }
    facts.attributes = basic.FileAttributes;
    facts.lastWrite.dwLowDateTime = basic.LastWriteTime.LowPart;
    facts.lastWrite.dwHighDateTime = static_cast<DWORD>(basic.LastWriteTime.HighPart);
    facts.size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
    facts.links = standard.NumberOfLinks;
    if (standard.Directory || (facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return ERROR_ACCESS_DENIED;
    }
    if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return kErrorLinkedElsewhere;
    if (facts.links > 1) return kErrorHardLinked;
    return HasFinalPath(file, expectedFinal) ? ERROR_SUCCESS : kErrorLinkedElsewhere;
}

bool QueryFileIdentity(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(file, &information)) return false;
    identity.volume = information.dwVolumeSerialNumber;
    identity.index = (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    return true;
}

namespace {

DWORD CreateNewCheckedPath(const std::wstring& path, const std::wstring& expectedFinal,
                           DWORD access, UniqueHandle& file, FileFacts& facts) {
    file.reset(::CreateFileW(path.c_str(), access | DELETE, kShareAll, nullptr, CREATE_NEW,
                             kFileFlags, nullptr));
    if (!file) return ::GetLastError();
    const DWORD code = CheckFileHandle(file.get(), expectedFinal, facts);
    if (code != ERROR_SUCCESS) {
        DeleteThroughHandle(file.get());
        file.reset();
    }
    return code;
}

}  // namespace

DWORD CreateNewCheckedFile(const std::wstring& folder, const std::wstring& folderFinal,
                           const std::wstring& name, DWORD access, UniqueHandle& file,
                           FileFacts& facts) {
    return CreateNewCheckedPath(folder + L"\\" + name, folderFinal + L"\\" + name, access, file,
                                facts);
}

DWORD OpenCheckedFile(const std::wstring& folder, const std::wstring& folderFinal,
                      const std::wstring& name, DWORD access, bool create, UniqueHandle& file,
                      FileFacts& facts, bool& created) {
    return OpenCheckedPath(folder + L"\\" + name, folderFinal + L"\\" + name, access, create, file,
                           facts, created);
}

DWORD OpenCheckedPath(const std::wstring& path, const std::wstring& expectedFinal, DWORD access,
                      bool create, UniqueHandle& file, FileFacts& facts, bool& created) {
    created = false;
    // Twice at most: a name that appears between the two opens (another
    // writer creating the same file) is opened on the second round.
    for (int round = 0; round < 2; ++round) {
        file.reset(::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                 kFileFlags, nullptr));
        if (file) break;
        DWORD code = ::GetLastError();
        if (code != ERROR_FILE_NOT_FOUND || !create) return code;
        // CREATE_NEW never creates through a name that exists: a link to a
        // missing file fails here instead of making that file.
        code = CreateNewCheckedPath(path, expectedFinal, access, file, facts);
        if (code != ERROR_FILE_EXISTS) {
            created = code == ERROR_SUCCESS;
            return code;
        }
    }
    // A name that exists but opens as nothing: a link to a missing file.
    if (!file) return kErrorLinkedElsewhere;
    const DWORD code = CheckFileHandle(file.get(), expectedFinal, facts);
    if (code != ERROR_SUCCESS) file.reset();
    return code;
}

DWORD EmptyThroughHandle(HANDLE file) {
    FILE_END_OF_FILE_INFO end = {};
    return ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof(end))
               ? ERROR_SUCCESS
               : ::GetLastError();
}

DWORD DeleteThroughHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof(disposition))
               ? ERROR_SUCCESS
               : ::GetLastError();
}

DWORD RenameThroughHandle(HANDLE file, const std::wstring& path) {
    const size_t nameBytes = path.size() * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(rename->FileName, path.data(), nameBytes);
    return ::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                        static_cast<DWORD>(buffer.size()))
               ? ERROR_SUCCESS
               : ::GetLastError();
}

}  // namespace Basalt
