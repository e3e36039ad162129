#include "kit/run.h"

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "e2e/entries.h"
#include "kit/commands.h"
#include "kit/file_trust.h"
#include "kit/job.h"
#include "kit/run_lock.h"
#include "kit/snapshot.h"
#include "platform/win32/WinHandles.h"

namespace mf::kit {
namespace {

using win32::UniqueKernelHandle;

constexpr const wchar_t* kSuites[] = {L"core_tests", L"wine_registry_tests", L"win32_tests",
                                      L"e2e_tests"};

void UnloadModule(HMODULE module) {
    FreeLibrary(module);
}
using UniqueModule = win32::UniqueHandle<HMODULE, UnloadModule>;

// What the console handler, which Windows runs on a thread of its own, shares with the run.
struct Shared {
    std::mutex machine;  // held while saving or restoring
    bool saved = false;  // this run's snapshot is on disk and not yet put back
    std::wstring snapshot;
    std::wstring stateFolder;
    std::mutex suite;  // guards `job` and `stop`
    HANDLE job = nullptr;
    std::atomic<bool> stop{false};
    DWORD suiteLimitSeconds = kSuiteLimitSeconds;
};
Shared g_shared;

void Say(const std::wstring& text) {
    PrintLine(STD_OUTPUT_HANDLE, L"run-tests: " + text);
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// The kit's top folder: this program lies in its tests\ folder.
std::optional<std::wstring> KitFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::wstring tests = ParentOf(path);
    if (CompareStringOrdinal(LeafOf(tests).c_str(), -1, L"tests", -1, TRUE) != CSTR_EQUAL) {
        return std::nullopt;
    }
    return ParentOf(tests);
}

// Tells the shell that associations changed, so that Explorer drops the suites' types and
// icons now rather than at the next logon. shell32 is loaded for this alone, by its full path,
// after the last restore: a console program that loads user32 or gdi32, or calls "Shell
// functions that do in turn call functions in gdi32.dll or user32.dll", no longer gets the
// logoff and shutdown signals ("SetConsoleCtrlHandler", learn.microsoft.com/windows/console/
// setconsolectrlhandler).
void NotifyShell() {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    const UniqueModule shell(
        LoadLibraryW((std::wstring(system, length) + L"\\shell32.dll").c_str()));
    using Notify = void(WINAPI*)(LONG, UINT, LPCVOID, LPCVOID);
    const auto notify = reinterpret_cast<Notify>(
        reinterpret_cast<void*>(GetProcAddress(shell.get(), "SHChangeNotify")));
    if (notify != nullptr) {
        notify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
}

// Where a suite writes its XML report before the run copies it to results\ (RunSuite says why).
std::wstring DraftOf(const std::wstring& suite) {
    return g_shared.stateFolder + L"\\" + suite + L".xml";
}

// A run cut off between a suite's report and its copy leaves the draft behind, which would
// keep the state folder once the snapshot is put back; only the drafts' own names go.
void RemoveDrafts() {
    for (const wchar_t* suite : kSuites) {
        DeleteFileW(DraftOf(suite).c_str());
    }
}

// Puts this run's snapshot back, once, whichever thread comes first; then tells the shell.
int RestoreOnce(Problems& problems) {
    const std::lock_guard lock(g_shared.machine);
    if (!g_shared.saved) {
        return kOk;
    }
    const int code = RestoreCommand(g_shared.snapshot, problems);
    if (code == kOk) {
        RemoveDrafts();
    }
    g_shared.saved = code != kOk;
    NotifyShell();
    return code;
}

// Ends the running suite and keeps any other from starting.
void StopSuites(DWORD milliseconds) {
    const std::lock_guard lock(g_shared.suite);
    g_shared.stop = true;
    if (g_shared.job != nullptr) {
        EndAndWait(g_shared.job, ERROR_CANCELLED, milliseconds);
    }
}

// Ctrl+C and Ctrl+Break stop the run, which then restores as usual. On the other signals
// (closing the window; logoff and shutdown, where they reach a console program at all) the
// system ends the process when this returns ("HandlerRoutine", learn.microsoft.com/windows/
// console/handlerroutine), so the restore happens here, as far as the time allows.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    // Under a service account the logoff signal comes when any user logs off ("no assumptions
    // can be made", HandlerRoutine): the run goes on there.
    DWORD session = 0;
    if (event == CTRL_LOGOFF_EVENT && ProcessIdToSessionId(GetCurrentProcessId(), &session) &&
        session == 0) {
        return TRUE;
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        StopSuites(30000);
        return TRUE;
    }
    // Windows gives a handler a few seconds here: most of them go to the restore.
    StopSuites(1000);
    Problems problems;
    if (RestoreOnce(problems) == kOk) {
        const std::optional<RunOwner> self = LiveProcess(GetCurrentProcessId());
        if (self) {
            UnlockCommand(g_shared.stateFolder, *self, problems);
        }
    }
    return TRUE;
}

// The names of the environment's GTEST_ variables, which change what a suite runs.
std::vector<std::wstring> GtestVariables() {
    std::vector<std::wstring> names;
    const std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> block(
        GetEnvironmentStringsW(), &FreeEnvironmentStringsW);
    for (const wchar_t* entry = block.get(); entry != nullptr && *entry != L'\0';
         entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        if (CompareStringOrdinal(text.c_str(), std::min<int>(6, static_cast<int>(text.size())),
                                 L"GTEST_", 6, TRUE) == CSTR_EQUAL) {
            names.push_back(text.substr(0, text.find(L'=')));
        }
    }
    return names;
}

// The default app the user chose for `type` (where it is kept: assumed, A6, docs/assumptions.md),
// as a line for the report.
std::wstring ChoiceText(const std::wstring& type) {
    const std::optional<std::wstring> choice = testing::UserChoice(type);
    return choice ? Quoted(*choice) : L"none";
}

struct Outcome {
    bool passed = false;
    std::wstring detail;
    bool stopsTheRun = false;  // no further suite may run either
};

// How often `what` occurs in a gtest XML report: each test has a result="..." attribute.
int Count(const std::string& xml, const std::string& what) {
    int count = 0;
    for (std::size_t at = xml.find(what); at != std::string::npos; at = xml.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Runs one suite in a job that ends it, and whatever it started (a process the suite creates
// joins its job), when the run stops, when the time limit passes, and when this program ends:
// the job's one handle is not inheritable and closes with this process. Its output goes to
// results\SUITE.log; its XML report to the state folder first (a test program takes its
// arguments in the ANSI code page, which may lack characters of the kit's folder name) and
// then to results\SUITE.xml.
Outcome RunSuite(const std::wstring& kit, const std::wstring& results, const std::wstring& suite) {
    const std::wstring exe = kit + L"\\tests\\" + suite + L".exe";
    const std::wstring draft = DraftOf(suite);
    const std::wstring xml = results + L"\\" + suite + L".xml";
    DeleteFileW(draft.c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueKernelHandle log(CreateFileW((results + L"\\" + suite + L".log").c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (log.get() == INVALID_HANDLE_VALUE) {
        return {false, L"cannot write its log (error " + std::to_wstring(GetLastError()) + L")"};
    }
    UniqueKernelHandle job = NewJob();
    if (!job) {
        return {false,
                L"cannot make a job for it (error " + std::to_wstring(GetLastError()) + L")"};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = log.get();
    startup.hStdError = log.get();
    std::wstring why;
    bool noJob = false;
    const std::optional<PROCESS_INFORMATION> started =
        StartInJob(exe, Quoted(exe) + L" " + Quoted(L"--gtest_output=xml:" + draft), kit,
                   // Its own process group, in which Ctrl+C is disabled (CreateProcess's
                   // creation flags; Ctrl+Break still reaches it): what a stop ends is the
                   // guard's to decide.
                   CREATE_NEW_PROCESS_GROUP, startup, job.get(), why, noJob);
    log.reset();
    if (!started) {
        return {false, why, noJob};
    }
    const UniqueKernelHandle process(started->hProcess);
    const UniqueKernelHandle thread(started->hThread);
    {
        const std::lock_guard lock(g_shared.suite);
        if (g_shared.stop) {
            EndAndWait(job.get(), ERROR_CANCELLED, INFINITE);
            return {false, L"not run: the run was stopped"};
        }
        g_shared.job = job.get();
    }
    ResumeThread(thread.get());
    const bool finished =
        WaitForSingleObject(process.get(), g_shared.suiteLimitSeconds * 1000) == WAIT_OBJECT_0;
    {
        // What the suite left running ends with it, and is gone before anything goes on.
        const std::lock_guard lock(g_shared.suite);
        EndAndWait(job.get(), finished ? ERROR_CANCELLED : ERROR_TIMEOUT, 30000);
        g_shared.job = nullptr;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);

    // Written anew, not moved, to take the DACL of results\: "a default security descriptor is
    // assigned only when a file or directory is newly created, and not when it is renamed or
    // moved" (learn.microsoft.com/windows/win32/fileio/file-security-and-access-rights).
    const std::optional<std::string> report = ReadFileBytes(draft);
    DeleteFileW(draft.c_str());
    const bool written = report && WriteFileBytes(xml, *report);
    const int run = report ? Count(*report, "result=\"completed\"") : 0;
    const int skipped = report ? Count(*report, "result=\"skipped\"") : 0;
    if (!finished) {
        return {false, L"did not finish within " + std::to_wstring(g_shared.suiteLimitSeconds) +
                           L" seconds and was ended"};
    }
    if (g_shared.stop) {
        return {false, L"ended: the run was stopped"};
    }
    if (code != 0) {
        return {false, L"exit code " + std::to_wstring(code)};
    }
    if (!written) {
        return {false, report ? L"cannot write " + xml : L"no XML report"};
    }
    if (run == 0) {
        return {false, L"no test ran"};
    }
    return {true, std::to_wstring(run) + L" tests ran, " + std::to_wstring(skipped) + L" skipped"};
}

// What this run makes (results\, work\; what the suites make too, assumed: A18,
// docs/assumptions.md) is owned by Administrators, whatever a machine's policy gives an
// administrator's new objects ("System objects: Default owner for objects created by members
// of the Administrators group", named in an archived Windows XP article, support.microsoft.com/
// kb/318825; still there today, assumed: A15): the token's default owner
// "will become the owner of any objects created by a process using this access token"
// (learn.microsoft.com/windows/win32/api/winnt/ns-winnt-token_owner). Where the creator owned
// them, the next start would refuse the kit for its own results\, and the user's unelevated
// programs would own work\, the suites' temporary folder. Where the owner cannot be set, the
// next start names what others own.
void OwnWhatTheRunMakesAsAdministrators() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &raw)) {
        return;
    }
    const UniqueKernelHandle token(raw);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
        TOKEN_OWNER owner{sid};
        SetTokenInformation(token.get(), TokenOwner, &owner, sizeof owner);
    }
}

// Outside the kit's folder, so that any copy of the kit finds a cut-off run's snapshot.
std::wstring StateFolder() {
    const std::wstring programData = EnvironmentVariable(L"ProgramData");
    return programData.empty() ? L"" : programData + L"\\Marblefinch_associate test kit";
}

std::wstring SavedAt(const std::wstring& file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data) ||
        !FileTimeToSystemTime(&data.ftLastWriteTime, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
        return L"at an unknown time";
    }
    wchar_t text[64];
    swprintf(text, 64, L"on %04u-%02u-%02u at %02u:%02u (local time)", local.wYear, local.wMonth,
             local.wDay, local.wHour, local.wMinute);
    return text;
}

void PrintProblems(const Problems& problems) {
    for (const std::wstring& problem : problems) {
        PrintLine(STD_ERROR_HANDLE, L"kit_guard: " + problem);
    }
}

// A snapshot that a cut-off run left: a plain start shows what differs from it and changes
// nothing, since putting it back would also undo what was installed since.
int ShowLeftover(const std::wstring& snapshot) {
    Say(L"a run that was cut off left the snapshot " + snapshot + L", saved " + SavedAt(snapshot) +
        L".");
    Problems differences;
    Problems problems;
    if (DifferencesCommand(snapshot, differences, problems) == kRefused) {
        PrintProblems(problems);
        Say(L"it was refused, as said above; look at it by hand. Nothing was changed.");
        return kSaveOrRestoreFailed;
    }
    PrintProblems(problems);
    if (differences.empty()) {
        Say(L"no guarded key differs from it now.");
    } else {
        Say(L"what differs from it now (a key the suites left, or one changed since):");
        for (const std::wstring& difference : differences) {
            PrintLine(STD_OUTPUT_HANDLE, L"  " + difference);
        }
    }
    Say(L"nothing was changed. \"run-tests.cmd /restore\" puts every key above back as saved, "
        L"undoing changes made since, and stops; start run-tests.cmd again to run the suites.");
    return kLeftover;
}

// Puts back the snapshot that a cut-off run left, tells the shell, and stops: the suites are
// another start's.
int RestoreLeftover(const std::wstring& snapshot) {
    if (GetFileAttributesW(snapshot.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say(L"no run left a snapshot: there is nothing to put back. Nothing was changed.");
        return kOk;
    }
    Say(L"restoring the snapshot of a run that was cut off, saved " + SavedAt(snapshot));
    Problems problems;
    const int code = RestoreCommand(snapshot, problems);
    if (code == kOk) {
        RemoveDrafts();
    }
    PrintProblems(problems);
    if (code != kRefused) {
        NotifyShell();
    }
    Say(code == kOk ? L"restored from the cut-off run's snapshot. Start run-tests.cmd "
                      L"again to run the suites."
        : code == kRefused ? L"the snapshot was refused, as said above; nothing was changed."
                           : L"the machine could not be fully restored; the snapshot is kept for "
                             L"another try.");
    return code == kOk ? kOk : kSaveOrRestoreFailed;
}

int Run(const std::wstring& kit) {
    const std::wstring& snapshot = g_shared.snapshot;
    if (GetFileAttributesW(snapshot.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return ShowLeftover(snapshot);
    }
    // Results or work left by an earlier run that cannot be cleared would mix with this one's;
    // nothing a suite started stays to hold them (assumed: A25, docs/assumptions.md).
    const std::wstring results = kit + L"\\results";
    const std::wstring work = kit + L"\\work";
    for (const std::wstring& folder : {results, work}) {
        std::wstring stays;
        RemoveFolder(folder, &stays);
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            Say(L"the folder " + folder + L" of an earlier run cannot be cleared: " + stays +
                L"; close what holds it and run again. Nothing was changed.");
            return kSaveOrRestoreFailed;
        }
    }
    // A variable that tells the suites which tests to run, or how, makes this no full run.
    std::wstring filters;
    for (const std::wstring& variable : GtestVariables()) {
        filters += (filters.empty() ? L"" : L", ") + variable;
    }
    std::vector<std::wstring> choices;
    for (const std::wstring& type : testing::AllTypes()) {
        choices.push_back(ChoiceText(type));
    }
    {
        const std::lock_guard lock(g_shared.machine);
        if (g_shared.stop) {
            Say(L"stopped (Ctrl+C) before the first suite. Nothing was changed.");
            return kFailed;
        }
        Problems problems;
        if (SaveCommand(snapshot, KitScope(), problems) != kOk) {
            PrintProblems(problems);
            Say(L"could not save the keys the suites touch; no suite was run. Nothing was "
                L"changed.");
            return kSaveOrRestoreFailed;
        }
        g_shared.saved = true;
    }
    // The suites' temporary files stay inside the kit's folder.
    SetEnvironmentVariableW(L"TEMP", work.c_str());
    SetEnvironmentVariableW(L"TMP", work.c_str());

    int passed = 0;
    int failed = 0;
    for (const wchar_t* suite : kSuites) {
        if (g_shared.stop) {
            break;
        }
        // Each suite's time, so that the first run on a real machine gives the figure.
        const ULONGLONG started = GetTickCount64();
        const Outcome outcome = RunSuite(kit, results, suite);
        const std::wstring seconds = std::to_wstring((GetTickCount64() - started + 500) / 1000);
        if (outcome.stopsTheRun) {
            StopSuites(0);
        }
        if (outcome.passed) {
            ++passed;
            Say(L"passed  " + std::wstring(suite) + L" in " + seconds + L" s: " + outcome.detail);
        } else {
            ++failed;
            Say(L"FAILED  " + std::wstring(suite) + L": " + outcome.detail + L", after " + seconds +
                L" s; see results\\" + suite + L".log");
        }
    }
    if (g_shared.stop) {
        Say(L"stopped: the suites left were not run");
    }
    Say(std::to_wstring(passed) + L" passed, " + std::to_wstring(failed) + L" failed");

    Problems problems;
    const int restored = RestoreOnce(problems);
    PrintProblems(problems);
    const std::vector<std::wstring> types = testing::AllTypes();
    for (std::size_t index = 0; index < types.size(); ++index) {
        const std::wstring now = ChoiceText(types[index]);
        if (now != choices[index]) {
            Say(L"the default app the user chose for " + types[index] +
                L" changed during the run, " + L"from " + choices[index] + L" to " + now +
                L": the kit never writes it, but " +
                L"Windows resets a choice it takes for broken. Check the default apps in "
                L"Settings.");
        }
    }
    if (restored != kOk) {
        Say(GetFileAttributesW(snapshot.c_str()) == INVALID_FILE_ATTRIBUTES
                ? L"the snapshot " + snapshot + L" is gone: something deleted it during the run, " +
                      L"so the keys the suites touched were not put back. Check them by hand."
                : L"the machine could not be fully restored; the snapshot is kept at " + snapshot +
                      L"; run \"run-tests.cmd /restore\" to try again.");
        return kSaveOrRestoreFailed;
    }
    RemoveFolder(work);
    if (!filters.empty()) {
        Say(L"not a full run: with " + filters + L" in the environment the suites ran only " +
            L"what that lets through");
        return kFailed;
    }
    return failed > 0 || g_shared.stop ? kFailed : kOk;
}

}  // namespace

void PrintLine(DWORD stream, const std::wstring& text) {
    const HANDLE handle = GetStdHandle(stream);
    const std::wstring line = text + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int UnderTheRunLock(const std::function<int()>& command, Problems& problems) {
    const std::wstring state = StateFolder();
    const std::optional<RunOwner> self = LiveProcess(GetCurrentProcessId());
    const int locked = state.empty() || !self ? kFailed : LockCommand(state, *self, problems);
    if (locked != kOk) {
        problems.push_back(L"cannot take the run's lock; nothing was done");
        return locked;
    }
    const int code = command();
    UnlockCommand(state, *self, problems);
    return code;
}

int RunCommand(bool restoreLeftover, DWORD suiteLimitSeconds) {
    // First of all: from here on no console event skips the restore.
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    g_shared.suiteLimitSeconds = suiteLimitSeconds;
    Problems problems;
    if (ElevatedCommand(problems) != kOk) {
        PrintProblems(problems);
        Say(L"this needs an elevated command prompt: right-click Command Prompt, Run as "
            L"administrator. Nothing was changed.");
        return kRefused;
    }
    OwnWhatTheRunMakesAsAdministrators();
    const std::optional<std::wstring> kit = KitFolder();
    g_shared.stateFolder = StateFolder();
    if (!kit || g_shared.stateFolder.empty()) {
        Say(!kit ? L"kit_guard.exe must lie in the kit's tests folder. Nothing was changed."
                 : L"ProgramData is not set. Nothing was changed.");
        return kSaveOrRestoreFailed;
    }
    // What the run starts runs elevated. The DACLs read decide; the advice relies on what
    // Microsoft names, for UIAccess applications, the "relatively secure locations":
    // "\Program Files\ including subdirectories", "\Windows\system32\" and "\Program Files
    // (x86)\ including subdirectories for 64-bit versions of Windows" (learn.microsoft.com/
    // windows/security/threat-protection/security-policy-settings/user-account-control-only-
    // elevate-uiaccess-applications-that-are-installed-in-secure-locations).
    if (const std::optional<std::wstring> open = OpenToOthers(*kit)) {
        Say(L"refused: " + *open + L". The kit's programs run elevated, so only administrators " +
            L"and SYSTEM may be able to change them: unpack the kit into a new folder under " +
            EnvironmentVariable(L"ProgramFiles") + L". Nothing was changed.");
        return kSaveOrRestoreFailed;
    }
    g_shared.snapshot = g_shared.stateFolder + L"\\snapshot.txt";
    const std::optional<RunOwner> self = LiveProcess(GetCurrentProcessId());
    if (!self) {
        Say(L"cannot read this process's own start time. Nothing was changed.");
        return kSaveOrRestoreFailed;
    }
    const int locked = LockCommand(g_shared.stateFolder, *self, problems);
    PrintProblems(problems);
    if (locked == kBusy) {
        Say(L"another run is under way; wait for it to end. Nothing was changed.");
        return kBusy;
    }
    if (locked != kOk) {
        Say(L"could not take the run's lock in " + g_shared.stateFolder +
            L"; nothing was changed.");
        return kSaveOrRestoreFailed;
    }
    // Closing the window leaves the handler a few seconds for the whole restore.
    Say(L"to stop the run, press Ctrl+C and let it put the machine back; do not close this "
        L"window.");
    const int code = restoreLeftover ? RestoreLeftover(g_shared.snapshot) : Run(*kit);
    problems.clear();
    // A snapshot that could not be restored keeps the folder for the next start.
    UnlockCommand(g_shared.stateFolder, *self, problems);
    PrintProblems(problems);
    return code;
}

}  // namespace mf::kit
