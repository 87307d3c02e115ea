// The installer's operations through stand-in system services, with a recording logger.
// Its own executable: the facade is process-wide.
#include "gatesvc/gatesvc.h"

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <shlwapi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "logging/LogFacade.h"
#include "tests/support/TestSupport.h"

using namespace Gatesvc;
using TestSupport::RecordedMessage;
using TestSupport::RecordingLogger;

namespace {

// What the stand-ins fail, and every call they were given.
enum Failure {
    kNoSystemFolder = 1,
    kNoProgramPath = 2,
    kCopy = 4,
    kMove = 8,
    kDelete = 16,
    kNoWintrust = 32,
    kAcquire = 64,
    kAdd = 128,
    kRemove = 256
};
int g_failures = 0;
std::vector<std::wstring> g_calls;

// Records the call; FALSE with `error` as the last error when `failure` is among g_failures.
BOOL Call(const std::wstring& call, int failure, DWORD error = ERROR_GEN_FAILURE) {
    g_calls.push_back(call);
    if (!(g_failures & failure)) return TRUE;
    ::SetLastError(error);
    return FALSE;
}

BOOL WINAPI FakeAcquire(HANDLE* context, const GUID* subsystem, DWORD) {
    const GUID driverActionVerify = {
        0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
    const bool verify = subsystem != nullptr && IsEqualGUID(*subsystem, driverActionVerify);
    const BOOL acquired = Call(verify ? L"acquire" : L"acquire another subsystem", kAcquire);
    *context = acquired ? reinterpret_cast<HANDLE>(0x1234) : nullptr;
    return acquired;
}
BOOL WINAPI FakeReleaseContext(HANDLE, DWORD) { return Call(L"release context", 0); }
BOOL WINAPI FakeReleaseCatalog(HANDLE, HANDLE, DWORD) { return Call(L"release catalog", 0); }
HANDLE WINAPI FakeAdd(HANDLE, PWSTR path, PWSTR member, DWORD) {
    const BOOL added = Call(L"add " + std::wstring(path ? path : L"") + L" as " + member, kAdd);
    return added ? reinterpret_cast<HANDLE>(0x5678) : nullptr;
}
BOOL WINAPI FakeRemove(HANDLE, LPCWSTR member, DWORD) {
    return Call(L"remove " + std::wstring(member), kRemove);
}

// Stands in for the file system, the known folder and "wintrust.dll".
class FakeSystem : public InstallerSystemAPI {
  public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) override {
        if ((g_failures & kNoSystemFolder) || !IsEqualGUID(id, FOLDERID_System)) return E_FAIL;
        return ::SHStrDupW(L"C:\\windows\\system32", path);
    }
    DWORD ModuleFileName(HMODULE, wchar_t* buffer, DWORD capacity) override {
        if (g_failures & kNoProgramPath) return 0;
        wcsncpy_s(buffer, capacity, L"C:\\Program Files\\Halvik\\gatesvc.exe", _TRUNCATE);
        return static_cast<DWORD>(wcslen(buffer));
    }
    BOOL CopyFileTo(const wchar_t* from, const wchar_t* to, BOOL failIfExists) override {
        return Call(
            L"copy " + std::wstring(from) + L" -> " + to + (failIfExists ? L" failIfExists" : L""),
            kCopy, ERROR_SHARING_VIOLATION);
    }
    BOOL MoveFileWithFlags(const wchar_t* from, const wchar_t* to, DWORD flags) override {
        return Call(L"move " + std::wstring(from) + L" -> " + (to ? to : L"(none)") + L" flags " +
                        std::to_wstring(flags),
                    kMove, ERROR_ACCESS_DENIED);
    }
    BOOL DeleteFileAt(const wchar_t* path) override {
        return Call(L"delete " + std::wstring(path), kDelete, ERROR_FILE_NOT_FOUND);
    }
    HMODULE LoadModule(const wchar_t* name) override {
        // A real module, so that the owner's FreeLibrary has one to free.
        if (!Call(L"load " + std::wstring(name), kNoWintrust)) return nullptr;
        return ::LoadLibraryW(L"kernel32.dll");
    }
    FARPROC FindProc(HMODULE, const char* name) override {
        looked.push_back(name);
        static const std::map<std::string, void*> functions = {
            {"CryptCATAdminAcquireContext", reinterpret_cast<void*>(&FakeAcquire)},
            {"CryptCATAdminReleaseContext", reinterpret_cast<void*>(&FakeReleaseContext)},
            {"CryptCATAdminReleaseCatalogContext", reinterpret_cast<void*>(&FakeReleaseCatalog)},
            {"CryptCATAdminAddCatalog", reinterpret_cast<void*>(&FakeAdd)},
            {"CryptCATAdminRemoveCatalog", reinterpret_cast<void*>(&FakeRemove)}};
        auto found = functions.find(name);
        if (missing == name || found == functions.end()) return nullptr;
        return reinterpret_cast<FARPROC>(found->second);
    }

    std::string missing;
    std::vector<std::string> looked;
};

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(0); }
    void TearDown() override { ETWLogging::GetLogFacade()->SetLogger(nullptr); }
    void Reset(int failures) {
        g_failures = failures;
        g_calls.clear();
        auto logger = std::make_unique<RecordingLogger>();
        logger_ = logger.get();  // owned by the facade
        ETWLogging::GetLogFacade()->SetLogger(std::move(logger));
    }

    std::shared_ptr<FakeSystem> system_ = std::make_shared<FakeSystem>();
    CHipsDriverInstaller installer_{system_};
    RecordingLogger* logger_ = nullptr;
};

// One line per message: level, source, function, line and text.
std::vector<std::wstring> Describe(const std::vector<RecordedMessage>& messages) {
    std::vector<std::wstring> lines;
    for (const RecordedMessage& m : messages) {
        lines.push_back(std::to_wstring(m.level) + L" " + m.file + L" " + m.function + L":" +
                        std::to_wstring(m.line) + L" " + m.message);
    }
    return lines;
}

TEST_F(InstallerTest, EachOperationMakesItsCallsWithExactlyItsMessages) {
    const std::wstring dst = L"C:\\windows\\system32\\drivers\\BulwarkK.sys";
    const std::wstring src = L"C:\\Program Files\\Halvik\\BulwarkK.sys";
    const std::wstring cat = L"C:\\x\\bulwarkk_x86.cat";
    // By its full path in the System folder, never by a bare name.
    const std::wstring load = L"load C:\\windows\\system32\\wintrust.dll";
    const std::wstring copy = L"copy " + src + L" -> " + dst,
                       move = L"move " + src + L" -> " + dst + L" flags 5";
    const std::wstring add = L"add " + cat + L" as Halvik HIPS Driver.cat",
                       remove = L"remove Halvik HIPS Driver.cat";
    const std::wstring copyFailed = L"3 gatesvc InstallHipsDriverFile:136 Copy file to " + dst +
                                    L" failed from " + src + L". Try to delay copy until reboot";
    const std::wstring moveFailed = L"4 gatesvc InstallHipsDriverFile:142 Delay Copy file to " +
                                    dst + L" failed from " + src + L". error = 5";
    enum Operation { kInstall, kUninstall, kAddCatalog, kRemoveCatalog };
    struct Case {
        const char* name;
        Operation operation;
        int failures;
        DWORD severity;
        bool result;
        std::vector<std::wstring> calls, messages;
    } cases[] = {
        {"copy succeeds, logs nothing", kInstall, 0, 1, true, {copy}, {}},
        {"copy fails: move scheduled", kInstall, kCopy, 1, true, {copy, move}, {copyFailed}},
        {"delayed move fails",
         kInstall,
         kCopy | kMove,
         1,
         true,
         {copy, move},
         {copyFailed, moveFailed}},
        {"threshold 4 keeps only the error",
         kInstall,
         kCopy | kMove,
         4,
         true,
         {copy, move},
         {moveFailed}},
        {"delete fails: deletion scheduled silently",
         kUninstall,
         kDelete,
         1,
         true,
         {L"delete " + dst, L"move " + dst + L" -> (none) flags 4"},
         {}},
        // No destination: a relative one would land in the working directory.
        {"install without System folder",
         kInstall,
         kNoSystemFolder,
         1,
         true,
         {},
         {L"4 gatesvc InstallHipsDriverFile:126 Cannot locate System Path."}},
        {"delete without System folder",
         kUninstall,
         kNoSystemFolder,
         1,
         true,
         {},
         {L"4 gatesvc DeleteHipsDriverFile:104 Cannot locate System Path."}},
        // The catalog, for driver verification and under its member name: every handle
        // acquired is released, a refusal gives false, nothing is logged.
        {"catalog added",
         kAddCatalog,
         0,
         1,
         true,
         {load, L"acquire", add, L"release catalog", L"release context"},
         {}},
        {"add refused",
         kAddCatalog,
         kAdd,
         1,
         false,
         {load, L"acquire", add, L"release context"},
         {}},
        {"catalog removed",
         kRemoveCatalog,
         0,
         1,
         true,
         {load, L"acquire", remove, L"release context"},
         {}},
        {"remove refused",
         kRemoveCatalog,
         kRemove,
         1,
         false,
         {load, L"acquire", remove, L"release context"},
         {}},
        {"no context, no catalog call", kAddCatalog, kAcquire, 1, false, {load, L"acquire"}, {}},
        {"no wintrust.dll", kAddCatalog, kNoWintrust, 1, false, {load}, {}},
    };
    for (const Case& c : cases) {
        Reset(c.failures);
        if (c.severity != 1) logger_->SetSeverity(c.severity);
        bool result = true;
        if (c.operation == kInstall) installer_.InstallHipsDriverFile();
        if (c.operation == kUninstall) installer_.DeleteHipsDriverFile();
        const bool add = c.operation == kAddCatalog;
        if (add || c.operation == kRemoveCatalog) {
            result = installer_.UpdateHipsDriverCatalog(add, add ? cat.c_str() : nullptr);
        }
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(g_calls, c.calls) << c.name;
        EXPECT_EQ(Describe(logger_->Messages()), c.messages) << c.name;
    }
}

// Neither a driver file nor a catalog is looked for in the working directory.
TEST_F(InstallerTest, UnreadableProgramPathInstallsNothing) {
    g_failures = kNoProgramPath;
    installer_.RunInstallCommand();
    EXPECT_TRUE(g_calls.empty());
    wchar_t path[MAX_PATH];
    wmemset(path, L'x', MAX_PATH);
    EXPECT_FALSE(installer_.BuildPathBesideProgram(L"bulwarkk_x86.cat", path));
    EXPECT_EQ(path[0], L'\0');
}

TEST_F(InstallerTest, AnyMissingCatalogFunctionLeavesTheDatabaseAlone) {
    for (const char* name : {"CryptCATAdminAcquireContext", "CryptCATAdminReleaseContext",
                             "CryptCATAdminReleaseCatalogContext", "CryptCATAdminAddCatalog",
                             "CryptCATAdminRemoveCatalog"}) {
        system_->missing = name;
        EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat")) << name;
        EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(false, nullptr)) << name;
    }
    EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), L"acquire"), 0);
    // Looked up in the fixed order, stopping at the first missing one.
    system_->looked.clear();
    installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat");
    ASSERT_EQ(system_->looked.size(), 5u);
    EXPECT_EQ(system_->looked[0], "CryptCATAdminAcquireContext");
    EXPECT_EQ(system_->looked[4], "CryptCATAdminRemoveCatalog");
}

}  // namespace
