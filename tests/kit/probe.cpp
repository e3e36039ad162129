// kit_guard probe: looks at what the kit assumes of Windows, on the machine it runs on. Each
// look is bounded and changes nothing but its own folders, which it removes; one that cannot
// run says "could not look" and never fails the command.
#include "kit/probe.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <functional>

#include "kit/snapshot.h"

namespace mf::kit {

namespace {

constexpr const wchar_t* kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// The whole command; scripts/check-workflow.sh holds it below windows-ci.ps1's wait for it.
constexpr ULONGLONG kCommandLimitMs = 40000;
constexpr DWORD kChildLimitMs = 8000;

bool Has(const std::optional<std::wstring>& value, const wchar_t* expected) {
    return value && SameName(*value, expected);
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) {
        return L"";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::vector<AceSeen> AllowedEntries(PACL dacl) {
    std::vector<AceSeen> aces;
    for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (GetAce(dacl, index, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            aces.push_back({SidText(&allowed->SidStart), allowed->Mask, allowed->Header.AceFlags});
        }
    }
    return aces;
}

const wchar_t* kOthers[] = {L"S-1-5-32-545", L"S-1-5-11", L"S-1-5-4", L"S-1-1-0"};
bool IsOther(const std::wstring& sid) {
    return std::find(std::begin(kOthers), std::end(kOthers), sid) != std::end(kOthers);
}

struct Probe {
    std::wstring folder;  // of its own, removed at the end
    ULONGLONG deadline = GetTickCount64() + kCommandLimitMs;
    std::wstring system;

    // Runs `command`, ended with all it started at the limit; its exit code and the first line
    // it printed, or why not.
    std::optional<RunSeen> Run(const std::wstring& command, std::wstring& why) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            why = L"out of time";
            return std::nullopt;
        }
        // A pipe, read only as far as it holds once the child has ended: a console that Wine
        // starts for the child may hold its end open a while.
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE in = nullptr;
        HANDLE out = nullptr;
        if (!CreatePipe(&in, &out, &inherit, 1 << 16)) {
            why = L"no pipe: " + ErrorText(GetLastError());
            return std::nullopt;
        }
        SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = out;
        PROCESS_INFORMATION process{};
        std::wstring line = command;
        if (!job || !CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                    CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                                    &process)) {
            why = L"could not start it: " + ErrorText(GetLastError());
            CloseHandle(in);
            CloseHandle(out);
            if (job)
                CloseHandle(job);
            return std::nullopt;
        }
        AssignProcessToJobObject(job, process.hProcess);
        ResumeThread(process.hThread);
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(kChildLimitMs, deadline - now));
        const bool ended = WaitForSingleObject(process.hProcess, wait) == WAIT_OBJECT_0;
        RunSeen seen;
        if (!ended) {
            TerminateJobObject(job, 1);
            WaitForSingleObject(process.hProcess, 5000);
            why = L"still running after " + std::to_wstring(wait / 1000) + L" s";
        }
        GetExitCodeProcess(process.hProcess, &seen.code);
        for (HANDLE handle : {process.hProcess, process.hThread, job, out})
            CloseHandle(handle);
        std::string bytes(1 << 16, '\0');
        DWORD read = 0;
        if (PeekNamedPipe(in, nullptr, 0, nullptr, &read, nullptr) && read > 0) {
            ReadFile(in, bytes.data(), std::min<DWORD>(read, bytes.size()), &read, nullptr);
        }
        CloseHandle(in);
        bytes.resize(read);
        const size_t start = bytes.find_first_not_of(" \r\n");
        bytes = start == std::string::npos
                    ? ""
                    : bytes.substr(start, bytes.find_first_of("\r\n", start) - start);
        seen.said.resize(bytes.size());
        seen.said.resize(MultiByteToWideChar(CP_OEMCP, 0, bytes.data(),
                                             static_cast<int>(bytes.size()), seen.said.data(),
                                             static_cast<int>(seen.said.size())));
        return ended ? std::optional<RunSeen>(seen) : std::nullopt;
    }
};

std::wstring Verdict(bool holds) {
    return holds ? L"holds" : L"does not hold";
}

std::wstring Said(const RunSeen& seen) {
    return L"code " + std::to_wstring(seen.code) + L" \"" + seen.said + L"\"";
}

std::wstring Entries(const std::vector<AceSeen>& aces,
                     const std::function<bool(const AceSeen&)>& pick) {
    std::wstring text;
    wchar_t entry[64];
    for (const AceSeen& ace : aces) {
        if (pick(ace)) {
            swprintf(entry, 64, L" 0x%08lx/0x%02x", static_cast<unsigned long>(ace.mask),
                     ace.flags);
            text += (text.empty() ? L"" : L",") + std::wstring(L" ") + ace.sid + entry;
        }
    }
    return text.empty() ? L"no such entry" : text.substr(1);
}

}  // namespace

bool NoStartExe(bool present) {
    return !present;
}

bool OwnedByAdministrators(const std::wstring& ownerSid) {
    return ownerSid == L"S-1-5-32-544";
}

bool CreatorOwnerMayWrite(const std::vector<AceSeen>& aces) {
    return std::any_of(aces.begin(), aces.end(), [](const AceSeen& ace) {
        return ace.sid == L"S-1-3-0" && (ace.flags & CONTAINER_INHERIT_ACE) &&
               (ace.mask & (GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA));
    });
}

bool OthersMayChange(const std::vector<AceSeen>& aces) {
    const ACCESS_MASK writes = GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA |
                               FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER;
    return std::any_of(aces.begin(), aces.end(), [&](const AceSeen& ace) {
        return IsOther(ace.sid) && !(ace.flags & INHERIT_ONLY_ACE) && (ace.mask & writes);
    });
}

bool CmdGives9009(DWORD unstartable, DWORD notFound) {
    return unstartable == 9009 && notFound == 9009;
}

bool Mp3AsAssumed(const std::optional<std::wstring>& contentType,
                  const std::optional<std::wstring>& perceivedType) {
    return Has(contentType, L"audio/mpeg") && Has(perceivedType, L"audio");
}

bool ExportTellsApart(const RunSeen& absent, const RunSeen& unreadable) {
    return absent.code == 1 && unreadable.code == 1 && !absent.said.empty() &&
           !unreadable.said.empty() && absent.said != unreadable.said;
}

bool DeleteSaysItFailed(const RunSeen& deleted) {
    return deleted.code != 0 && !deleted.said.empty();
}

bool OwnedByTrustedInstaller(const std::vector<std::wstring>& ownerSids) {
    return !ownerSids.empty() &&
           std::all_of(ownerSids.begin(), ownerSids.end(),
                       [](const std::wstring& sid) { return sid == kTrustedInstaller; });
}

std::wstring ProbeLine(const std::wstring& id, const std::wstring& observation,
                       const std::wstring& verdict, const std::wstring& wineNote) {
    const auto clean = [](std::wstring part) {
        std::replace_if(
            part.begin(), part.end(),
            [](wchar_t c) { return c == L'|' || c == L'\r' || c == L'\n'; }, L'/');
        return part;
    };
    return id + L" | " + (observation.empty() ? L"(nothing)" : clean(observation)) + L" | " +
           clean(verdict) + (wineNote.empty() ? L"" : L" | Wine: " + clean(wineNote));
}

int ProbeCommand(const std::function<void(const std::wstring&)>& printLine) {
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    const auto onWine = [&](const wchar_t* note) { return wine ? std::wstring(note) : L""; };
    const wchar_t* rows[] = {L"A12", L"A15", L"A16", L"A17", L"A21",
                             L"A26", L"A28", L"A29", L"A37"};
    std::wstring list = L"rows:";
    for (const wchar_t* row : rows)
        list += std::wstring(L" ") + row;
    printLine(list);
    const auto print = [&](const wchar_t* id, const std::wstring& seen, const std::wstring& verdict,
                           const std::wstring& note) {
        printLine(ProbeLine(id, seen, verdict, note));
    };

    Probe probe;
    wchar_t buffer[MAX_PATH + 1];
    probe.system.assign(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
    const std::wstring mine = L"kit_guard probe " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
    probe.folder.assign(buffer, GetTempPathW(MAX_PATH, buffer));
    probe.folder += mine;
    const bool made = CreateDirectoryW(probe.folder.c_str(), nullptr);
    const std::wstring noFolder = L"no folder of its own (" + ErrorText(GetLastError()) + L")";

    const bool startExe =
        GetFileAttributesW((probe.system + L"\\start.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
    print(L"A12", probe.system + (startExe ? L"\\start.exe is there" : L" has no start.exe"),
          Verdict(NoStartExe(startExe)), onWine(L"ships a start.exe"));

    // The owner and entries of a folder, or why they cannot be read.
    const auto security = [](const std::wstring& path, SECURITY_INFORMATION what,
                             std::wstring& owner, std::vector<AceSeen>& aces) -> std::wstring {
        PSID sid = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        const DWORD code = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, what, &sid, nullptr,
                                                 &dacl, nullptr, &sd);
        if (code != ERROR_SUCCESS)
            return L"could not look: " + path + L": " + ErrorText(code);
        owner = SidText(sid);
        aces = AllowedEntries(dacl);
        LocalFree(sd);
        return L"";
    };
    std::wstring owner;
    std::vector<AceSeen> aces;
    std::wstring why = made ? security(probe.folder, OWNER_SECURITY_INFORMATION, owner, aces)
                            : L"could not look: " + noFolder;
    print(L"A15", L"owner " + owner, why.empty() ? Verdict(OwnedByAdministrators(owner)) : why,
          onWine(L"keeps no owner on files"));

    const DWORD size = GetEnvironmentVariableW(L"ProgramW6432", buffer, MAX_PATH);
    std::wstring programFiles(buffer, size && size < MAX_PATH ? size : 0);
    if (programFiles.empty())
        programFiles.assign(buffer, GetEnvironmentVariableW(L"ProgramFiles", buffer, MAX_PATH));
    why = security(programFiles, DACL_SECURITY_INFORMATION, owner, aces);
    print(L"A16",
          programFiles + L": " +
              Entries(aces, [](const AceSeen& ace) { return ace.sid == L"S-1-3-0"; }),
          why.empty() ? Verdict(CreatorOwnerMayWrite(aces)) : why,
          onWine(L"keeps no permissions on files"));

    const DWORD drive = GetEnvironmentVariableW(L"SystemDrive", buffer, MAX_PATH);
    const std::wstring top = (drive == 2 ? std::wstring(buffer, 2) : L"C:") + L"\\" + mine;
    aces.clear();
    why = CreateDirectoryW(top.c_str(), nullptr)
              ? security(top, DACL_SECURITY_INFORMATION, owner, aces)
              : L"could not look: " + top + L": " + ErrorText(GetLastError());
    RemoveDirectoryW(top.c_str());
    print(L"A17", top + L": " + Entries(aces, [](const AceSeen& ace) { return IsOther(ace.sid); }),
          why.empty() ? Verdict(OthersMayChange(aces)) : why,
          onWine(L"keeps no permissions on files"));

    // A folder in a program's place, as a kit whose guard cannot start.
    const std::wstring cmd = L"\"" + probe.system + L"\\cmd.exe\" /d /s /c ";
    const std::wstring unstartable = probe.folder + L"\\kit_guard.exe";
    std::wstring whyNotFound;
    why.clear();
    const std::optional<RunSeen> folderRun =
        made && CreateDirectoryW(unstartable.c_str(), nullptr)
            ? probe.Run(cmd + L"\"\"" + unstartable + L"\"\"", why)
            : std::nullopt;
    if (!folderRun && why.empty())
        why = made ? L"no folder in its place" : noFolder;
    const std::optional<RunSeen> notFound =
        probe.Run(cmd + L"\"kit-guard-probe-no-such-command\"", whyNotFound);
    RemoveDirectoryW(unstartable.c_str());
    print(L"A21",
          L"folder as program: " + (folderRun ? Said(*folderRun) : L"-") + L"; not found: " +
              (notFound ? Said(*notFound) : L"-"),
          folderRun && notFound ? Verdict(CmdGives9009(folderRun->code, notFound->code))
                                : L"could not look: " + (folderRun ? whyNotFound : why),
          L"");

    const auto text = [](const wchar_t* name) -> std::optional<std::wstring> {
        wchar_t value[256];
        DWORD bytes = sizeof value;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.mp3", name, RRF_RT_REG_SZ,
                         nullptr, value, &bytes) != ERROR_SUCCESS)
            return std::nullopt;
        return std::wstring(value);
    };
    const auto contentType = text(L"Content Type"), perceived = text(L"PerceivedType");
    print(L"A26",
          L"Content Type " + contentType.value_or(L"(none)") + L"; PerceivedType " +
              perceived.value_or(L"(none)"),
          Verdict(Mp3AsAssumed(contentType, perceived)), L"");

    // SYSTEM may read HKLM\SAM\SAM; its export is never written where it may stay.
    HANDLE token = nullptr;
    BYTE user[256];
    DWORD userSize = 0;
    const bool system = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                        GetTokenInformation(token, TokenUser, user, sizeof user, &userSize) &&
                        SidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid) == L"S-1-5-18";
    if (token)
        CloseHandle(token);
    const std::wstring reg = L"\"" + probe.system + L"\\reg.exe\" ";
    std::optional<RunSeen> absent, unreadable;
    why = system ? L"runs as SYSTEM, which may read every key" : made ? L"" : noFolder;
    if (why.empty())
        absent = probe.Run(reg + L"export \"HKLM\\Software\\" + mine + L"\" \"" + probe.folder +
                               L"\\absent.reg\" /y",
                           why);
    if (absent)
        unreadable =
            probe.Run(reg + L"export HKLM\\SAM\\SAM \"" + probe.folder + L"\\sam.reg\" /y", why);
    DeleteFileW((probe.folder + L"\\absent.reg").c_str());
    DeleteFileW((probe.folder + L"\\sam.reg").c_str());
    print(L"A28",
          L"absent: " + (absent ? Said(*absent) : L"-") + L"; HKLM\\SAM\\SAM: " +
              (unreadable ? Said(*unreadable) : L"-"),
          unreadable ? Verdict(ExportTellsApart(*absent, unreadable.value()))
                     : L"could not look: " + why,
          onWine(L"its registry keeps no keys from administrators"));

    const std::optional<RunSeen> deleted =
        made ? probe.Run(reg + L"delete \"HKCU\\Software\\" + mine + L"\" /f", why) : std::nullopt;
    print(L"A29", deleted ? Said(*deleted) : L"-",
          deleted ? Verdict(DeleteSaysItFailed(*deleted))
                  : L"could not look: " + (made ? why : noFolder),
          L"");

    std::vector<std::wstring> owners;
    std::wstring seen;
    for (const std::wstring& key : KitScope().keys) {
        HKEY handle = nullptr;
        if (key.rfind(L"HKLM\\", 0) != 0 || RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str() + 5, 0,
                                                          READ_CONTROL, &handle) != ERROR_SUCCESS) {
            continue;
        }
        BYTE sd[1024];
        DWORD sdSize = sizeof sd;
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        if (RegGetKeySecurity(handle, OWNER_SECURITY_INFORMATION, sd, &sdSize) == ERROR_SUCCESS &&
            GetSecurityDescriptorOwner(sd, &sid, &defaulted)) {
            owners.push_back(SidText(sid));
            seen += (seen.empty() ? L"" : L", ") + key.substr(5) + L" " + owners.back();
        }
        RegCloseKey(handle);
    }
    print(L"A37", seen,
          owners.empty() ? L"could not look: no guarded HKLM key is there"
                         : Verdict(OwnedByTrustedInstaller(owners)),
          onWine(L"has no TrustedInstaller"));

    RemoveDirectoryW(probe.folder.c_str());
    return kOk;
}

}  // namespace mf::kit
