#include "basalt/VersionAPI.h"

#include "basalt/SystemLibrary.h"

namespace Basalt {

const VersionAPI& VersionAPI::Instance() {
    static const VersionAPI instance;
    return instance;
}

VersionAPI::VersionAPI() : module_(LoadSystemLibrary(L"version.dll", /*flags=*/0)) {
    getFileVersionInfoSize_ =
        FindProcedure<GetFileVersionInfoSizeFn>(module_.get(), "GetFileVersionInfoSizeW");
    getFileVersionInfo_ = FindProcedure<GetFileVersionInfoFn>(module_.get(), "GetFileVersionInfoW");
    verQueryValue_ = FindProcedure<VerQueryValueFn>(module_.get(), "VerQueryValueW");
}

DWORD VersionAPI::GetInfoSize(const wchar_t* path, DWORD* handle) const {
    if (getFileVersionInfoSize_ == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    return getFileVersionInfoSize_(path, handle);
}

BOOL VersionAPI::GetInfo(const wchar_t* path, DWORD handle, DWORD byteCount, void* data) const {
    if (getFileVersionInfo_ == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return getFileVersionInfo_(path, handle, byteCount, data);
}

BOOL VersionAPI::QueryValue(const void* block, const wchar_t* subBlock, void** buffer,
                            UINT* length) const {
    if (verQueryValue_ == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return verQueryValue_(block, subBlock, buffer, length);
}

}  // namespace Basalt
