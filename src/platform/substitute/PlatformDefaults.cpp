// Without advapi32 and the shell, the process-wide registry is a substitute store and the
// shell notices are counted.
#include "platform/substitute/SubstituteStore.h"
#include "registration/ShellNotice.h"

namespace mf {

RegistryFunctions& PlatformRegistry() {
    static SubstituteStore store;
    return store;
}

ShellNotifier& PlatformShellNotifier() {
    static NoticeRecorder recorder;
    return recorder;
}

}  // namespace mf
