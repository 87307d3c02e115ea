// The file logger's message path as it stood before its cost was cut: the
// benchmark measures the logger against it in the same run, and the
// differential test checks that both leave the same files. Frozen on purpose:
// it is not to follow the logger's changes.
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
#include "logging/file/FileLogging.h"
#include "logging/file/FolderLock.h"
#include "logging/file/IniReader.h"
#include "logging/file/LineFormat.h"

namespace Reference {

using ETWLogging::CFolderLock;
using ETWLogging::CFolderLockHolder;
using ETWLogging::CLockBackOff;
using ETWLogging::FileLoggerPaths;
using ETWLogging::FileSetting;
using ETWLogging::LocalClockAPI;
using ETWLogging::LoggingConfigListenerIf;

// logFolder\module[_host]NNN.log, as the earlier path made it for every message.
std::wstring ReferenceLogFileName(const std::wstring& logFolder, const std::wstring& moduleBaseName,
                                  const wchar_t* hostName, DWORD index);

// One line, as the earlier path made it: in a new allocation, through temporary strings.
DWORD ReferenceFormatLine(const ETWLogging::LineContext& context, const wchar_t* file,
                          const wchar_t* function, int line, DWORD level, const wchar_t* message,
                          DWORD* byteCount, std::unique_ptr<wchar_t[]>* text);

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
class CReferenceLogging : public ETWLogging::CLoggingIf {
  public:
    // `shell` finds the common application data folder, `clock` gives each
    // line's time, `debugOutput` receives the lines of option 0x01 and the
    // one message on an unusable folder, and `security` says who this process
    // is and who owns what; none gives the plain services.
    explicit CReferenceLogging(std::shared_ptr<Basalt::ShlObjAPI> shell = nullptr,
                               std::shared_ptr<LocalClockAPI> clock = nullptr,
                               std::shared_ptr<Basalt::DebugOutputAPI> debugOutput = nullptr,
                               std::shared_ptr<Basalt::FileSecurityAPI> security = nullptr);
    ~CReferenceLogging() override;
    CReferenceLogging(const CReferenceLogging&) = delete;
    CReferenceLogging& operator=(const CReferenceLogging&) = delete;

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

}  // namespace Reference
