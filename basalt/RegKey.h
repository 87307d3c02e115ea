// Registry keys: a thin handle object over a shared implementation.
//
// CRegKey forwards every operation to a CRegKeyImpl held in shared ownership,
// so a derived key (CObfuscatedRegKey) can put another implementation in
// place: every typed operation reaches the registry only through the
// implementation's virtual QueryValue and SetValue. All operations return
// Win32 codes; none throws. A key object belongs to one thread at a time.
// A key owns its handle (closed when the key is destroyed or reopened);
// Detach hands the handle over to the caller, who then closes it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace Basalt {
namespace internal {

class CRegKeyImpl {
  public:
    CRegKeyImpl() = default;
    // Closes the key.
    virtual ~CRegKeyImpl();
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    // RegQueryValueExW on the handle, result passed through (handle not checked).
    [[nodiscard]] virtual LONG QueryValue(const wchar_t* valueName, DWORD* type, void* data,
                                          DWORD* byteCount);
    // ERROR_INVALID_PARAMETER for null data or a count of 0; else RegSetValueExW (handle not
    // checked).
    virtual LONG SetValue(const wchar_t* valueName, DWORD type, const void* data, DWORD byteCount);
    // Stores the braced text of `value` as REG_SZ.
    virtual LONG SetGUIDValue(const wchar_t* valueName, const GUID& value);
    virtual LONG SetBinaryValue(const wchar_t* valueName, const void* data, DWORD byteCount);
    virtual LONG SetDWORDValue(const wchar_t* valueName, DWORD value);
    virtual LONG SetQWORDValue(const wchar_t* valueName, ULONGLONG value);
    // ERROR_INVALID_DATA for a null text; stores the terminator too. `type` is REG_SZ or
    // REG_EXPAND_SZ.
    virtual LONG SetStringValue(const wchar_t* valueName, const wchar_t* value,
                                DWORD type = REG_SZ);
    // ERROR_INVALID_DATA for null; the strings each with their zero, then the final empty one.
    virtual LONG SetMultiStringValue(const wchar_t* valueName, const wchar_t* value);
    // Zeroes `value`; ERROR_INVALID_DATA unless the text starts with "{" and converts.
    [[nodiscard]] virtual LONG QueryGUIDValue(const wchar_t* valueName, GUID& value);
    // ERROR_INVALID_PARAMETER if closed; ERROR_INVALID_DATA unless the value is REG_BINARY.
    [[nodiscard]] virtual LONG QueryBinaryValue(const wchar_t* valueName, void* data,
                                                DWORD* byteCount);
    // ERROR_INVALID_PARAMETER if closed; ERROR_INVALID_DATA unless the value is REG_DWORD;
    // ERROR_FILE_NOT_FOUND when missing.
    [[nodiscard]] virtual LONG QueryDWORDValue(const wchar_t* valueName, DWORD& value);
    // ERROR_INVALID_PARAMETER if closed; ERROR_INVALID_DATA unless the value is REG_QWORD.
    [[nodiscard]] virtual LONG QueryQWORDValue(const wchar_t* valueName, ULONGLONG& value);
    // The whole text into `value`; left unchanged on any error (ERROR_OUTOFMEMORY when the
    // buffer cannot be allocated).
    [[nodiscard]] virtual LONG QueryStringValue(const wchar_t* valueName, std::wstring& value);
    // Into a buffer of *charCount characters, terminator included; a null
    // buffer asks for the size. ERROR_INVALID_DATA for another type or a missing terminator.
    [[nodiscard]] virtual LONG QueryStringValue(const wchar_t* valueName, wchar_t* buffer,
                                                DWORD* charCount);
    // As above for REG_MULTI_SZ; ERROR_INSUFFICIENT_BUFFER for a buffer of fewer than 2 characters.
    [[nodiscard]] virtual LONG QueryMultiStringValue(const wchar_t* valueName, wchar_t* buffer,
                                                     DWORD* charCount);
    // ERROR_INVALID_PARAMETER if closed or `byteCount` is null; else RegGetKeySecurity.
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                DWORD* byteCount);
    // ERROR_INVALID_PARAMETER if closed or `descriptor` is null; else RegSetKeySecurity.
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    // RegCreateKeyExW. On failure the key stays as it was; on success the old
    // key is closed first and its Close result returned.
    [[nodiscard]] virtual LONG Create(HKEY parent, const wchar_t* subKey,
                                      wchar_t* keyClass = nullptr,
                                      DWORD options = REG_OPTION_NON_VOLATILE,
                                      REGSAM access = KEY_ALL_ACCESS,
                                      SECURITY_ATTRIBUTES* securityAttributes = nullptr,
                                      DWORD* disposition = nullptr);
    // RegOpenKeyExW, with the same commit-on-success rule as Create.
    [[nodiscard]] virtual LONG Open(HKEY parent, const wchar_t* subKey,
                                    REGSAM access = KEY_ALL_ACCESS);
    // Deletes the subtree first when delete-on-close is set; 0 when closed.
    virtual LONG Close();
    virtual LONG Flush();
    // Returns the handle and forgets it without closing.
    virtual HKEY Detach();
    // Takes `key` as its own (view bits 0, delete-on-close off); a different
    // handle held before is closed, without deleting its subtree.
    virtual void Attach(HKEY key);
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* charCount,
                         FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(bool watchSubtree, DWORD notifyFilter, HANDLE event,
                                      bool asynchronous = true);
    // RegDeleteKeyExW with the key's view bits when the system has it.
    virtual LONG DeleteSubKey(const wchar_t* subKey);
    // Deletes `subKey` and everything below it.
    virtual LONG RecurseDeleteKey(const wchar_t* subKey);
    virtual LONG DeleteValue(const wchar_t* valueName);
    // Gives Everyone full access to the key and, if asked, every key below.
    virtual LONG GrantEveryoneFullAccess(bool recursive);
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool IsDeleteOnClose();

    HKEY GetHandle() const { return key_; }

  private:
    // Closes the current key and takes `key`, opened with `access`.
    LONG Adopt(HKEY key, REGSAM access);

    HKEY key_ = nullptr;
    REGSAM view_ = 0;
    bool deleteOnClose_ = false;
};

}  // namespace internal

class CRegKey {
  public:
    // A closed key with a fresh plain implementation.
    CRegKey();
    // A key over `impl`; an empty pointer gives a fresh plain implementation.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    // Closes the key (even if another owner still shares the implementation).
    virtual ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Each forwards to the implementation's operation of the same name.
    [[nodiscard]] virtual LONG QueryValue(const wchar_t* valueName, DWORD* type, void* data,
                                          DWORD* byteCount);
    virtual LONG SetValue(const wchar_t* valueName, DWORD type, const void* data, DWORD byteCount);
    virtual LONG SetGUIDValue(const wchar_t* valueName, const GUID& value);
    virtual LONG SetBinaryValue(const wchar_t* valueName, const void* data, DWORD byteCount);
    virtual LONG SetDWORDValue(const wchar_t* valueName, DWORD value);
    virtual LONG SetQWORDValue(const wchar_t* valueName, ULONGLONG value);
    virtual LONG SetStringValue(const wchar_t* valueName, const wchar_t* value,
                                DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(const wchar_t* valueName, const wchar_t* value);
    [[nodiscard]] virtual LONG QueryGUIDValue(const wchar_t* valueName, GUID& value);
    [[nodiscard]] virtual LONG QueryBinaryValue(const wchar_t* valueName, void* data,
                                                DWORD* byteCount);
    [[nodiscard]] virtual LONG QueryDWORDValue(const wchar_t* valueName, DWORD& value);
    [[nodiscard]] virtual LONG QueryQWORDValue(const wchar_t* valueName, ULONGLONG& value);
    [[nodiscard]] virtual LONG QueryStringValue(const wchar_t* valueName, std::wstring& value);
    [[nodiscard]] virtual LONG QueryStringValue(const wchar_t* valueName, wchar_t* buffer,
                                                DWORD* charCount);
    [[nodiscard]] virtual LONG QueryMultiStringValue(const wchar_t* valueName, wchar_t* buffer,
                                                     DWORD* charCount);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                DWORD* byteCount);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    [[nodiscard]] virtual LONG Create(HKEY parent, const wchar_t* subKey,
                                      wchar_t* keyClass = nullptr,
                                      DWORD options = REG_OPTION_NON_VOLATILE,
                                      REGSAM access = KEY_ALL_ACCESS,
                                      SECURITY_ATTRIBUTES* securityAttributes = nullptr,
                                      DWORD* disposition = nullptr);
    [[nodiscard]] virtual LONG Open(HKEY parent, const wchar_t* subKey,
                                    REGSAM access = KEY_ALL_ACCESS);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* charCount,
                         FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(bool watchSubtree, DWORD notifyFilter, HANDLE event,
                                      bool asynchronous = true);
    virtual LONG DeleteSubKey(const wchar_t* subKey);
    virtual LONG RecurseDeleteKey(const wchar_t* subKey);
    virtual LONG DeleteValue(const wchar_t* valueName);
    virtual LONG GrantEveryoneFullAccess(bool recursive);

    LONG Close();
    HKEY Detach();
    void Attach(HKEY key);
    HKEY GetHandle() const;
    void SetDeleteOnClose(bool deleteOnClose);
    bool IsDeleteOnClose() const;

  private:
    std::shared_ptr<internal::CRegKeyImpl> impl_;
};

}  // namespace Basalt
