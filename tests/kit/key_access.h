// Opening registry keys past their DACL, as the backup, restore and take-ownership
// privileges let an administrator, and putting the DACL back as it was found.
#pragma once

#include <windows.h>

#include <sddl.h>

#include "kit/snapshot.h"
#include "platform/win32/WinHandles.h"

namespace mf::kit {

// The classes keys are shared between the 32- and 64-bit views; the 64-bit view shows them
// as they are, also to this 32-bit program on 64-bit Windows.
inline constexpr REGSAM kView = KEY_WOW64_64KEY;
inline constexpr SECURITY_INFORMATION kSecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// Lets administrators and the system in, for the moment a key is read, changed or deleted past
// its own DACL; nobody else gains anything meanwhile.
inline constexpr const wchar_t* kLiftedDacl = L"D:(A;;KA;;;BA)(A;;KA;;;SY)";
// Each key that restore opens for writing or lifts past its DACL, with the DACL it is lifted
// to (empty for a plain open for writing); null for none. Lets the tests see what is touched.
using TouchWatch = void (*)(const std::wstring& path, const std::wstring& liftedDacl);
void WatchTouches(TouchWatch watch);
void Touched(const std::wstring& path, const std::wstring& liftedDacl);
HKEY HiveKey(const std::wstring& hive);
class LocalSecurity {
  public:
    explicit LocalSecurity(const std::wstring& sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &sd_, nullptr)) {
            sd_ = nullptr;
        }
    }
    ~LocalSecurity() { LocalFree(sd_); }
    LocalSecurity(const LocalSecurity&) = delete;
    LocalSecurity& operator=(const LocalSecurity&) = delete;
    PSECURITY_DESCRIPTOR get() const { return sd_; }

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};
// Opens `name` below `parent`. Where the key's DACL refuses, tries again with
// REG_OPTION_BACKUP_RESTORE, which an administrator's backup and restore privileges pass.
LONG OpenKey(HKEY parent, const std::wstring& name, REGSAM access, win32::UniqueHkey& key);
std::optional<std::wstring> ReadSecurity(HKEY key);
LONG WriteSecurity(HKEY key, SECURITY_INFORMATION parts, const std::wstring& sddl);
// Opens the key for rewriting its security: with WRITE_OWNER where the privileges allow it,
// else as its owner; taking ownership as the last resort.
LONG OpenForSecurity(HKEY parent, const std::wstring& name, bool withOwner, win32::UniqueHkey& key);
// A key opened with `access`, past a DACL that refuses it if need be: the DACL is opened up
// for as long as this lives and then put back as it was found, owner included.
class OpenedKey {
  public:
    OpenedKey(HKEY parent, std::wstring name, REGSAM access, const std::wstring& path,
              Problems& problems)
        : parent_(parent), name_(std::move(name)), path_(path), problems_(problems) {
        if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE)) {
            Touched(path_, L"");
        }
        status_ = OpenKey(parent_, name_, access, key_);
        if (status_ != ERROR_ACCESS_DENIED) {
            return;
        }
        win32::UniqueHkey security;
        if (OpenForSecurity(parent_, name_, true, security) != ERROR_SUCCESS) {
            return;
        }
        found_ = ReadSecurity(security.get());
        Touched(path_, kLiftedDacl);
        if (!found_ || WriteSecurity(security.get(), DACL_SECURITY_INFORMATION, kLiftedDacl) !=
                           ERROR_SUCCESS) {
            found_.reset();
            return;
        }
        status_ = OpenKey(parent_, name_, access, key_);
    }
    ~OpenedKey() {
        key_.reset();
        if (!found_) {
            return;
        }
        win32::UniqueHkey security;
        const LONG status = OpenForSecurity(parent_, name_, true, security);
        if (status != ERROR_SUCCESS ||
            WriteSecurity(security.get(), kSecurityParts, *found_) != ERROR_SUCCESS) {
            problems_.push_back(path_ + L": cannot put its security back after opening it");
        }
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;

    HKEY get() const { return key_.get(); }
    LONG status() const { return status_; }

  private:
    HKEY parent_;
    std::wstring name_;
    std::wstring path_;
    Problems& problems_;
    win32::UniqueHkey key_;
    LONG status_ = ERROR_SUCCESS;
    std::optional<std::wstring> found_;
};
void SetPrivileges(DWORD attributes);
// The backup, restore and take-ownership privileges only for as long as a command needs them,
// so that no suite, nor the tool a suite starts, is started while they are enabled.
class Privileged {
  public:
    Privileged() { SetPrivileges(SE_PRIVILEGE_ENABLED); }
    ~Privileged() { SetPrivileges(0); }
    Privileged(const Privileged&) = delete;
    Privileged& operator=(const Privileged&) = delete;
};

}  // namespace mf::kit
