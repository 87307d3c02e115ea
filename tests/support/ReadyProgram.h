// Starting a helper program and waiting until it says it is ready: header only, so
// that the benchmarks, which build without the tests' libraries, use it too.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace TestSupport {

// Starts a command line and returns once the program has written `marker` to its standard
// output; the process, or none when it did not start or ended without writing it.
inline Basalt::UniqueKernelHandle StartProgramUntilOutput(const std::wstring& commandLine,
                                                          const std::string& marker) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Basalt::UniqueKernelHandle reader;
    Basalt::UniqueKernelHandle writer;
    if (!::CreatePipe(reader.put(), writer.put(), &inherit, 0) ||
        !::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0)) {
        return Basalt::UniqueKernelHandle();
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writer.get();
    PROCESS_INFORMATION started{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, /*inheritHandles=*/TRUE, 0, nullptr,
                          nullptr, &startup, &started)) {
        return Basalt::UniqueKernelHandle();
    }
    Basalt::UniqueKernelHandle thread(started.hThread);
    Basalt::UniqueKernelHandle process(started.hProcess);
    writer.reset();  // only the program's copy is left: its end ends the reads below
    std::string output;
    char buffer[256];
    DWORD read = 0;
    while (output.find(marker) == std::string::npos) {
        if (!::ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) || read == 0) {
            return Basalt::UniqueKernelHandle();
        }
        output.append(buffer, read);
    }
    return process;
}

}  // namespace TestSupport
