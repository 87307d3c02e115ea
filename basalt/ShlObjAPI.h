// The shell's known folders behind a replaceable service.
//
// The service keeps no state: one object may serve every thread. Users hold it
// in shared ownership (std::shared_ptr).
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>

namespace Basalt {

// Passes its arguments to SHGetKnownFolderPath unchanged. The caller frees the
// returned text with CoTaskMemFree, also when the call failed and returned one.
// Users hold it in shared ownership and create the plain one when given none.
class ShlObjAPI {
  public:
    virtual ~ShlObjAPI() = default;
    virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                       PWSTR* path);
};

// The known folder's path, or false when the service fails. Frees the text the
// service returned either way.
bool QueryKnownFolder(ShlObjAPI& shell, REFKNOWNFOLDERID folderId, DWORD flags, std::wstring& path);

}  // namespace Basalt
