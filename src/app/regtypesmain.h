// What the tool does when its window is shown: take the player's arguments and make the
// registrations the command word asks for.
#pragma once

#include <vector>

#include "shared/text.h"

namespace mf::regtypesmain {

// Set from the command line; empty until then.
extern Text ExePath;      // the player executable the associations start
extern Text CommandWord;  // "regtype", "regfolder" or "regall"
extern Text VerbCaption;  // the folder verb's text in the context menu

// Takes arguments 1-3 (after the program name). Fewer than two arguments capture nothing;
// arguments after the third are ignored.
void CaptureArguments(const std::vector<Text>& arguments);

// "regtype" and "regall": the 21 audio types (failures passed over) and ".cue";
// "regfolder" and "regall": the folder verb. Any other word writes nothing.
// Errors of ".cue" and of the folder verb leave this routine.
void DoRegistration();

// Back to the state at start; for hosts that run the handler more than once (tests).
void ResetArguments();

}  // namespace mf::regtypesmain
