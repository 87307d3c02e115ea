// The log folders' lock: the security its mutex is made with, and how a writer backs off
// from a lock it cannot have.
#include "logging/file/FolderLock.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "basalt/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ETWLogging;
using Result = CFolderLock::Result;

// The DACL of the named mutex as SDDL text; empty when it cannot be read.
std::wstring MutexDaclText(const std::wstring& name) {
    Basalt::UniqueKernelHandle mutex(::OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    Basalt::UniqueLocal descriptor;
    PACL dacl = nullptr;
    Basalt::UniqueLocal text;
    if (!mutex ||
        ::GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<LPWSTR*>(text.put()), nullptr)) {
        return L"";
    }
    return static_cast<const wchar_t*>(text.get());
}

// Only LocalSystem and the administrators may wait on the mutex and release it: a
// standard user can neither open it nor hold it against the privileged writers.
TEST(FolderLock, MutexLetsOnlySystemAndAdministratorsWaitAndRelease) {
    const std::wstring folder = TestSupport::PerTestFolderName(L"C:\\Locked");
    CFolderLock lock(folder);
    ASSERT_EQ(Result::kAcquired, lock.Acquire(0));
    EXPECT_EQ(L"D:(A;;0x100001;;;SY)(A;;0x100001;;;BA)", MutexDaclText(FolderLockName(folder)));
    lock.Release();
}

// A writer waits the full time while the lock is available; once it is not (held past
// the wait, or its mutex cannot be opened) it says so once, then tries without waiting
// and waits briefly, or opens again, only once per interval, until it has the lock again.
TEST(CLockBackOff, WaitsBrieflyOncePerIntervalWhileUnavailableAndReportsEachLossOnce) {
    constexpr ULONGLONG kLost = 1000;
    constexpr ULONGLONG kDue = kLost + kFolderLockRetryMs;
    const struct {
        ULONGLONG now;
        bool opened;
        bool attempt;   // planned
        DWORD waitMs;   // planned
        Result result;  // of the acquisition, when attempted
        bool reported;
    } kSteps[] = {
        {0, false, true, kFolderLockWaitMs, Result::kAcquired, false},
        {kLost, true, true, kFolderLockWaitMs, Result::kTimedOut, true},  // held too long
        {kLost + 1, true, true, 0, Result::kTimedOut, false},             // a try, no wait
        {kDue - 1, true, true, 0, Result::kTimedOut, false},
        {kDue, true, true, kFolderLockProbeMs, Result::kTimedOut, false},  // the probe
        {kDue + 1, true, true, 0, Result::kAcquired, false},               // the holder let go
        {kDue + 2, true, true, kFolderLockWaitMs, Result::kFailed, true},  // lost again
        {kDue + 3, false, false, 0, Result::kFailed, false},               // no open between
        {kDue + 2 + kFolderLockRetryMs, false, true, kFolderLockProbeMs, Result::kFailed, false},
        {kDue + 3 + kFolderLockRetryMs, false, false, 0, Result::kFailed, false},
        {kDue + 2 + 2 * kFolderLockRetryMs, false, true, kFolderLockProbeMs, Result::kAbandoned,
         false},
        {kDue + 3 + 2 * kFolderLockRetryMs, true, true, kFolderLockWaitMs, Result::kAcquired,
         false},
    };
    CLockBackOff backOff;
    for (const auto& step : kSteps) {
        SCOPED_TRACE(step.now);
        const CLockBackOff::Plan plan = backOff.Next(step.opened, step.now);
        EXPECT_EQ(step.attempt, plan.attempt);
        EXPECT_EQ(step.waitMs, plan.waitMs);
        if (plan.attempt) {
            EXPECT_EQ(step.reported, backOff.Record(step.result, step.now));
        }
    }
}

}  // namespace
