// Job objects that bound what the kit starts: whatever a child starts joins its job.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/win32/WinHandles.h"

namespace mf::kit {

// A job that ends its processes when its last handle closes; none when it cannot be made.
win32::UniqueKernelHandle NewJob();
// Ends what runs in `job` and waits up to `milliseconds` for it to be gone.
void EndAndWait(HANDLE job, UINT code, DWORD milliseconds);
// Starts `exe` with `commandLine` in `folder`, suspended and in `job`; nothing and `why` where
// it cannot, `noJob` where it started but could not be put in a job, and was ended.
std::optional<PROCESS_INFORMATION> StartInJob(const std::wstring& exe, std::wstring commandLine,
                                              const std::wstring& folder, DWORD flags,
                                              STARTUPINFOW& startup, HANDLE job, std::wstring& why,
                                              bool& noJob);

}  // namespace mf::kit
