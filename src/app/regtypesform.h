// The tool's only window. Showing it does the work: FormShow registers what the command
// line asks for and closes the window, which ends the program.
#pragma once

#include "platform/win32/Form.h"

namespace mf::regtypesmain {

class TfmRegTypes : public win32::TForm {
  public:
    TfmRegTypes();
    void FormShow(win32::TForm& Sender);

  protected:
    void DoShow() override { FormShow(*this); }
};

extern TfmRegTypes* fmRegTypes;

}  // namespace mf::regtypesmain
