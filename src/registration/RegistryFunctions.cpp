#include "registration/RegistryFunctions.h"

namespace mf {

namespace {
RegistryFunctions* g_override = nullptr;
}

RegistryFunctions& ActiveRegistry() {
    return g_override != nullptr ? *g_override : PlatformRegistry();
}

ScopedRegistryOverride::ScopedRegistryOverride(RegistryFunctions& replacement)
    : previous_(g_override) {
    g_override = &replacement;
}

ScopedRegistryOverride::~ScopedRegistryOverride() {
    g_override = previous_;
}

}  // namespace mf
