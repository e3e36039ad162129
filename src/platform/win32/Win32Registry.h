// advapi32 behind the registry seam.
#pragma once

#include "registration/RegistryFunctions.h"

namespace mf {

class Win32Registry final : public RegistryFunctions {
  public:
    RegStatus CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                          RegSam access, RegHandle* result, std::uint32_t* disposition) override;
    RegStatus OpenKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options, RegSam access,
                        RegHandle* result) override;
    RegStatus SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                         const std::uint8_t* data, std::uint32_t size) override;
    RegStatus CloseKey(RegHandle key) override;
    RegStatus FlushKey(RegHandle key) override;
};

}  // namespace mf
