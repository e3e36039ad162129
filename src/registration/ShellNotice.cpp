#include "registration/ShellNotice.h"

namespace mf {

namespace {
ShellNotifier* g_override = nullptr;
}

ShellNotifier& ActiveShellNotifier() {
    return g_override != nullptr ? *g_override : PlatformShellNotifier();
}

ScopedShellNotifierOverride::ScopedShellNotifierOverride(ShellNotifier& replacement)
    : previous_(g_override) {
    g_override = &replacement;
}

ScopedShellNotifierOverride::~ScopedShellNotifierOverride() {
    g_override = previous_;
}

}  // namespace mf
