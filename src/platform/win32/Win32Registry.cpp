#include "platform/win32/Win32Registry.h"

#include <windows.h>

#include "platform/win32/WinText.h"

namespace mf {

namespace {

using win32::Wide;

// Predefined hives are sign-extended 32-bit values; other handles are pointers.
HKEY ToHkey(RegHandle handle) {
    if (handle == kHkeyClassesRoot || handle == kHkeyCurrentUser) {
        return reinterpret_cast<HKEY>(
            static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(handle))));
    }
    return reinterpret_cast<HKEY>(handle);
}

RegHandle FromHkey(HKEY key) {
    return reinterpret_cast<RegHandle>(key);
}

}  // namespace

RegStatus Win32Registry::CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                                     RegSam access, RegHandle* result, std::uint32_t* disposition) {
    HKEY created = nullptr;
    DWORD createdDisposition = 0;
    const LONG status = RegCreateKeyExW(ToHkey(key), Wide(subKey), 0, nullptr, options, access,
                                        nullptr, &created, &createdDisposition);
    if (status == ERROR_SUCCESS) {
        *result = FromHkey(created);
        if (disposition != nullptr) {
            *disposition = createdDisposition;
        }
    }
    return status;
}

RegStatus Win32Registry::OpenKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                                   RegSam access, RegHandle* result) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(ToHkey(key), Wide(subKey), options, access, &opened);
    if (status == ERROR_SUCCESS) {
        *result = FromHkey(opened);
    }
    return status;
}

RegStatus Win32Registry::SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                                    const std::uint8_t* data, std::uint32_t size) {
    return RegSetValueExW(ToHkey(key), Wide(name), 0, type, data, size);
}

RegStatus Win32Registry::CloseKey(RegHandle key) {
    return RegCloseKey(ToHkey(key));
}

RegStatus Win32Registry::FlushKey(RegHandle key) {
    return RegFlushKey(ToHkey(key));
}

RegistryFunctions& PlatformRegistry() {
    static Win32Registry registry;
    return registry;
}

}  // namespace mf
