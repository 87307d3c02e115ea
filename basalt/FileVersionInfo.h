// Version resources of files, by path or by name in the System folder.
//
// An object owns its copy of the resource and belongs to one thread at a time;
// the shell service is shared (std::shared_ptr).
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "basalt/ShlObjAPI.h"

namespace Basalt {

// The sub-block of a version resource that holds the string `valueName` of one
// translation: "\StringFileInfo\LLLLCCCC\valueName", language and code page in
// hexadecimal (the lookup ignores the letters' case).
std::wstring VersionStringPath(WORD language, WORD codePage, const wchar_t* valueName);

// Loads the version resource of one file, once, and answers its string values.
class FileVersionInfo {
  public:
    FileVersionInfo() = default;
    virtual ~FileVersionInfo() = default;

    // True when the file's version resource has been read; false when the file
    // has none, reading fails, or a resource is already loaded.
    virtual bool Load(const std::wstring& path);

    // The value from the first translation that has it; empty when nothing is
    // loaded or no translation has the value.
    virtual std::wstring GetString(const std::wstring& valueName);

  private:
    std::vector<BYTE> resource_;
    bool loaded_ = false;
};

// The same for a file named relative to the System folder.
class SystemFileVersionInfo : public FileVersionInfo {
  public:
    // `shell` finds the System folder; none gives the plain service.
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);
    ~SystemFileVersionInfo() override = default;

    // Loads <System folder>\fileName. A System folder that cannot be found
    // gives "\" + fileName, which normally has no resource.
    bool Load(const std::wstring& fileName) override;

  private:
    std::shared_ptr<ShlObjAPI> shell_;
    std::wstring systemFolder_;
};

}  // namespace Basalt
