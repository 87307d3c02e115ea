// The installer's operations on real files in a scratch folder, with stand-ins for what
// cannot be made to fail for real, and a recording logger. Its own executable: the facade
// is process-wide.
#include "gatesvc/gatesvc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gatesvc/DriverFiles.h"
#include "gatesvc/PendingRenames.h"
#include "logging/LogFacade.h"
#include "tests/gatesvc/ScratchInstallerSystem.h"
#include "tests/support/TestSupport.h"

using namespace Gatesvc;
using namespace TestSupport;

namespace {

// What the stand-ins fail, and every call they were given.
enum Failure {
    kNoSystemFolder = 1,
    kNoProgramPath = 2,
    kMove = 4,
    kNoWintrust = 8,
    kAcquire = 16,
    kAdd = 32,
    kRemove = 64
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

// The scratch world, failing on demand; the scheduling is real when it does not fail,
// and "wintrust.dll" is a stand-in.
class FakeSystem : public ScratchInstallerSystem {
  public:
    FakeSystem() : ScratchInstallerSystem(L"installer") {}

    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                               PWSTR* path) override {
        *path = nullptr;
        if (g_failures & kNoSystemFolder) return E_FAIL;
        return ScratchInstallerSystem::GetKnownFolderPath(id, flags, token, path);
    }
    DWORD ModuleFileName(HMODULE module, wchar_t* buffer, DWORD capacity) override {
        if (g_failures & kNoProgramPath) return 0;
        return ScratchInstallerSystem::ModuleFileName(module, buffer, capacity);
    }
    BOOL MoveFileWithFlags(const wchar_t* from, const wchar_t* to, DWORD flags) override {
        if (!Call(L"move " + Shown(from) + L" -> " + (to ? Shown(to) : L"(none)") + L" flags " +
                      std::to_wstring(flags),
                  kMove, ERROR_ACCESS_DENIED)) {
            return FALSE;
        }
        return ::MoveFileExW(from, to, flags);
    }
    HMODULE LoadModule(const wchar_t* path) override {
        // A real module, so that the owner's FreeLibrary has one to free.
        if (!Call(L"load " + std::wstring(path), kNoWintrust)) return nullptr;
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

    // A path as the calls and pending operations show it: a staged copy, whose name is
    // random, as "<staged>".
    std::wstring Shown(const std::wstring& path) const {
        const auto staged = StagedCopies();
        for (const std::wstring& copy : staged) {
            const size_t at = path.find(copy);
            if (at != std::wstring::npos) return path.substr(0, at) + L"<staged>";
        }
        return path;
    }

    std::string missing;
    std::vector<std::string> looked;
};

enum Operation { kInstall, kUninstall, kAddCatalog, kRemoveCatalog };

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(0); }
    void TearDown() override {
        ETWLogging::GetLogFacade()->SetLogger(nullptr);
        ClearPendingRenames();
    }
    // The driver beside the program, an old one installed, nothing staged or pending.
    void Reset(int failures) {
        g_failures = failures;
        g_calls.clear();
        ClearPendingRenames();
        for (const std::wstring& copy : system_->StagedCopies()) ::DeleteFileW(copy.c_str());
        RemoveTree(system_->Source());
        ASSERT_TRUE(WriteFileText(system_->Source(), kDriver));
        ASSERT_TRUE(WriteFileText(system_->Destination(), kOldDriver));
        auto logger = std::make_unique<RecordingLogger>();
        logger_ = logger.get();  // owned by the facade
        ETWLogging::GetLogFacade()->SetLogger(std::move(logger));
    }
    // Runs `operation`, with the installed driver held open without sharing as a loaded
    // driver's file is when `held`; the result of a catalog operation, else true.
    bool Run(Operation operation, bool held = false) {
        Basalt::UniqueHandle holder;
        if (held) {
            holder.reset(::CreateFileW(system_->Destination().c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(holder);
        }
        if (operation == kInstall) installer_.InstallHipsDriverFile();
        if (operation == kUninstall) installer_.DeleteHipsDriverFile();
        if (operation == kAddCatalog) return installer_.UpdateHipsDriverCatalog(true, kCatalog);
        if (operation == kRemoveCatalog) return installer_.UpdateHipsDriverCatalog(false, nullptr);
        return true;
    }
    std::string Installed() {
        const auto bytes = ReadFileBytes(system_->Destination());
        return std::string(bytes.begin(), bytes.end());
    }
    // The pending operations, each as "source -> destination", staged copies shown as such.
    std::vector<std::wstring> Pending() {
        std::vector<wchar_t> text(32768, L'\0');
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        std::vector<std::wstring> pending;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                           RRF_RT_REG_MULTI_SZ, nullptr, text.data(), &bytes) != ERROR_SUCCESS) {
            return pending;
        }
        for (const PendingRename& r : ParsePendingRenames(text.data(), bytes / sizeof(wchar_t))) {
            pending.push_back(system_->Shown(r.source) + L" -> " + system_->Shown(r.destination));
        }
        return pending;
    }

    const wchar_t* const kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const wchar_t* const kCatalog = L"C:\\x\\bulwarkk_x86.cat";
    const std::string kDriver = "the administrator's driver";
    const std::string kOldDriver = "old driver";
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
    const std::wstring dst = system_->Destination(), src = system_->Source();
    const std::wstring load = L"load " + system_->SystemFolder() + L"\\wintrust.dll";
    const std::wstring stage = L"move <staged> -> " + dst + L" flags 5";
    const std::wstring add = L"add " + std::wstring(kCatalog) + L" as Halvik HIPS Driver.cat",
                       remove = L"remove Halvik HIPS Driver.cat";
    const std::wstring copyFailed = L"3 gatesvc InstallHipsDriverFile:136 Copy file to " + dst +
                                    L" failed from " + src + L". Try to delay copy until reboot";
    const std::wstring moveFailed = L"4 gatesvc InstallHipsDriverFile:142 Delay Copy file to " +
                                    dst + L" failed from " + src + L". error = 5";
    const std::string driver = kDriver, old = kOldDriver;
    struct Case {
        const char* name;
        Operation operation;
        int failures;
        bool held;
        DWORD severity;
        bool result;
        std::vector<std::wstring> calls, messages;
        std::string installed;
        size_t staged;
    } cases[] = {
        {"copy succeeds, logs nothing", kInstall, 0, false, 1, true, {}, {}, driver, 0},
        // The bytes wait in a new file in the drivers folder, moved over the driver at the
        // restart.
        {"destination held: a staged copy scheduled",
         kInstall,
         0,
         true,
         1,
         true,
         {stage},
         {copyFailed},
         old,
         1},
        {"scheduling fails: no staged copy left",
         kInstall,
         kMove,
         true,
         1,
         true,
         {stage},
         {copyFailed, moveFailed},
         old,
         0},
        {"threshold 4 keeps only the error",
         kInstall,
         kMove,
         true,
         4,
         true,
         {stage},
         {moveFailed},
         old,
         0},
        {"delete fails: deletion scheduled silently",
         kUninstall,
         0,
         true,
         1,
         true,
         {L"move " + dst + L" -> (none) flags 4"},
         {},
         old,
         0},
        // No destination: a relative one would land in the working directory.
        {"install without System folder",
         kInstall,
         kNoSystemFolder,
         false,
         1,
         true,
         {},
         {L"4 gatesvc InstallHipsDriverFile:126 Cannot locate System Path."},
         old,
         0},
        {"delete without System folder",
         kUninstall,
         kNoSystemFolder,
         false,
         1,
         true,
         {},
         {L"4 gatesvc DeleteHipsDriverFile:104 Cannot locate System Path."},
         old,
         0},
        // The catalog, for driver verification and under its member name, with the library
        // by its full path in the System folder: every handle acquired is released, a
        // refusal gives false, nothing is logged.
        {"catalog added",
         kAddCatalog,
         0,
         false,
         1,
         true,
         {load, L"acquire", add, L"release catalog", L"release context"},
         {},
         old,
         0},
        {"add refused",
         kAddCatalog,
         kAdd,
         false,
         1,
         false,
         {load, L"acquire", add, L"release context"},
         {},
         old,
         0},
        {"catalog removed",
         kRemoveCatalog,
         0,
         false,
         1,
         true,
         {load, L"acquire", remove, L"release context"},
         {},
         old,
         0},
        {"remove refused",
         kRemoveCatalog,
         kRemove,
         false,
         1,
         false,
         {load, L"acquire", remove, L"release context"},
         {},
         old,
         0},
        {"no context, no catalog call",
         kAddCatalog,
         kAcquire,
         false,
         1,
         false,
         {load, L"acquire"},
         {},
         old,
         0},
        {"no wintrust.dll", kAddCatalog, kNoWintrust, false, 1, false, {load}, {}, old, 0},
    };
    for (const Case& c : cases) {
        Reset(c.failures);
        if (c.severity != 1) logger_->SetSeverity(c.severity);
        EXPECT_EQ(Run(c.operation, c.held), c.result) << c.name;
        EXPECT_EQ(g_calls, c.calls) << c.name;
        EXPECT_EQ(Describe(logger_->Messages()), c.messages) << c.name;
        EXPECT_EQ(Installed(), c.installed) << c.name;
        EXPECT_EQ(system_->StagedCopies().size(), c.staged) << c.name;
    }
}

// Neither a driver file nor a catalog is looked for in the working directory.
TEST_F(InstallerTest, UnreadableProgramPathInstallsNothing) {
    g_failures = kNoProgramPath;
    installer_.RunInstallCommand();
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(Installed(), kOldDriver);
    wchar_t path[MAX_PATH];
    wmemset(path, L'x', MAX_PATH);
    EXPECT_FALSE(installer_.BuildPathBesideProgram(L"bulwarkk_x86.cat", path));
    EXPECT_EQ(path[0], L'\0');
}

// A driver that cannot be read whole through one plain-file handle is neither copied nor
// scheduled; the refusal is logged with the reason's code.
TEST_F(InstallerTest, SourceThatIsNotAReadablePlainFileIsNotInstalled) {
    const std::wstring src = system_->Source();
    const struct {
        const char* name;
        void (*plant)(const std::wstring& source);
        DWORD error;
    } cases[] = {
        {"missing", [](const std::wstring& source) { ::DeleteFileW(source.c_str()); },
         ERROR_FILE_NOT_FOUND},
        {"a folder",
         [](const std::wstring& source) {
             ::DeleteFileW(source.c_str());
             ::CreateDirectoryW(source.c_str(), nullptr);
         },
         ERROR_ACCESS_DENIED},
        {"larger than any driver",
         [](const std::wstring& source) {
             Basalt::UniqueHandle file(::CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_ALWAYS, 0, nullptr));
             FILE_END_OF_FILE_INFO end = {};
             end.EndOfFile.QuadPart = kMaxDriverBytes + 1LL;
             ::SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &end, sizeof(end));
         },
         ERROR_FILE_TOO_LARGE},
    };
    for (const auto& c : cases) {
        Reset(0);
        c.plant(src);
        Run(kInstall, /*held=*/true);  // held: the restart path is not taken either
        EXPECT_EQ(Describe(logger_->Messages()),
                  std::vector<std::wstring>{L"4 gatesvc InstallHipsDriverFile:131 Cannot read "
                                            L"driver file " +
                                            src + L". error = " + std::to_wstring(c.error)})
            << c.name;
        EXPECT_TRUE(g_calls.empty()) << c.name;
        EXPECT_EQ(Installed(), kOldDriver) << c.name;
        EXPECT_TRUE(system_->StagedCopies().empty()) << c.name;
    }
}

// The staged copy holds the bytes read at the install, and is the only operation that
// concerns the driver once done: a later copy or an uninstall cancels it and deletes the
// copy, a later staged copy replaces it, and a later copy also cancels a scheduled
// deletion. Every other pending operation stays exactly as it was.
TEST_F(InstallerTest, StagedCopyIsCancelledByALaterCopyOrUninstallKeepingOtherOperations) {
    const std::wstring dst = system_->Destination();
    const std::vector<std::wstring> others = {L"\\??\\C:\\other\\a -> !\\??\\C:\\other\\b",
                                              L"\\??\\C:\\other\\c -> "};
    const std::wstring staged = L"\\??\\<staged> -> !\\??\\" + dst;
    const std::wstring deletion = L"\\??\\" + dst + L" -> ";
    const struct {
        const char* name;
        std::vector<std::pair<Operation, bool>> steps;  // operation, destination held
        std::vector<std::wstring> pendingAfterOthers;
        std::string installed;
        size_t stagedCopies;
    } cases[] = {
        {"a later copy cancels the staged copy and the scheduled deletion",
         {{kUninstall, true}, {kInstall, true}, {kInstall, false}},
         {},
         kDriver,
         0},
        {"uninstall cancels the staged copy",
         {{kInstall, true}, {kUninstall, true}},
         {deletion},
         kOldDriver,
         0},
        {"a newer staged copy replaces the older",
         {{kInstall, true}, {kInstall, true}},
         {staged},
         kOldDriver,
         1},
    };
    for (const auto& c : cases) {
        Reset(0);
        // A rename and a deletion, then the list's closing zero.
        const wchar_t planted[] =
            L"\\??\\C:\\other\\a\0!\\??\\C:\\other\\b\0\\??\\C:\\other\\c\0\0";
        ASSERT_EQ(
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                              REG_MULTI_SZ, planted, sizeof(planted)),
            ERROR_SUCCESS);
        for (const auto& step : c.steps) Run(step.first, step.second);
        std::vector<std::wstring> expected = others;
        expected.insert(expected.end(), c.pendingAfterOthers.begin(), c.pendingAfterOthers.end());
        EXPECT_EQ(Pending(), expected) << c.name;
        EXPECT_EQ(Installed(), c.installed) << c.name;
        const auto copies = system_->StagedCopies();
        ASSERT_EQ(copies.size(), c.stagedCopies) << c.name;
        for (const std::wstring& copy : copies) {
            const auto bytes = ReadFileBytes(copy);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kDriver) << c.name;
        }
    }
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
