// Which Windows family, version and service pack the process runs on, and
// whether it is a 32-bit process on 64-bit Windows. Computed once, lazily,
// under a lock-free once-only guard; any thread may query. A proxy owns its
// system service and shares its computed state (std::shared_ptr).
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace Basalt {

// The system's version test, replaceable so that other systems can be posed.
class WinOSVersionAPI {
  public:
    virtual ~WinOSVersionAPI() = default;
    // Passes its arguments to VerifyVersionInfoW and returns its result.
    virtual BOOL VerifyVersionInfo(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask);
};

// Whether `api` says the system is of the platform `platformId` (VER_PLATFORM_WIN32_NT,
// say); false when the test itself fails.
bool IsPlatform(WinOSVersionAPI& api, DWORD platformId);

struct OSVersion {
    DWORD major = 0;
    DWORD minor = 0;
    WORD servicePack = 0;  // the service pack's major number; 0 when none or not probed
};

// The numbers of kernel32.dll's "ProductVersion"; parts it lacks are 0.
struct ProductVersionNumbers {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    DWORD revision = 0;
};

// Operating-system type codes.
enum OSType : DWORD {
    kOSTypeUndetermined = 0,
    kOSType9xMinor0 = 1,
    kOSType9x = 2,
    kOSTypeNT4OrOlder = 3,
    kOSTypeWindows2000 = 4,
    kOSType9xMinor90 = 5,
    kOSTypeNT5x = 6,
    kOSTypeNT60 = 7,
    kOSTypeNT61 = 8,
    kOSTypeNT62 = 9,
    kOSTypeNT63OrLater6x = 10,
    kOSTypeWindows10 = 11,
    kOSTypeUnknownNT = 12,
};

// 32-bit-on-64-bit states.
constexpr DWORD kWow64No = 0;
constexpr DWORD kWow64Yes = 1;
constexpr DWORD kWow64Undetermined = 2;

// The numbers of a "ProductVersion" text, split at every "."; each of the
// first four parts converts its leading decimal digits (later characters are
// ignored). False, `numbers` unchanged, for an empty text or a part that
// starts with no digit or exceeds 32 bits.
bool ParseProductVersion(const std::wstring& text, ProductVersionNumbers& numbers);

// Whether the process is a 32-bit process on 64-bit Windows (IsWow64Process,
// looked up at run time; false when the system lacks it).
bool QueryIsWow64();

namespace internal {

// The shared state of a proxy and its one-time classification.
class _Impl {
  public:
    _Impl() = default;
    virtual ~_Impl() = default;

    // The numbers of the System folder's kernel32.dll "ProductVersion"; false
    // when it cannot be read or a part does not convert to 32 bits.
    virtual bool ReadProductVersion(ProductVersionNumbers& numbers);

    // Runs the classification through `api` unless it has succeeded; true
    // when it has. The API is the calling proxy's and is held only while it
    // computes, so a state shared by several proxies never keeps a pointer
    // into one that is gone. A failed computation (or one that throws) leaves
    // the guard open, so a later query tries again and no query waits for ever.
    bool EnsureComputed(WinOSVersionAPI& api);

    bool Computed() const { return computed_ == 1; }
    const OSVersion& Version() const { return version_; }
    const ProductVersionNumbers& ProductVersion() const { return productVersion_; }
    DWORD OSType() const { return osType_; }
    DWORD Wow64State() const { return wow64State_; }

  private:
    bool Classify();
    void ClassifyNT();
    bool Classify9x();
    bool TestMinorVersion(DWORD minor, BYTE condition);
    WORD ProbeServicePack(WORD highest);

    std::atomic<LONG> onceState_{0};  // 0 not computed, 1 computing, 2 computed
    LONG computed_ = 0;
    OSVersion version_;
    ProductVersionNumbers productVersion_;
    DWORD osType_ = kOSTypeUndetermined;
    DWORD wow64State_ = kWow64No;
    WinOSVersionAPI* api_ = nullptr;  // set only while computing
};

// Answers the operating-system queries through its `API`. The cached queries
// set their outputs to "undetermined" first and fill them once computed.
template <class API = WinOSVersionAPI>
class OSInfoProxy {
  public:
    // `impl` replaces the shared state (a stand-in's product version, say);
    // none gives the plain one.
    explicit OSInfoProxy(std::shared_ptr<_Impl> impl = nullptr)
        : impl_(impl ? std::move(impl) : std::make_shared<_Impl>()) {}
    virtual ~OSInfoProxy() = default;
    OSInfoProxy(const OSInfoProxy&) = delete;
    OSInfoProxy& operator=(const OSInfoProxy&) = delete;

    // The type code; 0 when it cannot be computed.
    virtual DWORD GetOSType() {
        return impl_->EnsureComputed(api_) && impl_->Computed() ? impl_->OSType()
                                                                : kOSTypeUndetermined;
    }
    // 0 or 1; 2 when it cannot be computed.
    virtual DWORD GetWow64State() {
        return impl_->EnsureComputed(api_) && impl_->Computed() ? impl_->Wow64State()
                                                                : kWow64Undetermined;
    }
    // True when computed and the type is one the table knows (not 12).
    virtual bool GetVersion(OSVersion& version) {
        version = OSVersion();
        if (!impl_->EnsureComputed(api_) || !impl_->Computed()) return false;
        version = impl_->Version();
        return impl_->OSType() != kOSTypeUnknownNT;
    }
    virtual bool GetOSTypeAndWow64(DWORD& type, DWORD& wow64State) {
        type = kOSTypeUndetermined;
        wow64State = kWow64Undetermined;
        if (!impl_->EnsureComputed(api_) || !impl_->Computed()) return false;
        type = impl_->OSType();
        wow64State = impl_->Wow64State();
        return true;
    }
    // Asked directly each time, never cached.
    virtual bool IsWow64() { return QueryIsWow64(); }
    virtual bool IsNTPlatform() { return IsPlatform(api_, VER_PLATFORM_WIN32_NT); }
    virtual bool GetProductVersion(ProductVersionNumbers& numbers) {
        numbers = ProductVersionNumbers();
        if (!impl_->EnsureComputed(api_) || !impl_->Computed()) return false;
        numbers = impl_->ProductVersion();
        return true;
    }

    API& Api() { return api_; }

  private:
    API api_;
    std::shared_ptr<_Impl> impl_;
};

}  // namespace internal
}  // namespace Basalt
