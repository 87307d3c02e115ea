#include "basalt/FileChecks.h"

#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/BasaltTestSupport.h"

namespace {

using Basalt::CFolderChain;
using TestSupport::ModelFileSecurity;

constexpr wchar_t kNewFolderDacl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";

Basalt::UniqueLocal Sid(const wchar_t* text) {
    Basalt::UniqueLocal sid;
    EXPECT_TRUE(::ConvertStringSidToSidW(text, reinterpret_cast<PSID*>(sid.put()))) << text;
    return sid;
}

TEST(FileChecksTest, DaclKeepsOthersOutOnlyWhenNobodyElseMayWrite) {
    const struct {
        const wchar_t* sddl;
        bool keepsOut;
    } cases[] = {
        {kNewFolderDacl, true},
        // As made below the common application data folder: users may add files and folders.
        {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
         L"(A;CI;0x116;;;BU)",
         false},
        {L"D:(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)", true},  // for children alone
        // TrustedInstaller and the writer's own account.
        {L"D:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
         L"(A;;FA;;;S-1-5-21-1-2-3-1001)",
         true},
        {L"D:(A;;0x40;;;WD)", false},           // delete any child
        {L"D:(A;;WD;;;AU)", false},             // change the DACL
        {L"D:(D;;FA;;;WD)(A;;FA;;;SY)", true},  // a denial grants nothing
    };
    const Basalt::UniqueLocal self = Sid(ModelFileSecurity::kModelUserSid);
    for (const auto& test : cases) {
        Basalt::UniqueLocal descriptor;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            test.sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr))
            << test.sddl;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
        EXPECT_EQ(test.keepsOut, Basalt::DaclKeepsOthersOut(present, dacl, self.get()))
            << test.sddl;
    }
    EXPECT_FALSE(Basalt::DaclKeepsOthersOut(/*present=*/FALSE, nullptr, self.get()));  // no DACL
}

TEST(FileChecksTest, TrustedOwnersAreTheSystemsAndTheWritersOwn) {
    const Basalt::UniqueLocal self = Sid(ModelFileSecurity::kModelUserSid);
    const struct {
        const wchar_t* sid;
        bool trusted;
    } cases[] = {
        {L"S-1-5-18", true},      // SYSTEM
        {L"S-1-5-32-544", true},  // Administrators
        {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true},
        {ModelFileSecurity::kModelUserSid, true},
        {L"S-1-5-32-545", false},  // Users
        {L"S-1-5-21-1-2-3-2000", false},
        {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-1", false},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(test.trusted, Basalt::IsTrustedOwner(Sid(test.sid).get(), self.get()))
            << test.sid;
    }
}

class FolderChainTest : public ::testing::Test {
  protected:
    DWORD Open(const std::vector<std::wstring>& levels, std::wstring* failedAt = nullptr) {
        CFolderChain chain(security_);
        std::wstring finalPath;
        std::wstring failed;
        const DWORD code = chain.Open(folder_.path(), levels, /*create=*/true, finalPath, failed);
        if (failedAt != nullptr) *failedAt = failed;
        if (code == ERROR_SUCCESS) {
            EXPECT_TRUE(Basalt::SamePath(finalPath.substr(finalPath.size() - 4), L"\\B\\C"));
        }
        return code;
    }

    TestSupport::ScratchFolder folder_{L"FolderChainTest"};
    std::shared_ptr<ModelFileSecurity> security_ = std::make_shared<ModelFileSecurity>();
};

TEST_F(FolderChainTest, NewFoldersOfAPrivilegedWriterGetTheProtectedDacl) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Open({L"A", L"B", L"C"}));
    EXPECT_EQ(std::vector<std::wstring>(3, kNewFolderDacl), security_->createdWith);
    EXPECT_TRUE(security_->tightened.empty());
}

TEST_F(FolderChainTest, WriterWithoutPrivilegeTrustsAndInheritsAsItFinds) {
    security_->privileged = false;
    security_->defaultSddl = ModelFileSecurity::kUserFolderSddl;
    ASSERT_TRUE(::CreateDirectoryW((folder_ / L"A").c_str(), nullptr));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Open({L"A", L"B", L"C"}));
    EXPECT_EQ(std::vector<std::wstring>(2, L""), security_->createdWith);
}

// A privileged writer and an existing level "B" of the given security.
TEST_F(FolderChainTest, ExistingLevelIsTrustedTightenedOrRefusedByItsOwnerAndDacl) {
    const struct {
        const wchar_t* sddl;
        DWORD tightenResult;
        DWORD expected;
        size_t tightenings;
    } cases[] = {
        {ModelFileSecurity::kUserFolderSddl, ERROR_SUCCESS, Basalt::kErrorUntrustedOwner, 0},
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x116;;;BU)", ERROR_SUCCESS, ERROR_SUCCESS,
         1},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;CI;0x116;;;BU)", ERROR_ACCESS_DENIED, Basalt::kErrorOpenDacl,
         1},
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;SY)",
         ERROR_SUCCESS, ERROR_SUCCESS, 0},
    };
    for (const auto& test : cases) {
        TestSupport::RemoveTree(folder_ / L"A");
        ASSERT_TRUE(::CreateDirectoryW((folder_ / L"A").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW((folder_ / L"A\\B").c_str(), nullptr));
        security_->rules = {{L"\\A\\B", test.sddl}};
        security_->tightenResult = test.tightenResult;
        security_->tightened.clear();
        std::wstring failedAt;
        EXPECT_EQ(test.expected, Open({L"A", L"B", L"C"}, &failedAt)) << test.sddl;
        EXPECT_EQ(test.tightenings, security_->tightened.size()) << test.sddl;
        if (test.expected != ERROR_SUCCESS) {
            EXPECT_EQ(folder_ / L"A\\B", failedAt);
        }
    }
}

TEST_F(FolderChainTest, FileWhereALevelBelongsIsRefused) {
    ASSERT_TRUE(TestSupport::WriteFileText(folder_ / L"A", "not a folder"));
    std::wstring failedAt;
    EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), Open({L"A", L"B", L"C"}, &failedAt));
    EXPECT_EQ(folder_ / L"A", failedAt);
}

TEST(CheckedFileTest, OpensOrCreatesAPlainFileAndRefusesAHardLink) {
    TestSupport::ScratchFolder folder(L"CheckedFileTest");
    CFolderChain chain(std::make_shared<ModelFileSecurity>());
    std::wstring finalPath;
    std::wstring failedAt;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              chain.Open(folder.path(), {L"logs"}, /*create=*/true, finalPath, failedAt));
    const std::wstring logs = folder / L"logs";
    Basalt::UniqueHandle file;
    Basalt::FileFacts information;
    bool created = false;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              Basalt::OpenCheckedFile(logs, finalPath, L"a.log", GENERIC_READ, /*create=*/false,
                                      file, information, created));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              Basalt::OpenCheckedFile(logs, finalPath, L"a.log", GENERIC_READ, /*create=*/true,
                                      file, information, created));
    EXPECT_TRUE(created);
    file.reset();
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              Basalt::OpenCheckedFile(logs, finalPath, L"a.log", GENERIC_READ, /*create=*/true,
                                      file, information, created));
    EXPECT_FALSE(created);
    file.reset();
    ASSERT_TRUE(
        ::CreateHardLinkW((logs + L"\\b.log").c_str(), (logs + L"\\a.log").c_str(), nullptr));
    EXPECT_EQ(Basalt::kErrorHardLinked,
              Basalt::OpenCheckedFile(logs, finalPath, L"b.log", GENERIC_READ, /*create=*/true,
                                      file, information, created));
    EXPECT_FALSE(file);
}

}  // namespace
