#include "basalt/OSInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "basalt/FileVersionInfo.h"

using namespace Basalt;
using internal::OSInfoProxy;

namespace {

// Poses a system to the version tests: a platform, a 9x minor version and an
// installed service pack.
class PosedSystem : public WinOSVersionAPI {
public:
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW& info, DWORD typeMask,
                           DWORDLONG conditionMask) override {
        ++calls;
        if (typeMask == VER_PLATFORMID) return info.dwPlatformId == platform;
        if (typeMask == VER_SERVICEPACKMAJOR) return info.wServicePackMajor == servicePack;
        if (typeMask == VER_MINORVERSION) {
            if (conditionMask == ::VerSetConditionMask(0, VER_MINORVERSION, VER_LESS)) {
                return minor < info.dwMinorVersion;
            }
            return minor == info.dwMinorVersion;
        }
        return FALSE;
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

struct Classified {
    DWORD type;
    OSVersion version;
    DWORD wow64;
    bool versionAnswered;
};

Classified Classify(DWORD major, DWORD minor, WORD servicePack) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {major, minor, 7601, 17514};
    OSInfoProxy<PosedSystem> proxy(posed);
    proxy.Api().servicePack = servicePack;
    Classified result{};
    result.versionAnswered = proxy.GetVersion(result.version);
    result.type = proxy.GetOSType();
    result.wow64 = proxy.GetWow64State();
    return result;
}

TEST(OSInfo, NTClassificationTableAndServicePackProbing) {
    struct Case {
        DWORD major, minor;
        WORD posedPack;
        DWORD type;
        WORD pack;
    } cases[] = {
        {4, 0, 6, 3, 0},   {5, 0, 4, 4, 4},   {5, 0, 5, 4, 0},  {5, 1, 3, 6, 3},
        {5, 2, 2, 6, 2},   {6, 0, 2, 7, 2},   {6, 1, 1, 8, 1},  {6, 1, 0, 8, 0},
        {6, 2, 1, 9, 0},   {6, 3, 0, 10, 0},  {6, 4, 0, 10, 0}, {10, 0, 0, 11, 0},
        {11, 0, 0, 12, 0}, {7, 0, 0, 12, 0},
    };
    for (const Case& c : cases) {
        const Classified result = Classify(c.major, c.minor, c.posedPack);
        EXPECT_EQ(result.type, c.type) << c.major << "." << c.minor;
        EXPECT_EQ(result.version.servicePack, c.pack) << c.major << "." << c.minor;
        // A 64-bit process is never a 32-bit process on 64-bit Windows.
        EXPECT_EQ(result.wow64, kWow64No);
        EXPECT_EQ(result.versionAnswered, c.type != kOSTypeUnknownNT);
    }
}

TEST(OSInfo, ProductVersionNumbersAreKept) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {6, 1, 7601, 17514};
    OSInfoProxy<PosedSystem> proxy(posed);
    ProductVersionNumbers numbers;
    ASSERT_TRUE(proxy.GetProductVersion(numbers));
    EXPECT_EQ(numbers.major, 6u);
    EXPECT_EQ(numbers.minor, 1u);
    EXPECT_EQ(numbers.build, 7601u);
    EXPECT_EQ(numbers.revision, 17514u);
    DWORD type = 0, wow64 = 0;
    EXPECT_TRUE(proxy.GetOSTypeAndWow64(type, wow64));
    EXPECT_EQ(type, static_cast<DWORD>(kOSTypeNT61));
}

// A state shared by two proxies computes through the proxy that asks, even
// after the other one is gone.
TEST(OSInfo, SharedStateOutlivesAProxyAndComputesThroughTheOneThatAsks) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {5, 1, 2600, 0};
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

TEST(OSInfo, NineXSearchFindsEveryMinorVersionAndRefusesOneHundred) {
    for (DWORD minor = 0; minor <= 103; ++minor) {
        auto posed = std::make_shared<PosedVersion>();
        posed->posed = {4, minor, 0, 0};
        OSInfoProxy<PosedSystem> proxy(posed);
        proxy.Api().platform = VER_PLATFORM_WIN32_WINDOWS;
        proxy.Api().minor = minor;
        OSVersion version;
        if (minor == 100) {
            EXPECT_FALSE(proxy.GetVersion(version));
            EXPECT_EQ(proxy.GetOSType(), 0u);
            EXPECT_EQ(proxy.GetWow64State(), kWow64Undetermined);
            continue;
        }
        ASSERT_TRUE(proxy.GetVersion(version)) << minor;
        EXPECT_EQ(version.major, 4u);
        EXPECT_EQ(version.minor, minor);
        const DWORD expected = minor == 0 ? 1 : minor < 90 ? 2 : 5;
        EXPECT_EQ(proxy.GetOSType(), expected) << minor;
        EXPECT_EQ(proxy.GetWow64State(), kWow64No);
    }
}

TEST(OSInfo, NeitherPlatformLeavesEverythingUndetermined) {
    auto posed = std::make_shared<PosedVersion>();
    OSInfoProxy<PosedSystem> proxy(posed);
    proxy.Api().platform = 3;
    EXPECT_EQ(proxy.GetOSType(), 0u);
    EXPECT_EQ(proxy.GetWow64State(), kWow64Undetermined);
    EXPECT_FALSE(proxy.IsNTPlatform());
}

TEST(OSInfo, ConcurrentFirstQueriesComputeOnce) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {10, 0, 19041, 1};
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

TEST(OSInfo, FailedOrThrowingComputationIsRetriedNotStuck) {
    auto posed = std::make_shared<PosedVersion>();
    posed->posed = {6, 3, 0, 0};
    posed->readable = false;
    OSInfoProxy<PosedSystem> proxy(posed);
    EXPECT_EQ(proxy.GetOSType(), 0u);
    posed->throwOnce = true;
    posed->readable = true;
    EXPECT_THROW(proxy.GetOSType(), std::runtime_error);
    // The guard was reopened: the next query computes and succeeds.
    EXPECT_EQ(proxy.GetOSType(), static_cast<DWORD>(kOSTypeNT63OrLater6x));
    EXPECT_EQ(posed->reads.load(), 3);
}

TEST(ParseProductVersion, LeadingDigitsOfUpToFourParts) {
    ProductVersionNumbers numbers;
    ASSERT_TRUE(ParseProductVersion(L"6.1.7601.17514 (win7sp1_gdr.101119-1850)", numbers));
    EXPECT_EQ(numbers.revision, 17514u);
    ASSERT_TRUE(ParseProductVersion(L"6.3", numbers));
    EXPECT_EQ(numbers.major, 6u);
    EXPECT_EQ(numbers.minor, 3u);
    EXPECT_EQ(numbers.build, 0u);
    EXPECT_EQ(numbers.revision, 0u);
    EXPECT_FALSE(ParseProductVersion(L"", numbers));
    EXPECT_FALSE(ParseProductVersion(L"6.x", numbers));
    EXPECT_FALSE(ParseProductVersion(L"4294967296.0", numbers));
    EXPECT_TRUE(ParseProductVersion(L"4294967295.0", numbers));
}

TEST(OSInfo, RealKernel32UnderThisSystem) {
    OSInfoProxy<> proxy;
    ProductVersionNumbers numbers;
    ASSERT_TRUE(proxy.GetProductVersion(numbers));
    EXPECT_GE(numbers.major, 5u);
    EXPECT_TRUE(proxy.IsNTPlatform());
    EXPECT_NE(proxy.GetOSType(), 0u);
    EXPECT_EQ(proxy.GetWow64State(), kWow64No);  // a 64-bit test program
    EXPECT_FALSE(proxy.IsWow64());
}

// Fails every known-folder request.
class NoFolders : public ShlObjAPI {
public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override {
        *path = nullptr;
        return E_FAIL;
    }
};

TEST(FileVersionInfo, LoadsOnceAndAnswersStrings) {
    SystemFileVersionInfo kernel32;
    FileVersionInfo empty;
    EXPECT_EQ(empty.GetString(L"ProductVersion"), L"");
    ASSERT_TRUE(kernel32.Load(L"kernel32.dll"));
    const std::wstring version = kernel32.GetString(L"ProductVersion");
    EXPECT_FALSE(version.empty());
    EXPECT_FALSE(kernel32.Load(L"kernel32.dll"));  // an object loads once
    EXPECT_EQ(kernel32.GetString(L"ProductVersion"), version);
    EXPECT_EQ(kernel32.GetString(L"NoSuchValue"), L"");
}

TEST(FileVersionInfo, FileWithoutResourceOrFolderLoadsNothing) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    FileVersionInfo info;
    EXPECT_FALSE(info.Load(std::wstring(temp) + L"no-such-file.dll"));
    SystemFileVersionInfo withoutFolder(std::make_shared<NoFolders>());
    EXPECT_FALSE(withoutFolder.Load(L"kernel32.dll"));
}

}  // namespace
