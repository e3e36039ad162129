// Stands in for the player in the shell tests: appends the command line it was started with,
// exactly as it received it, to "commandlines.txt" beside itself (UTF-16, one line a start),
// and exits. Exit code 1 when it could not record the start.
#include <windows.h>

#include <string>

#include "platform/win32/WinHandles.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring log(32768, L'\0');
    log.resize(GetModuleFileNameW(nullptr, log.data(), static_cast<DWORD>(log.size())));
    log.resize(log.find_last_of(L'\\') + 1);
    log += L"commandlines.txt";

    const mf::win32::UniqueKernelHandle file(
        CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const std::wstring line = std::wstring(GetCommandLineW()) + L"\n";
    const DWORD size = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    DWORD written = 0;
    return WriteFile(file.get(), line.data(), size, &written, nullptr) && written == size ? 0 : 1;
}
