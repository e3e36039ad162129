// kit_guard probe: looks at what the kit assumes of Windows, on the machine it runs on. Each
// look is bounded and changes nothing but its own folders, which it removes; one that cannot
// run says "could not look" and never fails the command.
#include "kit/probe.h"

#include <aclapi.h>

#include <algorithm>
#include <memory>

#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/job.h"

namespace mf::kit {

namespace {

// The whole command; scripts/check-workflow.sh holds it below windows-ci.ps1's wait for it.
constexpr ULONGLONG kCommandLimitMs = 40000;
constexpr DWORD kChildLimitMs = 8000;
constexpr const wchar_t* kCreatorOwner = L"S-1-3-0";
// Users, Authenticated Users, Interactive and Everyone.
const wchar_t* const kOthers[] = {L"S-1-5-32-545", L"S-1-5-11", L"S-1-5-4", L"S-1-1-0"};

bool IsOther(const std::wstring& sid) {
    return std::find(std::begin(kOthers), std::end(kOthers), sid) != std::end(kOthers);
}

// What one look saw, and its verdict.
struct Look {
    std::wstring seen;
    std::wstring verdict;
};

// Thrown where a look cannot be taken: its row then says why, and the others go on.
struct CouldNotLook {
    std::wstring why;
};

std::wstring Verdict(bool holds) {
    return holds ? L"holds" : L"does not hold";
}

std::wstring Said(const RunSeen& seen) {
    return L"code " + std::to_wstring(seen.code) + L" \"" + seen.said + L"\"";
}

std::wstring LastError(const std::wstring& what) {
    return what + L": " + ErrorText(static_cast<LONG>(GetLastError()));
}

// A folder of the probe's own, removed with what it holds when the look is done.
struct OwnFolder {
    explicit OwnFolder(std::wstring folder) : path(std::move(folder)) {
        if (!CreateDirectoryW(path.c_str(), nullptr))
            throw CouldNotLook{LastError(path)};
    }
    ~OwnFolder() { RemoveFolder(path); }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;
    std::wstring path;
};

struct Security {
    std::wstring owner;
    std::vector<AceSeen> aces;  // the allowed ones
};

// The owner and DACL of an open file, folder or key.
Security SecurityOf(HANDLE handle, SE_OBJECT_TYPE type, const std::wstring& what) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD code =
        GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &sd);
    const std::unique_ptr<void, decltype(&LocalFree)> held(sd, &LocalFree);
    if (code != ERROR_SUCCESS)
        throw CouldNotLook{what + L": " + ErrorText(static_cast<LONG>(code))};
    Security security{SidText(owner), {}};
    for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (GetAce(dacl, index, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            security.aces.push_back(
                {SidText(&allowed->SidStart), allowed->Mask, allowed->Header.AceFlags});
        }
    }
    return security;
}

Security FileSecurity(const std::wstring& path) {
    const win32::UniqueKernelHandle file = OpenAsIs(path, READ_CONTROL);
    if (file.get() == INVALID_HANDLE_VALUE)
        throw CouldNotLook{LastError(path)};
    return SecurityOf(file.get(), SE_FILE_OBJECT, path);
}

// The entries of the SIDs picked, with their access masks and flags.
std::wstring Entries(const std::vector<AceSeen>& aces, bool (*pick)(const std::wstring& sid)) {
    std::wstring text;
    for (const AceSeen& ace : aces) {
        wchar_t entry[32];
        swprintf(entry, 32, L" 0x%08lx/0x%02x", static_cast<unsigned long>(ace.mask), ace.flags);
        text += pick(ace.sid) ? (text.empty() ? L"" : L", ") + ace.sid + entry : L"";
    }
    return text.empty() ? L"no such entry" : text;
}

struct Machine {
    ULONGLONG deadline = GetTickCount64() + kCommandLimitMs;
    // The native system folder: to a 32-bit kit on 64-bit Windows, System32 is SysWOW64, and
    // Sysnative the native one
    // (learn.microsoft.com/windows/win32/winprog64/file-system-redirector).
    std::wstring system;
    std::wstring name;  // of its own folders and keys, which nothing else uses
    std::wstring temp;

    // Runs `command` in a job that ends it and all it started at the limit, in a folder of its
    // own; its exit code and the first line it printed.
    RunSeen Run(const std::wstring& command) const {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            throw CouldNotLook{L"out of time"};
        const OwnFolder folder(temp + L"\\" + name);
        const std::wstring output = folder.path + L"\\output.txt";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        win32::UniqueKernelHandle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                   &inherit, CREATE_ALWAYS, 0, nullptr));
        const win32::UniqueKernelHandle job = NewJob();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = file.get();
        PROCESS_INFORMATION info{};
        std::wstring line = command;
        if (file.get() == INVALID_HANDLE_VALUE || !job ||
            !CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.path.c_str(),
                            &startup, &info))
            throw CouldNotLook{LastError(L"could not start " + command)};
        const win32::UniqueKernelHandle process(info.hProcess);
        const win32::UniqueKernelHandle thread(info.hThread);
        file.reset();
        if (!AssignProcessToJobObject(job.get(), process.get())) {
            const std::wstring why = LastError(L"could not bound " + command);
            TerminateProcess(process.get(), ERROR_CANCELLED);
            WaitForSingleObject(process.get(), kChildLimitMs);
            throw CouldNotLook{why};
        }
        ResumeThread(thread.get());
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(kChildLimitMs, deadline - now));
        const bool ended = WaitForSingleObject(process.get(), wait) == WAIT_OBJECT_0;
        EndAndWait(job.get(), ERROR_CANCELLED, kChildLimitMs);
        RunSeen seen;
        if (!ended || !GetExitCodeProcess(process.get(), &seen.code))
            throw CouldNotLook{command + L": still running after " + std::to_wstring(wait / 1000) +
                               L" s"};
        std::string bytes = ReadFileBytes(output).value_or("");
        const size_t start = std::min(bytes.find_first_not_of(" \r\n"), bytes.size());
        bytes = bytes.substr(start, bytes.find_first_of("\r\n", start) - start);
        seen.said.resize(bytes.size());
        seen.said.resize(MultiByteToWideChar(CP_OEMCP, 0, bytes.data(),
                                             static_cast<int>(bytes.size()), seen.said.data(),
                                             static_cast<int>(seen.said.size())));
        return seen;
    }
};

Look StartExe(const Machine& machine) {
    const bool there = FileExists(machine.system + L"\\start.exe");
    return {machine.system + (there ? L"\\start.exe is there" : L" has no start.exe"),
            Verdict(NoStartExe(there))};
}

Look OwnerOfAFolderMade(const Machine& machine) {
    const OwnFolder folder(machine.temp + L"\\" + machine.name);
    const Security security = FileSecurity(folder.path);
    return {L"owner " + security.owner, Verdict(OwnedByAdministrators(security.owner))};
}

Look ProgramFilesCreator(const Machine&) {
    std::wstring programFiles = EnvironmentVariable(L"ProgramW6432");
    programFiles = programFiles.empty() ? EnvironmentVariable(L"ProgramFiles") : programFiles;
    const Security security = FileSecurity(programFiles);
    const auto creatorOwner = [](const std::wstring& sid) { return sid == kCreatorOwner; };
    return {programFiles + L": " + Entries(security.aces, creatorOwner),
            Verdict(CreatorOwnerMayWrite(security.aces))};
}

Look FolderAtTheTop(const Machine& machine) {
    const std::wstring drive = EnvironmentVariable(L"SystemDrive");
    const OwnFolder top((drive.size() == 2 ? drive : L"C:") + L"\\" + machine.name);
    const Security security = FileSecurity(top.path);
    return {top.path + L": " + Entries(security.aces, IsOther),
            Verdict(OthersMayChange(security.aces))};
}

Look CmdCannotStart(const Machine& machine) {
    const std::wstring cmd = L"\"" + machine.system + L"\\cmd.exe\" /d /s /c ";
    // A folder in a program's place, as in a kit whose guard cannot start.
    const OwnFolder unstartable(machine.temp + L"\\" + machine.name + L".exe");
    const RunSeen folderRun = machine.Run(cmd + L"\"\"" + unstartable.path + L"\"\"");
    const RunSeen notFound = machine.Run(cmd + L"kit-guard-probe-no-such-command");
    return {L"folder as program: " + Said(folderRun) + L"; not found: " + Said(notFound),
            Verdict(CmdGives9009(folderRun.code, notFound.code))};
}

Look Mp3Types(const Machine&) {
    const auto text = [](const wchar_t* name) -> std::optional<std::wstring> {
        wchar_t value[256];
        DWORD bytes = sizeof value;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.mp3", name, RRF_RT_REG_SZ,
                         nullptr, value, &bytes) != ERROR_SUCCESS)
            return std::nullopt;
        return std::wstring(value);
    };
    const auto contentType = text(L"Content Type"), perceived = text(L"PerceivedType");
    return {L"Content Type " + contentType.value_or(L"(none)") + L"; PerceivedType " +
                perceived.value_or(L"(none)"),
            Verdict(Mp3AsAssumed(contentType, perceived))};
}

Look RegExport(const Machine& machine) {
    // SYSTEM may read HKLM\SAM\SAM, and its export is not written anywhere.
    if (SidText(ProcessUser().data()) == L"S-1-5-18")
        throw CouldNotLook{L"runs as SYSTEM, which may read every key"};
    const std::wstring reg = L"\"" + machine.system + L"\\reg.exe\" export ";
    const RunSeen absent = machine.Run(reg + L"\"HKLM\\Software\\" + machine.name + L"\" a.reg");
    const RunSeen unreadable = machine.Run(reg + L"HKLM\\SAM\\SAM sam.reg");
    return {L"absent: " + Said(absent) + L"; HKLM\\SAM\\SAM: " + Said(unreadable),
            Verdict(ExportTellsApart(absent, unreadable))};
}

Look RegDelete(const Machine& machine) {
    const RunSeen deleted = machine.Run(L"\"" + machine.system + L"\\reg.exe\" delete " +
                                        L"\"HKCU\\Software\\" + machine.name + L"\" /f");
    return {Said(deleted), Verdict(DeleteSaysItFailed(deleted))};
}

Look ClassKeyOwners(const Machine&) {
    std::vector<std::wstring> owners;
    std::wstring seen;
    for (const std::wstring& key : KitScope().keys) {
        win32::UniqueHkey handle;
        if (key.rfind(L"HKLM\\", 0) == 0 &&
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str() + 5, 0, READ_CONTROL | kView,
                          handle.put()) == ERROR_SUCCESS) {
            owners.push_back(SecurityOf(handle.get(), SE_REGISTRY_KEY, key).owner);
            seen += (seen.empty() ? L"" : L", ") + key.substr(5) + L" " + owners.back();
        }
    }
    if (owners.empty())
        throw CouldNotLook{L"no guarded HKLM key is there"};
    return {seen, Verdict(OwnedByTrustedInstaller(owners))};
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
        return ace.sid == kCreatorOwner && (ace.flags & CONTAINER_INHERIT_ACE) &&
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
    return contentType && SameName(*contentType, L"audio/mpeg") && perceivedType &&
           SameName(*perceivedType, L"audio");
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
                       [](const std::wstring& sid) { return sid == kTrustedInstallerSid; });
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

int ProbeCommand(const std::function<void(const std::wstring&)>& print) {
    const struct {
        const wchar_t* id;
        Look (*look)(const Machine&);
        const wchar_t* onWine;  // how Wine is known to differ
    } rows[] = {
        {L"A12", StartExe, L"ships a start.exe"},
        {L"A15", OwnerOfAFolderMade, L"keeps no owner on files"},
        {L"A16", ProgramFilesCreator, L"keeps no permissions on files"},
        {L"A17", FolderAtTheTop, L"keeps no permissions on files"},
        {L"A21", CmdCannotStart, L""},
        {L"A26", Mp3Types, L""},
        {L"A28", RegExport, L"its registry keeps no keys from administrators"},
        {L"A29", RegDelete, L""},
        {L"A37", ClassKeyOwners, L"has no TrustedInstaller"},
    };
    std::wstring list = L"rows:";
    for (const auto& row : rows)
        list += std::wstring(L" ") + row.id;
    print(list);

    Machine machine;
    const std::wstring windows = EnvironmentVariable(L"SystemRoot");
    machine.system = windows + L"\\Sysnative";
    if (!FileExists(machine.system)) {
        wchar_t buffer[MAX_PATH + 1];
        machine.system.assign(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
    }
    machine.name = L"kit_guard probe " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(GetTickCount64());
    machine.temp = EnvironmentVariable(L"TEMP");
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    for (const auto& row : rows) {
        Look look;
        try {
            look = row.look(machine);
        } catch (const CouldNotLook& cannot) {
            look.verdict = L"could not look: " + cannot.why;
        }
        print(ProbeLine(row.id, look.seen, look.verdict, wine ? row.onWine : L""));
    }
    return kOk;
}

}  // namespace mf::kit
