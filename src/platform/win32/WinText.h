// The project's UTF-16 text as the W functions take it: on Windows wchar_t is UTF-16.
#pragma once

#include "shared/text.h"

namespace mf::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

inline const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline const wchar_t* Wide(const Text& text) {
    return Wide(text.c_str());
}

}  // namespace mf::win32
