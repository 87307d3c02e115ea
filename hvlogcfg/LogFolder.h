// What the tool reads of a log folder as the file logger sees it: its paths,
// its log.ini and which ring file takes the lines now.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "hvlogcfg/Options.h"
#include "logging/file/FileLogging.h"

namespace Hvlogcfg {

// The paths the file logger would use for the options' group and module;
// false, with the reason printed, when they cannot be built.
bool ResolvePaths(const Options& options, ETWLogging::FileLoggerPaths& paths);

// The whole of a small file that others may be writing meanwhile. A missing
// file reads as absent; false with the error code for any other failure.
bool ReadWholeFile(const std::wstring& path, bool& exists, std::string& bytes, DWORD& error);

// What in a log.ini, saved by hand, keeps the framework's reader from its
// values although the profile functions (and so editors and this tool's
// writes) still find them; empty when nothing does. Linear in the file's size.
std::wstring UnreadableForm(const std::string& bytes);

// The keys of a log.ini that stand before any section: neither the framework
// nor the profile functions read them.
std::vector<std::wstring> KeysOutsideSections(const std::string& bytes);

// The value a fresh reader of the framework finds for `key` in [Config].
bool ReadBack(const std::wstring& file, const wchar_t* key, DWORD& value);

// The ring file that takes the lines now, as the file logger chooses it: the
// stored "LastLogIdx" when log.ini gives one; otherwise the ring file written
// last, with the reason the index is not known in `uncertain` (empty when it
// is). False when there is no log file at all.
bool CurrentRingFile(const ETWLogging::FileLoggerPaths& paths, const std::wstring& module,
                     const wchar_t* host, std::wstring& file, std::wstring& uncertain);

}  // namespace Hvlogcfg
