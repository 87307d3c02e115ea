#include "logging/file/FileLogging.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/file/IniReader.h"

namespace ETWLogging {

const FileSetting kFileSettings[5] = {
    {L"Enable", 1, 0, 0xFFFFFFFF},     {L"MaxSize", 0x40000, 0x40000, 0xA00000},
    {L"MaxEntries", 3, 2, 100},        {L"Severity", 3, 0, 6},
    {L"Options", 0x10, 0, 0xFFFFFFFF},
};

namespace {

const FileSetting& kEnableSetting = kFileSettings[0];
const FileSetting& kMaxSizeSetting = kFileSettings[1];
const FileSetting& kMaxEntriesSetting = kFileSettings[2];
const FileSetting& kSeveritySetting = kFileSettings[3];
const FileSetting& kOptionsSetting = kFileSettings[4];

constexpr wchar_t kVendorFolder[] = L"\\Halvik\\";
constexpr wchar_t kLogsFolder[] = L"HVLOGS";
constexpr wchar_t kIniFileName[] = L"log.ini";
constexpr wchar_t kLogExtension[] = L".log";
// The severity of a logger whose folder cannot be created: no level passes.
constexpr DWORD kSilencedSeverity = 10000;
// The byte order mark of a UTF-16 little-endian file.
constexpr BYTE kByteOrderMark[2] = {0xFF, 0xFE};
constexpr DWORD kLogFileAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kModuleNameChars = MAX_PATH;

// The full file name of `module` (the executable for none), however long.
bool ModuleFileName(HMODULE module, std::wstring& name) {
    std::vector<wchar_t> buffer(kModuleNameChars);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), size);
        if (length == 0) return false;
        if (length < size) {
            name.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(buffer.size() * 2);  // cut: the name did not fit
    }
}

// Splits a full file name into the name after its last "\" and that name cut
// before its last "."; false when there is no "\".
bool SplitModuleName(const std::wstring& path, std::wstring& imageName, std::wstring& baseName) {
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    imageName = path.substr(slash + 1);
    baseName = imageName.substr(0, imageName.rfind(L'.'));
    return true;
}

bool FileExists(const std::wstring& path) {
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The value of one setting: the folder file's when acceptable, else the shared
// file's, else the default. An unacceptable value is replaced by the default in
// the file where it was found; a failed replacement leaves the key without a value.
std::optional<DWORD> ResolveSetting(const FileSetting& setting,
                                    Basalt::CObfuscatedIniReader& folderReader,
                                    Basalt::CObfuscatedIniReader& sharedReader) {
    DWORD value = 0;
    if (folderReader.GetDword(kConfigSection, setting.key, value)) {
        if (IsAcceptableSetting(setting, value)) return value;
        if (!folderReader.SetDword(kConfigSection, setting.key, setting.defaultValue)) {
            return std::nullopt;
        }
    }
    if (sharedReader.GetDword(kConfigSection, setting.key, value)) {
        if (IsAcceptableSetting(setting, value)) return value;
        if (!sharedReader.SetDword(kConfigSection, setting.key, setting.defaultValue)) {
            return std::nullopt;
        }
    }
    return setting.defaultValue;
}

DWORD Clamp(DWORD value, DWORD minimum, DWORD maximum) {
    if (value < minimum) return minimum;
    return value > maximum ? maximum : value;
}

}  // namespace

bool IsAcceptableSetting(const FileSetting& setting, DWORD value) {
    return value >= setting.minimum && value <= setting.maximum;
}

DWORD ComputeFileLoggerPaths(const std::wstring& programDataFolder, const wchar_t* groupName,
                             const std::wstring& moduleBaseName, FileLoggerPaths& paths) {
    const std::wstring logRoot = programDataFolder + kVendorFolder + kLogsFolder + L"\\";
    // The log root and its terminator must fit a MAX_PATH buffer.
    if (logRoot.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (moduleBaseName.empty()) return ERROR_INVALID_PARAMETER;
    FileLoggerPaths computed;
    computed.logRoot = logRoot;
    if (groupName != nullptr) {
        computed.logFolder =
            Basalt::FormatString(L"%s%s\\%s", logRoot.c_str(), groupName, moduleBaseName.c_str());
    } else {
        computed.logFolder = Basalt::FormatString(L"%s%s", logRoot.c_str(), moduleBaseName.c_str());
    }
    computed.sharedIniPath = Basalt::FormatString(L"%s%s", logRoot.c_str(), kIniFileName);
    computed.folderIniPath =
        Basalt::FormatString(L"%s\\%s", computed.logFolder.c_str(), kIniFileName);
    paths = std::move(computed);
    return ERROR_SUCCESS;
}

std::wstring LogFileName(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                         const wchar_t* hostName, DWORD index) {
    std::wstring name = Basalt::FormatString(L"%s\\%s", logFolder.c_str(), moduleBaseName.c_str());
    if (hostName != nullptr) name += Basalt::FormatString(L"_%s", hostName);
    return name +
           Basalt::FormatString(L"%0.3lu%s", static_cast<unsigned long>(index), kLogExtension);
}

CLogging::CLogging(std::shared_ptr<Basalt::ShlObjAPI> shell, std::shared_ptr<LocalClockAPI> clock,
                   std::shared_ptr<Basalt::DebugOutputAPI> debugOutput)
    : shell_(shell ? std::move(shell) : std::make_shared<Basalt::ShlObjAPI>()),
      clock_(clock ? std::move(clock) : std::make_shared<LocalClockAPI>()),
      debugOutput_(debugOutput ? std::move(debugOutput)
                               : std::make_shared<Basalt::DebugOutputAPI>()) {
    SetDefaults();
}

CLogging::~CLogging() { Reset(); }

DWORD CLogging::Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                     LoggingConfigListenerIf* /*configListener*/) {
    Basalt::CAutoLock lock(lock_);
    if (initialized_) return kErrorAlreadyInitialized;
    DWORD code = DeriveIdentity(groupName, module, hostName);
    if (code == ERROR_SUCCESS) {
        wchar_t programData[MAX_PATH] = {};
        code = GetProgramDataFolder(programData, MAX_PATH);
        if (code == ERROR_SUCCESS) {
            code = ComputeFileLoggerPaths(programData, groupName, moduleBaseName_, paths_);
        }
    }
    if (code != ERROR_SUCCESS) {
        Reset();
        return code;
    }
    ReadSettings();
    processId_ = ::GetCurrentProcessId();
    initialized_ = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::DeriveIdentity(const wchar_t* groupName, HMODULE module, const wchar_t* hostName) {
    if ((groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return ERROR_INVALID_PARAMETER;
    }
    if (groupName != nullptr) groupName_ = groupName;
    if (hostName != nullptr) hostName_ = hostName;
    std::wstring executable;
    if (!ModuleFileName(nullptr, executable) ||
        !SplitModuleName(executable, processImageName_, moduleBaseName_)) {
        return ERROR_OUTOFMEMORY;
    }
    std::wstring moduleFile;
    std::wstring moduleImage;
    std::wstring moduleBase;
    if (module != nullptr && ModuleFileName(module, moduleFile) &&
        SplitModuleName(moduleFile, moduleImage, moduleBase)) {
        moduleBaseName_ = moduleBase;
    }
    return ERROR_SUCCESS;
}

void CLogging::ReadSettings() {
    if (!FileExists(paths_.folderIniPath) && !FileExists(paths_.sharedIniPath)) return;
    Basalt::CObfuscatedIniReader folderReader;
    Basalt::CObfuscatedIniReader sharedReader;
    folderReader.Load(paths_.folderIniPath);
    sharedReader.Load(paths_.sharedIniPath);
    for (const FileSetting& setting : kFileSettings) {
        const std::optional<DWORD> value = ResolveSetting(setting, folderReader, sharedReader);
        if (value) ApplySetting(setting, *value);
    }
}

void CLogging::ApplySetting(const FileSetting& setting, DWORD value) {
    if (&setting == &kEnableSetting) {
        enabled_ = value != 0;
    } else if (&setting == &kMaxSizeSetting) {
        CLogging::SetMaxSize(value);
    } else if (&setting == &kMaxEntriesSetting) {
        CLogging::SetMaxEntries(value);
    } else if (&setting == &kSeveritySetting) {
        severity_ = value;  // as found: neither clamped nor made process-wide
    } else if (&setting == &kOptionsSetting) {
        options_ = value;
    }
}

DWORD CLogging::Stop() {
    Basalt::CAutoLock lock(lock_);
    if (!initialized_) return kErrorNotInitialized;
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) {
    Basalt::CAutoLock lock(lock_);
    enabled_ = enabled;
}

bool CLogging::IsEnabled() {
    Basalt::CAutoLock lock(lock_);
    return enabled_;
}

void CLogging::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...) {
    // The lock is a critical section: LogMessage below takes it again on this thread.
    Basalt::CAutoLock lock(lock_);
    if (!enabled_ || level < severity_) return;
    wchar_t buffer[kFormatBufferChars] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        // At most 4159 characters; longer output is cut there and stays terminated.
        ::_vsnwprintf(buffer, kFormatBufferChars - 1, format, args);
        va_end(args);
    }
    LogMessage(file, function, line, level, buffer);
}

DWORD CLogging::LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                           const wchar_t* message) {
    Basalt::CAutoLock lock(lock_);
    if (folderState_ == FolderState::kUnchecked) CheckFolder();
    if (folderState_ == FolderState::kUnusable) return ERROR_INVALID_PARAMETER;
    if (message == nullptr || *message == L'\0') return ERROR_INVALID_PARAMETER;
    // A level no line can carry is refused before the file is opened, so it
    // never turns the ring over without writing anything.
    if (SeverityLabel(level) == nullptr) return ERROR_INVALID_PARAMETER;

    DWORD code = OpenLogFile();
    if (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS) {
        LineContext context;
        context.options = options_;
        context.processImageName = processImageName_;
        context.processId = processId_;
        context.clock = clock_.get();
        DWORD byteCount = 0;
        std::unique_ptr<wchar_t[]> text;
        code = FormatLine(context, file, function, line, level, message, &byteCount, &text);
        if (code == ERROR_SUCCESS) {
            DWORD written = 0;
            const DWORD lineBytes = byteCount - sizeof(wchar_t);  // without the terminator
            if (!::WriteFile(file_.get(), text.get(), lineBytes, &written, nullptr)) {
                code = ::GetLastError();
            }
            if ((options_ & kOptionDebugger) && text[0] != L'\0') debugOutput_->Write(text.get());
        }
    }
    file_.reset();
    return code;
}

bool CLogging::CheckFolder() {
    if (!paths_.logFolder.empty() && Basalt::CreateDirectoryPath(paths_.logFolder.c_str())) {
        folderState_ = FolderState::kUsable;
        return true;
    }
    // Silenced until the next Stop: Log lets nothing through any more.
    folderState_ = FolderState::kUnusable;
    enabled_ = false;
    severity_ = kSilencedSeverity;
    return false;
}

DWORD CLogging::OpenLogFile() {
    if (paths_.logFolder.empty() || moduleBaseName_.empty() || (hostName_ && hostName_->empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (file_) return ERROR_ALREADY_EXISTS;
    const wchar_t* host = hostName_ ? hostName_->c_str() : nullptr;
    const DWORD index = ReadLastLogIdx();
    if (index >= maxEntries_) {
        // A stored number beyond the ring (MaxEntries lowered, say) starts it anew.
        return RollOverTo(0);
    }
    const std::wstring current = LogFileName(paths_.logFolder, moduleBaseName_, host, index);
    WIN32_FIND_DATAW data = {};
    Basalt::UniqueFindHandle find(::FindFirstFileW(current.c_str(), &data));
    if (!find) return OpenFile(current, CREATE_ALWAYS);
    if (data.nFileSizeLow < maxSize_) return OpenFile(current, OPEN_EXISTING);
    // Full: the next file of the ring replaces whatever it held.
    return RollOverTo(index + 1 < maxEntries_ ? index + 1 : 0);
}

DWORD CLogging::RollOverTo(DWORD next) {
    const wchar_t* host = hostName_ ? hostName_->c_str() : nullptr;
    const std::wstring path = LogFileName(paths_.logFolder, moduleBaseName_, host, next);
    // The number is recorded first. When it cannot be (log.ini read-only or
    // held by another program), every later message would roll over to this
    // same file again, so it is then appended to rather than emptied: the ring
    // stops turning, but no line already written is lost.
    if (StoreLastLogIdx(next) == ERROR_SUCCESS) return OpenFile(path, CREATE_ALWAYS);
    return OpenFile(path, OPEN_ALWAYS);
}

DWORD CLogging::OpenFile(const std::wstring& path, DWORD disposition) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    if (file_) return ERROR_ALREADY_EXISTS;
    // Read and write sharing, so that other programs can read the log meanwhile.
    Basalt::UniqueHandle opened(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              disposition, kLogFileAttributes, nullptr));
    if (!opened) return ::GetLastError();
    const bool existed = disposition == OPEN_EXISTING ||
                         (disposition == OPEN_ALWAYS && ::GetLastError() == ERROR_ALREADY_EXISTS);
    if (existed) {
        if (::SetFilePointer(opened.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
            ::GetLastError() != NO_ERROR) {
            return ::GetLastError();
        }
    } else {
        DWORD written = 0;
        if (!::WriteFile(opened.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
            return ::GetLastError();
        }
    }
    file_ = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD CLogging::ReadLastLogIdx() {
    if (!FileExists(paths_.folderIniPath)) return 0;
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

void CLogging::Reset() {
    groupName_.reset();
    hostName_.reset();
    processImageName_.clear();
    moduleBaseName_.clear();
    processId_ = 0;
    paths_ = FileLoggerPaths();
    file_.reset();
    SetDefaults();
    initialized_ = false;
    folderState_ = FolderState::kUnchecked;
}

void CLogging::SetDefaults() {
    enabled_ = kEnableSetting.defaultValue != 0;
    maxSize_ = kMaxSizeSetting.defaultValue;
    maxEntries_ = kMaxEntriesSetting.defaultValue;
    severity_ = kSeveritySetting.defaultValue;
    options_ = kOptionsSetting.defaultValue;
}

bool CLogging::IsLevelEnabled(DWORD level) {
    Basalt::CAutoLock lock(lock_);
    return level >= severity_;
}

void CLogging::SetMaxEntries(DWORD count) {
    Basalt::CAutoLock lock(lock_);
    maxEntries_ = Clamp(count, kMaxEntriesSetting.minimum, kMaxEntriesSetting.maximum);
}

DWORD CLogging::GetMaxEntries() {
    Basalt::CAutoLock lock(lock_);
    return maxEntries_;
}

void CLogging::SetMaxSize(DWORD bytes) {
    Basalt::CAutoLock lock(lock_);
    maxSize_ = Clamp(bytes, kMaxSizeSetting.minimum, kMaxSizeSetting.maximum);
}

DWORD CLogging::GetMaxSize() {
    Basalt::CAutoLock lock(lock_);
    return maxSize_;
}

DWORD CLogging::SetSeverity(DWORD level) {
    Basalt::CAutoLock lock(lock_);
    severity_ = ClampLevel(level);
    return ExchangeProcessSeverity(severity_);
}

DWORD CLogging::GetSeverity() {
    Basalt::CAutoLock lock(lock_);
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
    // 0 when it fits; STRUNCATE (80) when it was cut to the capacity.
    return static_cast<DWORD>(::wcsncpy_s(buffer, capacity, folder.c_str(), _TRUNCATE));
}

}  // namespace ETWLogging
