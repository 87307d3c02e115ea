#include "logging/file/FolderLock.h"

#include <vector>

#include "basalt/Md5.h"
#include "basalt/Security.h"

namespace ETWLogging {
namespace {

// "Global\": a service in session 0 and the desktop programs of every other
// session must wait on the same object (mutexes, unlike file mappings, need
// no privilege there).
constexpr wchar_t kLockNamePrefix[] = L"Global\\Halvik.HVLOGS.";
// Waiting and releasing is all a holder does with the mutex.
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The path in upper case by the invariant locale's table, so that programs of
// users with different languages derive the same name.
std::wstring UpperInvariant(const std::wstring& text) {
    if (text.empty()) return text;
    const int length = static_cast<int>(text.size());
    std::wstring upper(text.size(), L'\0');
    if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), length, &upper[0],
                       length) != length) {
        return text;
    }
    return upper;
}

}  // namespace

std::wstring FolderLockName(const std::wstring& folder) {
    std::wstring key = folder;
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    key = UpperInvariant(key);
    // A path may hold "\" and be longer than an object name may be: its digest
    // names the lock instead. The empty path has a digest too.
    Basalt::CMd5 md5;
    md5.Update(reinterpret_cast<const BYTE*>(key.data()), key.size() * sizeof(wchar_t));
    BYTE digest[Basalt::kMd5DigestSize];
    md5.Finish(digest);
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring name = kLockNamePrefix;
    for (BYTE byte : digest) {
        name += kHex[byte >> 4];
        name += kHex[byte & 0x0F];
    }
    return name;
}

void CFolderLock::SetFolder(const std::wstring& folder) {
    Reset();
    name_ = FolderLockName(folder);
}

bool CFolderLock::Open() {
    if (mutex_) return true;
    if (name_.empty()) return false;
    // Whoever creates the mutex first decides its security: everyone may wait
    // on it and release it, so that a program of another user (a service and
    // a desktop program) is never shut out of a lock that the other created.
    Basalt::Advapi32API api;
    Basalt::UniqueLocal acl;
    Basalt::UniqueLocal descriptor;
    Basalt::UniqueSid everyone;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (api.IsNTPlatform() && api.LoadFunctions() &&
        Basalt::BuildEveryoneDacl(api, /*oldDacl=*/nullptr, acl, descriptor, everyone,
                                  kLockAccess) == ERROR_SUCCESS) {
        attributes.lpSecurityDescriptor = descriptor.get();
    }
    // Creates the mutex, or opens the existing one asking only for the access
    // used here, which is all its security grants to others.
    mutex_.reset(::CreateMutexExW(&attributes, name_.c_str(), /*flags=*/0, kLockAccess));
    return static_cast<bool>(mutex_);
}

CFolderLock::Result CFolderLock::Acquire(DWORD waitMs) {
    if (depth_ > 0) {  // this holder already has it: as recursive as the mutex itself
        ++depth_;
        return Result::kAcquired;
    }
    if (!Open()) return Result::kFailed;
    switch (::WaitForSingleObject(mutex_.get(), waitMs)) {
        case WAIT_OBJECT_0:
            depth_ = 1;
            return Result::kAcquired;
        case WAIT_ABANDONED:
            depth_ = 1;
            return Result::kAbandoned;
        case WAIT_TIMEOUT:
            return Result::kTimedOut;
        default:
            return Result::kFailed;
    }
}

void CFolderLock::Release() {
    if (depth_ == 0 || --depth_ > 0) return;
    ::ReleaseMutex(mutex_.get());
}

void CFolderLock::Reset() {
    if (depth_ > 0) {
        depth_ = 1;
        Release();
    }
    mutex_.reset();
    name_.clear();
}

}  // namespace ETWLogging
