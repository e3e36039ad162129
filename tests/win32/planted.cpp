// A DLL that does nothing: planted where a DLL must not be loaded from.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
