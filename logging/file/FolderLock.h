// A lock shared by every process that writes into one log folder: the file
// loggers of all programs that log there (of any user and session) and the
// operator tool when it changes that folder's log.ini.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace ETWLogging {

// How long a writer waits for a folder's lock before it counts the lock as
// unavailable and appends without it. A holder keeps the lock for one line or
// one log.ini change, well under this even when several programs queue for it.
constexpr DWORD kFolderLockWaitMs = 250;
// While the lock is unavailable a writer tries it without waiting, and waits
// kFolderLockProbeMs for it (or tries to open a mutex it could not open) at
// most once every kFolderLockRetryMs.
constexpr DWORD kFolderLockProbeMs = 15;
constexpr DWORD kFolderLockRetryMs = 500;
// All that a holder does with the mutex: wait on it and release it.
constexpr DWORD kFolderLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

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

    // Whether the mutex is open (the next Acquire does not try to open it).
    bool IsOpen() const { return static_cast<bool>(mutex_); }
    // Why the last Acquire returned kFailed: the code of creating or waiting.
    DWORD LastError() const { return lastError_; }

  private:
    bool Open();

    std::wstring name_;
    Basalt::UniqueKernelHandle mutex_;
    int depth_ = 0;  // Acquires not yet released
    DWORD lastError_ = ERROR_SUCCESS;
};

// How a writer that must not be held up waits for its folder's lock. Anyone
// may create an object of the lock's name first, or hold the mutex, so a lock
// that is not had within kFolderLockWaitMs, or whose mutex cannot be opened,
// is "unavailable": from then on a message does not wait for it (a try
// without waiting when the mutex is open, nothing when it is not) except for
// one wait of kFolderLockProbeMs, or one attempt to open it, per
// kFolderLockRetryMs. Any acquisition ends that state. Times are milliseconds
// of one steady clock (GetTickCount64). Not for several threads at once.
class CLockBackOff {
  public:
    struct Plan {
        bool attempt;  // false: no acquisition at all this time
        DWORD waitMs;  // how long it waits
    };

    // What the next acquisition does at `nowMs`; `opened` says whether the
    // mutex is open. A planned probe or open counts as made.
    Plan Next(bool opened, ULONGLONG nowMs);
    // Notes how the planned acquisition ended at `nowMs`. True when the lock
    // has just become unavailable: the writer reports that once.
    bool Record(CFolderLock::Result result, ULONGLONG nowMs);

  private:
    bool unavailable_ = false;
    ULONGLONG nextProbeMs_ = 0;  // when the next probe or open is due
};

// Holds a folder's lock for a scope; `owned()` says whether it was obtained.
class CFolderLockHolder {
  public:
    explicit CFolderLockHolder(CFolderLock& lock, DWORD waitMs = kFolderLockWaitMs)
        : lock_(lock), result_(lock.Acquire(waitMs)) {}
    // Waits as `backOff` plans; kFailed when it plans no acquisition.
    CFolderLockHolder(CFolderLock& lock, CLockBackOff& backOff);
    ~CFolderLockHolder() {
        if (owned()) lock_.Release();
    }
    CFolderLockHolder(const CFolderLockHolder&) = delete;
    CFolderLockHolder& operator=(const CFolderLockHolder&) = delete;

    CFolderLock::Result result() const { return result_; }
    bool owned() const {
        return result_ == CFolderLock::Result::kAcquired ||
               result_ == CFolderLock::Result::kAbandoned;
    }
    bool abandoned() const { return result_ == CFolderLock::Result::kAbandoned; }
    // Whether this acquisition found the lock newly unavailable (with a back-off).
    bool lost() const { return lost_; }

  private:
    CFolderLock& lock_;
    CFolderLock::Result result_ = CFolderLock::Result::kFailed;
    bool lost_ = false;
};

}  // namespace ETWLogging
