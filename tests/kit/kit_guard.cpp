// kit_guard: runs the Windows suites on a machine that is kept, and puts back what they
// change in the classes hive.
//
//   kit_guard run                the whole run: save, the suites, restore (run-tests.cmd)
//   kit_guard run /limit:SECONDS the same, each suite ended after SECONDS (1 to 86400;
//                                1800 without it)
//   kit_guard run /restore       put back a cut-off run's snapshot, and stop
//   kit_guard save SNAPSHOT      record the keys the suites touch; refuses if SNAPSHOT exists
//   kit_guard restore SNAPSHOT   put them back, then delete SNAPSHOT (kept when anything failed)
//   kit_guard dump OUT           the keys it guards with their security, as stable text; one
//                                absent, or deleted while it is read, shows as absent
//   kit_guard dump /all OUT      every key of both classes halves, the same way
//   kit_guard scope              the keys it guards, one a line (HKLM\Software\Classes\.mp3)
//   kit_guard probe              which rows of docs/assumptions.md hold here: first
//                                "rows: A12 A15 ...", then for each row one line
//                                "ID | OBSERVATION | VERDICT" with VERDICT "holds", "does not
//                                hold" or "could not look: WHY", and " | Wine: NOTE" after it
//                                where Wine is known to differ; always exits with 0
//
// Exit codes of run: 0 all passed and restored (with /restore: all put back), 1 a suite failed
// or the run was stopped, 2 not elevated or wrong arguments, 3 saving or restoring failed, or
// others than administrators may change the kit, 4 another run is under way, 5 a cut-off
// run's snapshot is there (nothing changed). Of the others: 0 done, 1 failed, 2 refused with
// nothing changed, 4 a run is under way (save and restore take its lock). restore refuses a
// snapshot that anyone but an administrator or SYSTEM may have written, or that names keys
// the kit does not guard or a folder other than the stand-in player's, or that was saved by
// another user (whose HKEY_CURRENT_USER it holds).
#include <windows.h>

#include <string>

#include "kit/run.h"
#include "kit/commands.h"
#include "kit/dump.h"
#include "kit/probe.h"
#include "kit/snapshot.h"

namespace {

int Usage() {
    mf::kit::PrintLine(STD_ERROR_HANDLE,
                       L"usage: kit_guard run [/restore | /limit:SECONDS] | save SNAPSHOT | "
                       L"restore SNAPSHOT | dump [/all] OUT | scope | probe");
    return mf::kit::kRefused;
}

// "/limit:SECONDS", from 1 second to a day; 0 for anything else.
DWORD SuiteLimit(const std::wstring& argument) {
    if (argument.size() <= 7 || argument.size() > 12 ||
        CompareStringOrdinal(argument.c_str(), 7, L"/limit:", 7, TRUE) != CSTR_EQUAL ||
        argument.find_first_not_of(L"0123456789", 7) != std::wstring::npos) {
        return 0;
    }
    const DWORD seconds = std::stoul(argument.substr(7));
    return seconds <= 86400 ? seconds : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    if (command == L"run" && argc <= 3) {
        const bool restore =
            argc == 3 && CompareStringOrdinal(argv[2], -1, L"/restore", -1, TRUE) == CSTR_EQUAL;
        const DWORD limit =
            argc == 3 && !restore ? SuiteLimit(argv[2]) : mf::kit::kSuiteLimitSeconds;
        if (limit == 0) {
            return Usage();
        }
        return mf::kit::RunCommand(restore, limit);
    }
    if (command == L"probe" && argc == 2) {
        return mf::kit::ProbeCommand(
            [](const std::wstring& line) { mf::kit::PrintLine(STD_OUTPUT_HANDLE, line); });
    }
    if (command == L"scope" && argc == 2) {
        for (const std::wstring& key : mf::kit::KitScope().keys) {
            mf::kit::PrintLine(STD_OUTPUT_HANDLE, key);
        }
        return mf::kit::kOk;
    }
    const bool whole = command == L"dump" && argc == 4 &&
                       CompareStringOrdinal(argv[2], -1, L"/all", -1, TRUE) == CSTR_EQUAL;
    // An option in place of OUT (a misspelt /all, or /all without OUT) is no file name.
    if ((argc != 3 && !whole) || (command == L"dump" && argv[argc - 1][0] == L'/')) {
        return Usage();
    }
    mf::kit::Problems problems;
    int code = mf::kit::kRefused;
    // Never while a run saves, runs suites or restores.
    if (command == L"save") {
        code = mf::kit::UnderTheRunLock(
            [&] { return mf::kit::SaveCommand(argv[2], mf::kit::KitScope(), problems); }, problems);
    } else if (command == L"restore") {
        code = mf::kit::UnderTheRunLock([&] { return mf::kit::RestoreCommand(argv[2], problems); },
                                        problems);
    } else if (command == L"dump") {
        code = mf::kit::DumpCommand(argv[argc - 1], whole, problems);
    } else {
        return Usage();
    }
    for (const std::wstring& problem : problems) {
        mf::kit::PrintLine(STD_ERROR_HANDLE, L"kit_guard " + command + L": " + problem);
    }
    return code;
}
