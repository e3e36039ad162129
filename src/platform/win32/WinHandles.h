// RAII owners for the window layer's handles.
#pragma once

#include <windows.h>

namespace mf::win32 {

class UniqueWindow {
  public:
    UniqueWindow() = default;
    explicit UniqueWindow(HWND window) : window_(window) {}
    ~UniqueWindow() { reset(); }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;
    HWND get() const { return window_; }
    void reset(HWND window = nullptr) {
        if (window_ != nullptr && IsWindow(window_)) {
            DestroyWindow(window_);
        }
        window_ = window;
    }

  private:
    HWND window_ = nullptr;
};

class UniqueFont {
  public:
    UniqueFont() = default;
    explicit UniqueFont(HFONT font) : font_(font) {}
    ~UniqueFont() { reset(); }
    UniqueFont(const UniqueFont&) = delete;
    UniqueFont& operator=(const UniqueFont&) = delete;
    HFONT get() const { return font_; }
    void reset(HFONT font = nullptr) {
        if (font_ != nullptr) {
            DeleteObject(font_);
        }
        font_ = font;
    }

  private:
    HFONT font_ = nullptr;
};

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
