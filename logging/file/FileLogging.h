// The file back end: each message becomes one UTF-16 line in a ring of
// numbered log files below the common application data folder.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "basalt/FileChecks.h"
#include "basalt/Logging/internal_logging.h"
#include "basalt/ShlObjAPI.h"
#include "basalt/UniqueHandle.h"
#include "logging/LoggingIf.h"
#include "logging/file/FolderLock.h"
#include "logging/file/IniReader.h"
#include "logging/file/LineFormat.h"

namespace ETWLogging {

constexpr wchar_t kConfigSection[] = L"Config";
constexpr wchar_t kLastLogIdxKey[] = L"LastLogIdx";

// One setting of the file logger: its log.ini key, default and accepted range.
struct FileSetting {
    const wchar_t* key;
    DWORD defaultValue;
    DWORD minimum;
    DWORD maximum;
};

// The five settings in reading order ("Enable", "MaxSize", "MaxEntries",
// "Severity", "Options") with their defaults and accepted ranges.
extern const FileSetting kFileSettings[5];

// Whether a value read from log.ini lies in the setting's accepted range.
bool IsAcceptableSetting(const FileSetting& setting, DWORD value);

struct FileLoggerPaths {
    std::wstring programData;  // the common application data folder, where the checks start
    std::vector<std::wstring> folderLevels;  // "Halvik", "HVLOGS", the group if any, the module
    std::wstring logRoot;        // <program data>\Halvik\HVLOGS\ (with the trailing "\")
    std::wstring logFolder;      // logRoot + group + "\" + module, or logRoot + module
    std::wstring folderIniPath;  // logFolder\log.ini
    std::wstring sharedIniPath;  // logRoot + "log.ini"
};

// The number of folderLevels from the common application data folder to the log root.
constexpr size_t kLogRootLevels = 2;

// The paths for a group (none or non-empty) and a module base name. 0; ERROR_INVALID_PARAMETER for
// an empty module name; ERROR_INVALID_NAME for a group or module name that is not one plain
// path component (Basalt::IsPlainPathComponent); ERROR_FILENAME_EXCED_RANGE when the log root
// does not fit MAX_PATH characters.
DWORD ComputeFileLoggerPaths(const std::wstring& programDataFolder, const wchar_t* groupName,
                             const std::wstring& moduleBaseName, FileLoggerPaths& paths);

// logFolder\module[_host]: a ring file's name without its number.
std::wstring RingFilePrefix(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                            const wchar_t* hostName);
// Appends a ring file's number (at least three digits) and ".log" to `prefix`.
void AppendRingFileNumber(std::wstring& prefix, DWORD index);

// logFolder\module[_host]NNN.log, the number with at least three digits.
std::wstring LogFileName(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                         const wchar_t* hostName, DWORD index);

// The file logger. Every operation may be called from any thread: calls are
// serialised by a recursive lock of its own (the foundation library's messages
// can arrive on any thread), and the reference count is atomic. The path and
// identity accessors below are for the thread that initialises and stops it.
//
// Several processes may log into one folder at once (two runs of a program, a
// service and a helper of the same module name) while the operator tool
// changes its log.ini: each message reads the index, turns the ring and
// appends its line under the folder's lock (CFolderLock), which they all share.
// A message that cannot have the lock (CLockBackOff says how long it waits) is
// written all the same, and the ring turns without it at twice MaxSize.
//
// Nothing planted in the log tree redirects a write: the folders are opened
// level by level from the common application data folder and checked
// (Basalt::CFolderChain), each file is checked on the handle that is then
// used (a plain file with one name in the checked folder, of a trusted owner
// for a privileged writer), files are emptied through that handle, and
// log.ini is changed through a new copy renamed over it (IniChange.h). A
// folder or file that fails a check makes the folder unusable, which is said
// once as debugger output.
class CLogging : public CLoggingIf {
  public:
    // `shell` finds the common application data folder, `clock` gives each
    // line's time, `debugOutput` receives the lines of option 0x01 and the
    // one message on an unusable folder, and `security` says who this process
    // is and who owns what; none gives the plain services.
    explicit CLogging(std::shared_ptr<Basalt::ShlObjAPI> shell = nullptr,
                      std::shared_ptr<LocalClockAPI> clock = nullptr,
                      std::shared_ptr<Basalt::DebugOutputAPI> debugOutput = nullptr,
                      std::shared_ptr<Basalt::FileSecurityAPI> security = nullptr);
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    // Derives names and paths and reads the settings. 20001 when initialised;
    // ERROR_INVALID_PARAMETER for an empty group or host name or module name; ERROR_INVALID_NAME
    // for one that is not a plain path component; ERROR_OUTOFMEMORY
    // when the program's file name has no folder; the known-folder or path-length code.
    DWORD Init(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
               LoggingConfigListenerIf* configListener) override;
    DWORD Start() override { return ERROR_SUCCESS; }
    void GetLoggerName(std::wstring&) override {}
    void GetGroupName(std::wstring&) override {}
    // Resets the logger: 0, or 20002 when it was never initialised.
    DWORD Stop() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
    // Appends one line to the current log file, rolling over when it is full.
    // 0; ERROR_INVALID_PARAMETER for an empty message or an unusable log folder; a system code.
    DWORD LogMessage(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                     const wchar_t* message) override;
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    // Deletes the logger when the count reaches 0.
    LONG Release() override;

    // Copies the common application data folder into `buffer`: 0, 80 when it
    // was cut to `capacity`, ERROR_INVALID_PARAMETER for no buffer or no folder.
    virtual DWORD GetProgramDataFolder(wchar_t* buffer, DWORD capacity);

    // The derived identity and paths (empty before Init and after Stop), and
    // the options in force.
    const std::wstring& LogFolder() const { return paths_.logFolder; }
    const std::wstring& FolderIniPath() const { return paths_.folderIniPath; }
    const std::wstring& SharedIniPath() const { return paths_.sharedIniPath; }
    const std::wstring& ModuleBaseName() const { return moduleBaseName_; }
    const std::wstring& ProcessImageName() const { return processImageName_; }
    DWORD GetOptions() const { return options_; }

  private:
    enum class FolderState { kUnchecked, kUsable, kUnusable };

    DWORD DeriveIdentity(const wchar_t* groupName, HMODULE module, const wchar_t* hostName);
    void ReadSettings();
    void ApplySetting(const FileSetting& setting, DWORD value);
    bool CheckFolder();
    void MarkUnusable(const std::wstring& where, DWORD code);
    // Where the current file number came from.
    enum class IndexSource {
        kStored,      // read from the folder's log.ini
        kNone,        // no log.ini, or none of its values is a readable "LastLogIdx": 0
        kUnreadable,  // log.ini exists but cannot be read now
        kRefused,     // log.ini fails the checks: the folder is not to be used
    };

    DWORD WriteLine(const wchar_t* text, DWORD lineBytes);
    // Writes one debugger line saying why the folder's lock cannot be had.
    void ReportUnavailableLock(const CFolderLockHolder& folderLock);
    DWORD OpenLogFile(const CFolderLockHolder& folderLock, DWORD lineBytes);
    // Opens ring file `index` (made when missing, emptied when `empty`) for
    // appending, with its byte order mark when it is begun afresh; `size` is
    // what the file held before.
    DWORD OpenRingFile(DWORD index, bool empty, ULONGLONG& size);
    DWORD EndTornLine();
    // Loads `folder`\log.ini through a checked handle; false with the code.
    bool LoadCheckedIni(const std::wstring& folder, const std::wstring& folderFinal,
                        Basalt::CObfuscatedIniReader& reader, DWORD& code);
    // Writes `value` enciphered under `key` into `folder`\log.ini through a copy.
    DWORD StoreIniValue(const std::wstring& folder, const std::wstring& folderFinal,
                        const wchar_t* key, DWORD value);
    IndexSource ReadLastLogIdx(DWORD& index, DWORD& refusal);
    DWORD StoreLastLogIdx(DWORD index);
    // Turns the ring from file `leaving` (kNoFile for none) to file `next`.
    DWORD RollOverTo(DWORD next, DWORD leaving);
    // Appends to ring file `newest` (the one written last, kNoFile for none)
    // while the index is not known for sure.
    DWORD AppendWhileUncertain(IndexSource source, DWORD newest);
    // The ring file written last (kNoFile when there is none).
    DWORD NewestRingFile() const;
    bool LastWriteTime(DWORD index, FILETIME& written) const;
    static constexpr DWORD kNoFile = 0xFFFFFFFF;
    std::wstring LogFile(DWORD index) const;
    // Names log.ini and the ring files below the checked folder, by path and
    // by final path, once the folder is checked.
    void NameFolderFiles();
    // Puts ring file `index` in ringPath_ and ringFinal_.
    void NameRingFile(DWORD index);
    void Reset();
    void SetDefaults();

    Basalt::CCriticalSection lock_;
    std::shared_ptr<Basalt::ShlObjAPI> shell_;
    std::shared_ptr<LocalClockAPI> clock_;
    std::shared_ptr<Basalt::DebugOutputAPI> debugOutput_;
    Basalt::CFolderChain chain_;

    std::optional<std::wstring> groupName_;
    std::optional<std::wstring> hostName_;
    std::wstring processImageName_;
    std::wstring moduleBaseName_;
    DWORD processId_ = 0;
    FileLoggerPaths paths_;
    std::wstring folderFinal_;  // the log folder's final path, once checked
    std::wstring iniFinal_;     // the final path log.ini must have
    // One ring file's path and final path, their storage reused for every
    // message; the prefixes are the parts without the number.
    std::wstring ringPath_;
    std::wstring ringFinal_;
    size_t ringPathPrefix_ = 0;
    size_t ringFinalPrefix_ = 0;
    // What every line carries besides the message, and the storage each line
    // and log.ini's bytes are read into.
    LineContext lineContext_;
    std::wstring line_;
    std::string iniBytes_;
    // The last-write time and size of a log.ini that refused the index: not
    // asked again while it stays so.
    ULONGLONG refusedIniStamp_ = 0;

    bool enabled_ = true;
    DWORD maxSize_ = 0;
    DWORD maxEntries_ = 0;
    DWORD severity_ = 0;
    DWORD options_ = 0;

    bool initialized_ = false;
    Basalt::UniqueHandle file_;
    CFolderLock folderLock_;      // the log folder's: its files and its log.ini
    CLockBackOff folderBackOff_;  // how long a message waits for folderLock_
    CFolderLock rootLock_;        // the log root's: the shared log.ini
    // The number of the file this logger last found current, for the messages
    // written while log.ini cannot be read.
    DWORD currentIndex_ = 0;
    std::atomic<LONG> refCount_{0};
    FolderState folderState_ = FolderState::kUnchecked;
};

}  // namespace ETWLogging
