#include "kit/job.h"

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

}  // namespace mf::kit
