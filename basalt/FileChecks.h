// Folders and files opened so that nothing planted in a folder tree (a
// junction, a mount point, a symbolic link, a hard link, a folder of another
// owner) can make a privileged writer write somewhere else. Every check is
// made on the handle that is then used, never on a path opened again later.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

namespace Basalt {

// Refusals, as Win32 codes: the object resolves to another place than the one
// asked for (a link), has more than one name (a hard link), has an owner that
// is not trusted, or a DACL that lets others add or delete children and cannot
// be tightened.
constexpr DWORD kErrorLinkedElsewhere = ERROR_CANT_RESOLVE_FILENAME;
constexpr DWORD kErrorHardLinked = ERROR_TOO_MANY_LINKS;
constexpr DWORD kErrorUntrustedOwner = ERROR_INVALID_OWNER;
constexpr DWORD kErrorOpenDacl = ERROR_INVALID_ACL;

// Whether `code` is one of the refusals above rather than a passing failure.
bool IsRefusal(DWORD code);

// What a refusal means, for a one-line reason ("it leads somewhere else ...");
// nullptr for a code that is not a refusal.
const wchar_t* DescribeRefusal(DWORD code);

// The security facts behind the checks, as a replaceable service: who this
// process is, who owns an object, which DACL it has and which one a new folder
// gets. Each operation calls the Win32 function named in its comment.
class FileSecurityAPI {
  public:
    virtual ~FileSecurityAPI() = default;
    // Whether this process writes with privilege: its token is LocalSystem's,
    // or holds the Administrators group enabled (CheckTokenMembership).
    virtual bool IsPrivilegedWriter();
    // The SID of this process's user (GetTokenInformation TokenUser); false
    // when it cannot be read.
    virtual bool CurrentUserSid(std::vector<BYTE>& sid);
    // The owner and DACL of the open `handle` (READ_CONTROL), as one
    // descriptor that `descriptor` owns (GetSecurityInfo).
    virtual DWORD QuerySecurity(HANDLE handle, UniqueLocal& descriptor);
    // Gives the open `handle` (WRITE_DAC) `dacl` as its protected DACL
    // (SetSecurityInfo).
    virtual DWORD SetProtectedDacl(HANDLE handle, PACL dacl);
    // CreateDirectoryW.
    virtual BOOL CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* attributes);
};

// Whether `owner` is SYSTEM, Administrators, TrustedInstaller or `self` (the
// writer's own account: a standard user cannot make another account an owner).
bool IsTrustedOwner(PSID owner, PSID self);

// Whether a DACL (absent: `present` false) keeps everyone but SYSTEM,
// Administrators, TrustedInstaller and `self` from writing to the object:
// adding, deleting or renaming children, writing data, attributes, the DACL or
// the owner. Access that only children inherit is not looked at.
bool DaclKeepsOthersOut(BOOL present, PACL dacl, PSID self);

// The final path of an open file or folder as the system resolves it ("\\?\"
// form); empty when it cannot be read.
std::wstring FinalPathOf(HANDLE handle);

// Whether two paths name the same place, ignoring case.
bool SamePath(const std::wstring& first, const std::wstring& second);

// The folders below a trusted folder (the anchor) that a writer opens or
// creates, one level at a time. Each level must be a plain folder whose final
// path is its parent's final path and its own name. A privileged writer also
// trusts an existing level only when its owner is trusted; a level with a
// trusted owner whose DACL lets others in is given the DACL of new levels.
// New levels get that DACL: SYSTEM and Administrators full control, other
// signed-in users read and list only.
class CFolderChain {
  public:
    explicit CFolderChain(std::shared_ptr<FileSecurityAPI> security = nullptr);

    // Opens `anchor`\`levels[0]`\..., creating missing levels when `create`
    // is true; 0 with the last level's final path in `finalPath`; otherwise
    // the failing code (ERROR_FILE_NOT_FOUND for a missing level that was not
    // to be created), and in `failedAt` the path of the level that failed.
    DWORD Open(const std::wstring& anchor, const std::vector<std::wstring>& levels, bool create,
               std::wstring& finalPath, std::wstring& failedAt);

    FileSecurityAPI& Security() { return *security_; }
    bool Privileged() const { return privileged_; }
    // Whether `handle` (READ_CONTROL) belongs to a trusted owner.
    bool OwnerTrusted(HANDLE handle);
    // Whether this writer may use what `handle` holds: a privileged writer
    // only what a trusted owner made; one without privilege anything, as it
    // has nothing to protect.
    bool WriterTrusts(HANDLE handle) { return !privileged_ || OwnerTrusted(handle); }

  private:
    DWORD OpenLevel(const std::wstring& path, const std::wstring& expectedFinal, bool create);
    DWORD CheckOwnership(HANDLE folder);

    std::shared_ptr<FileSecurityAPI> security_;
    bool privileged_ = false;
    std::vector<BYTE> self_;
};

// What a check learns of an open file.
struct FileFacts {
    ULONGLONG size = 0;
    FILETIME lastWrite = {};
    DWORD attributes = 0;
    DWORD links = 0;
};

// Whether the open `file` is a plain file with one name whose final path is
// `expectedFinal`: 0 with its facts, or a refusal code. Made of the cheap
// queries (basic and standard information), as it runs for every message,
// and allocates nothing for a final path that MAX_PATH characters hold.
DWORD CheckFileHandle(HANDLE file, const std::wstring& expectedFinal, FileFacts& facts);

// The volume and index of an open file, which no other file shares.
struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG index = 0;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};
// False when the system cannot say (GetFileInformationByHandle).
bool QueryFileIdentity(HANDLE file, FileIdentity& identity);

// Creates `folder`\`name` new (CREATE_NEW, so never through a name that
// exists) below a checked folder whose final path is `folderFinal`, with
// `access` and DELETE, and checks it as CheckFileHandle does; a refused file
// is deleted through its handle. 0 with the handle, or the code.
DWORD CreateNewCheckedFile(const std::wstring& folder, const std::wstring& folderFinal,
                           const std::wstring& name, DWORD access, UniqueHandle& file,
                           FileFacts& facts);

// Opens `folder`\`name`, a file below a checked folder whose final path is
// `folderFinal`: an existing one, or, with `create`, a new one (never through
// a link to a missing file: a name that exists is only ever opened). The
// handle is refused unless it is a plain file with one name at
// `folderFinal`\`name`; a file created here and refused is deleted through
// the handle, which therefore also asks for DELETE. 0 with the handle, the
// file's facts and whether it was created; ERROR_FILE_NOT_FOUND when it
// does not exist and `create` is false; a refusal or system code otherwise.
DWORD OpenCheckedFile(const std::wstring& folder, const std::wstring& folderFinal,
                      const std::wstring& name, DWORD access, bool create, UniqueHandle& file,
                      FileFacts& facts, bool& created);
// The same for a file at `path` whose final path must be `expectedFinal`
// (`folder`\`name` and `folderFinal`\`name` above), for a caller that keeps
// both: nothing is allocated for a path that MAX_PATH characters hold.
DWORD OpenCheckedPath(const std::wstring& path, const std::wstring& expectedFinal, DWORD access,
                      bool create, UniqueHandle& file, FileFacts& facts, bool& created);

// Empties the open file (FILE_WRITE_DATA) through its handle.
DWORD EmptyThroughHandle(HANDLE file);
// Marks the open file (DELETE) for deletion when its last handle closes.
DWORD DeleteThroughHandle(HANDLE file);
// Renames the open file (DELETE) to `path`, replacing what is there: a file
// that is there, or a link, is replaced as a name, never written through.
DWORD RenameThroughHandle(HANDLE file, const std::wstring& path);

}  // namespace Basalt
