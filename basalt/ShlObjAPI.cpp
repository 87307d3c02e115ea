#include "basalt/ShlObjAPI.h"

#include "basalt/UniqueHandle.h"

namespace Basalt {

HRESULT ShlObjAPI::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                      PWSTR* path) {
    return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

bool QueryKnownFolder(ShlObjAPI& shell, REFKNOWNFOLDERID folderId, DWORD flags,
                      std::wstring& path) {
    UniqueCoTaskMem<wchar_t> text;
    HRESULT hr = shell.GetKnownFolderPath(folderId, flags, nullptr, text.put());
    if (hr != S_OK || !text) return false;
    path = text.get();
    return true;
}

}  // namespace Basalt
