// RAII owners for Win32 handles: one template, one alias per kind of handle.
#pragma once

#include <windows.h>

namespace mf::win32 {

template <typename Handle, void (*Close)(Handle)>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }
    // For functions that hand back a new handle through a pointer.
    Handle* put() {
        reset();
        return &handle_;
    }
    Handle release() {
        const Handle handle = handle_;
        handle_ = Handle{};
        return handle;
    }
    void reset(Handle handle = Handle{}) {
        if (handle_ != Handle{}) {
            Close(handle_);
        }
        handle_ = handle;
    }

  private:
    Handle handle_{};
};

namespace detail {
// A window may already be gone with its parent or thread.
inline void DestroyLiveWindow(HWND window) {
    if (IsWindow(window)) {
        DestroyWindow(window);
    }
}
inline void DeleteFont(HFONT font) {
    DeleteObject(font);
}
inline void CloseRegistryKey(HKEY key) {
    RegCloseKey(key);
}
inline void CloseKernelHandle(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}
}  // namespace detail

using UniqueWindow = UniqueHandle<HWND, detail::DestroyLiveWindow>;
using UniqueFont = UniqueHandle<HFONT, detail::DeleteFont>;
using UniqueHkey = UniqueHandle<HKEY, detail::CloseRegistryKey>;
using UniqueKernelHandle = UniqueHandle<HANDLE, detail::CloseKernelHandle>;

class ScreenDc {
  public:
    ScreenDc() : dc_(GetDC(nullptr)) {}
    ~ScreenDc() { ReleaseDC(nullptr, dc_); }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC get() const { return dc_; }

  private:
    HDC dc_;
};

}  // namespace mf::win32
