// The message of the ERegistryException an action raises, or "<no error>".
#pragma once

#include "registration/Registry.h"

namespace mf::testing {

template <typename Action>
Text MessageOf(Action action) {
    try {
        action();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
    return u"<no error>";
}

}  // namespace mf::testing
