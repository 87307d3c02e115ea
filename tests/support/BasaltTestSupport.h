// Helpers shared by the tests on the foundation library alone: scratch registry
// keys and folders, file and process helpers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/FileChecks.h"
#include "basalt/Logging/internal_logging.h"
#include "basalt/ShlObjAPI.h"
#include "basalt/UniqueHandle.h"

namespace TestSupport {

// A key below HKEY_CURRENT_USER\Software\GatesvcTests (or another root) that
// is deleted with everything below it when the object goes.
class ScratchRegistryKey {
  public:
    explicit ScratchRegistryKey(const std::wstring& name, HKEY root = HKEY_CURRENT_USER);
    ~ScratchRegistryKey();
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    HKEY root() const { return root_; }
    // The path below the root.
    const std::wstring& path() const { return path_; }
    // An open handle with full access.
    HKEY handle() const { return handle_.get(); }

  private:
    HKEY root_;
    std::wstring path_;
    Basalt::UniqueHkey handle_;
};

// Deletes a registry tree below `root` (the key itself included).
void DeleteRegistryTree(HKEY root, const std::wstring& path);

// A fresh folder under the temporary folder, removed with its contents.
class ScratchFolder {
  public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

// "<prefix>-<test name>": a folder of the running test's own, so that it never meets a
// program an earlier test ran there that the system has not quite let go of.
std::wstring PerTestFolderName(const wchar_t* prefix);

// Removes a folder and everything in it; missing is fine.
void RemoveTree(const std::wstring& path);

bool FileExists(const std::wstring& path);
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const void* data, size_t byteCount);
bool WriteFileText(const std::wstring& path, const std::string& text);

// The folder of the running test program.
std::wstring ProgramFolder();

// Runs a command line and waits; the exit code, or -1 when it did not start.
int RunProgram(const std::wstring& commandLine, const std::wstring& workingFolder = L"");

// Starts a command line without waiting; the process, or none when it did not start.
Basalt::UniqueKernelHandle StartProgram(const std::wstring& commandLine);
// Waits (two minutes at most) for a process; its exit code, or -1 when it did not end.
int WaitForExit(HANDLE process);

// The same, with the program's standard output and error collected into `output`.
int RunProgramWithOutput(const std::wstring& commandLine, std::string& output);

// The lines of a UTF-16 log file, without their line ends; `marks` counts the byte
// order marks in it (one at the start of a sound file).
std::vector<std::wstring> ReadLogLines(const std::wstring& path, size_t* marks = nullptr);
// The message of a log line: the text after its last header field ("]$ ").
std::wstring LogLineMessage(const std::wstring& line);
// The messages of a UTF-16 log file's lines.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);

// A shell whose program data folder is `folder`; an empty one fails every request.
class FolderShell : public Basalt::ShlObjAPI {
  public:
    explicit FolderShell(std::wstring folder) : folder_(std::move(folder)) {}
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                               PWSTR* path) override;

  private:
    std::wstring folder_;
};

// A debugger output that records the lines handed to it, for one thread.
class RecordingDebugOutput : public Basalt::DebugOutputAPI {
  public:
    void Write(const wchar_t* text) override { lines.push_back(text); }
    std::vector<std::wstring> lines;
};

// The owners and DACLs of a machine with real accounts, which Wine does not keep: a
// modelled account (privileged or not, with the SID kModelUserSid), the security of each
// folder or file given as SDDL for the end of its final path (the first rule that matches,
// else `defaultSddl`), and what each folder was created with.
class ModelFileSecurity : public Basalt::FileSecurityAPI {
  public:
    static constexpr wchar_t kModelUserSid[] = L"S-1-5-21-1-2-3-1001";
    // A standard user's folder, as one may make it below the common application data folder.
    static constexpr wchar_t kUserFolderSddl[] =
        L"O:S-1-5-21-1-2-3-2000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-2000)";

    bool IsPrivilegedWriter() override { return privileged; }
    bool CurrentUserSid(std::vector<BYTE>& sid) override;
    DWORD QuerySecurity(HANDLE handle, Basalt::UniqueLocal& descriptor) override;
    DWORD SetProtectedDacl(HANDLE handle, PACL dacl) override;
    BOOL CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) override;

    bool privileged = true;
    std::wstring defaultSddl = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";
    std::vector<std::pair<std::wstring, std::wstring>> rules;  // path ending, SDDL
    DWORD tightenResult = ERROR_SUCCESS;
    std::vector<std::wstring> createdWith;  // the DACL of each folder created, as SDDL ("" none)
    std::vector<std::wstring> tightened;    // the final path of each object given a DACL
};

// The installer's world in the test prefix.
std::wstring SystemFolder();
std::wstring DriverDestination();  // <System>\drivers\BulwarkK.sys
std::wstring LogRoot();            // <ProgramData>\Halvik\HVLOGS
// PendingFileRenameOperations, and the installer's staged copies that it would move.
void ClearPendingRenames();
void RemoveLoggingMechanism();  // HKLM\SOFTWARE\Halvik\Logging "Logging Mechanism"

// Puts gatesvc.exe and a sample driver into `app` and runs "/InstallCat" while the installed
// driver file is held open without sharing, as a loaded driver's is; the exit code.
int InstallWhileDriverHeld(const ScratchFolder& app);

// Bytes at the very end of a writable page followed by an inaccessible one: a read or
// write past the last byte faults at once instead of passing unnoticed.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t byteCount);
    GuardedBuffer(const void* data, size_t byteCount);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    BYTE* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    void* base_ = nullptr;
    BYTE* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace TestSupport
