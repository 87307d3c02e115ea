// The lookup of RegDeleteKeyExW is process-wide; this program starts with it
// not yet done, so the threads below race on the first call.
#include "basalt/RegKey.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/BasaltTestSupport.h"

namespace {

TEST(RegKeyDeleteLookup, ConcurrentFirstCallsAllDelete) {
    TestSupport::ScratchRegistryKey scratch(L"RegKeyDeleteLookup");
    constexpr int kThreads = 8;
    for (int n = 0; n < kThreads; ++n) {
        Basalt::CRegKey child;
        ASSERT_EQ(child.Create(scratch.handle(), (L"Child" + std::to_wstring(n)).c_str()),
                  ERROR_SUCCESS);
    }
    std::vector<LONG> results(kThreads, -1);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            Basalt::CRegKey key;
            if (key.Open(scratch.root(), scratch.path().c_str()) != ERROR_SUCCESS) return;
            results[n] = key.DeleteSubKey((L"Child" + std::to_wstring(n)).c_str());
        });
    }
    for (auto& thread : threads) thread.join();
    for (int n = 0; n < kThreads; ++n) EXPECT_EQ(results[n], ERROR_SUCCESS) << n;
    wchar_t name[32];
    DWORD count = 32;
    EXPECT_EQ(
        ::RegEnumKeyExW(scratch.handle(), 0, name, &count, nullptr, nullptr, nullptr, nullptr),
        ERROR_NO_MORE_ITEMS);
}

}  // namespace
