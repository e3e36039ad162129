#include "app/regtypesmain.h"

#include <exception>

#include "registration/RegistryTools.h"
#include "shared/constants.h"

namespace mf::regtypesmain {

Text ExePath;
Text CommandWord;
Text VerbCaption;

namespace {

void RegisterAudioType(const Text& extension) {
    RegisterFileType(extension, constants::ProgIdPrefix + extension, u"", ExePath, 0, true);
}

}  // namespace

void CaptureArguments(const std::vector<Text>& arguments) {
    if (arguments.size() > 1) {
        ExePath = arguments[0];
        CommandWord = arguments[1];
        if (arguments.size() > 2) {
            VerbCaption = arguments[2];
        }
    }
}

void DoRegistration() {
    if (CommandWord == u"regtype" || CommandWord == u"regall") {
        for (const char16_t* extension : constants::AudioExtensions) {
            try {
                RegisterAudioType(extension);
            } catch (const std::exception&) {
                // One audio type that cannot be written must not cost the user the others.
            }
        }
        RegisterAudioType(constants::CueSheetExtension);
    }
    if (CommandWord == u"regfolder" || CommandWord == u"regall") {
        RegisterFolderVerb(ExePath, VerbCaption);
    }
}

void ResetArguments() {
    ExePath.clear();
    CommandWord.clear();
    VerbCaption.clear();
}

}  // namespace mf::regtypesmain
