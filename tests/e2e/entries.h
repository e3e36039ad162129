// What the tool writes into HKEY_CLASSES_ROOT, as the end-to-end tests look for it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace mf::testing {

inline constexpr const wchar_t* kVerbKey = L"Directory\\shell\\Marblefinch.Play";

// The 21 audio types and the cue sheet, in the order the tool registers them.
std::vector<std::wstring> AllTypes();
// Every tree the tool may create, for cleaning up after a run.
std::vector<std::wstring> KeysTheToolWrites();
// "<exe>" "%1"
std::wstring OpenCommand(const std::wstring& exe);
// How many of the five values of one file type are as the tool writes them for `exe`,
// read through the registry view `view` (0: the process's own).
int FileTypeEntries(const std::wstring& type, const std::wstring& exe, REGSAM view = 0);
// The ProgID of the default app the user chose for `type`, if there is one, read where it is
// commonly found (UserChoiceLatest\ProgId, then UserChoice, under the user's FileExts\<type>);
// Microsoft documents no place for it, so one kept elsewhere makes a look-up through the type
// fail rather than pass.
std::optional<std::wstring> UserChoice(const std::wstring& type);
// A "Directory\\shell" with a verb of its own where there is none (a new Wine prefix, or a
// test removed it); one that is there is left as it is.
void SeedDirectoryShell();
// Only a throwaway Wine prefix may lose "Directory\\shell": the kit runs on machines that are
// kept, where it is assumed to be there (A9, docs/assumptions.md).
bool MayRemoveDirectoryShell();

}  // namespace mf::testing
