// Helpers for tests on the real registry: keys that refuse rights through a deny entry in
// their DACL, direct reads, and cleanup of everything a test touched.
#pragma once

#include <windows.h>

#include "platform/win32/WinHandles.h"

#include <optional>
#include <string>
#include <vector>

namespace mf::testing {

using win32::UniqueHkey;

std::wstring Wide(const std::u16string& text);

// Makes `path` if missing and refuses `rights` on it to everyone, by one deny entry put in
// front of the key's own DACL.
void DenyRights(HKEY root, const std::wstring& path, DWORD rights);
// The entries of the key's DACL, each as its bytes, in order.
std::vector<std::vector<BYTE>> DaclEntries(HKEY root, const std::wstring& path);
void MakeKey(HKEY root, const std::wstring& path);
// `view` may name a registry view (KEY_WOW64_64KEY, KEY_WOW64_32KEY); 0 is the process's own.
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0);
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path,
                                       const std::wstring& name = L"", REGSAM view = 0);
std::vector<std::wstring> SubKeys(HKEY root, const std::wstring& path);
void WriteString(HKEY root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& value);
// Every key and value below `path`, one per line, for comparing whole trees.
std::wstring DumpTree(HKEY root, const std::wstring& path);
// Deletes a tree, lifting any DACL in it that would stop the deletion.
void DeleteTree(HKEY root, const std::wstring& path);

// Deletes the given trees when it goes, restoring any DACL that would stop the deletion.
class KeyCleanup {
  public:
    KeyCleanup(HKEY root, std::vector<std::wstring> paths);
    ~KeyCleanup();
    KeyCleanup(const KeyCleanup&) = delete;
    KeyCleanup& operator=(const KeyCleanup&) = delete;
    void Run() const;

  private:
    HKEY root_;
    std::vector<std::wstring> paths_;
};

}  // namespace mf::testing
