// The application object: a hidden top-level window that owns message boxes when nothing
// else can, the main form, the message loop and the error box.
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <vector>

#include "platform/win32/WinHandles.h"
#include "shared/text.h"

namespace mf::win32 {

class TForm;

class TApplication {
  public:
    void Initialize(HINSTANCE instance);
    // The main form stands for the program on the taskbar; the hidden window does not.
    void SetMainFormOnTaskBar(bool value);
    // Makes the form's window and keeps the form until shutdown. The first form created
    // becomes the main form.
    TForm& CreateForm(std::unique_ptr<TForm> form);
    // Shows the main form in the start-up state, runs the loop until the quit message,
    // then destroys the forms and the hidden window.
    void Run();
    // Ends the loop; called when the main form closes.
    void Terminate();
    // Reports an error that left an event handler, in a modal error box.
    void ShowException(const std::exception& error);
    void ShowException(const Text& message);

    TForm* MainForm() const { return mainForm_; }
    const Text& Title() const { return title_; }

  private:
    HINSTANCE instance_ = nullptr;
    UniqueWindow handle_;
    std::vector<std::unique_ptr<TForm>> forms_;
    TForm* mainForm_ = nullptr;
    bool mainFormOnTaskBar_ = false;
    Text title_;
};

TApplication& Application();

// The process command line as the platform hands it over.
Text ProcessCommandLine();

// The executable's file name without its folder, cut at the first full stop, every
// character after the first in lower case.
Text ApplicationTitle(const Text& modulePath);

// The message with a full stop added when its last character sorts above the full stop.
Text ErrorBoxText(const Text& message);

// The show command the process was started with, reduced to what the main form honours:
// maximised, minimised without activation, or normal.
int StartupShowCommand();

}  // namespace mf::win32
