#include <windows.h>
#include <shlobj.h>

#include "registration/ShellNotice.h"

namespace mf {

namespace {

class Win32ShellNotifier final : public ShellNotifier {
  public:
    void AssociationsChanged() override {
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
};

}  // namespace

ShellNotifier& PlatformShellNotifier() {
    static Win32ShellNotifier notifier;
    return notifier;
}

}  // namespace mf
