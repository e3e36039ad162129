// Starts the real tool with a raw command line and watches it from outside: its exit code,
// its windows, and the error box it may show.
#pragma once

#include <windows.h>

#include "platform/win32/WinHandles.h"

#include <optional>
#include <string>

namespace mf::testing {

// Every path comes from where this test program lies, so that the suites run the same from
// the build tree and from an unpacked test kit on Windows: the tool one folder up, the
// stand-in player beside the test program.
std::wstring TestFolder();  // with a trailing backslash
std::wstring ToolPath();
std::wstring StandInPlayerPath();
// The signed copy of the tool, which only the build machine makes (signed\ beside the tool).
std::wstring SignedToolPath();
std::wstring TempFolder();

class ToolProcess {
  public:
    // `arguments` follows the program name on the command line exactly as given.
    ToolProcess(const std::wstring& exe, const std::wstring& arguments, int showCommand = -1);
    ~ToolProcess();  // ends the process if a test left it running
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    std::optional<DWORD> WaitForExit(DWORD milliseconds = 20000) const;
    // A top-level window of this process with the class name, waiting up to the limit.
    HWND FindWindowOfClass(const wchar_t* className, DWORD milliseconds = 20000) const;
    HWND FindErrorBox(DWORD milliseconds = 20000) const {
        return FindWindowOfClass(L"#32770", milliseconds);
    }
    DWORD Id() const { return id_; }

  private:
    win32::UniqueKernelHandle process_;
    DWORD id_ = 0;
};

std::wstring WindowText(HWND window);
// The message of a message box: the text of its static control that is not the icon.
std::wstring MessageBoxText(HWND box);
std::wstring ClassOf(HWND window);
bool WaitUntil(DWORD milliseconds, bool (*condition)(HWND), HWND window);

}  // namespace mf::testing
