#include "tests/support/BasaltTestSupport.h"

#include <sddl.h>
#include <shlwapi.h>
#include <knownfolders.h>
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"

namespace TestSupport {

ScratchRegistryKey::ScratchRegistryKey(const std::wstring& name, HKEY root)
    : root_(root), path_(L"Software\\GatesvcTests\\" + name) {
    DeleteRegistryTree(root_, path_);
    ::RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle_.put(),
                      nullptr);
}

ScratchRegistryKey::~ScratchRegistryKey() {
    handle_.reset();
    DeleteRegistryTree(root_, path_);
}

void DeleteRegistryTree(HKEY root, const std::wstring& path) {
    ::SHDeleteKeyW(root, path.c_str());
    ::RegDeleteKeyW(root, path.c_str());
}

ScratchFolder::ScratchFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"gatesvc-tests\\" + name;
    RemoveTree(path_);
    ::CreateDirectoryW((std::wstring(temp) + L"gatesvc-tests").c_str(), nullptr);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::wstring PerTestFolderName(const wchar_t* prefix) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = test != nullptr ? test->name() : "none";
    return std::wstring(prefix) + L"-" + std::wstring(name.begin(), name.end());
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(path.c_str());
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    Basalt::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) {
        ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    bytes.resize(read);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t byteCount) {
    Basalt::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), data, static_cast<DWORD>(byteCount), &written, nullptr) &&
           written == byteCount;
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
    return WriteFileBytes(path, text.data(), text.size());
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecW(path);
    return path;
}

namespace {

// Starts a command line as `startup` says; the process, or none.
Basalt::UniqueKernelHandle Start(const std::wstring& commandLine, STARTUPINFOW& startup,
                                 BOOL inheritHandles, const wchar_t* workingFolder) {
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, inheritHandles, 0, nullptr,
                          workingFolder, &startup, &process)) {
        return Basalt::UniqueKernelHandle();
    }
    Basalt::UniqueKernelHandle threadHandle(process.hThread);
    return Basalt::UniqueKernelHandle(process.hProcess);
}

int StartAndWait(const std::wstring& commandLine, STARTUPINFOW& startup, BOOL inheritHandles,
                 const wchar_t* workingFolder) {
    Basalt::UniqueKernelHandle process = Start(commandLine, startup, inheritHandles, workingFolder);
    return process ? WaitForExit(process.get()) : -1;
}

}  // namespace

Basalt::UniqueKernelHandle StartProgram(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    return Start(commandLine, startup, FALSE, nullptr);
}

int WaitForExit(HANDLE process) {
    if (::WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) return -1;
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process, &exitCode);
    return static_cast<int>(exitCode);
}

int RunProgram(const std::wstring& commandLine, const std::wstring& workingFolder) {
    STARTUPINFOW startup{};
    return StartAndWait(commandLine, startup, FALSE,
                        workingFolder.empty() ? nullptr : workingFolder.c_str());
}

int RunProgramWithOutput(const std::wstring& commandLine, std::string& output) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"out", 0, path);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    int exitCode = -1;
    {
        Basalt::UniqueHandle file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return -1;
        STARTUPINFOW startup{};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = file.get();
        exitCode = StartAndWait(commandLine, startup, TRUE, nullptr);
    }
    auto bytes = ReadFileBytes(path);
    output.assign(bytes.begin(), bytes.end());
    ::DeleteFileW(path);
    return exitCode;
}

std::vector<std::wstring> ReadLogLines(const std::wstring& path, size_t* marks) {
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    if (marks != nullptr) {
        *marks = static_cast<size_t>(std::count(text.begin(), text.end(), L'\xFEFF'));
    }
    if (!text.empty() && text[0] == L'\xFEFF') text.erase(0, 1);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));  // a last line without its end
    return lines;
}

std::wstring LogLineMessage(const std::wstring& line) {
    const size_t cut = line.rfind(L"]$ ");
    return cut == std::wstring::npos ? line : line.substr(cut + 3);
}

std::vector<std::wstring> ReadLogMessages(const std::wstring& path) {
    std::vector<std::wstring> messages;
    for (const std::wstring& line : ReadLogLines(path)) messages.push_back(LogLineMessage(line));
    return messages;
}

HRESULT FolderShell::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD, HANDLE, PWSTR* path) {
    *path = nullptr;  // as the system leaves it on failure
    if (folder_.empty() || !::IsEqualGUID(folderId, FOLDERID_ProgramData)) return E_FAIL;
    const size_t bytes = (folder_.size() + 1) * sizeof(wchar_t);
    *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
    if (*path == nullptr) return E_OUTOFMEMORY;
    memcpy(*path, folder_.c_str(), bytes);
    return S_OK;
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring DriverDestination() { return SystemFolder() + L"\\drivers\\BulwarkK.sys"; }

std::wstring LogRoot() {
    wchar_t path[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"ProgramData", path, MAX_PATH);
    return std::wstring(path) + L"\\Halvik\\HVLOGS";
}

void ClearPendingRenames() {
    ::SHDeleteValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations");
    const std::wstring drivers = SystemFolder() + L"\\drivers\\";
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(
        ::FindFirstFileW((drivers + L"BulwarkK.sys.*.staged").c_str(), &data));
    if (!find) return;
    do {
        ::DeleteFileW((drivers + data.cFileName).c_str());
    } while (::FindNextFileW(find.get(), &data));
}

void RemoveLoggingMechanism() {
    ::SHDeleteValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvik\\Logging", L"Logging Mechanism");
}

int InstallWhileDriverHeld(const ScratchFolder& app) {
    if (!::CopyFileW((ProgramFolder() + L"\\gatesvc.exe").c_str(), (app / L"gatesvc.exe").c_str(),
                     FALSE) ||
        !WriteFileText(app / L"BulwarkK.sys", "sample driver") ||
        !WriteFileText(DriverDestination(), "driver in use")) {
        return -1;
    }
    Basalt::UniqueHandle held(::CreateFileW(DriverDestination().c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!held) return -1;
    return RunProgram(L"\"" + (app / L"gatesvc.exe") + L"\" /InstallCat", app.path());
}

GuardedBuffer::GuardedBuffer(size_t byteCount) : size_(byteCount) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t usable = (byteCount + page - 1) / page * page;
    base_ = ::VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (base_ == nullptr) {
        ADD_FAILURE() << "VirtualAlloc failed: " << ::GetLastError();
        size_ = 0;
        return;
    }
    BYTE* guard = static_cast<BYTE*>(base_) + usable;
    DWORD old = 0;
    EXPECT_TRUE(::VirtualProtect(guard, page, PAGE_NOACCESS, &old));
    data_ = guard - byteCount;
}

GuardedBuffer::GuardedBuffer(const void* data, size_t byteCount) : GuardedBuffer(byteCount) {
    if (data_ != nullptr && byteCount != 0) memcpy(data_, data, byteCount);
}

GuardedBuffer::~GuardedBuffer() {
    if (base_ != nullptr) ::VirtualFree(base_, 0, MEM_RELEASE);
}

bool ModelFileSecurity::CurrentUserSid(std::vector<BYTE>& sid) {
    Basalt::UniqueLocal converted;
    if (!::ConvertStringSidToSidW(kModelUserSid, reinterpret_cast<PSID*>(converted.put()))) {
        return false;
    }
    const BYTE* first = static_cast<const BYTE*>(converted.get());
    sid.assign(first, first + ::GetLengthSid(converted.get()));
    return true;
}

DWORD ModelFileSecurity::QuerySecurity(HANDLE handle, Basalt::UniqueLocal& descriptor) {
    const std::wstring path = Basalt::FinalPathOf(handle);
    std::wstring sddl = defaultSddl;
    for (const auto& rule : rules) {
        const std::wstring& ending = rule.first;
        if (path.size() >= ending.size() &&
            Basalt::SamePath(path.substr(path.size() - ending.size()), ending)) {
            sddl = rule.second;
            break;
        }
    }
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
               sddl.c_str(), SDDL_REVISION_1,
               reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)
               ? ERROR_SUCCESS
               : ::GetLastError();
}

DWORD ModelFileSecurity::SetProtectedDacl(HANDLE handle, PACL /*dacl*/) {
    tightened.push_back(Basalt::FinalPathOf(handle));
    return tightenResult;
}

BOOL ModelFileSecurity::CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
    std::wstring sddl;
    Basalt::UniqueLocal text;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            reinterpret_cast<LPWSTR*>(text.put()), nullptr)) {
        sddl = static_cast<const wchar_t*>(text.get());
    }
    const BOOL created = ::CreateDirectoryW(path, nullptr);
    const DWORD error = ::GetLastError();
    if (created) createdWith.push_back(sddl);
    ::SetLastError(error);
    return created;
}

}  // namespace TestSupport
