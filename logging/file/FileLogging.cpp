#include "logging/file/FileLogging.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/file/IniReader.h"

namespace ETWLogging {
namespace {

constexpr DWORD kDefaultEnable = 1;
constexpr DWORD kDefaultMaxSize = 0x40000;  // 262144
constexpr DWORD kMaxMaxSize = 0xA00000;     // 10485760
constexpr DWORD kDefaultMaxEntries = 3;
constexpr DWORD kMinMaxEntries = 2;
constexpr DWORD kMaxMaxEntries = 100;
constexpr DWORD kDefaultOptions = 0x10;
constexpr DWORD kSilencedSeverity = 10000;
constexpr DWORD kFileAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;  // 0xA0
constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};
constexpr wchar_t kLogRootTail[] = L"\\Halvik\\";
constexpr wchar_t kLogRootName[] = L"HVLOGS";
constexpr wchar_t kIniFileName[] = L"log.ini";

enum SettingIndex { kEnable, kMaxSize, kMaxEntries, kSeverity, kOptions };

// The file name after the last backslash of `path`; false without one.
bool SplitFileName(const std::wstring& path, std::wstring& name) {
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    name = path.substr(slash + 1);
    return true;
}

std::wstring CutExtension(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// The module's full file name, whatever its length; empty on failure.
std::wstring ModuleFileName(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::wstring();
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

const FileSetting kFileSettings[5] = {
    {L"Enable", kDefaultEnable, 0, 0xFFFFFFFFu},
    {L"MaxSize", kDefaultMaxSize, kDefaultMaxSize, kMaxMaxSize},
    {L"MaxEntries", kDefaultMaxEntries, kMinMaxEntries, kMaxMaxEntries},
    {L"Severity", kDefaultSeverity, 0, kLevelMax},
    {L"Options", kDefaultOptions, 0, 0xFFFFFFFFu},
};

bool IsAcceptableSetting(const FileSetting& setting, DWORD value) {
    return value >= setting.minimum && value <= setting.maximum;
}

DWORD ComputeFileLoggerPaths(const std::wstring& programDataFolder, const wchar_t* groupName,
                             const std::wstring& moduleBaseName, FileLoggerPaths& paths) {
    const std::wstring root =
        programDataFolder + kLogRootTail + kLogRootName + L"\\";
    if (root.size() + 1 > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (moduleBaseName.empty()) return ERROR_INVALID_PARAMETER;
    paths.logRoot = root;
    paths.logFolder = groupName != nullptr
                          ? Basalt::FormatString(L"%s%s\\%s", root.c_str(), groupName,
                                                 moduleBaseName.c_str())
                          : Basalt::FormatString(L"%s%s", root.c_str(), moduleBaseName.c_str());
    paths.sharedIniPath = Basalt::FormatString(L"%s%s", root.c_str(), kIniFileName);
    paths.folderIniPath =
        Basalt::FormatString(L"%s\\%s", paths.logFolder.c_str(), kIniFileName);
    return ERROR_SUCCESS;
}

std::wstring LogFileName(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                         const wchar_t* hostName, DWORD index) {
    std::wstring name = Basalt::FormatString(L"%s\\%s", logFolder.c_str(), moduleBaseName.c_str());
    if (hostName != nullptr) name += std::wstring(L"_") + hostName;
    return name + Basalt::FormatString(L"%0.3lu%s", static_cast<unsigned long>(index), L".log");
}

CLogging::CLogging(std::shared_ptr<Basalt::ShlObjAPI> shell, std::shared_ptr<LocalClockAPI> clock)
    : lock_(),
      shell_(shell ? std::move(shell) : std::make_shared<Basalt::ShlObjAPI>()),
      clock_(clock ? std::move(clock) : std::make_shared<LocalClockAPI>()) {
    SetDefaults();
}

CLogging::~CLogging() { Reset(); }

void CLogging::SetDefaults() {
    enabled_ = kFileSettings[kEnable].defaultValue != 0;
    maxSize_ = kFileSettings[kMaxSize].defaultValue;
    maxEntries_ = kFileSettings[kMaxEntries].defaultValue;
    severity_ = kFileSettings[kSeverity].defaultValue;
    options_ = kFileSettings[kOptions].defaultValue;
}

void CLogging::Reset() {
    Basalt::CAutoLock guard(lock_);
    groupName_.reset();
    hostName_.reset();
    processImageName_.clear();
    moduleBaseName_.clear();
    paths_ = FileLoggerPaths();
    file_.reset();
    SetDefaults();
    initialized_ = false;
    folderState_ = FolderState::kUnchecked;
}

DWORD CLogging::Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                     LoggingConfigListenerIf* /*configListener*/) {
    Basalt::CAutoLock guard(lock_);
    if (initialized_) return kErrorAlreadyInitialized;
    const DWORD code = DeriveIdentity(groupName, module, hostName);
    if (code != ERROR_SUCCESS) {
        Reset();
        return code;
    }
    ReadSettings();
    processId_ = ::GetCurrentProcessId();
    initialized_ = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::DeriveIdentity(const wchar_t* groupName, HMODULE module,
                               const wchar_t* hostName) {
    if ((groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return ERROR_INVALID_PARAMETER;
    }
    if (groupName != nullptr) groupName_ = groupName;
    if (hostName != nullptr) hostName_ = hostName;

    if (!SplitFileName(ModuleFileName(nullptr), processImageName_)) return ERROR_OUTOFMEMORY;
    moduleBaseName_ = CutExtension(processImageName_);
    std::wstring moduleName;
    if (module != nullptr && SplitFileName(ModuleFileName(module), moduleName)) {
        moduleBaseName_ = CutExtension(moduleName);
    }

    wchar_t folder[MAX_PATH] = {};
    const DWORD code = GetProgramDataFolder(folder, MAX_PATH);
    if (code != ERROR_SUCCESS) return code;
    return ComputeFileLoggerPaths(folder, groupName_ ? groupName_->c_str() : nullptr,
                                  moduleBaseName_, paths_);
}

void CLogging::ReadSettings() {
    if (::GetFileAttributesW(paths_.folderIniPath.c_str()) == INVALID_FILE_ATTRIBUTES &&
        ::GetFileAttributesW(paths_.sharedIniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    Basalt::CObfuscatedIniReader folder;
    Basalt::CObfuscatedIniReader shared;
    folder.Load(paths_.folderIniPath);
    shared.Load(paths_.sharedIniPath);
    for (const FileSetting& setting : kFileSettings) {
        DWORD value = 0;
        if (folder.GetDword(kConfigSection, setting.key, value)) {
            if (IsAcceptableSetting(setting, value)) {
                ApplySetting(setting, value);
                continue;
            }
            // Repaired where it was found; the search goes on this time.
            if (!folder.SetDword(kConfigSection, setting.key, setting.defaultValue)) continue;
        }
        if (shared.GetDword(kConfigSection, setting.key, value)) {
            if (IsAcceptableSetting(setting, value)) {
                ApplySetting(setting, value);
                continue;
            }
            if (!shared.SetDword(kConfigSection, setting.key, setting.defaultValue)) continue;
        }
        ApplySetting(setting, setting.defaultValue);
    }
}

void CLogging::ApplySetting(const FileSetting& setting, DWORD value) {
    const size_t index = static_cast<size_t>(&setting - kFileSettings);
    switch (index) {
        case kEnable: enabled_ = value != 0; break;
        case kMaxSize: SetMaxSize(value); break;
        case kMaxEntries: SetMaxEntries(value); break;
        case kSeverity: severity_ = value; break;  // as stored: 0 lets every level through
        case kOptions: options_ = value; break;
        default: break;
    }
}

DWORD CLogging::Stop() {
    Basalt::CAutoLock guard(lock_);
    if (!initialized_) return kErrorNotInitialized;
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) {
    Basalt::CAutoLock guard(lock_);
    enabled_ = enabled;
}

bool CLogging::IsEnabled() {
    Basalt::CAutoLock guard(lock_);
    return enabled_;
}

bool CLogging::IsLevelEnabled(DWORD level) {
    Basalt::CAutoLock guard(lock_);
    return level >= severity_;
}

void CLogging::SetMaxEntries(DWORD count) {
    Basalt::CAutoLock guard(lock_);
    maxEntries_ = count < kMinMaxEntries ? kMinMaxEntries
                  : count > kMaxMaxEntries ? kMaxMaxEntries
                                           : count;
}

DWORD CLogging::GetMaxEntries() {
    Basalt::CAutoLock guard(lock_);
    return maxEntries_;
}

void CLogging::SetMaxSize(DWORD bytes) {
    Basalt::CAutoLock guard(lock_);
    maxSize_ = bytes < kDefaultMaxSize ? kDefaultMaxSize : bytes > kMaxMaxSize ? kMaxMaxSize : bytes;
}

DWORD CLogging::GetMaxSize() {
    Basalt::CAutoLock guard(lock_);
    return maxSize_;
}

DWORD CLogging::SetSeverity(DWORD level) {
    Basalt::CAutoLock guard(lock_);
    severity_ = ClampLevel(level);
    return ExchangeProcessSeverity(severity_);
}

DWORD CLogging::GetSeverity() {
    Basalt::CAutoLock guard(lock_);
    return severity_;
}

LONG CLogging::AddRef() { return ++refCount_; }

LONG CLogging::Release() {
    const LONG count = --refCount_;
    if (count == 0) delete this;
    return count;
}

DWORD CLogging::GetProgramDataFolder(wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
    std::wstring folder;
    if (!Basalt::QueryKnownFolder(*shell_, FOLDERID_ProgramData, KF_FLAG_CREATE, folder)) {
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<DWORD>(::wcsncpy_s(buffer, capacity, folder.c_str(), _TRUNCATE));
}

void CLogging::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...) {
    Basalt::CAutoLock guard(lock_);
    if (!enabled_ || level < severity_ || format == nullptr) return;
    // Zero-filled so that a format the runtime gives up on still ends.
    wchar_t buffer[kFormatBufferChars] = {};
    va_list args;
    va_start(args, format);
    ::_vsnwprintf(buffer, kFormatBufferChars - 1, format, args);
    va_end(args);
    buffer[kFormatBufferChars - 1] = L'\0';
    LogMessage(file, function, line, level, buffer);
}

bool CLogging::CheckFolder() {
    if (folderState_ == FolderState::kUnchecked) {
        if (!paths_.logFolder.empty() && Basalt::CreateDirectoryPath(paths_.logFolder.c_str())) {
            folderState_ = FolderState::kUsable;
        } else {
            // Silent until the next Stop: no folder, no log.
            folderState_ = FolderState::kUnusable;
            enabled_ = false;
            severity_ = kSilencedSeverity;
        }
    }
    return folderState_ == FolderState::kUsable;
}

DWORD CLogging::LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                           const wchar_t* message) {
    Basalt::CAutoLock guard(lock_);
    if (!CheckFolder()) return ERROR_INVALID_PARAMETER;
    if (message == nullptr || *message == L'\0') return ERROR_INVALID_PARAMETER;

    DWORD result = OpenLogFile();
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) {
        const LineContext context{options_, processImageName_, processId_, clock_.get()};
        DWORD byteCount = 0;
        std::unique_ptr<wchar_t[]> text;
        result = FormatLine(context, file, function, line, level, message, &byteCount, &text);
        if (result == ERROR_SUCCESS) {
            const DWORD lineBytes = byteCount - sizeof(wchar_t);  // without the terminator
            DWORD written = 0;
            if (!::WriteFile(file_.get(), text.get(), lineBytes, &written, nullptr)) {
                result = ::GetLastError();
            }
            if ((options_ & kOptionDebugger) && lineBytes > 0) ::OutputDebugStringW(text.get());
        }
    }
    file_.reset();
    return result;
}

DWORD CLogging::OpenLogFile() {
    if (paths_.logFolder.empty() || moduleBaseName_.empty() ||
        (hostName_ && hostName_->empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (file_) return ERROR_ALREADY_EXISTS;
    const wchar_t* host = hostName_ ? hostName_->c_str() : nullptr;
    const DWORD current = ReadLastLogIdx();
    if (current >= maxEntries_) {
        // Lowered "MaxEntries", or a stored number out of range: start again at 0.
        const DWORD result = OpenFile(LogFileName(paths_.logFolder, moduleBaseName_, host, 0),
                                      CREATE_ALWAYS);
        StoreLastLogIdx(0);
        return result;
    }
    const std::wstring name = LogFileName(paths_.logFolder, moduleBaseName_, host, current);
    WIN32_FIND_DATAW data;
    Basalt::UniqueFindHandle find(::FindFirstFileW(name.c_str(), &data));
    if (!find) return OpenFile(name, CREATE_ALWAYS);
    if (data.nFileSizeLow < maxSize_) return OpenFile(name, OPEN_EXISTING);

    const DWORD next = current + 1 < maxEntries_ ? current + 1 : 0;
    const DWORD result =
        OpenFile(LogFileName(paths_.logFolder, moduleBaseName_, host, next), CREATE_ALWAYS);
    StoreLastLogIdx(next);
    return result;
}

DWORD CLogging::OpenFile(const std::wstring& path, DWORD disposition) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    if (file_) return ERROR_ALREADY_EXISTS;
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                              kFileAttributes, nullptr));
    if (!file_) return ::GetLastError();
    if (disposition == OPEN_EXISTING) {
        ::SetFilePointer(file_.get(), 0, nullptr, FILE_END);
    } else if (disposition == CREATE_ALWAYS) {
        DWORD written = 0;
        ::WriteFile(file_.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::ReadLastLogIdx() {
    if (paths_.folderIniPath.empty() ||
        ::GetFileAttributesW(paths_.folderIniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    Basalt::CObfuscatedIniReader reader;
    DWORD index = 0;
    if (!reader.Load(paths_.folderIniPath) ||
        !reader.GetDword(kConfigSection, kLastLogIdxKey, index)) {
        return 0;
    }
    return index;
}

DWORD CLogging::StoreLastLogIdx(DWORD index) {
    if (paths_.folderIniPath.empty()) return ERROR_INVALID_PARAMETER;
    Basalt::CObfuscatedIniReader reader;
    reader.Load(paths_.folderIniPath);  // a missing file is created by the write
    return reader.SetDword(kConfigSection, kLastLogIdxKey, index) ? ERROR_SUCCESS
                                                                  : ERROR_INVALID_PARAMETER;
}

}  // namespace ETWLogging
