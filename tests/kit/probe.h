// What `kit_guard probe` sees of the machine, row by row of docs/assumptions.md, and the small
// functions that judge each observation.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mf::kit {

// One allowed entry of a DACL, as read.
struct AceSeen {
    std::wstring sid;
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
};

// The owner of a file, folder or key and the allowed entries of its DACL.
struct SecuritySeen {
    std::wstring owner;
    std::vector<AceSeen> aces;
};

// A command's exit code and the first line it printed.
struct RunSeen {
    DWORD code = 0;
    std::wstring said;
};

bool NoStartExe(bool present);
bool OwnedByAdministrators(const std::wstring& ownerSid);
// An inheritable CREATOR OWNER entry that gives write.
bool CreatorOwnerMayWrite(const std::vector<AceSeen>& aces);
// Users, Authenticated Users, Interactive or Everyone may write, append or delete.
bool OthersMayChange(const std::vector<AceSeen>& aces);
// Administrators, or any of those, may change a key.
bool AdministratorsMayChange(const std::vector<AceSeen>& aces);
bool CmdGives9009(DWORD unstartable, DWORD notFound);
bool Mp3AsAssumed(const std::optional<std::wstring>& contentType,
                  const std::optional<std::wstring>& perceivedType);
bool ExportTellsApart(const RunSeen& absent, const RunSeen& unreadable);
bool DeleteSaysItFailed(const RunSeen& deleted);
// At least one key was read, and TrustedInstaller owns each and administrators may not change it.
bool KeptByTrustedInstaller(const std::vector<SecuritySeen>& keys);

// "ID | OBSERVATION | holds" (or "does not hold", or "could not look: WHY"), then
// " | Wine: NOTE" where Wine is known to differ; '|' and line breaks in the parts become '/'.
std::wstring ProbeLine(const std::wstring& id, const std::wstring& observation,
                       const std::wstring& verdict, const std::wstring& wineNote);

// Gives `print` "rows: A12 A15 ..." and then one line per row; always 0.
int ProbeCommand(const std::function<void(const std::wstring&)>& print);

}  // namespace mf::kit
