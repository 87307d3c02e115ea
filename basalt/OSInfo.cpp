#include "basalt/OSInfo.h"

#include <vector>

#include "basalt/FileVersionInfo.h"
#include "basalt/StringHelpers.h"
#include "basalt/SystemLibrary.h"

namespace Basalt {
namespace {

constexpr DWORD kNotComputed = 0;
constexpr DWORD kComputing = 1;
constexpr DWORD kComputedState = 2;
constexpr DWORD k9xMajor = 4;
constexpr DWORD k9xMinorBound = 100;  // the search's upper bound, and its failure
constexpr DWORD k9xSearchStep = 8;
constexpr DWORD k9xSearchLimit = 104;  // the bound raised to a multiple of the step
constexpr DWORD k9xMinor90 = 90;

// Base-10 digits at the start of `part` as a 32-bit number; false when it
// starts with no digit or does not fit.
bool ConvertLeadingDigits(const std::wstring& part, DWORD& value) {
    if (part.empty() || part[0] < L'0' || part[0] > L'9') return false;
    unsigned long long number = 0;
    for (wchar_t c : part) {
        if (c < L'0' || c > L'9') break;
        number = number * 10 + static_cast<unsigned>(c - L'0');
        if (number > 0xFFFFFFFFull) return false;
    }
    value = static_cast<DWORD>(number);
    return true;
}

}  // namespace

bool IsPlatform(WinOSVersionAPI& api, DWORD platformId) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = platformId;
    return api.VerifyVersionInfo(info, VER_PLATFORMID,
                                 ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) == TRUE;
}

BOOL WinOSVersionAPI::VerifyVersionInfo(OSVERSIONINFOEXW& info, DWORD typeMask,
                                        DWORDLONG conditionMask) {
    return ::VerifyVersionInfoW(&info, typeMask, conditionMask);
}

bool QueryIsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process =
        FindProcedure<IsWow64ProcessFn>(::GetModuleHandleW(L"kernel32"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &wow64) &&
           wow64 == TRUE;
}

bool ParseProductVersion(const std::wstring& text, ProductVersionNumbers& numbers) {
    const std::vector<std::wstring> parts = SplitString(text, L'.', /*skipEmpty=*/false);
    if (parts.empty()) return false;
    ProductVersionNumbers read;
    DWORD* const fields[] = {&read.major, &read.minor, &read.build, &read.revision};
    for (size_t i = 0; i < parts.size() && i < 4; ++i) {
        if (!ConvertLeadingDigits(parts[i], *fields[i])) return false;
    }
    numbers = read;
    return true;
}

namespace internal {

bool _Impl::ReadProductVersion(ProductVersionNumbers& numbers) {
    SystemFileVersionInfo kernel32;
    if (!kernel32.Load(L"kernel32.dll")) return false;
    return ParseProductVersion(kernel32.GetString(L"ProductVersion"), numbers);
}

bool _Impl::EnsureComputed(WinOSVersionAPI& api) {
    for (;;) {
        LONG state = kNotComputed;
        if (onceState_.compare_exchange_strong(state, kComputing)) {
            // Only the thread that holds the computing state touches api_.
            api_ = &api;
            bool succeeded = false;
            try {
                succeeded = Classify();
            } catch (...) {
                api_ = nullptr;
                onceState_.store(kNotComputed);  // never left computing
                throw;
            }
            api_ = nullptr;
            onceState_.store(succeeded ? kComputedState : kNotComputed);
            return succeeded;
        }
        if (state == static_cast<LONG>(kComputedState)) return true;
        YieldProcessor();  // another thread is computing
    }
}

bool _Impl::TestMinorVersion(DWORD minor, BYTE condition) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMinorVersion = minor;
    return api_->VerifyVersionInfo(info, VER_MINORVERSION,
                                   ::VerSetConditionMask(0, VER_MINORVERSION, condition)) == TRUE;
}

WORD _Impl::ProbeServicePack(WORD highest) {
    for (WORD pack = highest; pack >= 1; --pack) {
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.wServicePackMajor = pack;
        if (api_->VerifyVersionInfo(info, VER_SERVICEPACKMAJOR,
                                    ::VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL)) ==
            TRUE) {
            return pack;
        }
    }
    return 0;
}

bool _Impl::Classify() {
    if (!ReadProductVersion(productVersion_)) return false;
    if (IsPlatform(*api_, VER_PLATFORM_WIN32_WINDOWS)) {
        // A failed search leaves `computed` clear: queries stay undetermined.
        if (!Classify9x()) return false;
        computed_ = 1;
        return true;
    }
    if (IsPlatform(*api_, VER_PLATFORM_WIN32_NT)) {
        ClassifyNT();
        computed_ = 1;
        return true;
    }
    return false;
}

void _Impl::ClassifyNT() {
    const DWORD major = productVersion_.major;
    const DWORD minor = productVersion_.minor;
    WORD highestPack = 0;
    bool queryWow64 = true;
    if (major <= 4) {
        osType_ = kOSTypeNT4OrOlder;
        queryWow64 = false;
    } else if (major == 5) {
        osType_ = minor == 0 ? kOSTypeWindows2000 : kOSTypeNT5x;
        highestPack = minor == 0 ? 4 : 3;
        queryWow64 = minor != 0;
    } else if (major == 6) {
        osType_ = minor == 0   ? kOSTypeNT60
                  : minor == 1 ? kOSTypeNT61
                  : minor == 2 ? kOSTypeNT62
                               : kOSTypeNT63OrLater6x;
        highestPack = minor == 0 ? 2 : minor == 1 ? 1 : 0;
    } else if (major == 10) {
        osType_ = kOSTypeWindows10;
    } else {
        osType_ = kOSTypeUnknownNT;
    }
    version_.major = major;
    version_.minor = minor;
    version_.servicePack = highestPack > 0 ? ProbeServicePack(highestPack) : 0;
    wow64State_ = queryWow64 && QueryIsWow64() ? kWow64Yes : kWow64No;
}

bool _Impl::Classify9x() {
    // The first multiple of 8 above the minor version...
    DWORD value = 0;
    for (DWORD bound = k9xSearchStep; bound <= k9xSearchLimit; bound += k9xSearchStep) {
        if (TestMinorVersion(bound, VER_LESS)) {
            value = bound;
            break;
        }
    }
    if (value == 0) return false;  // none passes: the result would be 100
    // ...then halve the distance: 4, 2, 1, and settle on the equal value.
    value -= 4;
    value = TestMinorVersion(value, VER_LESS) ? value - 2 : value + 2;
    value = TestMinorVersion(value, VER_LESS) ? value - 1 : value + 1;
    if (!TestMinorVersion(value, VER_EQUAL)) value -= 1;
    if (value == k9xMinorBound) return false;

    version_.major = k9xMajor;
    version_.minor = value;
    version_.servicePack = 0;
    osType_ = value == 0 ? kOSType9xMinor0 : value < k9xMinor90 ? kOSType9x : kOSType9xMinor90;
    wow64State_ = kWow64No;
    return true;
}

}  // namespace internal
}  // namespace Basalt
