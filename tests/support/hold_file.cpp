// Holds a file open without sharing, as a loaded driver image is held, for
// the given number of seconds; prints "held" once the file is open.
// Usage: hold_file.exe <path> <seconds>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "basalt/UniqueHandle.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    Basalt::UniqueHandle held(::CreateFileW(argv[1], GENERIC_READ, /*shareMode=*/0, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) return 1;
    fputs("held\n", stdout);
    fflush(stdout);
    ::Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    return 0;
}
