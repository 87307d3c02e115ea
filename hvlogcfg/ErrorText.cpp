#include "hvlogcfg/ErrorText.h"

#include "basalt/StringHelpers.h"
#include "basalt/UniqueHandle.h"

namespace Hvlogcfg {

bool IsProcessElevated() {
    Basalt::UniqueKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                                 &size) &&
           elevation.TokenIsElevated != 0;
}

std::wstring DescribeError(DWORD code, bool elevated) {
    std::wstring text = Basalt::FormatSystemMessage(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    std::wstring described = text.empty() ? Basalt::FormatString(L"error %lu", code)
                                          : Basalt::FormatString(L"%s (%lu)", text.c_str(), code);
    if (code == ERROR_ACCESS_DENIED) {
        described +=
            elevated ? L", although this program runs as administrator" : L"; run as administrator";
    }
    return described;
}

}  // namespace Hvlogcfg
