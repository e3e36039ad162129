// Job objects that bound what the kit starts: whatever a child starts joins its job.
#pragma once

#include <windows.h>

#include "platform/win32/WinHandles.h"

namespace mf::kit {

// A job that ends its processes when its last handle closes; none when it cannot be made.
win32::UniqueKernelHandle NewJob();
// Ends what runs in `job` and waits up to `milliseconds` for it to be gone.
void EndAndWait(HANDLE job, UINT code, DWORD milliseconds);

}  // namespace mf::kit
