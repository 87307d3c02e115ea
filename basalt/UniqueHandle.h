// Owners for the Win32 handles and memory blocks that the project holds.
//
// One generic owner, UniqueResource, and a one-line alias per kind. Win32
// calls write straight into an owner through put(), so a handle is never left
// naked between the call that returns it and the object that closes it.
// The close functions of these kinds are called here and nowhere else.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <stdio.h>

#include <utility>

namespace Basalt {

template <typename Traits>
class UniqueResource {
  public:
    using pointer = typename Traits::type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(pointer value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return value_; }
    bool is_valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return is_valid(); }

    // Closes what is held and takes `value` instead.
    void reset(pointer value = Traits::Invalid()) noexcept {
        pointer old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Closes what is held and returns the address for a Win32 out parameter.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

  private:
    pointer value_ = Traits::Invalid();
};

namespace traits {

struct Hkey {
    using type = HKEY;
    static HKEY Invalid() noexcept { return nullptr; }
    static void Close(HKEY key) noexcept { ::RegCloseKey(key); }
};

struct FileHandle {
    using type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};

struct KernelHandle {
    using type = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};

struct FindHandle {
    using type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { ::FindClose(handle); }
};

struct Hmodule {
    using type = HMODULE;
    static HMODULE Invalid() noexcept { return nullptr; }
    static void Close(HMODULE module) noexcept { ::FreeLibrary(module); }
};

struct Local {
    using type = HLOCAL;
    static HLOCAL Invalid() noexcept { return nullptr; }
    static void Close(HLOCAL memory) noexcept { ::LocalFree(memory); }
};

template <typename T>
struct CoTaskMem {
    using type = T*;
    static T* Invalid() noexcept { return nullptr; }
    static void Close(T* memory) noexcept { ::CoTaskMemFree(memory); }
};

struct Sid {
    using type = PSID;
    static PSID Invalid() noexcept { return nullptr; }
    static void Close(PSID sid) noexcept { ::FreeSid(sid); }
};

struct CFile {
    using type = FILE*;
    static FILE* Invalid() noexcept { return nullptr; }
    static void Close(FILE* file) noexcept { ::fclose(file); }
};

}  // namespace traits

using UniqueHkey = UniqueResource<traits::Hkey>;
// A file from CreateFileW: INVALID_HANDLE_VALUE means none.
using UniqueHandle = UniqueResource<traits::FileHandle>;
// Events, threads, processes: NULL means none.
using UniqueKernelHandle = UniqueResource<traits::KernelHandle>;
using UniqueFindHandle = UniqueResource<traits::FindHandle>;
using UniqueHmodule = UniqueResource<traits::Hmodule>;
using UniqueLocal = UniqueResource<traits::Local>;
template <typename T = wchar_t>
using UniqueCoTaskMem = UniqueResource<traits::CoTaskMem<T>>;
// A SID from AllocateAndInitializeSid.
using UniqueSid = UniqueResource<traits::Sid>;
// A C runtime stream from _wfopen_s.
using UniqueCFile = UniqueResource<traits::CFile>;

// A critical section that lives as long as its owner.
class CCriticalSection {
  public:
    explicit CCriticalSection(DWORD spinCount = 0) noexcept {
        ::InitializeCriticalSectionAndSpinCount(&section_, spinCount);
    }
    ~CCriticalSection() { ::DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&section_); }
    void Leave() noexcept { ::LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// Holds a critical section for the life of a scope.
class CAutoLock {
  public:
    explicit CAutoLock(CCriticalSection& section) noexcept : section_(section) { section_.Enter(); }
    ~CAutoLock() { section_.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CCriticalSection& section_;
};

}  // namespace Basalt
