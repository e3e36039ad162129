// Shell association entries in HKEY_CLASSES_ROOT: a file type tied to a ProgID whose open
// verb starts an executable, and a verb on every folder's context menu. Neither routine
// checks its arguments; both raise ERegistryException when a step fails and leave the
// entries already written in place.
#pragma once

#include "shared/text.h"

namespace mf {

// Key under HKEY_CLASSES_ROOT that carries the folder verb.
inline constexpr const char16_t* FolderVerbKey = u"Directory\\shell\\Marblefinch.Play";

// `"<ExePath>" "%1"`: the path inserted as given.
Text OpenCommand(const Text& ExePath);

void RegisterFileType(const Text& Ext, const Text& ProgId, const Text& Description,
                      const Text& ExePath, int IconIndex, bool Notify);

void RegisterFolderVerb(const Text& ExePath, const Text& Caption);

}  // namespace mf
