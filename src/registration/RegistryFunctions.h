// The narrow seam through which every registry call passes: the four advapi32 functions
// TRegistry needs (plus RegFlushKey), with Win32 semantics, and an RAII owner for the
// handles they return. The Win32 build forwards to advapi32; elsewhere a substitute store
// with the same behaviour stands in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mf {

using RegHandle = std::uintptr_t;  // HKEY as an integer; 0 = none
using RegStatus = std::int32_t;    // Win32 error code; 0 = success
using RegSam = std::uint32_t;      // access mask

inline constexpr RegHandle kHkeyClassesRoot = 0x80000000u;
inline constexpr RegHandle kHkeyCurrentUser = 0x80000001u;

inline constexpr RegSam kKeyQueryValue = 0x0001;
inline constexpr RegSam kKeySetValue = 0x0002;
inline constexpr RegSam kKeyCreateSubKey = 0x0004;
inline constexpr RegSam kKeyEnumerateSubKeys = 0x0008;
inline constexpr RegSam kKeyWow64_64Key = 0x0100;
inline constexpr RegSam kKeyWow64_32Key = 0x0200;
inline constexpr RegSam kKeyWow64Res = 0x0300;
inline constexpr RegSam kStandardRightsRead = 0x20000;
inline constexpr RegSam kKeyRead = 0x20019;
inline constexpr RegSam kKeyAllAccess = 0xF003F;

inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorBadPathname = 161;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegOptionNonVolatile = 0;

class RegistryFunctions {
  public:
    virtual ~RegistryFunctions() = default;

    // RegCreateKeyExW(key, subKey, 0, nullptr, options, access, nullptr, result, disposition)
    virtual RegStatus CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                                  RegSam access, RegHandle* result, std::uint32_t* disposition) = 0;
    // RegOpenKeyExW(key, subKey, options, access, result)
    virtual RegStatus OpenKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                                RegSam access, RegHandle* result) = 0;
    // RegSetValueExW(key, name, 0, type, data, size)
    virtual RegStatus SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                                 const std::uint8_t* data, std::uint32_t size) = 0;
    virtual RegStatus CloseKey(RegHandle key) = 0;
    virtual RegStatus FlushKey(RegHandle key) = 0;
};

// The platform's own registry: advapi32 on Windows, a process-wide substitute store elsewhere.
RegistryFunctions& PlatformRegistry();

// What TRegistry uses: the platform's registry unless a test has put another in its place.
RegistryFunctions& ActiveRegistry();

// Puts `replacement` in place of the active registry for this object's lifetime.
class ScopedRegistryOverride {
  public:
    explicit ScopedRegistryOverride(RegistryFunctions& replacement);
    ~ScopedRegistryOverride();
    ScopedRegistryOverride(const ScopedRegistryOverride&) = delete;
    ScopedRegistryOverride& operator=(const ScopedRegistryOverride&) = delete;

  private:
    RegistryFunctions* previous_;
};

// Owns one open key handle and closes it through the functions that opened it.
class UniqueRegKey {
  public:
    UniqueRegKey() = default;
    UniqueRegKey(RegistryFunctions& functions, RegHandle handle)
        : functions_(&functions), handle_(handle) {}
    ~UniqueRegKey() { reset(); }

    UniqueRegKey(UniqueRegKey&& other) noexcept
        : functions_(other.functions_), handle_(other.release()) {}
    UniqueRegKey& operator=(UniqueRegKey&& other) noexcept {
        if (this != &other) {
            reset();
            functions_ = other.functions_;
            handle_ = other.release();
        }
        return *this;
    }
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;

    RegHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }

    RegHandle release() {
        const RegHandle handle = handle_;
        handle_ = 0;
        return handle;
    }
    void reset() {
        if (handle_ != 0 && functions_ != nullptr) {
            functions_->CloseKey(handle_);
        }
        handle_ = 0;
    }

  private:
    RegistryFunctions* functions_ = nullptr;
    RegHandle handle_ = 0;
};

}  // namespace mf
