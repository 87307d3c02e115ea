// Decoding of enciphered values for the tool.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Hvlogcfg {

// Hexadecimal bytes, with blanks, commas and a "hex:" prefix allowed.
bool ParseHexBytes(const std::wstring& text, std::vector<BYTE>& bytes);

// Decodes an INI header and value pair as log.ini stores them and prints it.
int DecodeIniPair(const std::wstring& header, const std::wstring& value);

}  // namespace Hvlogcfg
