#include "app/regtypesform.h"

#include "app/commandline.h"
#include "app/regtypesmain.h"
#include "platform/win32/Application.h"

namespace mf::regtypesmain {

namespace {

const win32::FormLayout kLayout = {
    L"TfmRegTypes",
    u"Register file types",
    303,
    47,
    L"Tahoma",
    -11,
    {8, 16, 248, 13, u"Associating Marblefinch Player with files and folders", true},
};

}  // namespace

TfmRegTypes* fmRegTypes = nullptr;

TfmRegTypes::TfmRegTypes() : TForm(kLayout) {}

void TfmRegTypes::FormShow(win32::TForm& /*Sender*/) {
    CaptureArguments(SplitCommandLine(win32::ProcessCommandLine()));
    DoRegistration();
    Close();
}

}  // namespace mf::regtypesmain
