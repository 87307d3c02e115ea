// rand_s, for names nobody can foretell, is declared only with this set.
#define _CRT_RAND_S
#include <stdlib.h>

#include "logging/file/IniChange.h"

#include "basalt/ScopeGuard.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"

namespace ETWLogging {
namespace {

constexpr LONGLONG kMaxIniBytes = 16 << 20;  // a log.ini holds a handful of lines

// "log.ini." and 16 random hexadecimal digits, then ".tmp": a name that
// nobody can create in advance.
std::wstring CopyName() {
    unsigned int high = 0;
    unsigned int low = 0;
    if (::rand_s(&high) != 0 || ::rand_s(&low) != 0) {
        // Without the system's generator: still unlikely to be taken, and
        // CREATE_NEW refuses a name that is.
        high = ::GetTickCount() ^ ::GetCurrentProcessId();
        low = ::GetCurrentThreadId() ^ static_cast<unsigned int>(reinterpret_cast<UINT_PTR>(&high));
    }
    return Basalt::FormatString(L"%s.%08X%08X.tmp", kIniFileName, high, low);
}

DWORD WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    if (!bytes.empty() &&
        !::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// The copy `name`, opened again by name once the profile functions are done
// with it, and only when it is still the file created as `created`.
DWORD ReopenCopy(const std::wstring& folder, const std::wstring& folderFinal,
                 const std::wstring& name, const Basalt::FileIdentity& created,
                 Basalt::UniqueHandle& copy) {
    constexpr DWORD kAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    copy.reset(::CreateFileW((folder + L"\\" + name).c_str(), kAccess,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!copy) return ::GetLastError();
    Basalt::FileFacts facts;
    Basalt::FileIdentity now;
    DWORD code = Basalt::CheckFileHandle(copy.get(), folderFinal + L"\\" + name, facts);
    if (code == ERROR_SUCCESS && !(Basalt::QueryFileIdentity(copy.get(), now) && now == created))
        code = Basalt::kErrorLinkedElsewhere;
    if (code != ERROR_SUCCESS) copy.reset();
    return code;
}

// Gives the copy a last-write time after log.ini's own, so that a reader that
// caches the file by that time (the profile functions of a running logger)
// sees that it changed.
void MarkAsChanged(HANDLE copy, const FILETIME& before) {
    FILETIME written = {};
    if (!::GetFileTime(copy, nullptr, nullptr, &written) ||
        ::CompareFileTime(&written, &before) > 0) {
        return;
    }
    ULARGE_INTEGER later;
    later.LowPart = before.dwLowDateTime;
    later.HighPart = before.dwHighDateTime;
    later.QuadPart += 1;  // 100 ns after the file's own time
    written.dwLowDateTime = later.LowPart;
    written.dwHighDateTime = later.HighPart;
    ::SetFileTime(copy, nullptr, nullptr, &written);
}

// ReadCheckedFile with the last-write time of what was read.
DWORD ReadIni(const std::wstring& folder, const std::wstring& folderFinal,
              Basalt::CFolderChain& chain, bool& exists, std::string& bytes, FILETIME& written) {
    exists = false;
    bytes.clear();
    Basalt::UniqueHandle file;
    Basalt::FileFacts facts;
    bool created = false;
    DWORD code =
        Basalt::OpenCheckedFile(folder, folderFinal, kIniFileName, GENERIC_READ | READ_CONTROL,
                                /*create=*/false, file, facts, created);
    if (code == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (code != ERROR_SUCCESS) return code;
    if (!chain.WriterTrusts(file.get())) return Basalt::kErrorUntrustedOwner;
    exists = true;
    written = facts.lastWrite;
    return ReadSmallFile(file.get(), bytes);
}

}  // namespace

DWORD ReadSmallFile(HANDLE file, std::string& bytes) {
    bytes.clear();
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) return ::GetLastError();
    if (size.QuadPart > kMaxIniBytes) return ERROR_FILE_TOO_LARGE;
    try {
        bytes.resize(static_cast<size_t>(size.QuadPart));  // no allocation within its capacity
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return ::GetLastError();
    }
    bytes.resize(read);
    return ERROR_SUCCESS;
}

bool ChangeIniThroughCopy(const std::wstring& folder, const std::wstring& folderFinal,
                          Basalt::CFolderChain& chain,
                          const std::function<bool(const std::wstring&)>& change,
                          const std::function<bool(const std::wstring&)>& check,
                          IniChangeFailure& failure) {
    failure = IniChangeFailure();
    auto fail = [&failure](IniChangeStep step, DWORD code) {
        failure.step = step;
        failure.code = code;
        return false;
    };
    bool existed = false;
    FILETIME written = {};
    DWORD code = ReadIni(folder, folderFinal, chain, existed, failure.before, written);
    if (code != ERROR_SUCCESS) return fail(IniChangeStep::kRead, code);

    const std::wstring name = CopyName();
    Basalt::UniqueHandle copy;
    Basalt::FileFacts facts;
    Basalt::FileIdentity created;
    code = Basalt::CreateNewCheckedFile(folder, folderFinal, name, GENERIC_WRITE, copy, facts);
    if (code != ERROR_SUCCESS) return fail(IniChangeStep::kCopy, code);
    if (!Basalt::QueryFileIdentity(copy.get(), created)) {
        code = ::GetLastError();
        Basalt::DeleteThroughHandle(copy.get());
        return fail(IniChangeStep::kCopy, code);
    }
    code = WriteAll(copy.get(), failure.before);
    if (code != ERROR_SUCCESS) {
        Basalt::DeleteThroughHandle(copy.get());
        return fail(IniChangeStep::kCopy, code);
    }
    // The profile functions open the copy by name: no handle of this writer
    // may stand in their way meanwhile.
    copy.reset();
    Basalt::ScopeGuard removeCopy([&] {
        Basalt::UniqueHandle own;
        if (ReopenCopy(folder, folderFinal, name, created, own) == ERROR_SUCCESS) {
            Basalt::DeleteThroughHandle(own.get());
        }
    });
    const std::wstring copyPath = folder + L"\\" + name;
    if (!change(copyPath)) return fail(IniChangeStep::kChange, ::GetLastError());
    if (!check(copyPath)) return fail(IniChangeStep::kCheck, ERROR_INVALID_DATA);

    bool stillExists = false;
    std::string now;
    FILETIME nowWritten = {};
    code = ReadIni(folder, folderFinal, chain, stillExists, now, nowWritten);
    if (code != ERROR_SUCCESS) return fail(IniChangeStep::kRead, code);
    if (stillExists != existed || now != failure.before) {
        return fail(IniChangeStep::kRaced, ERROR_SUCCESS);
    }
    code = ReopenCopy(folder, folderFinal, name, created, copy);
    if (code != ERROR_SUCCESS) return fail(IniChangeStep::kReplace, code);
    if (existed) MarkAsChanged(copy.get(), written);
    code = Basalt::RenameThroughHandle(copy.get(), folder + L"\\" + kIniFileName);
    if (code != ERROR_SUCCESS) {
        Basalt::DeleteThroughHandle(copy.get());
        return fail(IniChangeStep::kReplace, code);
    }
    removeCopy.Dismiss();
    return true;
}

}  // namespace ETWLogging
