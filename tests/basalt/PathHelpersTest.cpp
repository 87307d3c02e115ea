#include "basalt/PathHelpers.h"

#include <gtest/gtest.h>

#include "tests/support/BasaltTestSupport.h"

using namespace Basalt;
using TestSupport::ScratchFolder;

namespace {

// Changes the current directory for one test.
class CurrentDirectory {
  public:
    explicit CurrentDirectory(const std::wstring& path) : old_(GetCurrentDirectoryString()) {
        ::SetCurrentDirectoryW(path.c_str());
    }
    ~CurrentDirectory() { ::SetCurrentDirectoryW(old_.c_str()); }

  private:
    std::wstring old_;
};

TEST(DirectoryExists, OnlyForExistingDirectories) {
    ScratchFolder folder(L"exists");
    EXPECT_TRUE(DirectoryExists(folder.path().c_str()));
    TestSupport::WriteFileText(folder / L"file", "x");
    EXPECT_FALSE(DirectoryExists((folder / L"file").c_str()));
    EXPECT_FALSE(DirectoryExists((folder / L"missing").c_str()));
    EXPECT_FALSE(DirectoryExists(L""));
    EXPECT_FALSE(DirectoryExists(nullptr));
}

// Also a regression: a plain name without a backslash creates nothing.
TEST(CreateDirectoryTree, CreatesMissingParentsKeepingLongPrefixButNotPlainNames) {
    ScratchFolder folder(L"tree");
    const std::wstring deep = L"\\\\?\\" + folder.path() + L"\\x\\y\\z";
    EXPECT_EQ(CreateDirectoryTree(deep.c_str()), 0u);
    EXPECT_TRUE(DirectoryExists((folder / L"x\\y\\z").c_str()));
    EXPECT_EQ(CreateDirectoryTree(deep.c_str()), 0u);  // existing: still 0
    EXPECT_EQ(CreateDirectoryTree((folder / L"t\\").c_str()), 0u);
    EXPECT_TRUE(DirectoryExists((folder / L"t").c_str()));
    TestSupport::WriteFileText(folder / L"file", "x");
    EXPECT_NE(CreateDirectoryTree((folder / L"file\\sub").c_str()), 0u);  // the system code
    CurrentDirectory cd(folder.path());
    EXPECT_EQ(CreateDirectoryTree(L"plainname"), 0u);
    EXPECT_FALSE(DirectoryExists((folder / L"plainname").c_str()));
}

TEST(CreateDirectoryTree, FileOfTheNameIsNoFolder) {
    ScratchFolder folder(L"treefile");
    ASSERT_TRUE(TestSupport::WriteFileText(folder / L"file", "x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), CreateDirectoryTree((folder / L"file").c_str()));
}

TEST(IsPlainPathComponent, RefusesWhatIsNotOneFolderName) {
    const struct {
        const wchar_t* name;
        bool plain;
    } cases[] = {
        {L"RQD", true},    {L"gatesvc", true},   {L"a.b", true},   {L"COM10", true},
        {L"", false},      {L".", false},        {L"..", false},   {L"a\\b", false},
        {L"a/b", false},   {L"c:", false},       {L"a*", false},   {L"a?", false},
        {L"\"q\"", false}, {L"<a>", false},      {L"a|b", false},  {L"a\tb", false},
        {L"a.", false},    {L"a ", false},       {L"CON", false},  {L"nul.txt", false},
        {L"Com1", false},  {L"LPT9.log", false}, {L"aux ", false}, {L"CONOUT$", false},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(test.plain, Basalt::IsPlainPathComponent(test.name)) << test.name;
    }
}

TEST(CreateDirectoryPath, ResolvesRelativeNamesAsTheDesignSays) {
    ScratchFolder folder(L"relative");
    CurrentDirectory cd(folder.path());
    DWORD code = 1;
    EXPECT_TRUE(CreateDirectoryPath(L"logs", &code));  // a bare name: the current directory
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(DirectoryExists((folder / L"logs").c_str()));
    EXPECT_TRUE(CreateDirectoryPath(L"logs", &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // A path starting with a backslash is taken on the current drive.
    const std::wstring rooted = folder.path().substr(2) + L"\\data\\logs";
    EXPECT_TRUE(CreateDirectoryPath(rooted.c_str(), &code));
    EXPECT_TRUE(DirectoryExists((folder / L"data\\logs").c_str()));
    EXPECT_FALSE(CreateDirectoryPath(L"", &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CreateDirectoryPath(nullptr));
    // A relative path with a backslash starts at the drive root, not here.
    const std::wstring root = folder.path().substr(0, 2) + L"\\gatesvc-tests-root";
    TestSupport::RemoveTree(root);
    EXPECT_TRUE(CreateDirectoryPath(L"gatesvc-tests-root\\b"));
    EXPECT_TRUE(DirectoryExists((root + L"\\b").c_str()));
    EXPECT_FALSE(DirectoryExists((folder / L"gatesvc-tests-root").c_str()));
    TestSupport::RemoveTree(root);
}

TEST(GetCurrentDirectoryString, MatchesTheSystem) {
    wchar_t buffer[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, buffer);
    EXPECT_EQ(GetCurrentDirectoryString(), buffer);
}

TEST(TextAfterLastBackslash, IsTheFileNameOrTheWholeText) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } kCases[] = {{L"C:\\a\\b.exe", L"b.exe"},
                  {L"b.exe", L"b.exe"},
                  {L"C:\\a\\", L""},
                  {L"\\b", L"b"},
                  {L"", L""}};
    for (const auto& c : kCases) EXPECT_EQ(TextAfterLastBackslash(c.path), c.expected) << c.path;
}

TEST(ModuleFilePath, MatchesTheSystem) {
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"kernel32.dll"), buffer, MAX_PATH);
    EXPECT_EQ(ModuleFilePath(::GetModuleHandleW(L"kernel32.dll")), buffer);
    EXPECT_EQ(ModuleFilePath(reinterpret_cast<HMODULE>(0x10)), L"");  // no such module
}

}  // namespace
