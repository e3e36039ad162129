#include "registration/Registry.h"

#include <cstdint>

namespace mf {

namespace {

constexpr char16_t kCreateKeyFailed[] = u"Failed to create key %s";
constexpr char16_t kSetDataFailed[] = u"Failed to set data for '%s'";
// Read rights for an existence test; the WOW64 view bits of Access are kept.
constexpr RegSam kExistenceTestAccess = kStandardRightsRead | kKeyEnumerateSubKeys | kKeyQueryValue;

// Puts Access back however the scope is left.
class AccessRestorer {
  public:
    AccessRestorer(TRegistry& registry) : registry_(registry), saved_(registry.Access()) {}
    ~AccessRestorer() { registry_.SetAccess(saved_); }
    AccessRestorer(const AccessRestorer&) = delete;
    AccessRestorer& operator=(const AccessRestorer&) = delete;

  private:
    TRegistry& registry_;
    RegSam saved_;
};

}  // namespace

TRegistry::TRegistry()
    : FFunctions(ActiveRegistry()), FRootKey(kHkeyCurrentUser), FAccess(kKeyAllAccess) {}

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(RegHandle value) {
    if (value != FRootKey) {
        FRootKey = value;
        CloseKey();
    }
}

TRegistry::ResolvedKey TRegistry::Resolve(const Text& Key) const {
    const bool absolute = !Key.empty() && Key.front() == u'\\';
    Text path = absolute ? Key.substr(1) : Key;
    const bool belowCurrent = !absolute && FCurrentKey;
    return {belowCurrent ? FCurrentKey.get() : FRootKey, std::move(path), belowCurrent};
}

bool TRegistry::OpenKey(const Text& Key, bool CanCreate) {
    ResolvedKey resolved = Resolve(Key);
    RegHandle handle = 0;
    RegStatus status;
    if (CanCreate && !resolved.path.empty()) {
        std::uint32_t disposition = 0;
        status = FFunctions.CreateKeyEx(resolved.base, resolved.path.c_str(), kRegOptionNonVolatile,
                                        FAccess, &handle, &disposition);
    } else {
        status = FFunctions.OpenKeyEx(resolved.base, resolved.path.c_str(), 0, FAccess, &handle);
    }
    if (status != kErrorSuccess) {
        return false;
    }
    UniqueRegKey opened(FFunctions, handle);
    Text newPath =
        resolved.belowCurrent ? FCurrentPath + u'\\' + resolved.path : std::move(resolved.path);
    CloseKey();
    FCurrentKey = std::move(opened);
    FCurrentPath = std::move(newPath);
    return true;
}

bool TRegistry::KeyExists(const Text& Key) {
    AccessRestorer restore(*this);
    FAccess = (FAccess & kKeyWow64Res) | kExistenceTestAccess;
    const ResolvedKey resolved = Resolve(Key);
    RegHandle handle = 0;
    const RegStatus status =
        FFunctions.OpenKeyEx(resolved.base, resolved.path.c_str(), 0, FAccess, &handle);
    const UniqueRegKey opened(FFunctions, status == kErrorSuccess ? handle : 0);
    return static_cast<bool>(opened);
}

bool TRegistry::CreateKey(const Text& Key) {
    const ResolvedKey resolved = Resolve(Key);
    RegHandle handle = 0;
    std::uint32_t disposition = 0;
    const RegStatus status =
        FFunctions.CreateKeyEx(resolved.base, resolved.path.c_str(), kRegOptionNonVolatile,
                               kKeyAllAccess, &handle, &disposition);
    if (status != kErrorSuccess) {
        throw ERegistryException(FormatText(kCreateKeyFailed, Key));
    }
    const UniqueRegKey created(FFunctions, handle);
    return true;
}

void TRegistry::WriteString(const Text& Name, const Text& Value) {
    // REG_SZ carries its terminating NUL: (length + 1) UTF-16 units.
    const auto size = static_cast<std::uint32_t>((Value.size() + 1) * sizeof(char16_t));
    const RegStatus status =
        FFunctions.SetValueEx(FCurrentKey.get(), Name.c_str(), kRegSz,
                              reinterpret_cast<const std::uint8_t*>(Value.c_str()), size);
    if (status != kErrorSuccess) {
        throw ERegistryException(FormatText(kSetDataFailed, Name));
    }
}

void TRegistry::CloseKey() {
    if (!FCurrentKey) {
        return;
    }
    if (!FLazyWrite) {
        FFunctions.FlushKey(FCurrentKey.get());
    }
    FCurrentKey.reset();
    FCurrentPath.clear();
}

}  // namespace mf
