// "decode": what an enciphered record holds and whether it checks out.
#include <windows.h>

#include <vector>

#include "basalt/ObfuscatedRegKey.h"
#include "basalt/StringHelpers.h"
#include "hvlogcfg/Console.h"
#include "hvlogcfg/Decode.h"
#include "hvlogcfg/Tool.h"

namespace Hvlogcfg {
namespace {

// The value of a plain registry type as text.
std::wstring RenderValue(DWORD type, const std::vector<BYTE>& plain) {
    switch (type) {
        case REG_DWORD:
            if (plain.size() == sizeof(DWORD)) {
                DWORD value;
                memcpy(&value, plain.data(), sizeof(value));
                return Basalt::FormatString(L"REG_DWORD %lu (0x%08lX)", value, value);
            }
            break;
        case REG_QWORD:
            if (plain.size() == sizeof(ULONGLONG)) {
                ULONGLONG value;
                memcpy(&value, plain.data(), sizeof(value));
                return Basalt::FormatString(L"REG_QWORD %I64u", value);
            }
            break;
        case REG_SZ:
        case REG_MULTI_SZ: {
            // UTF-8 strings, each ended by a zero byte.
            std::string bytes(plain.begin(), plain.end());
            std::wstring wide = Basalt::WideFromCodePage(CP_UTF8, bytes);
            for (auto& c : wide) {
                if (c == L'\0') c = L'|';
            }
            return (type == REG_SZ ? L"REG_SZ \"" : L"REG_MULTI_SZ \"") + wide +
                   L"\" (| marks a zero)";
        }
        case REG_EXPAND_SZ: {
            std::wstring wide(reinterpret_cast<const wchar_t*>(plain.data()),
                              plain.size() / sizeof(wchar_t));
            while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
            return L"REG_EXPAND_SZ \"" + wide + L"\"";
        }
        default:
            break;
    }
    std::wstring hex =
        Basalt::FormatString(L"type %lu, %u bytes:", type, static_cast<unsigned>(plain.size()));
    for (BYTE byte : plain) hex += Basalt::FormatString(L" %02X", byte);
    return hex;
}

int DecodeRegistryRecord(const std::vector<BYTE>& record) {
    DWORD type = 0;
    DWORD length = 0;
    const DWORD size = static_cast<DWORD>(record.size());
    LONG code = Basalt::UnpackObfuscatedValue(record.data(), size, &type, nullptr, &length);
    std::vector<BYTE> plain(length);
    if (code == ERROR_SUCCESS && length > 0) {
        code = Basalt::UnpackObfuscatedValue(record.data(), size, &type, plain.data(), &length);
    }
    if (code != ERROR_SUCCESS) {
        PrintError(L"registry record does not check out: " + DescribeError(code));
        return kExitFailure;
    }
    Print(L"registry record, checks out: " + RenderValue(type, plain) + L"\n");
    return kExitSuccess;
}

}  // namespace

bool ParseHexBytes(const std::wstring& text, std::vector<BYTE>& bytes) {
    std::wstring digits;
    std::wstring body = text;
    if (body.compare(0, 4, L"hex:") == 0) body.erase(0, 4);
    for (wchar_t c : body) {
        if (c == L' ' || c == L',' || c == L'\\' || c == L'\r' || c == L'\n') continue;
        if (Basalt::HexDigitValue(c) < 0) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(Basalt::HexDigitValue(digits[i]) * 16 +
                                          Basalt::HexDigitValue(digits[i + 1])));
    }
    return true;
}

int DecodeCommand(const Options& options) {
    const auto& words = options.words;
    if (words.size() == 2) {
        std::vector<BYTE> record;
        if (!ParseHexBytes(words[1], record)) return Usage(L"not hexadecimal bytes: " + words[1]);
        return DecodeRegistryRecord(record);
    }
    if (words.size() == 3) return DecodeIniPair(words[1], words[2]);
    return Usage(L"decode takes a registry record, or an INI header and value");
}

}  // namespace Hvlogcfg
