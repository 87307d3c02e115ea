// The installer's world in a scratch folder, for the tests that run its operations in
// process: "system" stands for the System folder (with its "drivers" folder) and
// "program" for the program's folder, which holds the driver to install. Only the known
// folder and the program's file name come from here; the files are real.
#pragma once

#include <windows.h>
#include <knownfolders.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "gatesvc/InstallerSystemAPI.h"
#include "tests/support/BasaltTestSupport.h"

class ScratchInstallerSystem : public Gatesvc::InstallerSystemAPI {
  public:
    explicit ScratchInstallerSystem(const std::wstring& name) : scratch_(name) {
        ::CreateDirectoryW(SystemFolder().c_str(), nullptr);
        ::CreateDirectoryW(DriversFolder().c_str(), nullptr);
        ::CreateDirectoryW(ProgramFolder().c_str(), nullptr);
    }

    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) override {
        *path = nullptr;
        if (!IsEqualGUID(id, FOLDERID_System)) return E_FAIL;
        return ::SHStrDupW(SystemFolder().c_str(), path);
    }
    DWORD ModuleFileName(HMODULE, wchar_t* buffer, DWORD capacity) override {
        wcsncpy_s(buffer, capacity, (ProgramFolder() + L"\\gatesvc.exe").c_str(), _TRUNCATE);
        return static_cast<DWORD>(wcslen(buffer));
    }

    std::wstring SystemFolder() const { return scratch_ / L"system"; }
    std::wstring DriversFolder() const { return SystemFolder() + L"\\drivers"; }
    std::wstring Destination() const { return DriversFolder() + L"\\BulwarkK.sys"; }
    std::wstring ProgramFolder() const { return scratch_ / L"program"; }
    std::wstring Source() const { return ProgramFolder() + L"\\BulwarkK.sys"; }

    // The staged copies waiting in the drivers folder, by full path.
    std::vector<std::wstring> StagedCopies() const {
        std::vector<std::wstring> paths;
        WIN32_FIND_DATAW data;
        Basalt::UniqueFindHandle find(
            ::FindFirstFileW((DriversFolder() + L"\\BulwarkK.sys.*.staged").c_str(), &data));
        if (!find) return paths;
        do {
            paths.push_back(DriversFolder() + L"\\" + data.cFileName);
        } while (::FindNextFileW(find.get(), &data));
        return paths;
    }

  private:
    TestSupport::ScratchFolder scratch_;
};
