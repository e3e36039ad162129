#include "platform/win32/Form.h"

#include <string>

#include "platform/win32/Application.h"
#include "platform/win32/WinText.h"
#include "shared/exception.h"

namespace mf::win32 {

namespace {

constexpr int kDesignDpi = 96;
constexpr int kLabelId = 1;

int ScreenDpi() {
    const ScreenDc screen;
    return GetDeviceCaps(screen.get(), LOGPIXELSY);
}

int Scale(int value, int dpi) {
    return MulDiv(value, dpi, kDesignDpi);
}

// Keeps a GDI object selected into a device context for the scope.
class SelectedObject {
  public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectedObject() { SelectObject(dc_, previous_); }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

SIZE TextExtent(HFONT font, const char16_t* text) {
    const ScreenDc screen;
    const SelectedObject selected(screen.get(), font);
    SIZE size{};
    GetTextExtentPoint32W(screen.get(), Wide(text),
                          static_cast<int>(std::char_traits<char16_t>::length(text)), &size);
    return size;
}

// A tool window: narrow caption, system menu and close box, no minimise or maximise box,
// a border that cannot be dragged.
constexpr DWORD kToolWindowStyle = WS_CAPTION | WS_SYSMENU | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr DWORD kToolWindowExStyle = WS_EX_TOOLWINDOW | WS_EX_WINDOWEDGE;

}  // namespace

void TForm::CreateHandle(HINSTANCE instance, HWND owner, bool onTaskBar) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = &TForm::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, L"MAINICON");
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = layout_.className;
    RegisterClassExW(&windowClass);

    const int dpi = ScreenDpi();
    const DWORD style = kToolWindowStyle;
    const DWORD exStyle = kToolWindowExStyle | (onTaskBar ? WS_EX_APPWINDOW : 0);
    RECT frame{0, 0, Scale(layout_.clientWidth, dpi), Scale(layout_.clientHeight, dpi)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);

    HWND window =
        CreateWindowExW(exStyle, layout_.className, Wide(layout_.caption), style, CW_USEDEFAULT,
                        CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                        onTaskBar ? nullptr : owner, nullptr, instance, this);
    if (window == nullptr) {
        throw Exception(u"Cannot create the window");
    }
    window_.reset(window);

    font_.reset(CreateFontW(Scale(layout_.fontHeight, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, layout_.fontName));
    CreateLabel(instance, dpi);
}

void TForm::CreateLabel(HINSTANCE instance, int dpi) {
    const LabelLayout& label = layout_.label;
    SIZE size{Scale(label.width, dpi), Scale(label.height, dpi)};
    if (label.autoSize) {
        size = TextExtent(font_.get(), label.caption);
    }
    HWND control = CreateWindowExW(
        0, L"STATIC", Wide(label.caption), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
        Scale(label.left, dpi), Scale(label.top, dpi), size.cx, size.cy, window_.get(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabelId)), instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
}

void TForm::Show(int showCommand) {
    // The handler runs before the window is on the screen; what it raises is reported and
    // the window comes up anyway, so the user sees the tool that failed.
    try {
        DoShow();
    } catch (const std::exception& error) {
        Application().ShowException(error);
    }
    ShowWindow(window_.get(), showCommand);
    UpdateWindow(window_.get());
}

void TForm::Close() {
    if (Application().MainForm() == this) {
        Application().Terminate();
    } else {
        ShowWindow(window_.get(), SW_HIDE);
    }
}

LRESULT CALLBACK TForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_CLOSE:
            if (form != nullptr) {
                form->Close();
                return 0;
            }
            break;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace mf::win32
