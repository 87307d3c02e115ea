// The driver file and catalog installer.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "gatesvc/InstallerSystemAPI.h"

namespace Gatesvc {

constexpr wchar_t kDriverFileName[] = L"BulwarkK.sys";
constexpr wchar_t kDriverSystemSubPath[] = L"drivers\\BulwarkK.sys";
constexpr wchar_t kCatalogFileName[] = L"bulwarkk_x86.cat";
constexpr wchar_t kCatalogMemberName[] = L"Halvik HIPS Driver.cat";

// Puts the driver file and its catalog in place and takes them away. Failures
// of the file steps are logged through the logging facade; none reaches the
// caller as an error.
class CHipsDriverInstaller {
  public:
    explicit CHipsDriverInstaller(std::shared_ptr<InstallerSystemAPI> system = nullptr);

    // Copies the driver file from the program's folder into the System
    // folder's "drivers" folder, or schedules the copy for the next restart.
    // The bytes are read once, through a handle checked to be the plain file in
    // the program's folder; when the destination cannot be written they are
    // staged in a new file in the drivers folder, which the restart moves over
    // the destination. A successful copy cancels every earlier scheduled copy
    // (deleting its staged file) and a scheduled deletion of the driver.
    void InstallHipsDriverFile();

    // Cancels every copy scheduled onto the driver file (deleting staged files),
    // then deletes the driver file, or schedules the deletion.
    void DeleteHipsDriverFile();

    // Adds (`install`) the catalog at `catalogPath` to the system catalog
    // database, or removes it; true when added or when the removal succeeded.
    bool UpdateHipsDriverCatalog(bool install, const wchar_t* catalogPath);

    // "/InstallCat": the driver file, then the catalog from the program's folder.
    // Without the program's own path neither step finds its file, and nothing is
    // copied or added.
    void RunInstallCommand();

    // "/UninstallCat": the catalog, then the driver file.
    void RunUninstallCommand();

    // The program's own folder joined with `fileName`, in a MAX_PATH buffer;
    // false, and an empty buffer, when the program's path cannot be read whole.
    bool BuildPathBesideProgram(const wchar_t* fileName, wchar_t* buffer);

  private:
    bool LocateDriverDestination(wchar_t* buffer);
    // Writes `driver` to a new file in the drivers folder and schedules its move
    // onto `destination` at the next restart; 0 or the Win32 code of the failure,
    // after which no staged copy is left.
    DWORD StageForRestart(const std::wstring& destination, const std::vector<BYTE>& driver);
    // Cancels what the next restart would do to `driver`: every rename onto it except
    // the one from `keepSource` (none when empty) and, with `deletions`, its deletion.
    // The staged copies among the cancelled sources are deleted.
    void CancelPendingDriverOperations(const std::wstring& driver, const std::wstring& keepSource,
                                       bool deletions);

    std::shared_ptr<InstallerSystemAPI> system_;
};

// The operations with the plain system services.
void InstallHipsDriverFile();
void DeleteHipsDriverFile();
bool UpdateHipsDriverCatalog(bool install, const wchar_t* catalogPath);

}  // namespace Gatesvc
