// The tail command: the last lines of the log file that takes the lines now
// and, with -f, every line written after them, across the ring's turn-overs,
// until Ctrl+C, --seconds or --count. It takes no lock and keeps no file open
// between two looks, so it never holds up a writer or a turn-over.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "basalt/FileChecks.h"
#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/LogFolder.h"
#include "hvlogcfg/Tool.h"

namespace Hvlogcfg {
namespace {

constexpr DWORD kFollowPollMs = 250;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONGLONG kMarkBytes = 2;  // the byte order mark that starts a log file

Basalt::UniqueHandle OpenLog(const std::wstring& path) {
    return Basalt::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether the first bytes of a file without a byte order mark are UTF-16
// little-endian text of the framework's (a line starts with the date's
// digits): a log that someone emptied, and that the logger then appended to.
bool LooksLikeUtf16Log(const BYTE* bytes, DWORD count) {
    if (count < 4) return false;
    for (DWORD i = 0; i + 1 < count; i += 2) {
        if (bytes[i] == 0 || bytes[i] >= 0x80 || bytes[i + 1] != 0) return false;
    }
    return true;
}

// How many lines `text` holds; a last line without its line feed counts.
size_t CountLines(const std::wstring& text) {
    const size_t feeds = static_cast<size_t>(std::count(text.begin(), text.end(), L'\n'));
    return feeds + (!text.empty() && text.back() != L'\n' ? 1 : 0);
}

// The text at the end of a log file: enough of it for `lines` whole lines
// (a line is at most a few thousand characters), never more than a bounded
// amount however large the file or the count. A line longer than what is
// read is shown from where the reading began, marked "[...]" there. A file
// that is neither marked as UTF-16 nor starts like a log's text is not one
// of the framework's logs.
DWORD ReadLogTail(HANDLE file, DWORD lines, std::wstring& text, ULONGLONG& end) {
    constexpr ULONGLONG kBytesPerLine = 16384;
    constexpr ULONGLONG kMaxTailBytes = 64ull << 20;
    constexpr DWORD kProbeBytes = 16;
    text.clear();
    end = 0;
    BYTE probe[kProbeBytes] = {};
    DWORD read = 0;
    if (!::ReadFile(file, probe, sizeof(probe), &read, nullptr)) return ::GetLastError();
    if (read == 0) return ERROR_SUCCESS;  // created, nothing written yet
    ULONGLONG markBytes = 2;
    if (read < 2 || probe[0] != 0xFF || probe[1] != 0xFE) {
        if (!LooksLikeUtf16Log(probe, read & ~1ul)) return ERROR_BAD_FORMAT;
        markBytes = 0;
    }

    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) return ::GetLastError();
    const ULONGLONG body = static_cast<ULONGLONG>(size.QuadPart) - markBytes;
    const ULONGLONG wanted = std::min<ULONGLONG>(
        body, std::min<ULONGLONG>((ULONGLONG{lines} + 1) * kBytesPerLine, kMaxTailBytes));
    // Stay on a character boundary: characters start at even offsets.
    const ULONGLONG start = (markBytes + body - wanted + 1) & ~ULONGLONG{1};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(start);
    if (!::SetFilePointerEx(file, offset, nullptr, FILE_BEGIN)) return ::GetLastError();
    std::vector<BYTE> bytes(static_cast<size_t>(static_cast<ULONGLONG>(size.QuadPart) - start));
    DWORD total = 0;
    while (total < bytes.size()) {
        if (!::ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size() - total), &read,
                        nullptr)) {
            return ::GetLastError();
        }
        if (read == 0) break;  // shortened meanwhile
        total += read;
    }
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), total / sizeof(wchar_t));
    end = start + (total & ~DWORD{1});
    if (start > markBytes) {
        // Begun inside a line: that partial line is dropped when enough whole
        // lines follow it, and otherwise shown with a mark where it was cut.
        const size_t end = text.find(L'\n');
        const std::wstring rest = end == std::wstring::npos ? std::wstring() : text.substr(end + 1);
        text = CountLines(rest) >= lines ? rest : L"[...]" + text;
    }
    return ERROR_SUCCESS;
}

// Prints the whole lines at the front of `pending` (without their CR) and
// keeps the rest, at most `limit` lines (0: no limit); the number printed.
size_t PrintWholeLines(std::wstring& pending, size_t limit) {
    size_t printed = 0;
    size_t start = 0;
    for (size_t end; (end = pending.find(L'\n', start)) != std::wstring::npos;) {
        if (limit != 0 && printed == limit) break;
        std::wstring line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        Print(line + L"\n");
        ++printed;
        start = end + 1;
    }
    pending.erase(0, start);
    return printed;
}

// Appends to `pending` what `path` holds past `offset`, moving `offset` on. A
// file shorter than `offset` was emptied by a turn-over and is read again from
// its start; the byte order mark is skipped.
void ReadNewText(const std::wstring& path, ULONGLONG& offset, std::wstring& pending) {
    Basalt::UniqueHandle file = OpenLog(path);
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size)) return;
    const ULONGLONG end = static_cast<ULONGLONG>(size.QuadPart) & ~ULONGLONG{1};
    if (end < offset) offset = 0;
    if (offset == 0) offset = std::min(end, kMarkBytes);
    if (end == offset) return;
    LARGE_INTEGER from;
    from.QuadPart = static_cast<LONGLONG>(offset);
    std::vector<wchar_t> text(static_cast<size_t>((end - offset) / sizeof(wchar_t)));
    DWORD read = 0;
    if (!::SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                    &read, nullptr)) {
        return;
    }
    pending.append(text.data(), read / sizeof(wchar_t));
    offset += read & ~DWORD{1};
}

bool LastWrite(const std::wstring& path, FILETIME& written) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    written = data.ftLastWriteTime;
    return true;
}

// Set by Ctrl+C, Ctrl+Break or the console's closing: the follow loop ends.
HANDLE StopEvent() {
    static Basalt::UniqueKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.get();
}

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(StopEvent());
    return TRUE;  // nothing to undo: the follower holds no file between looks
}

// Prints every line added to the ring after `offset` of `file`, following the
// file that takes the lines now, until stopped.
void Follow(const Options& options, const ETWLogging::FileLoggerPaths& paths, const wchar_t* host,
            std::wstring file, ULONGLONG offset) {
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const ULONGLONG deadline = ::GetTickCount64() + ULONGLONG{options.seconds} * 1000;
    std::wstring pending;
    size_t printed = 0;
    auto more = [&] { return options.count == 0 || printed < options.count; };
    while (more()) {
        if (!file.empty()) {
            ReadNewText(file, offset, pending);
            printed += PrintWholeLines(pending, options.count == 0 ? 0 : options.count - printed);
        }
        std::wstring current;
        std::wstring uncertain;
        if (more() && CurrentRingFile(paths, options.module, host, current, uncertain) &&
            !Basalt::SamePath(current, file)) {
            // The ring turned. A file not written since the one left holds the
            // last round's lines, to be emptied: only what comes after counts.
            FILETIME left = {};
            FILETIME next = {};
            const bool stale = !file.empty() && LastWrite(file, left) && LastWrite(current, next) &&
                               ::CompareFileTime(&next, &left) < 0;
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            offset = stale && ::GetFileAttributesExW(current.c_str(), GetFileExInfoStandard, &data)
                         ? data.nFileSizeLow & ~DWORD{1}
                         : 0;
            file = current;
            pending.clear();
            continue;
        }
        if (options.seconds != 0 && ::GetTickCount64() >= deadline) break;
        if (::WaitForSingleObject(StopEvent(), kFollowPollMs) == WAIT_OBJECT_0) break;
    }
}

}  // namespace

int TailCommand(const Options& options) {
    if (options.words.size() != 1) {
        PrintError(L"tail takes no arguments");
        return kExitUsage;
    }
    ETWLogging::FileLoggerPaths paths;
    if (!ResolvePaths(options, paths)) return kExitFailure;
    const wchar_t* host = options.host.empty() ? nullptr : options.host.c_str();
    std::wstring file;
    std::wstring uncertain;
    if (!CurrentRingFile(paths, options.module, host, file, uncertain)) {
        if (options.follow) {
            Follow(options, paths, host, std::wstring(), 0);
            return kExitSuccess;
        }
        PrintError(L"no log file in " + paths.logFolder);
        return kExitFailure;
    }
    if (!uncertain.empty()) {
        PrintError(uncertain + L"; showing the file written last, " + file);
    }
    Basalt::UniqueHandle handle = OpenLog(file);
    if (!handle) {
        PrintError(L"cannot open " + file + L": " + DescribeError(::GetLastError()));
        return kExitFailure;
    }
    std::wstring text;
    ULONGLONG end = 0;
    const DWORD code = ReadLogTail(handle.get(), options.lines, text, end);
    handle.reset();
    if (code == ERROR_BAD_FORMAT) {
        PrintError(file + L" is not a log of the framework (not UTF-16 text)");
        return kExitFailure;
    }
    if (code != ERROR_SUCCESS) {
        PrintError(L"cannot read " + file + L": " + DescribeError(code));
        return kExitFailure;
    }
    std::vector<std::wstring> lines = Basalt::SplitString(text, L'\n', /*skipEmpty=*/false);
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    const size_t first = lines.size() > options.lines ? lines.size() - options.lines : 0;
    for (size_t i = first; i < lines.size(); ++i) {
        std::wstring& line = lines[i];
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        Print(line + L"\n");
    }
    if (options.follow) Follow(options, paths, host, file, end);
    return kExitSuccess;
}

}  // namespace Hvlogcfg
