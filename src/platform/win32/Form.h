// A top-level tool window (narrow caption, close box, fixed border; the only kind this
// program has) built from a fixed layout, with an on-show event that runs while the window
// is being shown and before it reaches the screen.
#pragma once

#include <windows.h>

#include "platform/win32/WinHandles.h"
#include "shared/text.h"

namespace mf::win32 {

// A label sizes itself to its caption in its font when `autoSize` is set; width and height
// are then only the designed size.
struct LabelLayout {
    int left;
    int top;
    int width;
    int height;
    const char16_t* caption;
    bool autoSize;
};

// Sizes are in pixels at 96 pixels per inch and are scaled to the screen's.
struct FormLayout {
    const wchar_t* className;
    const char16_t* caption;
    int clientWidth;
    int clientHeight;
    const wchar_t* fontName;
    int fontHeight;
    LabelLayout label;
};

class TForm {
  public:
    explicit TForm(const FormLayout& layout) : layout_(layout) {}
    virtual ~TForm() = default;
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    // Makes the window (hidden), owned by nobody when `onTaskBar`, else by `owner`.
    void CreateHandle(HINSTANCE instance, HWND owner, bool onTaskBar);
    // Runs the on-show event, then puts the window on the screen in `showCommand`. An error
    // from the event is reported by the application and the window is shown all the same.
    void Show(int showCommand);
    // Closing the main form ends the application.
    void Close();

    HWND Handle() const { return window_.get(); }

  protected:
    virtual void DoShow() = 0;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateLabel(HINSTANCE instance, int dpi);

    const FormLayout& layout_;
    UniqueFont font_;  // outlives the window and its label
    UniqueWindow window_;
};

}  // namespace mf::win32
