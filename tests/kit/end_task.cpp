// Ends every process of the given image name with exit code 1, the code that taskkill /f
// leaves on Windows (assumed: no Microsoft page was found that gives it). Wine's own
// taskkill /f leaves 0, under which the kit check would not see how run-tests.cmd reads a run
// cut off on Windows. For the kit check only; not part of the kit.
// Usage: end_task.exe IMAGE   Exit code: 0 every such process ended, 1 none found or one
// could not be ended, 2 wrong arguments.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>

#include "platform/win32/WinHandles.h"

using mf::win32::UniqueKernelHandle;

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: end_task.exe IMAGE\n", stderr);
        return 2;
    }
    const UniqueKernelHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int ended = 0;
    int failed = 0;
    for (BOOL more = Process32FirstW(processes.get(), &entry); more;
         more = Process32NextW(processes.get(), &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, argv[1], -1, TRUE) != CSTR_EQUAL) {
            continue;
        }
        // TerminateProcess only starts the end: wait for it, so that the caller sees it done.
        const UniqueKernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process && TerminateProcess(process.get(), 1) &&
            WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0) {
            ++ended;
        } else {
            ++failed;
        }
    }
    std::fprintf(stderr, "end_task: %d ended, %d could not be ended\n", ended, failed);
    return ended > 0 && failed == 0 ? 0 : 1;
}
