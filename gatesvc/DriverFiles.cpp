#include "gatesvc/DriverFiles.h"

#include <objbase.h>

#include <algorithm>

#include "basalt/FileChecks.h"
#include "basalt/UniqueHandle.h"

namespace Gatesvc {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kChunkBytes = 1024 * 1024;
// CREATE_NEW with a fresh GUID meets an existing name only by accident.
constexpr int kNewNameAttempts = 4;
constexpr int kGuidTextCapacity = 40;

// The final path of the folder `folder`.
DWORD FolderFinalPath(const std::wstring& folder, std::wstring& path) {
    // Backup semantics: the only way CreateFileW opens a folder.
    Basalt::UniqueHandle handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
    if (!handle) return ::GetLastError();
    path = Basalt::FinalPathOf(handle.get());
    return path.empty() ? ::GetLastError() : ERROR_SUCCESS;
}

DWORD ReadAll(HANDLE file, DWORD maxBytes, std::vector<BYTE>& bytes) {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) return ::GetLastError();
    if (size.QuadPart > maxBytes) return ERROR_FILE_TOO_LARGE;
    std::vector<BYTE> read(static_cast<size_t>(size.QuadPart));
    for (size_t done = 0; done < read.size();) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(read.size() - done, kChunkBytes));
        DWORD got = 0;
        if (!::ReadFile(file, read.data() + done, want, &got, nullptr)) return ::GetLastError();
        if (got == 0) return ERROR_HANDLE_EOF;
        done += got;
    }
    bytes = std::move(read);
    return ERROR_SUCCESS;
}

DWORD WriteAll(HANDLE file, const std::vector<BYTE>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kChunkBytes));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, want, &written, nullptr)) {
            return ::GetLastError();
        }
        done += written;
    }
    // On disk before the caller relies on it: a driver file is read at boot.
    return ::FlushFileBuffers(file) ? ERROR_SUCCESS : ::GetLastError();
}

// A GUID as text without its braces; empty when none could be made.
std::wstring RandomName() {
    GUID guid = {};
    wchar_t text[kGuidTextCapacity] = {};
    if (FAILED(::CoCreateGuid(&guid)) || ::StringFromGUID2(guid, text, kGuidTextCapacity) < 3) {
        return std::wstring();
    }
    const std::wstring braced = text;
    return braced.substr(1, braced.size() - 2);
}

}  // namespace

DWORD ReadCheckedFile(const std::wstring& folder, const wchar_t* fileName, DWORD maxBytes,
                      std::vector<BYTE>& bytes) {
    std::wstring folderPath;
    DWORD code = FolderFinalPath(folder, folderPath);
    if (code != ERROR_SUCCESS) return code;
    // Readers only while it is open, so that what is checked is what is read.
    const std::wstring path = folder + L"\\" + fileName;
    Basalt::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return ::GetLastError();
    // FILE_FLAG_OPEN_REPARSE_POINT is not honoured everywhere (Wine follows links
    // anyway): what the handle really is comes from its final path.
    Basalt::FileFacts facts;
    code = Basalt::CheckFileHandle(file.get(), folderPath + L"\\" + fileName, facts);
    if (code != ERROR_SUCCESS) return code;
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return ERROR_BAD_PATHNAME;
    return ReadAll(file.get(), maxBytes, bytes);
}

DWORD WriteFileContents(const std::wstring& path, const std::vector<BYTE>& bytes) {
    // OPEN_ALWAYS rather than CREATE_ALWAYS: the latter refuses an existing hidden
    // or system file, which the old copy's attributes may have made it.
    Basalt::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, /*shareMode=*/0, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    const DWORD code = WriteAll(file.get(), bytes);
    if (code != ERROR_SUCCESS) return code;
    // A longer old file is cut at the new end.
    return ::SetEndOfFile(file.get()) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD WriteNewFile(const std::wstring& folder, const std::wstring& prefix,
                   const std::wstring& suffix, const std::vector<BYTE>& bytes, std::wstring& path) {
    DWORD code = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kNewNameAttempts && code == ERROR_FILE_EXISTS; ++attempt) {
        const std::wstring name = RandomName();
        if (name.empty()) return ERROR_GEN_FAILURE;
        const std::wstring candidate = folder + L"\\" + prefix + name + suffix;
        Basalt::UniqueHandle file(::CreateFileW(candidate.c_str(), GENERIC_WRITE | DELETE,
                                                /*shareMode=*/0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            code = ::GetLastError();
            continue;
        }
        code = WriteAll(file.get(), bytes);
        if (code == ERROR_SUCCESS) {
            path = candidate;
            return ERROR_SUCCESS;
        }
        // Deleted through the handle that made it, so no other file of that name.
        Basalt::DeleteThroughHandle(file.get());
    }
    return code;
}

bool IsNewFileName(const std::wstring& path, const std::wstring& folder, const std::wstring& prefix,
                   const std::wstring& suffix) {
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || !Basalt::SamePath(path.substr(0, slash), folder)) {
        return false;
    }
    const std::wstring name = path.substr(slash + 1);
    return name.size() > prefix.size() + suffix.size() &&
           Basalt::SamePath(name.substr(0, prefix.size()), prefix) &&
           Basalt::SamePath(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace Gatesvc
