// The one shell call this tool makes: "file associations changed". On Windows it is
// SHChangeNotify; elsewhere a recorder counts the notices so tests can read them.
#pragma once

namespace mf {

class ShellNotifier {
  public:
    virtual ~ShellNotifier() = default;
    virtual void AssociationsChanged() = 0;
};

ShellNotifier& PlatformShellNotifier();
ShellNotifier& ActiveShellNotifier();

class ScopedShellNotifierOverride {
  public:
    explicit ScopedShellNotifierOverride(ShellNotifier& replacement);
    ~ScopedShellNotifierOverride();
    ScopedShellNotifierOverride(const ScopedShellNotifierOverride&) = delete;
    ScopedShellNotifierOverride& operator=(const ScopedShellNotifierOverride&) = delete;

  private:
    ShellNotifier* previous_;
};

// Counts notices; the native build's default and a test double everywhere.
class NoticeRecorder final : public ShellNotifier {
  public:
    void AssociationsChanged() override { ++count_; }
    int Count() const { return count_; }

  private:
    int count_ = 0;
};

}  // namespace mf
