// TRegistry: a root hive, at most one open current key, and string writes into it.
// Opens report failure by result; creations and writes raise ERegistryException.
#pragma once

#include "registration/RegistryFunctions.h"
#include "shared/exception.h"
#include "shared/text.h"

namespace mf {

class ERegistryException : public Exception {
  public:
    using Exception::Exception;
};

class TRegistry {
  public:
    // Root HKEY_CURRENT_USER, access KEY_ALL_ACCESS, lazy writing on, no key open.
    TRegistry();
    // Closes the current key.
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    RegHandle CurrentKey() const { return FCurrentKey.get(); }
    RegHandle RootKey() const { return FRootKey; }
    // A different hive closes the current key; the same hive leaves it open.
    void SetRootKey(RegHandle value);
    bool LazyWrite() const { return FLazyWrite; }
    void SetLazyWrite(bool value) { FLazyWrite = value; }
    const Text& CurrentPath() const { return FCurrentPath; }
    RegSam Access() const { return FAccess; }
    void SetAccess(RegSam value) { FAccess = value; }

    // Makes Key the current key; false on any registry failure, with nothing changed.
    bool OpenKey(const Text& Key, bool CanCreate);
    // Whether Key opens for reading; false on any registry failure.
    bool KeyExists(const Text& Key);
    // Creates Key and every missing key along it; the current key is unchanged.
    // True on success, ERegistryException on failure.
    bool CreateKey(const Text& Key);
    // REG_SZ into the current key; an empty Name is the default value.
    void WriteString(const Text& Name, const Text& Value);
    void CloseKey();

  private:
    struct ResolvedKey {
        RegHandle base;
        Text path;
        bool belowCurrent;  // relative to the open key rather than the root
    };
    ResolvedKey Resolve(const Text& Key) const;

    RegistryFunctions& FFunctions;
    UniqueRegKey FCurrentKey;
    RegHandle FRootKey;
    bool FLazyWrite = true;
    Text FCurrentPath;
    RegSam FAccess;
};

}  // namespace mf
