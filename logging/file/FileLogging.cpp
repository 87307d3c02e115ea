#include "logging/file/FileLogging.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <new>
#include <vector>

#include "basalt/PathHelpers.h"
#include "basalt/StringHelpers.h"
#include "logging/file/IniChange.h"
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

constexpr wchar_t kVendorName[] = L"Halvik";
constexpr wchar_t kLogsFolder[] = L"HVLOGS";
constexpr wchar_t kLogExtension[] = L".log";
// The severity of a logger whose folder cannot be created: no level passes.
constexpr DWORD kSilencedSeverity = 10000;
// The byte order mark of a UTF-16 little-endian file.
constexpr BYTE kByteOrderMark[2] = {0xFF, 0xFE};
// The end of a line, written before a line that follows a torn one.
constexpr wchar_t kLineEnd[] = L"\r\n";

// Splits the full file name of `module` (the executable for none) into the name after
// its last "\" and that name cut before its last "."; false when the system gives no
// file name or one without "\".
bool SplitModuleName(HMODULE module, std::wstring& imageName, std::wstring& baseName) {
    if (!Basalt::ModuleImageName(module, imageName)) return false;
    baseName = Basalt::WithoutExtension(imageName);
    return true;
}

// The value of one setting: the folder file's when acceptable, else the shared
// file's, else the default. An unacceptable value is replaced by the default in
// the file where it was found (`repairFolder`, `repairShared`, which say whether
// they did); a replacement not made leaves the key without a value.
template <typename RepairFolder, typename RepairShared>
std::optional<DWORD> ResolveSetting(const FileSetting& setting,
                                    Basalt::CObfuscatedIniReader& folderReader,
                                    Basalt::CObfuscatedIniReader& sharedReader,
                                    RepairFolder&& repairFolder, RepairShared&& repairShared) {
    DWORD value = 0;
    if (folderReader.GetDword(kConfigSection, setting.key, value)) {
        if (IsAcceptableSetting(setting, value)) return value;
        if (!repairFolder(setting)) return std::nullopt;
    }
    if (sharedReader.GetDword(kConfigSection, setting.key, value)) {
        if (IsAcceptableSetting(setting, value)) return value;
        if (!repairShared(setting)) return std::nullopt;
    }
    return setting.defaultValue;
}

// Why a folder is not used, for the one debugger line that says so.
const wchar_t* UnusableText(DWORD code) {
    if (const wchar_t* refusal = Basalt::DescribeRefusal(code)) return refusal;
    return code == ERROR_DIRECTORY ? L"a file stands where a folder should be"
                                   : L"it cannot be created or opened";
}

// The path of a folder without its trailing "\".
std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
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
    const std::wstring logRoot =
        Basalt::FormatString(L"%s\\%s\\%s\\", programDataFolder.c_str(), kVendorName, kLogsFolder);
    // The log root and its terminator must fit a MAX_PATH buffer.
    if (logRoot.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (moduleBaseName.empty()) return ERROR_INVALID_PARAMETER;
    // Each name is one folder below the log root: "..", "\" or a device name
    // would lead out of it.
    if (!Basalt::IsPlainPathComponent(moduleBaseName) ||
        (groupName != nullptr && !Basalt::IsPlainPathComponent(groupName))) {
        return ERROR_INVALID_NAME;
    }
    FileLoggerPaths computed;
    computed.programData = WithoutTrailingBackslash(programDataFolder);
    computed.folderLevels = {kVendorName, kLogsFolder};
    if (groupName != nullptr) computed.folderLevels.push_back(groupName);
    computed.folderLevels.push_back(moduleBaseName);
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

std::wstring RingFilePrefix(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                            const wchar_t* hostName) {
    std::wstring name = logFolder + L"\\" + moduleBaseName;
    if (hostName != nullptr) name += Basalt::FormatString(L"_%s", hostName);
    return name;
}

void AppendRingFileNumber(std::wstring& prefix, DWORD index) {
    wchar_t number[16] = {};
    const int length = ::_snwprintf(number, 15, L"%0.3lu",
                                    static_cast<unsigned long>(index));  // 10 digits at most
    if (length > 0) prefix.append(number, static_cast<size_t>(length));
    prefix += kLogExtension;
}

std::wstring LogFileName(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                         const wchar_t* hostName, DWORD index) {
    std::wstring name = RingFilePrefix(logFolder, moduleBaseName, hostName);
    AppendRingFileNumber(name, index);
    return name;
}

CLogging::CLogging(std::shared_ptr<Basalt::ShlObjAPI> shell, std::shared_ptr<LocalClockAPI> clock,
                   std::shared_ptr<Basalt::DebugOutputAPI> debugOutput,
                   std::shared_ptr<Basalt::FileSecurityAPI> security)
    : shell_(shell ? std::move(shell) : std::make_shared<Basalt::ShlObjAPI>()),
      clock_(clock ? std::move(clock) : std::make_shared<LocalClockAPI>()),
      debugOutput_(debugOutput ? std::move(debugOutput)
                               : std::make_shared<Basalt::DebugOutputAPI>()),
      chain_(std::move(security)) {
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
    folderLock_.SetFolder(paths_.logFolder);
    rootLock_.SetFolder(paths_.logRoot);
    ReadSettings();
    processId_ = ::GetCurrentProcessId();
    lineContext_.processImageName = processImageName_;
    lineContext_.processId = processId_;
    lineContext_.clock = clock_.get();
    initialized_ = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::DeriveIdentity(const wchar_t* groupName, HMODULE module, const wchar_t* hostName) {
    if ((groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return ERROR_INVALID_PARAMETER;
    }
    // The host name becomes part of each log file's name.
    if (hostName != nullptr && !Basalt::IsPlainPathComponent(hostName)) return ERROR_INVALID_NAME;
    if (groupName != nullptr) groupName_ = groupName;
    if (hostName != nullptr) hostName_ = hostName;
    if (!SplitModuleName(nullptr, processImageName_, moduleBaseName_)) return ERROR_OUTOFMEMORY;
    std::wstring moduleImage;
    std::wstring moduleBase;
    if (module != nullptr && SplitModuleName(module, moduleImage, moduleBase)) {
        moduleBaseName_ = moduleBase;
    }
    return ERROR_SUCCESS;
}

void CLogging::ReadSettings() {
    // Each log.ini is read through checked folders and a checked handle (of a
    // trusted owner, for a privileged writer); one that fails is as if missing.
    // The folders are not made here: a missing one holds no log.ini.
    const std::wstring rootFolder = WithoutTrailingBackslash(paths_.logRoot);
    const std::vector<std::wstring> rootLevels(paths_.folderLevels.begin(),
                                               paths_.folderLevels.begin() + kLogRootLevels);
    std::wstring rootFinal;
    std::wstring folderFinal;
    std::wstring failedAt;
    if (chain_.Open(paths_.programData, rootLevels, /*create=*/false, rootFinal, failedAt) !=
        ERROR_SUCCESS) {
        return;
    }
    if (chain_.Open(paths_.programData, paths_.folderLevels, /*create=*/false, folderFinal,
                    failedAt) != ERROR_SUCCESS) {
        folderFinal.clear();
    }
    // Read and repaired under both files' locks, so that no other program is
    // rewriting either meanwhile. Without them the values are only read.
    CFolderLockHolder folderLock(folderLock_, folderBackOff_);
    if (folderLock.lost()) ReportUnavailableLock(folderLock);
    CFolderLockHolder rootLock(rootLock_);
    const bool repair = folderLock.owned() && rootLock.owned();
    Basalt::CObfuscatedIniReader folderReader;
    Basalt::CObfuscatedIniReader sharedReader;
    DWORD code = 0;
    const bool folderRead =
        !folderFinal.empty() && LoadCheckedIni(paths_.logFolder, folderFinal, folderReader, code);
    const bool sharedRead = LoadCheckedIni(rootFolder, rootFinal, sharedReader, code);
    if (!folderRead && !sharedRead) return;
    auto repairIn = [this, repair](const std::wstring& folder, const std::wstring& final) {
        return [this, repair, &folder, &final](const FileSetting& setting) {
            return repair &&
                   StoreIniValue(folder, final, setting.key, setting.defaultValue) == ERROR_SUCCESS;
        };
    };
    for (const FileSetting& setting : kFileSettings) {
        const std::optional<DWORD> value = ResolveSetting(setting, folderReader, sharedReader,
                                                          repairIn(paths_.logFolder, folderFinal),
                                                          repairIn(rootFolder, rootFinal));
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
    va_list args;
    va_start(args, format);
    FormatAndLog(level, file, function, line, format, args);  // at most 4159 characters
    va_end(args);
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

    // The line is made first: without the folder's lock, its length decides
    // whether it still fits the current file.
    lineContext_.options = options_;
    DWORD code = FormatLineInto(lineContext_, file, function, line, level, message, line_);
    if (code != ERROR_SUCCESS) return code;
    const DWORD lineBytes = static_cast<DWORD>(line_.size() * sizeof(wchar_t));

    CFolderLockHolder folderLock(folderLock_, folderBackOff_);
    if (folderLock.lost()) ReportUnavailableLock(folderLock);
    code = OpenLogFile(folderLock, lineBytes);
    if (code == ERROR_PATH_NOT_FOUND) {
        // The folder was deleted while the program ran: made again once for
        // this message. Only a folder that cannot be made silences the logger.
        if (!CheckFolder()) return ERROR_INVALID_PARAMETER;
        code = OpenLogFile(folderLock, lineBytes);
    }
    if (Basalt::IsRefusal(code)) {
        // Something planted in the folder: nothing more is written there.
        file_.reset();
        MarkUnusable(paths_.logFolder, code);
        return ERROR_INVALID_PARAMETER;
    }
    // A holder that ended mid-write may have left half a line.
    if (code == ERROR_SUCCESS && folderLock.abandoned()) code = EndTornLine();
    if (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS) {
        code = WriteLine(line_.c_str(), lineBytes);
    }
    file_.reset();
    return code;
}

DWORD CLogging::WriteLine(const wchar_t* text, DWORD lineBytes) {
    // One write: the file is open for appending only, so it lands whole at the
    // end even beside a writer that holds no lock.
    DWORD code = ERROR_SUCCESS;
    DWORD written = 0;
    if (!::WriteFile(file_.get(), text, lineBytes, &written, nullptr)) code = ::GetLastError();
    if ((options_ & kOptionDebugger) && text[0] != L'\0') debugOutput_->Write(text);
    return code;
}

void CLogging::ReportUnavailableLock(const CFolderLockHolder& folderLock) {
    const std::wstring reason =
        folderLock.result() == CFolderLock::Result::kTimedOut
            ? Basalt::FormatString(L"another program held it for %lu ms", kFolderLockWaitMs)
            : Basalt::FormatString(L"error %lu", folderLock_.LastError());
    // To the debugger directly: the foundation library's logger would bring
    // the report back into this logger.
    debugOutput_->Write(Basalt::FormatString(L"ETWLogging: cannot take the lock of %s (%s); lines "
                                             L"are written without it until it can be had\n",
                                             paths_.logFolder.c_str(), reason.c_str())
                            .c_str());
}

bool CLogging::CheckFolder() {
    DWORD code = ERROR_INVALID_PARAMETER;
    std::wstring failedAt;
    if (!paths_.logFolder.empty()) {
        code = chain_.Open(paths_.programData, paths_.folderLevels, /*create=*/true, folderFinal_,
                           failedAt);
    }
    if (code == ERROR_SUCCESS) {
        folderState_ = FolderState::kUsable;
        NameFolderFiles();
        return true;
    }
    MarkUnusable(failedAt.empty() ? paths_.logFolder : failedAt, code);
    return false;
}

void CLogging::MarkUnusable(const std::wstring& where, DWORD code) {
    // Said once, as debugger output: the foundation logger's messages come
    // back into this logger.
    if (folderState_ != FolderState::kUnusable && !where.empty()) {
        debugOutput_->Write(Basalt::FormatString(L"ETWLogging: no log is written to %s: %s "
                                                 L"(error %lu)\n",
                                                 where.c_str(), UnusableText(code), code)
                                .c_str());
    }
    // Silenced until the next Stop: Log lets nothing through any more.
    folderState_ = FolderState::kUnusable;
    enabled_ = false;
    severity_ = kSilencedSeverity;
}

void CLogging::NameFolderFiles() {
    // Kept with room for any file number, so that naming a ring file for a
    // message allocates nothing.
    constexpr size_t kNumberRoom = 16;
    const wchar_t* host = hostName_ ? hostName_->c_str() : nullptr;
    iniFinal_ = folderFinal_ + L"\\" + kIniFileName;
    ringPath_ = RingFilePrefix(paths_.logFolder, moduleBaseName_, host);
    ringFinal_ = RingFilePrefix(folderFinal_, moduleBaseName_, host);
    ringPathPrefix_ = ringPath_.size();
    ringFinalPrefix_ = ringFinal_.size();
    ringPath_.reserve(ringPathPrefix_ + kNumberRoom);
    ringFinal_.reserve(ringFinalPrefix_ + kNumberRoom);
}

void CLogging::NameRingFile(DWORD index) {
    ringPath_.resize(ringPathPrefix_);
    AppendRingFileNumber(ringPath_, index);
    ringFinal_.resize(ringFinalPrefix_);
    AppendRingFileNumber(ringFinal_, index);
}

std::wstring CLogging::LogFile(DWORD index) const {
    return LogFileName(paths_.logFolder, moduleBaseName_, hostName_ ? hostName_->c_str() : nullptr,
                       index);
}

DWORD CLogging::OpenLogFile(const CFolderLockHolder& folderLock, DWORD lineBytes) {
    if (paths_.logFolder.empty() || moduleBaseName_.empty() || (hostName_ && hostName_->empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (file_) return ERROR_ALREADY_EXISTS;
    DWORD index = 0;
    DWORD refusal = ERROR_SUCCESS;
    const IndexSource source = ReadLastLogIdx(index, refusal);
    if (source == IndexSource::kRefused) return refusal;
    const bool stored = source == IndexSource::kStored;
    ULONGLONG size = 0;
    if (!stored) {
        // Without a stored index a ring that has not turned yet (no file, or
        // file 000 the newest) starts at 0; any other is appended to.
        const DWORD newest = NewestRingFile();
        if (source != IndexSource::kNone || (newest != kNoFile && newest != 0)) {
            return AppendWhileUncertain(source, newest);
        }
        index = 0;
    }
    if (index >= maxEntries_) {
        // A stored number beyond the ring (MaxEntries lowered, say) starts it anew.
        return RollOverTo(0, kNoFile);
    }
    currentIndex_ = index;
    // A missing or emptied file is begun afresh, with its byte order mark.
    const DWORD code = OpenRingFile(index, /*empty=*/false, size);
    if (code != ERROR_SUCCESS) return code;
    // Without the lock (another program holds it, or anyone took its name) the
    // ring turns all the same, but a file is full only when this line would
    // take it past twice MaxSize: a holder of the lock, which turns the ring
    // at MaxSize, turns it first, and no file grows without bound.
    const bool full = folderLock.owned() ? size >= maxSize_ : size + lineBytes > 2ull * maxSize_;
    if (!full) return ERROR_SUCCESS;
    // Full: the next file of the ring.
    file_.reset();
    return RollOverTo(index + 1 < maxEntries_ ? index + 1 : 0, index);
}

DWORD CLogging::NewestRingFile() const {
    FILETIME newestTime = {};
    DWORD newest = kNoFile;
    for (DWORD i = 0; i < maxEntries_; ++i) {
        FILETIME written = {};
        if (LastWriteTime(i, written) &&
            (newest == kNoFile || ::CompareFileTime(&written, &newestTime) > 0)) {
            newest = i;
            newestTime = written;
        }
    }
    return newest;
}

DWORD CLogging::AppendWhileUncertain(IndexSource source, DWORD newest) {
    // Where the ring stands is not known (log.ini is missing, holds no index,
    // or is in a form this reader cannot see into): the line goes to the
    // newest ring file, which is never emptied now.
    ULONGLONG size = 0;
    if (newest == kNoFile) {
        currentIndex_ = 0;  // no ring yet: it starts at 0, as with a stored 0
        return OpenRingFile(0, /*empty=*/false, size);
    }
    currentIndex_ = newest;
    // A log.ini that can take the index (missing, or readable without it)
    // makes the position certain from the next message on. One this reader
    // cannot see into is left as it is: the store's own check refuses it, and
    // is not asked again until log.ini changes.
    if (source == IndexSource::kNone) {
        WIN32_FILE_ATTRIBUTE_DATA ini = {};
        const bool exists = ::GetFileAttributesExW(paths_.folderIniPath.c_str(),
                                                   GetFileExInfoStandard, &ini) != FALSE;
        const ULONGLONG stamp = exists ? (ULONGLONG{ini.ftLastWriteTime.dwHighDateTime} << 32 |
                                          ini.ftLastWriteTime.dwLowDateTime) ^
                                             ini.nFileSizeLow
                                       : 0;
        if (!exists || stamp != refusedIniStamp_) {
            refusedIniStamp_ = StoreLastLogIdx(newest) == ERROR_SUCCESS || !exists ? 0 : stamp;
        }
    }
    return OpenRingFile(newest, /*empty=*/false, size);
}

bool CLogging::LastWriteTime(DWORD index, FILETIME& written) const {
    // Attributes alone, which a link cannot turn into a write.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(LogFile(index).c_str(), GetFileExInfoStandard, &data)) return false;
    written = data.ftLastWriteTime;
    return true;
}

DWORD CLogging::RollOverTo(DWORD next, DWORD leaving) {
    // A stored index behind the ring (an old log.ini put back, a hand edit)
    // would have the next file emptied although it holds newer lines than the
    // file being left: the ring goes on from its newest file instead.
    FILETIME nextTime = {};
    FILETIME leavingTime = {};
    if (leaving != kNoFile && LastWriteTime(next, nextTime) &&
        LastWriteTime(leaving, leavingTime) && ::CompareFileTime(&nextTime, &leavingTime) > 0) {
        return AppendWhileUncertain(IndexSource::kNone, NewestRingFile());
    }
    currentIndex_ = next;
    // The next file's old lines are dropped only when the ring's position is
    // certain: the number it turns from was read from log.ini, and the new one
    // was stored and reads back. Otherwise (a log.ini that will not store, one
    // that another program changed) the file is appended to: it may grow past
    // MaxSize, but no line is lost.
    DWORD stored = 0;
    DWORD refusal = ERROR_SUCCESS;
    const bool certain = StoreLastLogIdx(next) == ERROR_SUCCESS &&
                         ReadLastLogIdx(stored, refusal) == IndexSource::kStored && stored == next;
    ULONGLONG size = 0;
    return OpenRingFile(next, certain, size);
}

DWORD CLogging::OpenRingFile(DWORD index, bool empty, ULONGLONG& size) {
    if (file_) return ERROR_ALREADY_EXISTS;
    NameRingFile(index);
    // Append-only access: every write lands whole at the end of the file, even
    // when another process appends at the same moment. Emptying needs write
    // access, and then the line goes where the file ends.
    const DWORD access =
        GENERIC_READ | FILE_APPEND_DATA | READ_CONTROL | (empty ? FILE_WRITE_DATA : 0);
    Basalt::UniqueHandle opened;
    Basalt::FileFacts facts;
    bool created = false;
    DWORD code = Basalt::OpenCheckedPath(ringPath_, ringFinal_, access, /*create=*/true, opened,
                                         facts, created);
    if (code != ERROR_SUCCESS) return code;
    if (!created && !chain_.WriterTrusts(opened.get())) return Basalt::kErrorUntrustedOwner;
    size = facts.size;
    bool fresh = created || size == 0;
    if (empty && !fresh) {
        code = Basalt::EmptyThroughHandle(opened.get());
        if (code != ERROR_SUCCESS) return code;
        fresh = true;
    }
    DWORD written = 0;
    if (fresh &&
        !::WriteFile(opened.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
        return ::GetLastError();
    }
    LARGE_INTEGER none = {};
    if (empty && !::SetFilePointerEx(opened.get(), none, nullptr, FILE_END)) {
        return ::GetLastError();
    }
    file_ = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD CLogging::EndTornLine() {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file_.get(), &size)) return ::GetLastError();
    if (size.QuadPart <= static_cast<LONGLONG>(sizeof(kByteOrderMark))) return ERROR_SUCCESS;
    DWORD written = 0;
    if (size.QuadPart % 2 != 0) {
        // Cut inside a character: one byte completes it, so that the lines
        // after it stay on character boundaries.
        const BYTE pad = 0;
        if (!::WriteFile(file_.get(), &pad, 1, &written, nullptr)) return ::GetLastError();
    } else {
        LARGE_INTEGER last;
        last.QuadPart = size.QuadPart - static_cast<LONGLONG>(sizeof(wchar_t));
        wchar_t unit = 0;
        DWORD read = 0;
        if (!::SetFilePointerEx(file_.get(), last, nullptr, FILE_BEGIN) ||
            !::ReadFile(file_.get(), &unit, sizeof(unit), &read, nullptr)) {
            return ::GetLastError();
        }
        if (read == sizeof(unit) && unit == L'\n') return ERROR_SUCCESS;
    }
    const DWORD bytes = static_cast<DWORD>(wcslen(kLineEnd) * sizeof(wchar_t));
    return ::WriteFile(file_.get(), kLineEnd, bytes, &written, nullptr) ? ERROR_SUCCESS
                                                                        : ::GetLastError();
}

bool CLogging::LoadCheckedIni(const std::wstring& folder, const std::wstring& folderFinal,
                              Basalt::CObfuscatedIniReader& reader, DWORD& code) {
    Basalt::UniqueHandle file;
    Basalt::FileFacts facts;
    bool created = false;
    code = Basalt::OpenCheckedFile(folder, folderFinal, kIniFileName, GENERIC_READ | READ_CONTROL,
                                   /*create=*/false, file, facts, created);
    if (code == ERROR_SUCCESS && !chain_.WriterTrusts(file.get())) {
        code = Basalt::kErrorUntrustedOwner;
    }
    if (code != ERROR_SUCCESS) return false;
    if (!reader.LoadFromHandle(folder + L"\\" + kIniFileName, std::move(file))) {
        code = ERROR_READ_FAULT;
        return false;
    }
    return true;
}

DWORD CLogging::StoreIniValue(const std::wstring& folder, const std::wstring& folderFinal,
                              const wchar_t* key, DWORD value) {
    if (folder.empty() || folderFinal.empty()) return ERROR_INVALID_PARAMETER;
    IniChangeFailure failure;
    const bool changed = ChangeIniThroughCopy(
        folder, folderFinal, chain_,
        [key, value](const std::wstring& copy) {
            Basalt::CObfuscatedIniReader reader;
            reader.Load(copy);
            return reader.SetDword(kConfigSection, key, value);
        },
        [key, value](const std::wstring& copy) {
            Basalt::CObfuscatedIniReader reader;
            DWORD stored = 0;
            return reader.Load(copy) && reader.GetDword(kConfigSection, key, stored) &&
                   stored == value;
        },
        failure);
    if (changed) return ERROR_SUCCESS;
    return failure.code != ERROR_SUCCESS ? failure.code : ERROR_INVALID_PARAMETER;
}

CLogging::IndexSource CLogging::ReadLastLogIdx(DWORD& index, DWORD& refusal) {
    index = 0;
    // Read as the framework's INI reader reads it (FindObfuscatedDword), from
    // one read of the checked handle into storage that is kept.
    Basalt::UniqueHandle file;
    Basalt::FileFacts facts;
    bool created = false;
    DWORD code =
        Basalt::OpenCheckedPath(paths_.folderIniPath, iniFinal_, GENERIC_READ | READ_CONTROL,
                                /*create=*/false, file, facts, created);
    if (code == ERROR_SUCCESS && !chain_.WriterTrusts(file.get())) {
        code = Basalt::kErrorUntrustedOwner;
    }
    if (code != ERROR_SUCCESS) {
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return IndexSource::kNone;
        if (Basalt::IsRefusal(code)) {
            refusal = code;
            return IndexSource::kRefused;
        }
        return IndexSource::kUnreadable;
    }
    code = ReadSmallFile(file.get(), iniBytes_);
    // Past any size a log.ini has, or without the memory, it is not read at
    // all; a read that fails leaves what a reader would see then: nothing.
    if (code == ERROR_FILE_TOO_LARGE || code == ERROR_OUTOFMEMORY) return IndexSource::kUnreadable;
    if (code != ERROR_SUCCESS) iniBytes_.clear();
    bool found = false;
    try {
        // Only a value enciphered as a string needs memory to be read.
        found = Basalt::FindObfuscatedDword(iniBytes_.data(), iniBytes_.size(), kConfigSection,
                                            kLastLogIdxKey, index);
    } catch (const std::bad_alloc&) {
        index = 0;
        return IndexSource::kUnreadable;
    }
    if (!found) {
        index = 0;
        return IndexSource::kNone;
    }
    return IndexSource::kStored;
}

DWORD CLogging::StoreLastLogIdx(DWORD index) {
    return StoreIniValue(paths_.logFolder, folderFinal_, kLastLogIdxKey, index);
}

void CLogging::Reset() {
    groupName_.reset();
    hostName_.reset();
    processImageName_.clear();
    moduleBaseName_.clear();
    processId_ = 0;
    paths_ = FileLoggerPaths();
    folderFinal_.clear();
    iniFinal_.clear();
    ringPath_.clear();
    ringFinal_.clear();
    ringPathPrefix_ = 0;
    ringFinalPrefix_ = 0;
    lineContext_ = LineContext();
    refusedIniStamp_ = 0;
    file_.reset();
    folderLock_.Reset();
    folderBackOff_ = CLockBackOff();
    rootLock_.Reset();
    currentIndex_ = 0;
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
