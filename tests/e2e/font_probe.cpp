// Hooked onto the tool's window thread by the end-to-end suite to read the label's font there:
// a GDI handle is usable only in the process that made it. The result goes to a section that
// every process loading this DLL shares, where the suite reads it.
#include <windows.h>

extern "C" {

__declspec(dllexport) LOGFONTW probedFont __attribute__((section(".probe"), shared)) = {};

__declspec(dllexport) LRESULT CALLBACK ProbeFont(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == RegisterWindowMessageW(L"MarblefinchProbeFont")) {
        const auto font = reinterpret_cast<HGDIOBJ>(SendMessageW(sent->hwnd, WM_GETFONT, 0, 0));
        GetObjectW(font, sizeof probedFont, &probedFont);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
}
