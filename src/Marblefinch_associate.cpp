// Program entry: the application object, the tool window and the message loop. All the
// work happens while the window is being shown (see TfmRegTypes::FormShow).
#include <windows.h>

#include <memory>

#include "app/regtypesform.h"
#include "app/regtypesmain.h"
#include "platform/win32/Application.h"
#include "platform/win32/DllSearch.h"

// The tool runs elevated, often from a downloads folder: never load a DLL from beside the
// executable or the current folder. This runs as the first constructor of the image, before
// the others and before wWinMain: the stack protector's own constructor seeds its guard from
// the system's random source, which loads a DLL.
__attribute__((constructor(101))) static void RestrictDllSearchFirst() {
    mf::win32::RestrictDllSearch(GetModuleHandleW(L"kernel32.dll"));
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*showCommand*/) {
    using namespace mf;
    win32::TApplication& application = win32::Application();
    try {
        application.Initialize(instance);
        application.SetMainFormOnTaskBar(true);
        regtypesmain::fmRegTypes = &static_cast<regtypesmain::TfmRegTypes&>(
            application.CreateForm(std::make_unique<regtypesmain::TfmRegTypes>()));
        application.Run();
    } catch (const std::exception& error) {
        application.ShowException(error);
    }
    regtypesmain::fmRegTypes = nullptr;
    regtypesmain::ResetArguments();
    return 0;
}
