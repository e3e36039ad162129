// kit_guard probe: looks at what the kit assumes of Windows, on the machine it runs on. Each
// look is bounded and changes nothing but its own folders, which it removes; one that cannot
// run says "could not look" and never fails the command.
#include "kit/probe.h"

#include <aclapi.h>

#include <algorithm>
#include <memory>

#include "kit/commands.h"
#include "kit/file_trust.h"
#include "kit/job.h"
#include "kit/key_access.h"

namespace mf::kit {

namespace {

// The whole command, which starts no child that could outlast it: a child may run for
// kChildLimitMs and take as long again to be gone. scripts/check-workflow.sh holds the sum below
// windows-ci.ps1's wait for the command.
constexpr ULONGLONG kCommandLimitMs = 40000;
constexpr DWORD kChildLimitMs = 8000;
constexpr const wchar_t* kCreatorOwner = L"S-1-3-0";
// What changes a folder, or a key (their specific rights differ), or its security.
constexpr ACCESS_MASK kFolderChanges = GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA |
                                       FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                       DELETE | WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kKeyChanges = GENERIC_ALL | GENERIC_WRITE | KEY_SET_VALUE |
                                    KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                    WRITE_OWNER;
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

// What the probe made and could not remove, for the row that made it to name.
using LeftBehind = std::vector<std::wstring>;

// The files the probe writes in its folders; nothing else is deleted there.
const wchar_t* const kWritten[] = {L"output.txt", L"a.reg", L"b.reg"};

// A folder of the probe's own, held without FILE_SHARE_DELETE so that nobody renames it or puts
// a link in its place while an administrator works in it, and removed as it was made: only what
// the probe wrote there is deleted, by name, so a folder that others filled stays, named.
struct OwnFolder {
    OwnFolder(std::wstring folder, LeftBehind& left) : path(std::move(folder)), left(left) {
        if (!CreateDirectoryW(path.c_str(), nullptr))
            throw CouldNotLook{LastError(path)};
        held.reset(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (held.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(held.get(), &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            left.push_back(path);
            throw CouldNotLook{LastError(path + L": not the folder made, or not to be held")};
        }
    }
    ~OwnFolder() {
        for (const wchar_t* file : kWritten)
            DeleteFileW((path + L"\\" + file).c_str());
        held.reset();
        if (!RemoveDirectoryW(path.c_str()))
            left.push_back(path);
    }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;
    std::wstring path;
    LeftBehind& left;
    win32::UniqueKernelHandle held;
};

// A key of its own that nobody may read, removed afterwards. HKLM\SAM\SAM is one such key on
// Windows, but exporting it is what a credential thief does.
struct UnreadableKey {
    UnreadableKey(const std::wstring& name, LeftBehind& left)
        : path(L"Software\\" + name), left(left) {
        const LocalSecurity nobody(L"D:P");
        if (!nobody.get())
            throw CouldNotLook{LastError(L"no DACL that nobody passes")};
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nobody.get(), FALSE};
        win32::UniqueHkey key;
        const LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                            KEY_QUERY_VALUE, &attributes, key.put(), nullptr);
        if (status != ERROR_SUCCESS)
            throw CouldNotLook{L"HKCU\\" + path + L": " + ErrorText(status)};
    }
    // Its owner may still rewrite its DACL, and so let this user delete it.
    ~UnreadableKey() {
        win32::UniqueHkey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC, key.put()) !=
                ERROR_SUCCESS ||
            WriteSecurity(key.get(), DACL_SECURITY_INFORMATION,
                          L"D:P(A;;KA;;;" + SidText(ProcessUser().data()) + L")") !=
                ERROR_SUCCESS ||
            RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS)
            left.push_back(L"HKCU\\" + path);
    }
    UnreadableKey(const UnreadableKey&) = delete;
    UnreadableKey& operator=(const UnreadableKey&) = delete;
    std::wstring path;
    LeftBehind& left;
};

// The owner and DACL of an open file, folder or key. A null DACL, which lets everyone do
// anything, reads as an entry that says so.
SecuritySeen SecurityOf(HANDLE handle, SE_OBJECT_TYPE type, const std::wstring& what) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD code =
        GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &sd);
    const std::unique_ptr<void, decltype(&LocalFree)> held(sd, &LocalFree);
    if (code != ERROR_SUCCESS)
        throw CouldNotLook{what + L": " + ErrorText(static_cast<LONG>(code))};
    SecuritySeen security{SidText(owner), {}};
    if (!dacl)
        security.aces.push_back(
            {L"S-1-1-0", GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE});
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

SecuritySeen FileSecurity(const std::wstring& path) {
    const win32::UniqueKernelHandle file = OpenAsIs(path, READ_CONTROL);
    if (file.get() == INVALID_HANDLE_VALUE)
        throw CouldNotLook{LastError(path)};
    return SecurityOf(file.get(), SE_FILE_OBJECT, path);
}

SecuritySeen FolderSecurity(const OwnFolder& folder) {
    return SecurityOf(folder.held.get(), SE_FILE_OBJECT, folder.path);
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
    LeftBehind left;
    int made = 0;

    // A new name for a folder of its own in `where`: one left behind stops no later look.
    std::wstring Fresh(const std::wstring& where) {
        if (where.empty())
            throw CouldNotLook{L"no folder to work in"};
        return where + L"\\" + name + L" " + std::to_wstring(++made);
    }

    // Runs `command` in a job that ends it and all it started at the limit, in a folder of its
    // own; its exit code and the first line it printed.
    RunSeen Run(const wchar_t* program, const std::wstring& arguments) {
        const std::wstring exe = system + L"\\" + program;
        const std::wstring command = L"\"" + exe + L"\" " + arguments;
        if (GetTickCount64() + 2 * kChildLimitMs > deadline)
            throw CouldNotLook{L"out of time for " + command};
        const OwnFolder folder(Fresh(temp), left);
        const std::wstring output = folder.path + L"\\output.txt";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        win32::UniqueKernelHandle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                   &inherit, CREATE_ALWAYS, 0, nullptr));
        const win32::UniqueKernelHandle job = NewJob();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = file.get();
        if (file.get() == INVALID_HANDLE_VALUE || !job)
            throw CouldNotLook{LastError(L"no output file or job for " + command)};
        std::wstring why;
        bool noJob = false;
        const std::optional<PROCESS_INFORMATION> started =
            StartInJob(exe, command, folder.path, CREATE_NO_WINDOW, startup, job.get(), why, noJob);
        file.reset();
        if (!started)
            throw CouldNotLook{command + L": " + why};
        const win32::UniqueKernelHandle process(started->hProcess);
        const win32::UniqueKernelHandle thread(started->hThread);
        ResumeThread(thread.get());
        const bool ended = WaitForSingleObject(process.get(), kChildLimitMs) == WAIT_OBJECT_0;
        EndAndWait(job.get(), ERROR_CANCELLED, kChildLimitMs);
        RunSeen seen;
        if (!ended || !GetExitCodeProcess(process.get(), &seen.code))
            throw CouldNotLook{command + L": still running after " +
                               std::to_wstring(kChildLimitMs / 1000) + L" s"};
        std::optional<std::string> read = ReadFileBytes(output);
        if (!read)
            throw CouldNotLook{LastError(output)};
        std::string bytes = *read;
        const size_t start = std::min(bytes.find_first_not_of(" \r\n"), bytes.size());
        bytes = bytes.substr(start, bytes.find_first_of("\r\n", start) - start);
        seen.said.resize(bytes.size());
        seen.said.resize(MultiByteToWideChar(CP_OEMCP, 0, bytes.data(),
                                             static_cast<int>(bytes.size()), seen.said.data(),
                                             static_cast<int>(seen.said.size())));
        return seen;
    }
};

Look StartExe(Machine& machine) {
    const bool there = FileExists(machine.system + L"\\start.exe");
    if (!there && GetLastError() != ERROR_FILE_NOT_FOUND)
        throw CouldNotLook{LastError(machine.system + L"\\start.exe")};
    return {machine.system + (there ? L"\\start.exe is there" : L" has no start.exe"),
            Verdict(NoStartExe(there))};
}

Look OwnerOfAFolderMade(Machine& machine) {
    // Only an elevated administrator's token makes Administrators the owner.
    Problems notElevated;
    if (ElevatedCommand(notElevated) != kOk)
        throw CouldNotLook{notElevated.front()};
    const OwnFolder folder(machine.Fresh(machine.temp), machine.left);
    const SecuritySeen security = FolderSecurity(folder);
    return {L"owner " + security.owner, Verdict(OwnedByAdministrators(security.owner))};
}

Look ProgramFilesCreator(Machine&) {
    std::wstring programFiles = EnvironmentVariable(L"ProgramW6432");
    programFiles = programFiles.empty() ? EnvironmentVariable(L"ProgramFiles") : programFiles;
    const SecuritySeen security = FileSecurity(programFiles);
    const auto creatorOwner = [](const std::wstring& sid) { return sid == kCreatorOwner; };
    return {programFiles + L": " + Entries(security.aces, creatorOwner),
            Verdict(CreatorOwnerMayWrite(security.aces))};
}

Look FolderAtTheTop(Machine& machine) {
    const std::wstring drive = EnvironmentVariable(L"SystemDrive");
    const OwnFolder top(machine.Fresh(drive.size() == 2 ? drive : L"C:"), machine.left);
    const SecuritySeen security = FolderSecurity(top);
    return {top.path + L": " + Entries(security.aces, IsOther),
            Verdict(OthersMayChange(security.aces))};
}

Look CmdCannotStart(Machine& machine) {
    const std::wstring cmd = L"/d /s /c ";
    // A folder in a program's place, as in a kit whose guard cannot start.
    const OwnFolder unstartable(machine.Fresh(machine.temp) + L".exe", machine.left);
    const RunSeen folderRun = machine.Run(L"cmd.exe", cmd + L"\"\"" + unstartable.path + L"\"\"");
    const RunSeen notFound = machine.Run(L"cmd.exe", cmd + L"kit-guard-probe-no-such-command");
    return {L"folder as program: " + Said(folderRun) + L"; not found: " + Said(notFound),
            Verdict(CmdGives9009(folderRun.code, notFound.code))};
}

Look Mp3Types(Machine&) {
    const auto text = [](const wchar_t* name) -> std::optional<std::wstring> {
        wchar_t value[256];
        DWORD bytes = sizeof value;
        const LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.mp3", name,
                                         RRF_RT_REG_SZ, nullptr, value, &bytes);
        if (status == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        if (status != ERROR_SUCCESS)
            throw CouldNotLook{std::wstring(name) + L": " + ErrorText(status)};
        return std::wstring(value);
    };
    const auto contentType = text(L"Content Type"), perceived = text(L"PerceivedType");
    return {L"Content Type " + contentType.value_or(L"(none)") + L"; PerceivedType " +
                perceived.value_or(L"(none)"),
            Verdict(Mp3AsAssumed(contentType, perceived))};
}

Look RegExport(Machine& machine) {
    const RunSeen absent =
        machine.Run(L"reg.exe", L"export \"HKCU\\Software\\" + machine.name + L"\" a.reg");
    const UnreadableKey key(machine.name, machine.left);
    const RunSeen unreadable = machine.Run(L"reg.exe", L"export \"HKCU\\" + key.path + L"\" b.reg");
    return {L"absent: " + Said(absent) + L"; unreadable: " + Said(unreadable),
            Verdict(ExportTellsApart(absent, unreadable))};
}

Look RegDelete(Machine& machine) {
    const RunSeen deleted =
        machine.Run(L"reg.exe", L"delete \"HKCU\\Software\\" + machine.name + L" never made\" /f");
    return {Said(deleted), Verdict(DeleteSaysItFailed(deleted))};
}

Look ClassKeyOwners(Machine&) {
    std::vector<SecuritySeen> keys;
    std::wstring seen;
    for (const std::wstring& key : KitScope().keys) {
        win32::UniqueHkey handle;
        const LONG status = key.rfind(L"HKLM\\", 0) != 0
                                ? ERROR_FILE_NOT_FOUND
                                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str() + 5, 0,
                                                READ_CONTROL | kView, handle.put());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            throw CouldNotLook{key + L": " + ErrorText(status)};
        if (status == ERROR_SUCCESS) {
            keys.push_back(SecurityOf(handle.get(), SE_REGISTRY_KEY, key));
            seen +=
                (seen.empty() ? L"" : L", ") + key.substr(5) + L" " + keys.back().owner +
                (AdministratorsMayChange(keys.back().aces) ? L" (administrators may write)" : L"");
        }
    }
    if (keys.empty())
        throw CouldNotLook{L"no guarded HKLM key is there"};
    return {seen, Verdict(KeptByTrustedInstaller(keys))};
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
    return std::any_of(aces.begin(), aces.end(), [](const AceSeen& ace) {
        return IsOther(ace.sid) && !(ace.flags & INHERIT_ONLY_ACE) && (ace.mask & kFolderChanges);
    });
}

bool AdministratorsMayChange(const std::vector<AceSeen>& aces) {
    return std::any_of(aces.begin(), aces.end(), [](const AceSeen& ace) {
        return (ace.sid == L"S-1-5-32-544" || IsOther(ace.sid)) &&
               !(ace.flags & INHERIT_ONLY_ACE) && (ace.mask & kKeyChanges);
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

bool KeptByTrustedInstaller(const std::vector<SecuritySeen>& keys) {
    return !keys.empty() && std::all_of(keys.begin(), keys.end(), [](const SecuritySeen& key) {
        return key.owner == kTrustedInstallerSid && !AdministratorsMayChange(key.aces);
    });
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
        Look (*look)(Machine&);
        const wchar_t* onWine;  // how Wine is known to differ
    } rows[] = {
        {L"A12", StartExe, L"ships a start.exe"},
        {L"A15", OwnerOfAFolderMade, L"keeps no owner on files"},
        {L"A16", ProgramFilesCreator, L"keeps no permissions on files"},
        {L"A17", FolderAtTheTop, L"keeps no permissions on files"},
        {L"A21", CmdCannotStart, L""},
        {L"A26", Mp3Types, L""},
        {L"A28", RegExport, L"reads a key whatever its DACL says"},
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
        const UINT size = GetSystemDirectoryW(buffer, MAX_PATH);
        machine.system.assign(buffer, size < MAX_PATH ? size : 0);
    }
    machine.name = L"kit_guard probe " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(GetTickCount64());
    wchar_t temp[MAX_PATH + 1];
    const DWORD size = GetTempPathW(MAX_PATH + 1, temp);
    machine.temp.assign(temp, size > 1 && size <= MAX_PATH ? size - 1 : 0);  // without its '\\'
    // Ctrl+C would skip the removals; closing the window or ending it still can.
    SetConsoleCtrlHandler(nullptr, TRUE);
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    for (const auto& row : rows) {
        Look look;
        try {
            look = row.look(machine);
        } catch (const CouldNotLook& cannot) {
            look.verdict = L"could not look: " + cannot.why;
        }
        for (const std::wstring& left : machine.left)
            look.seen += L"; left behind: " + left;
        machine.left.clear();
        print(ProbeLine(row.id, look.seen, look.verdict, wine ? row.onWine : L""));
    }
    SetConsoleCtrlHandler(nullptr, FALSE);
    return kOk;
}

}  // namespace mf::kit
