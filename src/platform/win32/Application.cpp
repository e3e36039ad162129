#include "platform/win32/Application.h"

#include "platform/win32/Form.h"
#include "platform/win32/WinText.h"
#include "shared/exception.h"

namespace mf::win32 {

namespace {

const wchar_t kHiddenWindowClass[] = L"MarblefinchAssociateApp";

Text ModulePath() {
    Text path(MAX_PATH, u'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()),
                                                static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Disables the thread's enabled top-level windows, apart from the one the box hands to the
// system, for as long as a modal box is up; enables them again afterwards.
class ThreadWindowsDisabled {
  public:
    explicit ThreadWindowsDisabled(HWND keep) : keep_(keep) {
        EnumThreadWindows(GetCurrentThreadId(), &Collect, reinterpret_cast<LPARAM>(this));
    }
    ~ThreadWindowsDisabled() {
        for (HWND window : disabled_) {
            if (IsWindow(window)) {
                EnableWindow(window, TRUE);
            }
        }
    }
    ThreadWindowsDisabled(const ThreadWindowsDisabled&) = delete;
    ThreadWindowsDisabled& operator=(const ThreadWindowsDisabled&) = delete;

  private:
    static BOOL CALLBACK Collect(HWND window, LPARAM self) {
        auto* disabler = reinterpret_cast<ThreadWindowsDisabled*>(self);
        if (window != disabler->keep_ && IsWindowEnabled(window)) {
            EnableWindow(window, FALSE);
            disabler->disabled_.push_back(window);
        }
        return TRUE;
    }

    HWND keep_;
    std::vector<HWND> disabled_;
};

}  // namespace

TApplication& Application() {
    static TApplication application;
    return application;
}

Text ProcessCommandLine() {
    return {reinterpret_cast<const char16_t*>(GetCommandLineW())};
}

Text ApplicationTitle(const Text& modulePath) {
    const auto folderEnd = modulePath.find_last_of(u"\\/:");
    Text title = folderEnd == Text::npos ? modulePath : modulePath.substr(folderEnd + 1);
    const auto stop = title.find(u'.');
    if (stop != Text::npos) {
        title.resize(stop);
    }
    if (title.size() > 1) {
        CharLowerBuffW(reinterpret_cast<wchar_t*>(title.data() + 1),
                       static_cast<DWORD>(title.size() - 1));
    }
    return title;
}

Text ErrorBoxText(const Text& message) {
    if (!message.empty() && message.back() > u'.') {
        return message + u'.';
    }
    return message;
}

int StartupShowCommand() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    if ((startup.dwFlags & STARTF_USESHOWWINDOW) != 0) {
        switch (startup.wShowWindow) {
            case SW_SHOWMAXIMIZED:
                return SW_SHOWMAXIMIZED;
            case SW_SHOWMINNOACTIVE:
                return SW_SHOWMINNOACTIVE;
            default:
                break;
        }
    }
    return SW_SHOWNORMAL;
}

void TApplication::Initialize(HINSTANCE instance) {
    instance_ = instance;
    title_ = ApplicationTitle(ModulePath());

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, L"MAINICON");
    windowClass.lpszClassName = kHiddenWindowClass;
    RegisterClassExW(&windowClass);

    // Never shown: it stands behind message boxes that have no window of ours to own them.
    handle_.reset(
        CreateWindowExW(0, kHiddenWindowClass, Wide(title_),
                        WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                        GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
                        nullptr, nullptr, instance, nullptr));
    if (!handle_.get()) {
        throw Exception(u"Cannot create the application window");
    }
}

void TApplication::SetMainFormOnTaskBar(bool value) {
    mainFormOnTaskBar_ = value;
    if (value && handle_.get()) {
        // The main form has the taskbar button; the hidden window must not get one.
        const LONG_PTR exStyle = GetWindowLongPtrW(handle_.get(), GWL_EXSTYLE);
        SetWindowLongPtrW(handle_.get(), GWL_EXSTYLE, exStyle | WS_EX_TOOLWINDOW);
        SetWindowTextW(handle_.get(), L"");
    }
}

TForm& TApplication::CreateForm(std::unique_ptr<TForm> form) {
    TForm& created = *form;
    forms_.push_back(std::move(form));
    created.CreateHandle(instance_, handle_.get(), mainFormOnTaskBar_ && mainForm_ == nullptr);
    if (mainForm_ == nullptr) {
        mainForm_ = &created;
    }
    return created;
}

void TApplication::Run() {
    if (mainForm_ != nullptr) {
        mainForm_->Show(StartupShowCommand());
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    mainForm_ = nullptr;
    forms_.clear();
    handle_.reset();
}

// A method of the application object, though it needs no member: it ends this
// application, and callers reach it through the object.
void TApplication::Terminate() {  // NOLINT(readability-convert-member-functions-to-static)
    PostQuitMessage(0);
}

void TApplication::ShowException(const std::exception& error) {
    const auto* own = dynamic_cast<const Exception*>(&error);
    ShowException(own != nullptr ? own->Message() : FromUtf8(error.what()));
}

void TApplication::ShowException(const Text& message) {
    const Text text = ErrorBoxText(message);
    HWND owner = GetActiveWindow();
    if (owner == nullptr) {
        owner = handle_.get();
    }
    const ThreadWindowsDisabled disabled(owner);
    MessageBoxW(owner, Wide(text), Wide(title_), MB_OK | MB_ICONERROR);
}

}  // namespace mf::win32
