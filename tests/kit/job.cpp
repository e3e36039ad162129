#include "kit/job.h"

#include <string>

namespace mf::kit {

win32::UniqueKernelHandle NewJob() {
    win32::UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof limits)) {
        job.reset();
    }
    return job;
}

// Ending a job is "as if TerminateProcess were called for each process" (TerminateJobObject),
// which "initiates termination and returns immediately" (learn.microsoft.com/windows/win32/api/
// processthreadsapi/nf-processthreadsapi-terminateprocess), and nothing may still write to the
// registry while it is put back.
void EndAndWait(HANDLE job, UINT code, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    TerminateJobObject(job, code);
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr) ||
            accounting.ActiveProcesses == 0 || GetTickCount64() >= deadline) {
            return;
        }
        Sleep(20);
    }
}

// Starts `exe` suspended, with `flags`, and in `job`. Before Windows 8 a process is in one job at
// most
// ("Job Objects", learn.microsoft.com/windows/win32/procthread/job-objects): where this
// program already runs in one, the child must break away from it, which that job may refuse. No
// child runs outside a job of its own: `noJob` says so.
std::optional<PROCESS_INFORMATION> StartInJob(const std::wstring& exe, std::wstring commandLine,
                                              const std::wstring& folder, DWORD flags,
                                              STARTUPINFOW& startup, HANDLE job, std::wstring& why,
                                              bool& noJob) {
    noJob = false;
    for (const DWORD breakaway : {0UL, static_cast<unsigned long>(CREATE_BREAKAWAY_FROM_JOB)}) {
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | flags | breakaway, nullptr, folder.c_str(), &startup,
                            &info)) {
            // The second try fails where the job this program runs in allows no breaking away.
            if (!noJob) {
                why = L"cannot start it (error " + std::to_wstring(GetLastError()) + L")";
            }
            return std::nullopt;
        }
        if (AssignProcessToJobObject(job, info.hProcess)) {
            return info;
        }
        noJob = true;
        why = L"cannot run it in a job of its own (error " + std::to_wstring(GetLastError()) +
              L"), and so not run: a stop could not end what it starts";
        const win32::UniqueKernelHandle process(info.hProcess);
        const win32::UniqueKernelHandle thread(info.hThread);
        TerminateProcess(process.get(), ERROR_CANCELLED);
        WaitForSingleObject(process.get(), INFINITE);
    }
    return std::nullopt;
}

}  // namespace mf::kit
