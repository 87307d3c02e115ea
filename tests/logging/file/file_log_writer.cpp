// Logs numbered lines through the file back end, for the tests that run
// several writers into one log folder at once.
// Usage: file_log_writer.exe <program data folder, or "-" for the system's> <tag> <count>
// Line i's message is "<tag> <i, six digits> " and padding. The exit code is the
// number of messages that failed, 0 for none; 100 when the logger does not start.
#include <windows.h>

#include <stdlib.h>

#include <memory>
#include <string>

#include "basalt/StringHelpers.h"
#include "logging/file/FileLogging.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 100;
    const std::wstring programData = argv[1];
    std::shared_ptr<Basalt::ShlObjAPI> shell;
    if (programData != L"-") shell = std::make_shared<TestSupport::FolderShell>(programData);
    ETWLogging::CLogging logger(shell);
    if (logger.Init(L"RQD", nullptr, nullptr, nullptr) != ERROR_SUCCESS) return 100;
    const std::wstring padding(150, L'x');
    const int count = _wtoi(argv[3]);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring message = Basalt::FormatString(L"%s %06d ", argv[2], i) + padding;
        if (logger.LogMessage(L"file_log_writer", L"wmain", i, ETWLogging::kLevelError,
                              message.c_str()) != ERROR_SUCCESS) {
            ++failed;
        }
    }
    logger.Stop();
    return failed;
}
