// A fresh substitute registry and notice recorder in place of the platform's for each test.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "platform/substitute/SubstituteStore.h"
#include "registration/RegistryFunctions.h"
#include "registration/ShellNotice.h"

namespace mf::testing {

class StoreTest : public ::testing::Test {
  protected:
    std::optional<Text> Classes(TextView path, TextView name = u"") const {
        return store.ReadString(kHkeyClassesRoot, path, name);
    }
    bool HasClassesKey(TextView path) const { return store.HasKey(kHkeyClassesRoot, path); }

    SubstituteStore store;
    NoticeRecorder notices;

  private:
    ScopedRegistryOverride registryOverride_{store};
    ScopedShellNotifierOverride noticeOverride_{notices};
};

}  // namespace mf::testing
