// Whether a Windows test binary runs under Wine: for the few checks where Wine is known to
// differ from Windows (docs/wine-divergences.md).
#pragma once

#include <windows.h>

namespace mf::testing {

inline bool IsWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace mf::testing
