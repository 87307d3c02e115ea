// A lock shared by every process that writes into one log folder: the file
// loggers of all programs that log there (of any user and session) and the
// operator tool when it changes that folder's log.ini.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace ETWLogging {

// How long a writer waits for a folder's lock before it gives up and appends
// without it. A holder keeps the lock for one line or one log.ini change.
constexpr DWORD kFolderLockWaitMs = 3000;

// The kernel object name of the lock of `folder`: the same for every spelling
// that differs only in letter case or trailing "\", valid whatever the path
// holds, and in the global namespace so that services and desktop programs
// meet on one object.
std::wstring FolderLockName(const std::wstring& folder);

// A named mutex per folder. Not for use by several threads at once: each
// logger and each tool run holds its own.
class CFolderLock {
  public:
    enum class Result {
        kAcquired,   // held; the previous holder released it
        kAbandoned,  // held; the previous holder ended while holding it
        kTimedOut,   // not held: another holder kept it past the wait
        kFailed,     // not held: the mutex could not be created or opened
    };

    CFolderLock() = default;
    explicit CFolderLock(const std::wstring& folder) { SetFolder(folder); }
    ~CFolderLock() { Reset(); }
    CFolderLock(const CFolderLock&) = delete;
    CFolderLock& operator=(const CFolderLock&) = delete;

    // Names the folder; the mutex is opened on the next Acquire.
    void SetFolder(const std::wstring& folder);
    // Waits up to `waitMs` for the lock; every Acquire that obtains it is
    // matched by one Release.
    Result Acquire(DWORD waitMs = kFolderLockWaitMs);
    void Release();
    // Closes the mutex (releasing it first when held) and forgets the folder.
    void Reset();

  private:
    bool Open();

    std::wstring name_;
    Basalt::UniqueKernelHandle mutex_;
    int depth_ = 0;  // Acquires not yet released
};

// Holds a folder's lock for a scope; `owned()` says whether it was obtained.
class CFolderLockHolder {
  public:
    explicit CFolderLockHolder(CFolderLock& lock, DWORD waitMs = kFolderLockWaitMs)
        : lock_(lock), result_(lock.Acquire(waitMs)) {}
    ~CFolderLockHolder() { lock_.Release(); }
    CFolderLockHolder(const CFolderLockHolder&) = delete;
    CFolderLockHolder& operator=(const CFolderLockHolder&) = delete;

    CFolderLock::Result result() const { return result_; }
    bool owned() const {
        return result_ == CFolderLock::Result::kAcquired ||
               result_ == CFolderLock::Result::kAbandoned;
    }
    bool abandoned() const { return result_ == CFolderLock::Result::kAbandoned; }

  private:
    CFolderLock& lock_;
    CFolderLock::Result result_;
};

}  // namespace ETWLogging
