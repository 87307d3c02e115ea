// The installer's operations through stand-in system services, with the
// facade's logger replaced by a recording one. Its own executable: the facade
// is process-wide.
#include "gatesvc/gatesvc.h"

#include <gtest/gtest.h>
#include <knownfolders.h>

#include <map>
#include <string>
#include <vector>

#include "logging/LogFacade.h"
#include "tests/support/TestSupport.h"

using namespace Gatesvc;
using TestSupport::RecordedMessage;
using TestSupport::RecordingLogger;

namespace {

constexpr wchar_t kSystemFolder[] = L"C:\\windows\\system32";
constexpr wchar_t kProgramPath[] = L"C:\\Program Files\\Halvik\\gatesvc.exe";
constexpr wchar_t kDestination[] = L"C:\\windows\\system32\\drivers\\BulwarkK.sys";
constexpr wchar_t kSource[] = L"C:\\Program Files\\Halvik\\BulwarkK.sys";

// Counts of the catalog functions the stand-in hands out.
struct CatalogCalls {
    int acquire = 0, releaseContext = 0, releaseCatalog = 0, add = 0, remove = 0;
    BOOL acquireResult = TRUE;
    HANDLE addResult = reinterpret_cast<HANDLE>(0x5678);
    BOOL removeResult = TRUE;
    std::wstring addedPath, addedMember, removedMember;
    const GUID* subsystem = nullptr;
};
CatalogCalls g_catalog;

BOOL WINAPI FakeAcquire(HANDLE* context, const GUID* subsystem, DWORD) {
    ++g_catalog.acquire;
    g_catalog.subsystem = subsystem;
    *context = g_catalog.acquireResult ? reinterpret_cast<HANDLE>(0x1234) : nullptr;
    return g_catalog.acquireResult;
}
BOOL WINAPI FakeReleaseContext(HANDLE, DWORD) { return ++g_catalog.releaseContext, TRUE; }
BOOL WINAPI FakeReleaseCatalog(HANDLE, HANDLE, DWORD) { return ++g_catalog.releaseCatalog, TRUE; }
HANDLE WINAPI FakeAdd(HANDLE, PWSTR path, PWSTR member, DWORD) {
    ++g_catalog.add;
    g_catalog.addedPath = path ? path : L"";
    g_catalog.addedMember = member;
    return g_catalog.addResult;
}
BOOL WINAPI FakeRemove(HANDLE, LPCWSTR member, DWORD) {
    ++g_catalog.remove;
    g_catalog.removedMember = member;
    return g_catalog.removeResult;
}

// Stands in for the file system, the known folder and "wintrust.dll".
class FakeSystem : public InstallerSystemAPI {
public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) override {
        if (!systemFolderFound || !IsEqualGUID(id, FOLDERID_System)) return E_FAIL;
        const size_t bytes = (wcslen(kSystemFolder) + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        memcpy(*path, kSystemFolder, bytes);
        return S_OK;
    }
    DWORD ModuleFileName(HMODULE, wchar_t* buffer, DWORD capacity) override {
        if (!programPathReadable) return 0;
        wcsncpy_s(buffer, capacity, kProgramPath, _TRUNCATE);
        return static_cast<DWORD>(wcslen(buffer));
    }
    BOOL CopyFileTo(const wchar_t* source, const wchar_t* destination, BOOL failIfExists) override {
        calls.push_back(L"copy " + std::wstring(source) + L" -> " + destination +
                        (failIfExists ? L" failIfExists" : L""));
        if (copySucceeds) return TRUE;
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    BOOL MoveFileWithFlags(const wchar_t* source, const wchar_t* destination,
                           DWORD flags) override {
        calls.push_back(L"move " + std::wstring(source) + L" -> " +
                        (destination ? destination : L"(none)") + L" flags " +
                        std::to_wstring(flags));
        if (moveSucceeds) return TRUE;
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    BOOL DeleteFileAt(const wchar_t* path) override {
        calls.push_back(L"delete " + std::wstring(path));
        if (deleteSucceeds) return TRUE;
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    HMODULE LoadModule(const wchar_t* name) override {
        loadedName = name;
        // A real module, so that the owner's FreeLibrary has something to free.
        return wintrustPresent ? ::LoadLibraryW(L"kernel32.dll") : nullptr;
    }
    FARPROC FindProc(HMODULE, const char* name) override {
        looked.push_back(name);
        if (missing == name) return nullptr;
        static const std::map<std::string, void*> functions = {
            {"CryptCATAdminAcquireContext", reinterpret_cast<void*>(&FakeAcquire)},
            {"CryptCATAdminReleaseContext", reinterpret_cast<void*>(&FakeReleaseContext)},
            {"CryptCATAdminReleaseCatalogContext", reinterpret_cast<void*>(&FakeReleaseCatalog)},
            {"CryptCATAdminAddCatalog", reinterpret_cast<void*>(&FakeAdd)},
            {"CryptCATAdminRemoveCatalog", reinterpret_cast<void*>(&FakeRemove)},
        };
        auto found = functions.find(name);
        return found == functions.end() ? nullptr : reinterpret_cast<FARPROC>(found->second);
    }

    bool systemFolderFound = true;
    bool programPathReadable = true;
    bool copySucceeds = true;
    bool moveSucceeds = true;
    bool deleteSucceeds = true;
    bool wintrustPresent = true;
    std::string missing;
    std::wstring loadedName;
    std::vector<std::wstring> calls;
    std::vector<std::string> looked;
};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_catalog = CatalogCalls();
        logger_ = new RecordingLogger();  // owned by the facade
        ETWLogging::GetLogFacade()->SetLogger(logger_);
    }
    void TearDown() override { ETWLogging::GetLogFacade()->SetLogger(nullptr); }

    std::vector<RecordedMessage> Messages() { return logger_->Messages(); }

    std::shared_ptr<FakeSystem> system_ = std::make_shared<FakeSystem>();
    CHipsDriverInstaller installer_{system_};
    RecordingLogger* logger_ = nullptr;
};

TEST_F(InstallerTest, SuccessfulCopyLogsNothing) {
    installer_.InstallHipsDriverFile();
    ASSERT_EQ(system_->calls.size(), 1u);
    EXPECT_EQ(system_->calls[0], std::wstring(L"copy ") + kSource + L" -> " + kDestination);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(InstallerTest, FailedCopyLogsDestinationThenSourceAndSchedulesTheMove) {
    system_->copySucceeds = false;
    installer_.InstallHipsDriverFile();
    ASSERT_EQ(system_->calls.size(), 2u);
    EXPECT_EQ(system_->calls[1], std::wstring(L"move ") + kSource + L" -> " + kDestination +
                                     L" flags 4");
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 3u);
    EXPECT_EQ(messages[0].file, L"gatesvc");
    EXPECT_EQ(messages[0].function, L"InstallHipsDriverFile");
    EXPECT_EQ(messages[0].line, 136);
    EXPECT_EQ(messages[0].message, std::wstring(L"Copy file to ") + kDestination +
                                       L" failed from " + kSource +
                                       L". Try to delay copy until reboot");
}

TEST_F(InstallerTest, FailedDelayedMoveLogsItsErrorCode) {
    system_->copySucceeds = false;
    system_->moveSucceeds = false;
    installer_.InstallHipsDriverFile();
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].level, 4u);
    EXPECT_EQ(messages[1].function, L"InstallHipsDriverFile");
    EXPECT_EQ(messages[1].line, 142);
    EXPECT_EQ(messages[1].message, std::wstring(L"Delay Copy file to ") + kDestination +
                                       L" failed from " + kSource + L". error = 5");
}

TEST_F(InstallerTest, ThresholdFourDropsTheCopyMessageButKeepsTheError) {
    logger_->SetSeverity(4);
    system_->copySucceeds = false;
    system_->moveSucceeds = false;
    installer_.InstallHipsDriverFile();
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].line, 142);
}

TEST_F(InstallerTest, MissingSystemFolderLogsAndTouchesNoFile) {
    system_->systemFolderFound = false;
    installer_.InstallHipsDriverFile();
    installer_.DeleteHipsDriverFile();
    // Nothing is copied, moved or deleted: there is no destination, and a
    // relative one would land in the working directory.
    EXPECT_TRUE(system_->calls.empty());
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].level, 4u);
    EXPECT_EQ(messages[0].function, L"InstallHipsDriverFile");
    EXPECT_EQ(messages[0].line, 126);
    EXPECT_EQ(messages[0].message, L"Cannot locate System Path.");
    EXPECT_EQ(messages[1].level, 4u);
    EXPECT_EQ(messages[1].function, L"DeleteHipsDriverFile");
    EXPECT_EQ(messages[1].line, 104);
    EXPECT_EQ(messages[1].message, L"Cannot locate System Path.");
}

TEST_F(InstallerTest, UnreadableProgramPathCopiesNothingFromTheWorkingDirectory) {
    system_->programPathReadable = false;
    installer_.InstallHipsDriverFile();
    EXPECT_TRUE(system_->calls.empty());
    wchar_t path[MAX_PATH];
    wmemset(path, L'x', MAX_PATH);
    EXPECT_FALSE(installer_.BuildPathBesideProgram(L"bulwarkk_x86.cat", path));
    EXPECT_EQ(path[0], L'\0');
}

TEST_F(InstallerTest, FailedDeleteSchedulesDeletionSilently) {
    system_->deleteSucceeds = false;
    installer_.DeleteHipsDriverFile();
    ASSERT_EQ(system_->calls.size(), 2u);
    EXPECT_EQ(system_->calls[0], std::wstring(L"delete ") + kDestination);
    EXPECT_EQ(system_->calls[1], std::wstring(L"move ") + kDestination + L" -> (none) flags 4");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(InstallerTest, CatalogIsAddedUnderTheMemberNameAndEveryHandleReleased) {
    EXPECT_TRUE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x\\bulwarkk_x86.cat"));
    EXPECT_EQ(system_->loadedName, L"wintrust.dll");
    EXPECT_EQ(g_catalog.add, 1);
    EXPECT_EQ(g_catalog.addedPath, L"C:\\x\\bulwarkk_x86.cat");
    EXPECT_EQ(g_catalog.addedMember, L"Halvik HIPS Driver.cat");
    const GUID driverActionVerify = {0xF750E6C3, 0x38EE, 0x11D1,
                                     {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
    ASSERT_NE(g_catalog.subsystem, nullptr);
    EXPECT_TRUE(IsEqualGUID(*g_catalog.subsystem, driverActionVerify));
    EXPECT_EQ(g_catalog.releaseCatalog, 1);
    EXPECT_EQ(g_catalog.releaseContext, 1);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(InstallerTest, RefusedAddOrRemoveGivesFalseAndStillReleasesTheContext) {
    g_catalog.addResult = nullptr;
    EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat"));
    EXPECT_EQ(g_catalog.releaseCatalog, 0);
    EXPECT_EQ(g_catalog.releaseContext, 1);

    g_catalog.removeResult = FALSE;
    EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(false, nullptr));
    EXPECT_EQ(g_catalog.removedMember, L"Halvik HIPS Driver.cat");
    EXPECT_EQ(g_catalog.releaseContext, 2);

    g_catalog.removeResult = TRUE;
    EXPECT_TRUE(installer_.UpdateHipsDriverCatalog(false, nullptr));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(InstallerTest, ContextNotAcquiredMakesNoCatalogCall) {
    g_catalog.acquireResult = FALSE;
    EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat"));
    EXPECT_EQ(g_catalog.add, 0);
    EXPECT_EQ(g_catalog.releaseContext, 0);
}

TEST_F(InstallerTest, AnyMissingCatalogFunctionLeavesTheDatabaseAlone) {
    const char* names[] = {"CryptCATAdminAcquireContext", "CryptCATAdminReleaseContext",
                           "CryptCATAdminReleaseCatalogContext", "CryptCATAdminAddCatalog",
                           "CryptCATAdminRemoveCatalog"};
    for (const char* name : names) {
        system_->missing = name;
        EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat")) << name;
        EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(false, nullptr)) << name;
    }
    EXPECT_EQ(g_catalog.acquire, 0);
    // Looked up in the fixed order, stopping at the first missing one.
    system_->looked.clear();
    system_->missing = "CryptCATAdminRemoveCatalog";
    installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat");
    ASSERT_EQ(system_->looked.size(), 5u);
    EXPECT_EQ(system_->looked[0], "CryptCATAdminAcquireContext");
    EXPECT_EQ(system_->looked[4], "CryptCATAdminRemoveCatalog");
}

TEST_F(InstallerTest, MissingCatalogLibraryGivesFalse) {
    system_->wintrustPresent = false;
    EXPECT_FALSE(installer_.UpdateHipsDriverCatalog(true, L"C:\\x.cat"));
    EXPECT_TRUE(system_->looked.empty());
}

}  // namespace
