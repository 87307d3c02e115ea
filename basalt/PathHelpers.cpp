#include "basalt/PathHelpers.h"

#include <wchar.h>

#include <vector>

#include "basalt/StringHelpers.h"

namespace Basalt {
namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr size_t kLongPathPrefixLength = 4;

// The longest path the system hands out, in characters.
constexpr size_t kMaxPathChars = 32768;

bool HasLongPathPrefix(const std::wstring& path) {
    return path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0;
}

}  // namespace

bool DirectoryExists(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') return false;
    DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD CreateDirectoryTree(const wchar_t* fullPath) {
    if (fullPath == nullptr) return ERROR_INVALID_PARAMETER;
    if (DirectoryExists(fullPath)) return ERROR_SUCCESS;

    std::wstring copy = fullPath;
    const bool prefixed = HasLongPathPrefix(copy);
    if (prefixed) copy.erase(0, kLongPathPrefixLength);

    const size_t first = copy.find(L'\\');
    if (first == std::wstring::npos) return ERROR_SUCCESS;
    const size_t last = copy.rfind(L'\\');

    // With a single backslash the parent is a drive root, which is not made.
    if (first != last) {
        std::wstring parent = copy.substr(0, last);
        if (prefixed) parent.insert(0, kLongPathPrefix);
        DWORD code = CreateDirectoryTree(parent.c_str());
        if (code != ERROR_SUCCESS) return code;
    }

    if (::CreateDirectoryW(fullPath, nullptr)) return ERROR_SUCCESS;
    DWORD error = ::GetLastError();
    // 183 also answers for a file of that name, which is no folder to write into.
    if (error == ERROR_ALREADY_EXISTS && !DirectoryExists(fullPath)) return ERROR_DIRECTORY;
    return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* code) {
    DWORD ignored = 0;
    DWORD& result = code != nullptr ? *code : ignored;
    if (path == nullptr || *path == L'\0') {
        result = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (DirectoryExists(path)) {
        result = ERROR_ALREADY_EXISTS;
        return true;
    }

    const std::wstring given = path;
    const std::wstring current = GetCurrentDirectoryString();
    const std::wstring drive = current.substr(0, 2);
    std::wstring full;
    if (HasLongPathPrefix(given)) {
        full = given;
    } else if (given.find(L'\\') == std::wstring::npos) {
        full = FormatString(L"%s\\%s", current.c_str(), path);
    } else if (given[0] == L'\\') {
        full = FormatString(L"%s%s", drive.c_str(), path);
    } else if (given.size() > 1 && given[1] == L':') {
        full = given;
    } else {
        full = FormatString(L"%s\\%s", drive.c_str(), path);
    }

    result = CreateDirectoryTree(full.c_str());
    return result == ERROR_SUCCESS;
}

bool IsPlainPathComponent(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 0x20 || wcschr(L"\\/:*?\"<>|", c) != nullptr) return false;
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    // Device names stay devices with any extension ("NUL.txt") and trailing blanks.
    static const wchar_t* const kDevices[] = {L"CON", L"PRN",    L"AUX",
                                              L"NUL", L"CONIN$", L"CONOUT$"};
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (const wchar_t* device : kDevices) {
        if (_wcsicmp(stem.c_str(), device) == 0) return false;
    }
    if (stem.size() == 4 &&
        (_wcsnicmp(stem.c_str(), L"COM", 3) == 0 || _wcsnicmp(stem.c_str(), L"LPT", 3) == 0)) {
        const wchar_t digit = stem[3];
        // COM1 to COM9 and the superscript digits Windows also takes.
        if ((digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
            digit == L'\u00B3') {
            return false;
        }
    }
    return true;
}

std::wstring GetCurrentDirectoryString() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), &buffer[0]);
        if (length == 0) return std::wstring();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        // Too small: the result is the size needed, terminator included.
        buffer.assign(length, L'\0');
    }
}

std::wstring TextAfterLastBackslash(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring WithoutExtension(const std::wstring& name) { return name.substr(0, name.rfind(L'.')); }

std::wstring ModuleFilePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), size);
        if (length == 0) return std::wstring();
        if (length < size) return std::wstring(buffer.data(), length);
        // A name that fills the buffer may have been cut (no error on older systems).
        if (buffer.size() > kMaxPathChars) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

bool ModuleImageName(HMODULE module, std::wstring& imageName) {
    const std::wstring path = ModuleFilePath(module);
    if (path.find(L'\\') == std::wstring::npos) return false;
    imageName = TextAfterLastBackslash(path);
    return true;
}

}  // namespace Basalt
