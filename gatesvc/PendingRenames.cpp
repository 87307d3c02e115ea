#include "gatesvc/PendingRenames.h"

#include "basalt/FileChecks.h"
#include "basalt/RegKey.h"

namespace Gatesvc {
namespace {

constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";
constexpr wchar_t kReplaceMark = L'!';
constexpr wchar_t kNtPathPrefix[] = L"\\??\\";
// Another program may append between the size query and the read.
constexpr int kReadAttempts = 4;

// The value's characters; an empty list when there is no value.
LONG ReadValue(Basalt::CRegKey& key, std::vector<wchar_t>& text) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD charCount = 0;
        LONG code = key.QueryMultiStringValue(kPendingRenamesValue, nullptr, &charCount);
        if (code == ERROR_FILE_NOT_FOUND) {
            text.clear();
            return ERROR_SUCCESS;
        }
        if (code != ERROR_SUCCESS) return code;
        text.assign(charCount < 2 ? 2 : charCount, L'\0');
        charCount = static_cast<DWORD>(text.size());
        code = key.QueryMultiStringValue(kPendingRenamesValue, text.data(), &charCount);
        if (code == ERROR_SUCCESS) {
            text.resize(charCount);
            return ERROR_SUCCESS;
        }
        if (code != ERROR_MORE_DATA) return code;
    }
    return ERROR_MORE_DATA;
}

}  // namespace

std::vector<PendingRename> ParsePendingRenames(const wchar_t* text, size_t charCount) {
    std::vector<std::wstring> strings;
    size_t start = 0;
    for (size_t at = 0; at < charCount; ++at) {
        if (text[at] != L'\0') continue;
        strings.emplace_back(text + start, at - start);
        start = at + 1;
    }
    std::vector<PendingRename> renames;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        renames.push_back({strings[i], strings[i + 1]});
    }
    return renames;
}

std::vector<wchar_t> FormatPendingRenames(const std::vector<PendingRename>& renames) {
    std::vector<wchar_t> text;
    for (const PendingRename& rename : renames) {
        for (const std::wstring* entry : {&rename.source, &rename.destination}) {
            text.insert(text.end(), entry->begin(), entry->end());
            text.push_back(L'\0');
        }
    }
    text.push_back(L'\0');
    return text;
}

std::wstring PendingRenamePath(const std::wstring& entry) {
    size_t at = (!entry.empty() && entry[0] == kReplaceMark) ? 1 : 0;
    if (entry.compare(at, sizeof(kNtPathPrefix) / sizeof(wchar_t) - 1, kNtPathPrefix) == 0) {
        at += sizeof(kNtPathPrefix) / sizeof(wchar_t) - 1;
    }
    return entry.substr(at);
}

bool PendingRenameNames(const std::wstring& entry, const std::wstring& path) {
    const std::wstring named = PendingRenamePath(entry);
    return !named.empty() && Basalt::SamePath(named, path);
}

LONG CancelPendingRenames(const std::function<bool(const PendingRename&)>& cancel,
                          std::vector<PendingRename>& cancelled) {
    Basalt::CRegKey key;
    LONG code = key.Open(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (code != ERROR_SUCCESS) return code == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : code;
    std::vector<wchar_t> text;
    code = ReadValue(key, text);
    if (code != ERROR_SUCCESS || text.empty()) return code;

    std::vector<PendingRename> kept;
    std::vector<PendingRename> removed;
    for (PendingRename& rename : ParsePendingRenames(text.data(), text.size())) {
        (cancel(rename) ? removed : kept).push_back(std::move(rename));
    }
    if (removed.empty()) return ERROR_SUCCESS;
    if (kept.empty()) {
        code = key.DeleteValue(kPendingRenamesValue);
    } else {
        // Written with its exact length: the deletion marks are empty strings, which
        // a list written up to its first empty string would lose.
        const std::vector<wchar_t> value = FormatPendingRenames(kept);
        code = key.SetValue(kPendingRenamesValue, REG_MULTI_SZ, value.data(),
                            static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    if (code != ERROR_SUCCESS) return code;
    cancelled.insert(cancelled.end(), removed.begin(), removed.end());
    return ERROR_SUCCESS;
}

}  // namespace Gatesvc
