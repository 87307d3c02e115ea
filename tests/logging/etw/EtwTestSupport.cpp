#include "tests/logging/etw/EtwTestSupport.h"

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/RegKey.h"
#include "tests/support/TestSupport.h"

namespace EtwTest {
namespace {

constexpr wchar_t kConfigRoot[] = L"SOFTWARE\\Halvik.logging";

}  // namespace

ScratchProductKey::ScratchProductKey(const std::wstring& tag, bool complete) : tag_(tag) {
    TestSupport::DeleteRegistryTree(HKEY_LOCAL_MACHINE, Path());
    if (!complete) return;
    SetObfuscatedString(nullptr, L"Log Path", L"\\Test\\Logs");
    SetObfuscatedString(nullptr, L"ETL Path", L"\\Test\\Logs\\ETW");
    SetObfuscatedString(L"Controller", L"Controller Path", L"C:\\Test\\controller.exe");
    SetObfuscatedString(L"Controller", L"Owner Mutex Name", L"Global\\Test.Owner");
    SetObfuscatedGuid(L"Session", L"Session ID Guid", kTestSessionGuid);
    SetObfuscatedString(L"Session", L"Session Name", L"Test.Session");
    SetObfuscatedGuid(L"Provider", L"Provider Guid", kTestProviderGuid);
}

ScratchProductKey::~ScratchProductKey() {
    TestSupport::DeleteRegistryTree(HKEY_LOCAL_MACHINE, Path());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kConfigRoot);  // only when no other product is left
}

std::wstring ScratchProductKey::Path(const wchar_t* subkey) const {
    std::wstring path = std::wstring(kConfigRoot) + L"\\" + tag_;
    if (subkey != nullptr) path += std::wstring(L"\\") + subkey;
    return path;
}

LONG ScratchProductKey::SetObfuscatedString(const wchar_t* subkey, const wchar_t* name,
                                            const wchar_t* value) {
    Basalt::CObfuscatedRegKey key;
    const LONG result = key.Create(HKEY_LOCAL_MACHINE, Path(subkey).c_str());
    return result != 0 ? result : key.SetStringValue(name, value);
}

LONG ScratchProductKey::SetObfuscatedGuid(const wchar_t* subkey, const wchar_t* name,
                                          const GUID& value) {
    Basalt::CObfuscatedRegKey key;
    const LONG result = key.Create(HKEY_LOCAL_MACHINE, Path(subkey).c_str());
    return result != 0 ? result : key.SetGUIDValue(name, value);
}

LONG ScratchProductKey::SetPlainString(const wchar_t* subkey, const wchar_t* name,
                                       const wchar_t* value) {
    Basalt::CRegKey key;
    const LONG result = key.Create(HKEY_LOCAL_MACHINE, Path(subkey).c_str());
    return result != 0 ? result : key.SetStringValue(name, value);
}

LONG ScratchProductKey::SetPlainDword(const wchar_t* subkey, const wchar_t* name, DWORD value) {
    Basalt::CRegKey key;
    const LONG result = key.Create(HKEY_LOCAL_MACHINE, Path(subkey).c_str());
    return result != 0 ? result : key.SetDWORDValue(name, value);
}

LONG ScratchProductKey::DeleteValue(const wchar_t* subkey, const wchar_t* name) {
    Basalt::CRegKey key;
    const LONG result = key.Open(HKEY_LOCAL_MACHINE, Path(subkey).c_str());
    return result != 0 ? result : key.DeleteValue(name);
}

void ScratchProductKey::DeleteSubkey(const wchar_t* subkey) {
    TestSupport::DeleteRegistryTree(HKEY_LOCAL_MACHINE, Path(subkey));
}

}  // namespace EtwTest
