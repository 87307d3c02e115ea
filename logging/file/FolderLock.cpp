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
    if (name_.empty()) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return false;
    }
    // Whoever creates the mutex first decides its security: LocalSystem and
    // the administrators may wait on it and release it, no one else. The
    // privileged writers (services, elevated programs) that write the log
    // tree thus share it, and a standard user can neither open it nor hold it
    // against them; a writer that cannot open it logs without it.
    Basalt::Advapi32API api;
    Basalt::UniqueLocal acl;
    Basalt::UniqueLocal descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (api.IsNTPlatform() && api.LoadFunctions() &&
        Basalt::BuildAdministratorsDacl(api, kFolderLockAccess, NO_INHERITANCE, acl, descriptor) ==
            ERROR_SUCCESS) {
        attributes.lpSecurityDescriptor = descriptor.get();
    }
    // Creates the mutex, or opens the existing one asking only for the access
    // used here, which is all its security grants. An object of this name
    // that is not a mutex gives ERROR_INVALID_HANDLE; one whose security
    // shuts this writer out, ERROR_ACCESS_DENIED.
    mutex_.reset(::CreateMutexExW(&attributes, name_.c_str(), /*flags=*/0, kFolderLockAccess));
    if (!mutex_) {
        lastError_ = ::GetLastError();
        return false;
    }
    return true;
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
            lastError_ = ::GetLastError();
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
    lastError_ = ERROR_SUCCESS;
}

CLockBackOff::Plan CLockBackOff::Next(bool opened, ULONGLONG nowMs) {
    if (!unavailable_) return {true, kFolderLockWaitMs};
    if (nowMs >= nextProbeMs_) {
        nextProbeMs_ = nowMs + kFolderLockRetryMs;
        return {true, kFolderLockProbeMs};
    }
    // Between probes: a try that costs no wait, and no attempt at all to open
    // a mutex that could not be opened.
    return {opened, 0};
}

bool CLockBackOff::Record(CFolderLock::Result result, ULONGLONG nowMs) {
    if (result == CFolderLock::Result::kAcquired || result == CFolderLock::Result::kAbandoned) {
        unavailable_ = false;
        return false;
    }
    if (unavailable_) return false;
    unavailable_ = true;
    nextProbeMs_ = nowMs + kFolderLockRetryMs;
    return true;
}

CFolderLockHolder::CFolderLockHolder(CFolderLock& lock, CLockBackOff& backOff) : lock_(lock) {
    const CLockBackOff::Plan plan = backOff.Next(lock.IsOpen(), ::GetTickCount64());
    if (!plan.attempt) return;
    result_ = lock.Acquire(plan.waitMs);
    lost_ = backOff.Record(result_, ::GetTickCount64());
}

}  // namespace ETWLogging
