#include "basalt/RegKey.h"

#include <objbase.h>
#include <shlwapi.h>
#include <wchar.h>

#include <new>

#include "basalt/Security.h"
#include "basalt/SystemLibrary.h"

namespace Basalt {
namespace internal {

namespace {

constexpr REGSAM kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kGuidTextCapacity = 64;
constexpr DWORD kSubKeyNameCapacity = 256;
constexpr DWORD kMaxCharCount = MAXDWORD / sizeof(wchar_t);

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, const wchar_t*, REGSAM, DWORD);

// RegDeleteKeyExW is missing on old systems. It is looked up once per process
// in the already loaded advapi32 (never loaded for this); a null result is kept
// too. The function-local static makes concurrent first calls safe.
RegDeleteKeyExWFn RegDeleteKeyExFunction() {
    static const RegDeleteKeyExWFn function = []() -> RegDeleteKeyExWFn {
        return FindProcedure<RegDeleteKeyExWFn>(::GetModuleHandleW(L"Advapi32.dll"),
                                                "RegDeleteKeyExW");
    }();
    return function;
}

// Bytes of a text of `charCount` characters, or 0 when they do not fit a DWORD.
DWORD TextByteCount(size_t charCount) {
    if (charCount > kMaxCharCount) return 0;
    return static_cast<DWORD>(charCount * sizeof(wchar_t));
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// A value of exactly `expectedType` and sizeof(T) bytes, read through the
// key's own QueryValue. Read into a local so that a value of another type or
// size never leaves partial bytes in the caller's variable.
template <typename T>
LONG QueryFixedSizeValue(CRegKeyImpl& key, const wchar_t* valueName, DWORD expectedType, T& value) {
    DWORD type = 0;
    T data = 0;
    DWORD byteCount = sizeof(data);
    const LONG result = key.QueryValue(valueName, &type, &data, &byteCount);
    if (result != ERROR_SUCCESS) return result;
    if (type != expectedType || byteCount != sizeof(data)) return ERROR_INVALID_DATA;
    value = data;
    return ERROR_SUCCESS;
}

}  // namespace

CRegKeyImpl::~CRegKeyImpl() { CRegKeyImpl::Close(); }

LONG CRegKeyImpl::QueryValue(const wchar_t* valueName, DWORD* type, void* data, DWORD* byteCount) {
    return ::RegQueryValueExW(key_, valueName, /*reserved=*/nullptr, type, static_cast<BYTE*>(data),
                              byteCount);
}

LONG CRegKeyImpl::SetValue(const wchar_t* valueName, DWORD type, const void* data,
                           DWORD byteCount) {
    if (data == nullptr || byteCount == 0) return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(key_, valueName, /*reserved=*/0, type, static_cast<const BYTE*>(data),
                            byteCount);
}

LONG CRegKeyImpl::SetGUIDValue(const wchar_t* valueName, const GUID& value) {
    wchar_t text[kGuidTextCapacity] = {};
    ::StringFromGUID2(value, text, kGuidTextCapacity);
    return SetStringValue(valueName, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(const wchar_t* valueName, const void* data, DWORD byteCount) {
    return SetValue(valueName, REG_BINARY, data, byteCount);
}

LONG CRegKeyImpl::SetDWORDValue(const wchar_t* valueName, DWORD value) {
    return SetValue(valueName, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetQWORDValue(const wchar_t* valueName, ULONGLONG value) {
    return SetValue(valueName, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(const wchar_t* valueName, const wchar_t* value, DWORD type) {
    if (value == nullptr) return ERROR_INVALID_DATA;
    return SetValue(valueName, type, value, TextByteCount(::wcslen(value) + 1));
}

LONG CRegKeyImpl::SetMultiStringValue(const wchar_t* valueName, const wchar_t* value) {
    if (value == nullptr) return ERROR_INVALID_DATA;
    // Every string with its zero, then the empty string that ends the list.
    size_t charCount = 0;
    size_t length = 0;
    do {
        length = ::wcslen(value + charCount);
        charCount += length + 1;
    } while (length != 0);
    return SetValue(valueName, REG_MULTI_SZ, value, TextByteCount(charCount));
}

LONG CRegKeyImpl::QueryGUIDValue(const wchar_t* valueName, GUID& value) {
    value = GUID{};
    wchar_t text[kGuidTextCapacity] = {};
    DWORD charCount = kGuidTextCapacity;
    const LONG result = QueryStringValue(valueName, text, &charCount);
    if (result != ERROR_SUCCESS) return result;
    // Without the brace CLSIDFromString would look the text up as a ProgID.
    if (text[0] != L'{' || FAILED(::CLSIDFromString(text, &value))) {
        value = GUID{};
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(const wchar_t* valueName, void* data, DWORD* byteCount) {
    if (key_ == nullptr || byteCount == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    const LONG result = QueryValue(valueName, &type, data, byteCount);
    if (result != ERROR_SUCCESS) return result;
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(const wchar_t* valueName, DWORD& value) {
    if (key_ == nullptr) return ERROR_INVALID_PARAMETER;
    return QueryFixedSizeValue(*this, valueName, REG_DWORD, value);
}

LONG CRegKeyImpl::QueryQWORDValue(const wchar_t* valueName, ULONGLONG& value) {
    if (key_ == nullptr) return ERROR_INVALID_PARAMETER;
    return QueryFixedSizeValue(*this, valueName, REG_QWORD, value);
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* valueName, std::wstring& value) {
    DWORD charCount = 0;
    LONG result = QueryStringValue(valueName, nullptr, &charCount);
    if (result != ERROR_SUCCESS) return result;
    // One character at least, so that an empty (0-byte) value still gets its zero.
    const DWORD capacity = charCount > 0 ? charCount : 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer) return ERROR_OUTOFMEMORY;
    charCount = capacity;
    result = QueryStringValue(valueName, buffer.get(), &charCount);
    if (result != ERROR_SUCCESS) return result;
    value.assign(buffer.get(), ::wcsnlen(buffer.get(), capacity));
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* valueName, wchar_t* buffer, DWORD* charCount) {
    if (key_ == nullptr || charCount == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD capacity = *charCount > kMaxCharCount ? kMaxCharCount : *charCount;
    *charCount = 0;
    DWORD type = 0;
    DWORD byteCount = capacity * sizeof(wchar_t);
    const LONG result = QueryValue(valueName, &type, buffer, &byteCount);
    if (result != ERROR_SUCCESS) return result;
    if (!IsStringType(type)) return ERROR_INVALID_DATA;
    if (buffer != nullptr) {
        // The registry stores strings as given: the terminator may be missing.
        if (byteCount == 0) {
            if (capacity > 0) buffer[0] = L'\0';
        } else if (byteCount % sizeof(wchar_t) != 0 ||
                   buffer[byteCount / sizeof(wchar_t) - 1] != L'\0') {
            return ERROR_INVALID_DATA;
        }
    }
    // Rounded up: a size query for an odd byte count asks for room for every
    // byte, so that the read that follows reaches the check above (13)
    // instead of failing for want of space for ever.
    *charCount = (byteCount + sizeof(wchar_t) - 1) / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(const wchar_t* valueName, wchar_t* buffer,
                                        DWORD* charCount) {
    if (charCount == nullptr) return ERROR_INVALID_PARAMETER;
    constexpr DWORD kMinimumChars = 2;  // the empty list: two zero characters
    if (buffer != nullptr && *charCount < kMinimumChars) return ERROR_INSUFFICIENT_BUFFER;
    const DWORD capacity = *charCount > kMaxCharCount ? kMaxCharCount : *charCount;
    *charCount = 0;
    DWORD type = 0;
    DWORD byteCount = capacity * sizeof(wchar_t);
    const LONG result = QueryValue(valueName, &type, buffer, &byteCount);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
    if (buffer != nullptr) {
        const DWORD chars = byteCount / sizeof(wchar_t);
        if (byteCount % sizeof(wchar_t) != 0 || chars < 1 || buffer[chars - 1] != L'\0' ||
            (chars >= 2 && buffer[chars - 2] != L'\0')) {
            return ERROR_INVALID_DATA;
        }
    }
    // Rounded up: a size query for an odd byte count asks for room for every
    // byte, so that the read that follows reaches the check above (13)
    // instead of failing for want of space for ever.
    *charCount = (byteCount + sizeof(wchar_t) - 1) / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                 DWORD* byteCount) {
    if (key_ == nullptr || byteCount == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegGetKeySecurity(key_, information, descriptor, byteCount);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor) {
    if (key_ == nullptr || descriptor == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegSetKeySecurity(key_, information, descriptor);
}

LONG CRegKeyImpl::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* securityAttributes,
                         DWORD* disposition) {
    HKEY created = nullptr;
    DWORD createdDisposition = 0;
    const LONG result = ::RegCreateKeyExW(parent, subKey, /*reserved=*/0, keyClass, options, access,
                                          securityAttributes, &created, &createdDisposition);
    if (disposition != nullptr) *disposition = result == ERROR_SUCCESS ? createdDisposition : 0;
    if (result != ERROR_SUCCESS) return result;
    return Adopt(created, access);
}

LONG CRegKeyImpl::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(parent, subKey, /*options=*/0, access, &opened);
    if (result != ERROR_SUCCESS) return result;
    return Adopt(opened, access);
}

LONG CRegKeyImpl::Adopt(HKEY key, REGSAM access) {
    // The old key goes only now that the new one is open (its subtree too when
    // delete-on-close is set), so a failed Open or Create changes nothing.
    const LONG result = Close();
    key_ = key;
    view_ = access & kViewMask;
    deleteOnClose_ = false;
    return result;
}

LONG CRegKeyImpl::Close() {
    if (key_ == nullptr) {
        view_ = 0;
        return ERROR_SUCCESS;
    }
    if (deleteOnClose_) {
        // The empty subkey name takes the key's whole subtree.
        ::SHDeleteKeyW(key_, L"");
        deleteOnClose_ = false;
    }
    // This class is the owner of its handle and reports RegCloseKey's own code.
    const LONG result = ::RegCloseKey(key_);
    key_ = nullptr;
    view_ = 0;
    return result;
}

LONG CRegKeyImpl::Flush() {
    if (key_ == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegFlushKey(key_);
}

HKEY CRegKeyImpl::Detach() {
    HKEY key = key_;
    key_ = nullptr;
    view_ = 0;
    deleteOnClose_ = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key) {
    // A different handle held before is closed rather than leaked.
    if (key_ != nullptr && key_ != key) {
        deleteOnClose_ = false;
        Close();
    }
    key_ = key;
    view_ = 0;
    deleteOnClose_ = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, wchar_t* name, DWORD* charCount, FILETIME* lastWriteTime) {
    if (key_ == nullptr || charCount == nullptr) return ERROR_INVALID_PARAMETER;
    FILETIME localTime = {};
    return ::RegEnumKeyExW(key_, index, name, charCount, /*reserved=*/nullptr,
                           /*keyClass=*/nullptr, /*classCount=*/nullptr,
                           lastWriteTime != nullptr ? lastWriteTime : &localTime);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(bool watchSubtree, DWORD notifyFilter, HANDLE event,
                                       bool asynchronous) {
    if (key_ == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegNotifyChangeKeyValue(key_, watchSubtree ? TRUE : FALSE, notifyFilter, event,
                                     asynchronous ? TRUE : FALSE);
}

LONG CRegKeyImpl::DeleteSubKey(const wchar_t* subKey) {
    if (key_ == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    // RegDeleteKeyW always works in the process's own view; the Ex form takes
    // the view this key was opened in, so a key opened in the other view
    // deletes its subkeys there.
    const RegDeleteKeyExWFn deleteKeyEx = RegDeleteKeyExFunction();
    if (deleteKeyEx != nullptr) return deleteKeyEx(key_, subKey, view_, /*reserved=*/0);
    return ::RegDeleteKeyW(key_, subKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(const wchar_t* subKey) {
    if (key_ == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    CRegKeyImpl child;
    LONG result = child.Open(key_, subKey, KEY_READ | KEY_WRITE | view_);
    if (result != ERROR_SUCCESS) return result;

    // Each pass deletes the first subkey, so the index stays 0.
    wchar_t name[kSubKeyNameCapacity];
    DWORD charCount = kSubKeyNameCapacity;
    FILETIME lastWriteTime = {};
    while (child.EnumKey(0, name, &charCount, &lastWriteTime) == ERROR_SUCCESS) {
        result = child.RecurseDeleteKey(name);
        if (result != ERROR_SUCCESS) {
            child.Close();
            return result;
        }
        charCount = kSubKeyNameCapacity;
    }
    child.Close();
    return DeleteSubKey(subKey);
}

LONG CRegKeyImpl::DeleteValue(const wchar_t* valueName) {
    if (key_ == nullptr || valueName == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteValueW(key_, valueName);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recursive) {
    if (key_ == nullptr) return ERROR_INVALID_PARAMETER;
    return GrantEveryoneFullAccessToKey(key_, recursive);
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { deleteOnClose_ = deleteOnClose; }

bool CRegKeyImpl::IsDeleteOnClose() { return deleteOnClose_; }

}  // namespace internal

CRegKey::CRegKey() : impl_(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : impl_(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::~CRegKey() { impl_->Close(); }

LONG CRegKey::QueryValue(const wchar_t* valueName, DWORD* type, void* data, DWORD* byteCount) {
    return impl_->QueryValue(valueName, type, data, byteCount);
}

LONG CRegKey::SetValue(const wchar_t* valueName, DWORD type, const void* data, DWORD byteCount) {
    return impl_->SetValue(valueName, type, data, byteCount);
}

LONG CRegKey::SetGUIDValue(const wchar_t* valueName, const GUID& value) {
    return impl_->SetGUIDValue(valueName, value);
}

LONG CRegKey::SetBinaryValue(const wchar_t* valueName, const void* data, DWORD byteCount) {
    return impl_->SetBinaryValue(valueName, data, byteCount);
}

LONG CRegKey::SetDWORDValue(const wchar_t* valueName, DWORD value) {
    return impl_->SetDWORDValue(valueName, value);
}

LONG CRegKey::SetQWORDValue(const wchar_t* valueName, ULONGLONG value) {
    return impl_->SetQWORDValue(valueName, value);
}

LONG CRegKey::SetStringValue(const wchar_t* valueName, const wchar_t* value, DWORD type) {
    return impl_->SetStringValue(valueName, value, type);
}

LONG CRegKey::SetMultiStringValue(const wchar_t* valueName, const wchar_t* value) {
    return impl_->SetMultiStringValue(valueName, value);
}

LONG CRegKey::QueryGUIDValue(const wchar_t* valueName, GUID& value) {
    return impl_->QueryGUIDValue(valueName, value);
}

LONG CRegKey::QueryBinaryValue(const wchar_t* valueName, void* data, DWORD* byteCount) {
    return impl_->QueryBinaryValue(valueName, data, byteCount);
}

LONG CRegKey::QueryDWORDValue(const wchar_t* valueName, DWORD& value) {
    return impl_->QueryDWORDValue(valueName, value);
}

LONG CRegKey::QueryQWORDValue(const wchar_t* valueName, ULONGLONG& value) {
    return impl_->QueryQWORDValue(valueName, value);
}

LONG CRegKey::QueryStringValue(const wchar_t* valueName, std::wstring& value) {
    return impl_->QueryStringValue(valueName, value);
}

LONG CRegKey::QueryStringValue(const wchar_t* valueName, wchar_t* buffer, DWORD* charCount) {
    return impl_->QueryStringValue(valueName, buffer, charCount);
}

LONG CRegKey::QueryMultiStringValue(const wchar_t* valueName, wchar_t* buffer, DWORD* charCount) {
    return impl_->QueryMultiStringValue(valueName, buffer, charCount);
}

LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                             DWORD* byteCount) {
    return impl_->GetKeySecurity(information, descriptor, byteCount);
}

LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    return impl_->SetKeySecurity(information, descriptor);
}

LONG CRegKey::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass, DWORD options,
                     REGSAM access, SECURITY_ATTRIBUTES* securityAttributes, DWORD* disposition) {
    return impl_->Create(parent, subKey, keyClass, options, access, securityAttributes,
                         disposition);
}

LONG CRegKey::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    return impl_->Open(parent, subKey, access);
}

LONG CRegKey::Flush() { return impl_->Flush(); }

LONG CRegKey::EnumKey(DWORD index, wchar_t* name, DWORD* charCount, FILETIME* lastWriteTime) {
    return impl_->EnumKey(index, name, charCount, lastWriteTime);
}

LONG CRegKey::NotifyChangeKeyValue(bool watchSubtree, DWORD notifyFilter, HANDLE event,
                                   bool asynchronous) {
    return impl_->NotifyChangeKeyValue(watchSubtree, notifyFilter, event, asynchronous);
}

LONG CRegKey::DeleteSubKey(const wchar_t* subKey) { return impl_->DeleteSubKey(subKey); }

LONG CRegKey::RecurseDeleteKey(const wchar_t* subKey) { return impl_->RecurseDeleteKey(subKey); }

LONG CRegKey::DeleteValue(const wchar_t* valueName) { return impl_->DeleteValue(valueName); }

LONG CRegKey::GrantEveryoneFullAccess(bool recursive) {
    return impl_->GrantEveryoneFullAccess(recursive);
}

LONG CRegKey::Close() { return impl_->Close(); }

HKEY CRegKey::Detach() { return impl_->Detach(); }

void CRegKey::Attach(HKEY key) { impl_->Attach(key); }

HKEY CRegKey::GetHandle() const { return impl_->GetHandle(); }

void CRegKey::SetDeleteOnClose(bool deleteOnClose) { impl_->SetDeleteOnClose(deleteOnClose); }

bool CRegKey::IsDeleteOnClose() const { return impl_->IsDeleteOnClose(); }

}  // namespace Basalt
