#include "basalt/OSInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "basalt/FileVersionInfo.h"
#include "tests/support/BasaltTestSupport.h"

using namespace Basalt;
using internal::OSInfoProxy;

namespace {

// Poses a platform, a 9x minor version and an installed service pack.
class PosedSystem : public WinOSVersionAPI {
  public:
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW& info, DWORD typeMask,
                           DWORDLONG conditionMask) override {
        ++calls;
        if (typeMask == VER_PLATFORMID) return info.dwPlatformId == platform;
        if (typeMask == VER_SERVICEPACKMAJOR) return info.wServicePackMajor == servicePack;
        if (typeMask != VER_MINORVERSION) return FALSE;
        const bool less = conditionMask == ::VerSetConditionMask(0, VER_MINORVERSION, VER_LESS);
        return less ? minor < info.dwMinorVersion : minor == info.dwMinorVersion;
    }
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0;
    WORD servicePack = 0;
    std::atomic<int> calls{0};
};

// Hands out a chosen product version, or fails, or throws, and counts reads.
class PosedVersion : public internal::_Impl {
  public:
    bool ReadProductVersion(ProductVersionNumbers& numbers) override {
        ++reads;
        if (delay) ::Sleep(50);
        if (throwOnce.exchange(false)) throw std::runtime_error("conversion failed");
        if (!readable) return false;
        numbers = posed;
        return true;
    }
    ProductVersionNumbers posed;
    bool readable = true;
    bool delay = false;
    std::atomic<bool> throwOnce{false};
    std::atomic<int> reads{0};
};

std::shared_ptr<PosedVersion> Posed(DWORD major, DWORD minor, DWORD build = 0) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {major, minor, build, 0};
    return posed;
}

TEST(OSInfo, NTVersionsAreClassifiedWithTheirProbedServicePack) {
    struct Case {
        DWORD major, minor;
        WORD posedPack;
        DWORD type;
        WORD pack;
    } cases[] = {
        {4, 0, 6, 3, 0},  {5, 0, 4, 4, 4},   {5, 0, 5, 4, 0},   {5, 1, 3, 6, 3},  {5, 2, 2, 6, 2},
        {6, 0, 2, 7, 2},  {6, 1, 1, 8, 1},   {6, 1, 0, 8, 0},   {6, 2, 1, 9, 0},  {6, 3, 0, 10, 0},
        {6, 4, 0, 10, 0}, {10, 0, 0, 11, 0}, {11, 0, 0, 12, 0}, {7, 0, 0, 12, 0},
    };
    for (const Case& c : cases) {
        OSInfoProxy<PosedSystem> proxy(Posed(c.major, c.minor, 7601));
        proxy.Api().servicePack = c.posedPack;
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
        OSVersion version;
        EXPECT_EQ(proxy.GetVersion(version), c.type != kOSTypeUnknownNT);
        EXPECT_EQ(proxy.GetOSType(), c.type);
        EXPECT_EQ(version.servicePack, c.pack);
        EXPECT_EQ(proxy.GetWow64State(), kWow64No);  // a 64-bit process is never WOW64
    }
}

// Regression: a state shared by two proxies computes through the one that
// asks, even after the other one is gone.
TEST(OSInfo, SharedStateComputesThroughTheAskingProxyAfterAnotherIsGone) {
    auto posed = Posed(5, 1, 2600);
    OSInfoProxy<PosedSystem> first(posed);
    first.Api().servicePack = 3;
    {
        OSInfoProxy<PosedSystem> second(posed);
        second.Api().servicePack = 2;
    }
    OSVersion version;
    ASSERT_TRUE(first.GetVersion(version));
    EXPECT_EQ(version.servicePack, 3);
    EXPECT_GT(first.Api().calls.load(), 0);
}

TEST(OSInfo, NineXSearchFindsEveryMinorVersionButOneHundred) {
    for (DWORD minor = 0; minor <= 103; ++minor) {
        OSInfoProxy<PosedSystem> proxy(Posed(4, minor));
        proxy.Api().platform = VER_PLATFORM_WIN32_WINDOWS;
        proxy.Api().minor = minor;
        SCOPED_TRACE(minor);
        OSVersion version;
        const bool found = minor != 100;
        ASSERT_EQ(proxy.GetVersion(version), found);
        EXPECT_EQ(proxy.GetOSType(), !found ? 0u : minor == 0 ? 1u : minor < 90 ? 2u : 5u);
        EXPECT_EQ(proxy.GetWow64State(), found ? kWow64No : kWow64Undetermined);
        if (!found) continue;
        EXPECT_EQ(version.major, 4u);
        EXPECT_EQ(version.minor, minor);
    }
}

TEST(OSInfo, NeitherPlatformLeavesEverythingUndetermined) {
    OSInfoProxy<PosedSystem> proxy(std::make_shared<PosedVersion>());
    proxy.Api().platform = 3;
    EXPECT_EQ(proxy.GetOSType(), 0u);
    EXPECT_EQ(proxy.GetWow64State(), kWow64Undetermined);
    EXPECT_FALSE(proxy.IsNTPlatform());
}

TEST(OSInfo, ConcurrentFirstQueriesComputeOnce) {
    auto posed = Posed(10, 0, 19041);
    posed->delay = true;
    OSInfoProxy<PosedSystem> proxy(posed);
    std::vector<std::thread> threads;
    std::vector<DWORD> types(8);
    for (size_t i = 0; i < types.size(); ++i) {
        threads.emplace_back([&proxy, &types, i] { types[i] = proxy.GetOSType(); });
    }
    for (auto& thread : threads) thread.join();
    for (DWORD type : types) EXPECT_EQ(type, static_cast<DWORD>(kOSTypeWindows10));
    EXPECT_EQ(posed->reads.load(), 1);
}

// A failed or throwing conversion must reopen the guard, never leave it computing.
TEST(OSInfo, FailedOrThrowingComputationIsRetriedNotStuck) {
    auto posed = Posed(6, 3);
    posed->readable = false;
    OSInfoProxy<PosedSystem> proxy(posed);
    EXPECT_EQ(proxy.GetOSType(), 0u);
    posed->throwOnce = true;
    posed->readable = true;
    EXPECT_THROW(proxy.GetOSType(), std::runtime_error);
    EXPECT_EQ(proxy.GetOSType(), static_cast<DWORD>(kOSTypeNT63OrLater6x));
    EXPECT_EQ(posed->reads.load(), 3);
}

TEST(ParseProductVersion, LeadingDigitsOfUpToFourPartsWithoutOverflow) {
    ProductVersionNumbers numbers;
    ASSERT_TRUE(ParseProductVersion(L"6.1.7601.17514 (win7sp1_gdr.101119-1850)", numbers));
    EXPECT_EQ(numbers.revision, 17514u);
    ASSERT_TRUE(ParseProductVersion(L"6.3", numbers));
    EXPECT_EQ(numbers.major, 6u);
    EXPECT_EQ(numbers.minor, 3u);
    EXPECT_EQ(numbers.build, 0u);  // missing parts are 0
    EXPECT_EQ(numbers.revision, 0u);
    for (const wchar_t* bad : {L"", L"6.x", L"4294967296.0"}) {
        EXPECT_FALSE(ParseProductVersion(bad, numbers)) << bad;
    }
    EXPECT_TRUE(ParseProductVersion(L"4294967295.0", numbers));
}

TEST(OSInfo, RealKernel32UnderThisSystem) {
    OSInfoProxy<> proxy;
    ProductVersionNumbers numbers;
    ASSERT_TRUE(proxy.GetProductVersion(numbers));
    EXPECT_GE(numbers.major, 5u);
    EXPECT_TRUE(proxy.IsNTPlatform());
    DWORD type = 0, wow64 = 9;
    EXPECT_TRUE(proxy.GetOSTypeAndWow64(type, wow64));
    EXPECT_NE(type, 0u);
    EXPECT_EQ(type, proxy.GetOSType());
    EXPECT_EQ(wow64, kWow64No);  // a 64-bit test program
    EXPECT_FALSE(proxy.IsWow64());
}

TEST(FileVersionInfo, LoadsOnce) {
    SystemFileVersionInfo kernel32;
    ASSERT_TRUE(kernel32.Load(L"kernel32.dll"));
    const std::wstring version = kernel32.GetString(L"ProductVersion");
    EXPECT_FALSE(version.empty());
    EXPECT_FALSE(kernel32.Load(L"kernel32.dll"));
    EXPECT_EQ(kernel32.GetString(L"ProductVersion"), version);
}

TEST(FileVersionInfo, StringIsEmptyWhenNotLoadedOrNotThere) {
    FileVersionInfo empty;
    EXPECT_EQ(empty.GetString(L"ProductVersion"), L"");
    SystemFileVersionInfo kernel32;
    ASSERT_TRUE(kernel32.Load(L"kernel32.dll"));
    EXPECT_EQ(kernel32.GetString(L"NoSuchValue"), L"");
}

TEST(FileVersionInfo, LoadFailsWithoutTheFileOrTheSystemFolder) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    EXPECT_FALSE(FileVersionInfo().Load(std::wstring(temp) + L"no-such-file.dll"));
    EXPECT_FALSE(SystemFileVersionInfo(std::make_shared<TestSupport::FolderShell>(L""))
                     .Load(L"kernel32.dll"));
}

}  // namespace
