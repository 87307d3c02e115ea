// Logs numbered lines through the file back end, for the tests that run
// several writers into one log folder at once.
// Usage: file_log_writer.exe <program data folder, or "-" for the system's> <tag> <count>
//        [<group> [<padding> [reference]]]
// Line i's message is "<tag> <i, six digits> " and `padding` x's (150 unless given), in
// group "RQD" unless another is given; "reference" logs through the earlier message path
// instead of the logger. The exit code is the number of messages that failed, 0 for none;
// 100 when the logger does not start.
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include <memory>
#include <string>

#include "basalt/StringHelpers.h"
#include "bench/reference/ReferenceFileLogging.h"
#include "logging/file/FileLogging.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 7) return 100;
    const std::wstring programData = argv[1];
    const wchar_t* group = argc > 4 ? argv[4] : L"RQD";
    const size_t padding = argc > 5 ? wcstoul(argv[5], nullptr, 10) : 150;
    const bool reference = argc > 6 && wcscmp(argv[6], L"reference") == 0;
    std::shared_ptr<Basalt::ShlObjAPI> shell;
    if (programData != L"-") shell = std::make_shared<TestSupport::FolderShell>(programData);
    std::unique_ptr<ETWLogging::CLoggingIf> logger;
    if (reference) {
        logger = std::make_unique<Reference::CReferenceLogging>(shell);
    } else {
        logger = std::make_unique<ETWLogging::CLogging>(shell);
    }
    if (logger->Init(group, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return 100;
    const std::wstring paddingText(padding, L'x');
    const int count = _wtoi(argv[3]);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring message = Basalt::FormatString(L"%s %06d ", argv[2], i) + paddingText;
        if (logger->LogMessage(L"file_log_writer", L"wmain", i, ETWLogging::kLevelError,
                               message.c_str()) != ERROR_SUCCESS) {
            ++failed;
        }
    }
    logger->Stop();
    return failed;
}
