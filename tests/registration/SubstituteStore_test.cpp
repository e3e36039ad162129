#include "platform/substitute/SubstituteStore.h"

#include <gtest/gtest.h>

namespace mf {
namespace {

RegStatus Open(SubstituteStore& store, RegHandle base, const char16_t* path, RegSam access,
               RegHandle* handle) {
    return store.OpenKeyEx(base, path, 0, access, handle);
}

RegStatus Create(SubstituteStore& store, RegHandle base, const char16_t* path, RegHandle* handle) {
    std::uint32_t disposition = 0;
    return store.CreateKeyEx(base, path, 0, kKeyAllAccess, handle, &disposition);
}

TEST(SubstituteStore, NamesAreCaseInsensitiveAndCasePreserving) {
    SubstituteStore store;
    RegHandle handle = 0;
    ASSERT_EQ(Create(store, kHkeyClassesRoot, u"Directory\\Shell", &handle), kErrorSuccess);
    store.CloseKey(handle);
    ASSERT_EQ(Create(store, kHkeyClassesRoot, u"DIRECTORY\\shell\\\u00c9t\u00e9", &handle),
              kErrorSuccess);
    store.CloseKey(handle);
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u""), (std::vector<Text>{u"Directory"}));
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u"directory"), (std::vector<Text>{u"Shell"}));
    EXPECT_TRUE(store.HasKey(kHkeyClassesRoot, u"directory\\SHELL\\\u00e9T\u00c9"));
    // Each folding range, found under its other case.
    store.AddKey(kHkeyClassesRoot, u"a\u00ff\u0101\u013a\u03b1\u0431\u0451");
    EXPECT_TRUE(store.HasKey(kHkeyClassesRoot, u"A\u0178\u0100\u0139\u0391\u0411\u0401"));
    EXPECT_FALSE(store.HasKey(kHkeyClassesRoot, u"A\u0178\u0100\u0139\u0391\u0411\u0402"));
}

TEST(SubstituteStore, HivesAreKeptApart) {
    SubstituteStore store;
    store.PutString(kHkeyCurrentUser, u"Software\\X", u"", u"user");
    RegHandle handle = 0;
    EXPECT_EQ(Open(store, kHkeyClassesRoot, u"Software\\X", kKeyRead, &handle), kErrorFileNotFound);
    EXPECT_EQ(store.ReadString(kHkeyCurrentUser, u"software\\x", u""), u"user");
}

TEST(SubstituteStore, PathAndHandleErrorsMatchTheRegistry) {
    SubstituteStore store;
    RegHandle handle = 0;
    EXPECT_EQ(Open(store, 0x1234, u"A", kKeyRead, &handle), kErrorInvalidHandle);
    EXPECT_EQ(Create(store, kHkeyClassesRoot, u"\\A", &handle), kErrorBadPathname);
    EXPECT_EQ(Create(store, kHkeyClassesRoot, u"A\\\\B", &handle), kErrorBadPathname);
    EXPECT_FALSE(store.HasKey(kHkeyClassesRoot, u"A"));
    ASSERT_EQ(Create(store, kHkeyClassesRoot, u"A\\", &handle), kErrorSuccess);
    EXPECT_EQ(store.CloseKey(handle), kErrorSuccess);
    EXPECT_EQ(store.CloseKey(handle), kErrorInvalidHandle);
    const std::uint8_t data[2] = {0, 0};
    EXPECT_EQ(store.SetValueEx(0, u"", kRegSz, data, 2), kErrorInvalidHandle);
}

TEST(SubstituteStore, DenialsActLikeAccessControlEntries) {
    SubstituteStore store;
    store.AddKey(kHkeyClassesRoot, u"K\\Existing");
    store.Deny(kHkeyClassesRoot, u"K", kKeyCreateSubKey);
    RegHandle handle = 0;
    // Opening for all access asks for the denied right; reading does not.
    EXPECT_EQ(Open(store, kHkeyClassesRoot, u"K", kKeyAllAccess, &handle), kErrorAccessDenied);
    ASSERT_EQ(Open(store, kHkeyClassesRoot, u"K", kKeyRead, &handle), kErrorSuccess);
    // A read-only handle cannot take values; K's own deny entry, not the handle's rights,
    // refuses the new subkey, so below Existing, which has none, one is made.
    const std::uint8_t data[2] = {0, 0};
    EXPECT_EQ(store.SetValueEx(handle, u"", kRegSz, data, 2), kErrorAccessDenied);
    RegHandle child = 0;
    EXPECT_EQ(Create(store, handle, u"New", &child), kErrorAccessDenied);
    EXPECT_EQ(Create(store, handle, u"Existing", &child), kErrorSuccess);
    store.CloseKey(child);
    store.CloseKey(handle);
    ASSERT_EQ(Open(store, kHkeyClassesRoot, u"K\\Existing", kKeyRead, &handle), kErrorSuccess);
    EXPECT_EQ(Create(store, handle, u"New", &child), kErrorSuccess);
    store.CloseKey(child);
    store.CloseKey(handle);
    // A deeper path through K cannot add K's new child either.
    EXPECT_EQ(Create(store, kHkeyClassesRoot, u"K\\New\\Deeper", &handle), kErrorAccessDenied);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST(SubstituteStore, OnlyVolatileKeysGoBelowAVolatileKey) {
    SubstituteStore store;
    store.AddKey(kHkeyCurrentUser, u"Stable");
    const auto create = [&store](const char16_t* path, std::uint32_t options) {
        RegHandle handle = 0;
        const RegStatus status =
            store.CreateKeyEx(kHkeyCurrentUser, path, options, kKeyAllAccess, &handle, nullptr);
        if (status == kErrorSuccess) {
            store.CloseKey(handle);
        }
        return status;
    };
    // The option reaches every key the call makes; a key that exists keeps what it was.
    EXPECT_EQ(create(u"Stable\\V\\W", SubstituteStore::kOptionVolatile), kErrorSuccess);
    EXPECT_EQ(create(u"Stable\\V", 0), kErrorSuccess);
    EXPECT_EQ(create(u"Stable\\V\\N\\Deeper", 0), SubstituteStore::kErrorChildMustBeVolatile);
    EXPECT_FALSE(store.IsVolatile(kHkeyCurrentUser, u"Stable"));
    EXPECT_TRUE(store.IsVolatile(kHkeyCurrentUser, u"Stable\\V"));
    EXPECT_EQ(store.Export(kHkeyCurrentUser),
              "[]\n[Stable]\n[Stable\\V] volatile\n[Stable\\V\\W] volatile\n");
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST(SubstituteStore, RefusedCallChangesNothingAndIsLogged) {
    SubstituteStore store;
    store.RefuseCall(1);
    RegHandle handle = 0;
    ASSERT_EQ(Create(store, kHkeyClassesRoot, u"A", &handle), kErrorSuccess);
    const std::uint8_t data[4] = {'x', 0, 0, 0};
    EXPECT_EQ(store.SetValueEx(handle, u"", kRegSz, data, 4), kErrorAccessDenied);
    EXPECT_EQ(store.SetValueEx(handle, u"", kRegSz, data, 4), kErrorSuccess);
    store.CloseKey(handle);
    ASSERT_EQ(store.Calls().size(), 4u);
    EXPECT_EQ(store.Calls()[1].status, kErrorAccessDenied);
    EXPECT_EQ(store.Calls()[1].path, u"A");
    EXPECT_EQ(store.ReadString(kHkeyClassesRoot, u"A", u""), u"x");
}

}  // namespace
}  // namespace mf
