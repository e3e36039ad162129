#include "e2e/entries.h"

#include "shared/constants.h"
#include "win32/running_on.h"
#include "win32/wine_registry.h"

namespace mf::testing {

std::vector<std::wstring> AllTypes() {
    std::vector<std::wstring> types;
    for (const char16_t* extension : constants::AudioExtensions) {
        types.push_back(Wide(extension));
    }
    types.push_back(Wide(constants::CueSheetExtension));
    return types;
}

std::vector<std::wstring> KeysTheToolWrites() {
    std::vector<std::wstring> keys;
    for (const std::wstring& type : AllTypes()) {
        keys.push_back(type);
        keys.push_back(L"Marblefinch" + type);
    }
    keys.push_back(kVerbKey);
    return keys;
}

std::wstring OpenCommand(const std::wstring& exe) {
    return L"\"" + exe + L"\" \"%1\"";
}

int FileTypeEntries(const std::wstring& type, const std::wstring& exe, REGSAM view) {
    const std::wstring progId = L"Marblefinch" + type;
    const auto value = [view](const std::wstring& key) {
        return ReadString(HKEY_CLASSES_ROOT, key, L"", view);
    };
    int present = 0;
    present += value(type) == progId;
    present += value(progId) == L"";
    present += value(progId + L"\\DefaultIcon") == exe + L",0";
    present += value(progId + L"\\Shell\\Open") == L"&Open";
    present += value(progId + L"\\Shell\\Open\\Command") == OpenCommand(exe);
    return present;
}

std::optional<std::wstring> UserChoice(const std::wstring& type) {
    // The ProgId value of UserChoiceLatest\ProgId first, then of UserChoice (assumed: A6,
    // docs/assumptions.md).
    const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\" +
                             type + L"\\UserChoice";
    for (const std::wstring& where : {key + L"Latest\\ProgId", key}) {
        if (std::optional<std::wstring> progId = ReadString(HKEY_CURRENT_USER, where, L"ProgId")) {
            return progId;
        }
    }
    return std::nullopt;
}

void SeedDirectoryShell() {
    if (!KeyExists(HKEY_CLASSES_ROOT, L"Directory\\shell")) {
        MakeKey(HKEY_CLASSES_ROOT, L"Directory\\shell\\find\\command");
    }
}

bool MayRemoveDirectoryShell() {
    return IsWine();
}

}  // namespace mf::testing
