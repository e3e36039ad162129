// kit_guard: saves what the Windows suites change in the classes hive before they run, and
// puts it back afterwards, so that the suites can run on a Windows machine that is kept.
//
//   kit_guard elevated           0 when elevated and an administrator
//   kit_guard save SNAPSHOT      record the keys the suites touch; refuses if SNAPSHOT exists
//   kit_guard restore SNAPSHOT   put them back, then delete SNAPSHOT (kept when anything failed)
//   kit_guard dump OUT           every key of both classes halves, sorted, as stable text
//   kit_guard lock DIR           one run at a time: DIR\run.lock names the calling command
//                                prompt; 4 while another live prompt holds it, a stale lock
//                                is taken over; makes DIR for administrators and SYSTEM only
//   kit_guard unlock DIR         drops the caller's lock, then DIR if it is empty
//
// Exit codes: 0 done, 1 failed, 2 refused with nothing changed, 4 another run is under way.
// restore refuses a snapshot that anyone but an administrator or SYSTEM may have written, or
// that names keys the kit does not guard or a folder other than the stand-in player's, or that
// was saved by another user (whose HKEY_CURRENT_USER it holds).
#include <windows.h>

#include <optional>
#include <string>

#include "kit/snapshot.h"

namespace {

// To the console as wide text, else as UTF-8 (a redirected stream, or a pipe).
void PrintLine(const std::wstring& text) {
    const HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    const std::wstring line = text + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(stream, &mode)) {
        WriteConsoleW(stream, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int Usage() {
    PrintLine(
        L"usage: kit_guard elevated | save SNAPSHOT | restore SNAPSHOT | dump OUT | lock DIR | "
        L"unlock DIR");
    return mf::kit::kRefused;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    mf::kit::Problems problems;
    int code = mf::kit::kRefused;
    if (command == L"elevated" && argc == 2) {
        code = mf::kit::ElevatedCommand(problems);
    } else if (argc != 3) {
        return Usage();
    } else if (command == L"save") {
        code = mf::kit::SaveCommand(argv[2], mf::kit::KitScope(), problems);
    } else if (command == L"restore") {
        code = mf::kit::RestoreCommand(argv[2], problems);
    } else if (command == L"dump") {
        code = mf::kit::DumpCommand(argv[2], problems);
    } else if (command == L"lock" || command == L"unlock") {
        // The lock names the command prompt running the kit, which outlives each guard call.
        const std::optional<mf::kit::RunOwner> parent = mf::kit::ParentProcess();
        if (!parent) {
            problems.push_back(L"cannot identify the process that started this one");
            code = mf::kit::kFailed;
        } else if (command == L"lock") {
            code = mf::kit::LockCommand(argv[2], *parent, problems);
        } else {
            code = mf::kit::UnlockCommand(argv[2], *parent, problems);
        }
    } else {
        return Usage();
    }
    for (const std::wstring& problem : problems) {
        PrintLine(L"kit_guard " + command + L": " + problem);
    }
    return code;
}
