// Helpers shared by the ETW back end's tests: a scratch product configuration key.
#pragma once

#include <windows.h>

#include <string>

namespace EtwTest {

// The provider and session GUIDs that the complete test configuration holds.
constexpr GUID kTestProviderGuid = {
    0x6A7C1F20, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};
constexpr GUID kTestSessionGuid = {
    0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

// HKLM\SOFTWARE\Halvik.logging\<tag>, deleted when made and when the object goes. With
// `complete`, it holds every key and value of a configuration, each an obfuscated record.
class ScratchProductKey {
  public:
    ScratchProductKey(const std::wstring& tag, bool complete);
    ~ScratchProductKey();
    ScratchProductKey(const ScratchProductKey&) = delete;
    ScratchProductKey& operator=(const ScratchProductKey&) = delete;

    // SOFTWARE\Halvik.logging\<tag>, or that followed by "\" and `subkey`.
    std::wstring Path(const wchar_t* subkey = nullptr) const;
    // Each creates the key when needed; 0 or a Win32 code.
    LONG SetObfuscatedString(const wchar_t* subkey, const wchar_t* name, const wchar_t* value);
    LONG SetObfuscatedGuid(const wchar_t* subkey, const wchar_t* name, const GUID& value);
    LONG SetPlainString(const wchar_t* subkey, const wchar_t* name, const wchar_t* value);
    LONG SetPlainDword(const wchar_t* subkey, const wchar_t* name, DWORD value);
    LONG DeleteValue(const wchar_t* subkey, const wchar_t* name);
    void DeleteSubkey(const wchar_t* subkey);

  private:
    std::wstring tag_;
};

}  // namespace EtwTest
