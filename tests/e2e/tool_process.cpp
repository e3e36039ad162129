#include "e2e/tool_process.h"

#include <stdexcept>
#include <vector>

namespace mf::testing {

namespace {

struct Search {
    DWORD processId;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ClassOf(window) == search->className) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStatic(HWND child, LPARAM parameter) {
    auto* texts = reinterpret_cast<std::vector<std::wstring>*>(parameter);
    if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0) {
        const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) != SS_ICON) {
            texts->push_back(WindowText(child));
        }
    }
    return TRUE;
}

}  // namespace

std::wstring TestFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

namespace {

// `relative` resolved against the test program's folder, "..\\" included.
std::wstring FromTestFolder(const std::wstring& relative) {
    const std::wstring joined = TestFolder() + relative;
    std::wstring full(32768, L'\0');
    full.resize(
        GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full;
}

}  // namespace

std::wstring ToolPath() {
    return FromTestFolder(L"..\\Marblefinch_associate.exe");
}

std::wstring StandInPlayerPath() {
    return FromTestFolder(L"stand_in_player.exe");
}

std::wstring SignedToolPath() {
    return FromTestFolder(L"..\\signed\\Marblefinch_associate.exe");
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length);
}

ToolProcess::ToolProcess(const std::wstring& exe, const std::wstring& arguments, int showCommand) {
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (showCommand >= 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(showCommand);
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
    }
    const win32::UniqueKernelHandle thread(info.hThread);
    process_.reset(info.hProcess);
    id_ = info.dwProcessId;
}

ToolProcess::~ToolProcess() {
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
}

std::optional<DWORD> ToolProcess::WaitForExit(DWORD milliseconds) const {
    if (WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

HWND ToolProcess::FindWindowOfClass(const wchar_t* className, DWORD milliseconds) const {
    const DWORD start = GetTickCount();
    for (;;) {
        Search search{id_, className, nullptr};
        EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            return search.found;
        }
        if (GetTickCount() - start > milliseconds ||
            WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) {
            return nullptr;
        }
        Sleep(25);
    }
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[1024];
    const LRESULT length = SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
    return std::wstring(buffer, static_cast<std::size_t>(length));
}

std::wstring MessageBoxText(HWND box) {
    std::vector<std::wstring> texts;
    EnumChildWindows(box, &CollectStatic, reinterpret_cast<LPARAM>(&texts));
    for (const std::wstring& text : texts) {
        if (!text.empty()) {
            return text;
        }
    }
    return L"";
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256];
    const int length = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<std::size_t>(length > 0 ? length : 0));
}

bool WaitUntil(DWORD milliseconds, bool (*condition)(HWND), HWND window) {
    const DWORD start = GetTickCount();
    while (!condition(window)) {
        if (GetTickCount() - start > milliseconds) {
            return false;
        }
        Sleep(25);
    }
    return true;
}

}  // namespace mf::testing
