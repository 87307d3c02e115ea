// The entry point of every test program: GoogleTest's, behind a last-chance
// exception filter.
//
// A test that faults must fail the run. Without the filter the fault goes to
// the system's post-mortem debugger, and under Wine the exit status that then
// reaches the test runner is not reliably non-zero. The filter names the fault
// and ends the process with an exit code that is non-zero in its low byte,
// which is all that a Linux parent sees of a Windows exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

namespace {

constexpr UINT kFaultExitCode = 3;

LONG WINAPI ReportFaultAndExit(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    fprintf(stderr, "\nUnhandled exception 0x%08lX at %p: the test program stops here.\n",
            static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress);
    fflush(stdout);
    fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), kFaultExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    ::SetUnhandledExceptionFilter(ReportFaultAndExit);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
