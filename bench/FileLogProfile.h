// Where one message of the file logger spends its time: each step of the
// message path measured alone, in the logger's own folder layout.
#pragma once

#include <string>

namespace Bench {

// The benchmark's message: its format and arguments, and the text they give.
struct ProfileMessage {
    const wchar_t* format;
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* text;
};

// Prints the table for a log folder below `programData`.
void PrintFileLogProfile(const std::wstring& programData, const ProfileMessage& message);

}  // namespace Bench
