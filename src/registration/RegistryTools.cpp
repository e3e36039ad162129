#include "registration/RegistryTools.h"

#include <string>

#include "registration/Registry.h"
#include "registration/ShellNotice.h"

namespace mf {

namespace {

// The open result is deliberately not tested: a failed open leaves no key open, so the
// write that follows raises and ends the routine.
void WriteDefault(TRegistry& registry, const Text& key, const Text& value) {
    registry.OpenKey(key, true);
    registry.WriteString(u"", value);
    registry.CloseKey();
}

Text Decimal(int value) {
    const std::string digits = std::to_string(value);
    // Not the braces clang-tidy asks for: {begin, end} reads as a string of two characters;
    // the named iterator-pair constructor says what it does.
    return Text(digits.begin(), digits.end());  // NOLINT(modernize-return-braced-init-list)
}

}  // namespace

Text OpenCommand(const Text& ExePath) {
    return u"\"" + ExePath + u"\" \"%1\"";
}

void RegisterFileType(const Text& Ext, const Text& ProgId, const Text& Description,
                      const Text& ExePath, int IconIndex, bool Notify) {
    TRegistry registry;
    registry.SetRootKey(kHkeyClassesRoot);
    WriteDefault(registry, Ext, ProgId);
    WriteDefault(registry, ProgId, Description);
    WriteDefault(registry, ProgId + u"\\DefaultIcon", ExePath + u',' + Decimal(IconIndex));
    WriteDefault(registry, ProgId + u"\\Shell\\Open", u"&Open");
    WriteDefault(registry, ProgId + u"\\Shell\\Open\\Command", OpenCommand(ExePath));
    if (Notify) {
        ActiveShellNotifier().AssociationsChanged();
    }
}

void RegisterFolderVerb(const Text& ExePath, const Text& Caption) {
    const Text verbName = u"Marblefinch.Play";
    const Text verbKey = FolderVerbKey;
    TRegistry registry;
    registry.SetRootKey(kHkeyClassesRoot);

    // The verb key is made only below an existing "Directory\shell" (assumed on every Windows:
    // A9, docs/assumptions.md); this tool does not invent the folder class's shell key.
    if (registry.OpenKey(u"Directory\\shell", false)) {
        if (!registry.KeyExists(verbName)) {
            registry.CreateKey(verbName);
        }
    }
    registry.CloseKey();

    registry.OpenKey(verbKey, false);
    registry.WriteString(u"", Caption);
    if (!registry.KeyExists(u"command")) {
        registry.CreateKey(u"command");
    }
    registry.CloseKey();

    WriteDefault(registry, verbKey + u"\\command", OpenCommand(ExePath));
}

}  // namespace mf
