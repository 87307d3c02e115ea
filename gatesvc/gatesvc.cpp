#include "gatesvc/gatesvc.h"

#include <knownfolders.h>
#include <shlwapi.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "basalt/ScopeGuard.h"
#include "basalt/SystemLibrary.h"
#include "basalt/UniqueHandle.h"
#include "gatesvc/DriverFiles.h"
#include "gatesvc/PendingRenames.h"
#include "logging/LogFacade.h"

namespace Gatesvc {
namespace {

// The source name and source lines that the installer's messages carry.
constexpr wchar_t kSourceName[] = L"gatesvc";
constexpr wchar_t kInstallFunction[] = L"InstallHipsDriverFile";
constexpr wchar_t kDeleteFunction[] = L"DeleteHipsDriverFile";
constexpr int kLineDeleteNoSystemPath = 104;
constexpr int kLineInstallNoSystemPath = 126;
constexpr int kLineSourceRefused = 131;
constexpr int kLineCopyFailed = 136;
constexpr int kLineDelayCopyFailed = 142;

constexpr wchar_t kCatalogLibrary[] = L"wintrust.dll";
// A copy of the driver waiting in the drivers folder for the restart:
// "BulwarkK.sys.<GUID>.staged".
constexpr wchar_t kStagedPrefix[] = L"BulwarkK.sys.";
constexpr wchar_t kStagedSuffix[] = L".staged";
constexpr DWORD kReplaceAtRestart = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;

// DRIVER_ACTION_VERIFY: the catalog subsystem of driver signing.
constexpr GUID kDriverActionVerify = {
    0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// The catalog administration functions of "wintrust.dll".
using CatAdminHandle = HANDLE;
using CatInfoHandle = HANDLE;
using AcquireContextFn = BOOL(WINAPI*)(CatAdminHandle*, const GUID*, DWORD);
using ReleaseContextFn = BOOL(WINAPI*)(CatAdminHandle, DWORD);
using ReleaseCatalogContextFn = BOOL(WINAPI*)(CatAdminHandle, CatInfoHandle, DWORD);
using AddCatalogFn = CatInfoHandle(WINAPI*)(CatAdminHandle, PWSTR, PWSTR, DWORD);
using RemoveCatalogFn = BOOL(WINAPI*)(CatAdminHandle, LPCWSTR, DWORD);

template <typename... Args>
void LogThroughFacade(DWORD level, const wchar_t* function, int line, const wchar_t* format,
                      Args... args) {
    // The log is a by-product: a message that cannot be written (memory
    // exhausted while the logger is built, say) must not stop the operation
    // or change the program's exit code.
    try {
        if (!ETWLogging::IsLogLevelEnabled(level)) return;
        if (ETWLogging::CLogFacade* facade = ETWLogging::GetLogFacade()) {
            facade->Log(level, kSourceName, function, line, format, args...);
        }
    } catch (...) {
    }
}

// The folder part of a full path.
std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

template <typename Fn>
bool Bind(InstallerSystemAPI& system, HMODULE module, const char* name, Fn& function) {
    function = Basalt::ProcedureAs<Fn>(system.FindProc(module, name));
    return function != nullptr;
}

}  // namespace

DWORD InstallerSystemAPI::ModuleFileName(HMODULE module, wchar_t* buffer, DWORD capacity) {
    return ::GetModuleFileNameW(module, buffer, capacity);
}

BOOL InstallerSystemAPI::MoveFileWithFlags(const wchar_t* source, const wchar_t* destination,
                                           DWORD flags) {
    return ::MoveFileExW(source, destination, flags);
}

HMODULE InstallerSystemAPI::LoadModule(const wchar_t* path) { return ::LoadLibraryW(path); }

FARPROC InstallerSystemAPI::FindProc(HMODULE module, const char* name) {
    return ::GetProcAddress(module, name);
}

CHipsDriverInstaller::CHipsDriverInstaller(std::shared_ptr<InstallerSystemAPI> system)
    : system_(system ? std::move(system) : std::make_shared<InstallerSystemAPI>()) {}

bool CHipsDriverInstaller::LocateDriverDestination(wchar_t* buffer) {
    Basalt::UniqueCoTaskMem<wchar_t> folder;
    if (system_->GetKnownFolderPath(FOLDERID_System, /*flags=*/0, /*token=*/nullptr,
                                    folder.put()) != S_OK ||
        !folder) {
        return false;
    }
    ::wcsncpy_s(buffer, MAX_PATH, folder.get(), _TRUNCATE);
    return ::PathAppendW(buffer, kDriverSystemSubPath) != FALSE;
}

bool CHipsDriverInstaller::BuildPathBesideProgram(const wchar_t* fileName, wchar_t* buffer) {
    // A program path that cannot be read whole would leave a bare file name,
    // which the file functions resolve against the working directory: an
    // empty path instead.
    const DWORD length = system_->ModuleFileName(/*module=*/nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        buffer[0] = L'\0';
        return false;
    }
    ::PathRemoveFileSpecW(buffer);
    if (!::PathAppendW(buffer, fileName)) {
        buffer[0] = L'\0';
        return false;
    }
    return true;
}

void CHipsDriverInstaller::InstallHipsDriverFile() {
    wchar_t destination[MAX_PATH] = {};
    if (!LocateDriverDestination(destination)) {
        LogThroughFacade(ETWLogging::kLevelError, kInstallFunction, kLineInstallNoSystemPath,
                         L"Cannot locate System Path.");
        // Without the System folder there is no destination: copying to what
        // is left would write relative to the working directory.
        return;
    }
    wchar_t source[MAX_PATH] = {};
    // Without the program's folder there is no source to copy from.
    if (!BuildPathBesideProgram(kDriverFileName, source)) return;

    // Every copy, now or at the restart, is made from these bytes: the program's
    // folder may be one that a user can write, and a file read again later by
    // path could by then be another.
    std::vector<BYTE> driver;
    const DWORD readError =
        ReadCheckedFile(FolderOf(source), kDriverFileName, kMaxDriverBytes, driver);
    if (readError != ERROR_SUCCESS) {
        LogThroughFacade(ETWLogging::kLevelError, kInstallFunction, kLineSourceRefused,
                         L"Cannot read driver file %s. error = %d", source,
                         static_cast<int>(readError));
        return;
    }
    if (WriteFileContents(destination, driver) == ERROR_SUCCESS) {
        // Nothing scheduled earlier may replace or delete it at the restart.
        CancelPendingDriverOperations(destination, /*keepSource=*/L"", /*deletions=*/true);
        return;
    }
    LogThroughFacade(ETWLogging::kLevelInformation, kInstallFunction, kLineCopyFailed,
                     L"Copy file to %s failed from %s. Try to delay copy until reboot", destination,
                     source);
    const DWORD error = StageForRestart(destination, driver);
    if (error == ERROR_SUCCESS) return;
    LogThroughFacade(ETWLogging::kLevelError, kInstallFunction, kLineDelayCopyFailed,
                     L"Delay Copy file to %s failed from %s. error = %d", destination, source,
                     static_cast<int>(error));
}

DWORD CHipsDriverInstaller::StageForRestart(const std::wstring& destination,
                                            const std::vector<BYTE>& driver) {
    // The copy waits in the drivers folder, which standard users cannot write,
    // under a name nobody could have prepared.
    std::wstring staged;
    DWORD error = WriteNewFile(FolderOf(destination), kStagedPrefix, kStagedSuffix, driver, staged);
    if (error != ERROR_SUCCESS) return error;
    // The destination exists (it is the file in use), and at the restart a
    // scheduled move onto an existing file is carried out only when it is
    // marked to replace it; without the mark the old driver would stay.
    if (system_->MoveFileWithFlags(staged.c_str(), destination.c_str(), kReplaceAtRestart)) {
        // Only the newest copy goes in; an earlier one would be overwritten anyway.
        CancelPendingDriverOperations(destination, staged, /*deletions=*/false);
        return ERROR_SUCCESS;
    }
    error = ::GetLastError();
    ::DeleteFileW(staged.c_str());
    return error;
}

void CHipsDriverInstaller::CancelPendingDriverOperations(const std::wstring& driver,
                                                         const std::wstring& keepSource,
                                                         bool deletions) {
    std::vector<PendingRename> cancelled;
    CancelPendingRenames(
        [&](const PendingRename& rename) {
            if (PendingRenameNames(rename.destination, driver)) {
                return keepSource.empty() || !PendingRenameNames(rename.source, keepSource);
            }
            return deletions && rename.destination.empty() &&
                   PendingRenameNames(rename.source, driver);
        },
        cancelled);
    // Only copies this installer staged are deleted: any other source is not its to remove.
    const std::wstring driversFolder = FolderOf(driver);
    for (const PendingRename& rename : cancelled) {
        const std::wstring source = PendingRenamePath(rename.source);
        if (!IsNewFileName(source, driversFolder, kStagedPrefix, kStagedSuffix)) continue;
        if (!::DeleteFileW(source.c_str())) {
            system_->MoveFileWithFlags(source.c_str(), /*destination=*/nullptr,
                                       MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
}

void CHipsDriverInstaller::DeleteHipsDriverFile() {
    wchar_t path[MAX_PATH] = {};
    if (!LocateDriverDestination(path)) {
        LogThroughFacade(ETWLogging::kLevelError, kDeleteFunction, kLineDeleteNoSystemPath,
                         L"Cannot locate System Path.");
        return;
    }
    // A copy waiting for the restart would bring the driver back.
    CancelPendingDriverOperations(path, /*keepSource=*/L"", /*deletions=*/false);
    if (::DeleteFileW(path)) return;
    // Deleted at the next restart instead; nothing more can be done now.
    system_->MoveFileWithFlags(path, /*destination=*/nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool CHipsDriverInstaller::UpdateHipsDriverCatalog(bool install, const wchar_t* catalogPath) {
    // By full path: a bare name would be looked for in the program's folder too.
    std::wstring libraryPath;
    if (!Basalt::SystemLibraryPath(*system_, kCatalogLibrary, libraryPath)) return false;
    Basalt::UniqueHmodule wintrust(system_->LoadModule(libraryPath.c_str()));
    if (!wintrust) return false;

    AcquireContextFn acquireContext;
    ReleaseContextFn releaseContext;
    ReleaseCatalogContextFn releaseCatalogContext;
    AddCatalogFn addCatalog;
    RemoveCatalogFn removeCatalog;
    // All five are needed, whichever way the catalog goes.
    if (!Bind(*system_, wintrust.get(), "CryptCATAdminAcquireContext", acquireContext) ||
        !Bind(*system_, wintrust.get(), "CryptCATAdminReleaseContext", releaseContext) ||
        !Bind(*system_, wintrust.get(), "CryptCATAdminReleaseCatalogContext",
              releaseCatalogContext) ||
        !Bind(*system_, wintrust.get(), "CryptCATAdminAddCatalog", addCatalog) ||
        !Bind(*system_, wintrust.get(), "CryptCATAdminRemoveCatalog", removeCatalog)) {
        return false;
    }

    CatAdminHandle context = nullptr;
    const bool acquired = acquireContext(&context, &kDriverActionVerify, /*flags=*/0) != FALSE;
    // Released however the call went: a failed acquisition may still hand one out.
    Basalt::ScopeGuard contextRelease([&] {
        if (context != nullptr) releaseContext(context, 0);
    });
    if (!acquired || context == nullptr) return false;

    if (!install) return removeCatalog(context, kCatalogMemberName, /*flags=*/0) != FALSE;
    // The function takes writable strings but only reads them.
    CatInfoHandle catalog = addCatalog(context, const_cast<PWSTR>(catalogPath),
                                       const_cast<PWSTR>(kCatalogMemberName), /*flags=*/0);
    if (catalog == nullptr) return false;
    releaseCatalogContext(context, catalog, 0);
    return true;
}

void CHipsDriverInstaller::RunInstallCommand() {
    wchar_t catalogPath[MAX_PATH] = {};
    const bool haveCatalogPath = BuildPathBesideProgram(kCatalogFileName, catalogPath);
    InstallHipsDriverFile();
    // Without the program's own path there is no catalog to add: an empty path
    // would hand the catalog database whatever it makes of one.
    if (haveCatalogPath) UpdateHipsDriverCatalog(/*install=*/true, catalogPath);
}

void CHipsDriverInstaller::RunUninstallCommand() {
    UpdateHipsDriverCatalog(/*install=*/false, /*catalogPath=*/nullptr);
    DeleteHipsDriverFile();
}

void InstallHipsDriverFile() { CHipsDriverInstaller().InstallHipsDriverFile(); }

void DeleteHipsDriverFile() { CHipsDriverInstaller().DeleteHipsDriverFile(); }

bool UpdateHipsDriverCatalog(bool install, const wchar_t* catalogPath) {
    return CHipsDriverInstaller().UpdateHipsDriverCatalog(install, catalogPath);
}

}  // namespace Gatesvc
