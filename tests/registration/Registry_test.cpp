#include "registration/Registry.h"

#include <gtest/gtest.h>

#include "support/messages.h"

#include "support/store_fixture.h"

namespace mf {
namespace {

using testing::MessageOf;

using Kind = SubstituteStore::CallKind;

class RegistryTest : public testing::StoreTest {
  protected:
    RegistryTest() { registry.SetRootKey(kHkeyClassesRoot); }

    const SubstituteStore::Call& LastCall(Kind kind) const {
        for (auto it = store.Calls().rbegin(); it != store.Calls().rend(); ++it) {
            if (it->kind == kind) {
                return *it;
            }
        }
        throw std::logic_error("no such call");
    }

    TRegistry registry;
};

TEST(TRegistryCreate, StartsOnCurrentUserWithAllAccessAndNoKey) {
    SubstituteStore store;
    ScopedRegistryOverride use(store);
    TRegistry registry;
    EXPECT_EQ(registry.RootKey(), kHkeyCurrentUser);
    EXPECT_EQ(registry.Access(), kKeyAllAccess);
    EXPECT_TRUE(registry.LazyWrite());
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(registry.CurrentPath(), u"");
}

TEST_F(RegistryTest, OpenWithCreateMakesEveryLevel) {
    ASSERT_TRUE(registry.OpenKey(u"A\\B", true));
    EXPECT_TRUE(HasClassesKey(u"A"));
    EXPECT_TRUE(HasClassesKey(u"A\\B"));
    EXPECT_EQ(registry.CurrentPath(), u"A\\B");
    EXPECT_NE(registry.CurrentKey(), 0u);
    EXPECT_EQ(LastCall(Kind::Create).access, kKeyAllAccess);
}

TEST_F(RegistryTest, RelativePathsResolveBelowTheOpenKeyAbsoluteBelowTheRoot) {
    store.AddKey(kHkeyClassesRoot, u"A\\B\\C");
    store.AddKey(kHkeyClassesRoot, u"C");
    ASSERT_TRUE(registry.OpenKey(u"A", false));
    ASSERT_TRUE(registry.OpenKey(u"B", false));
    EXPECT_EQ(registry.CurrentPath(), u"A\\B");
    ASSERT_TRUE(registry.OpenKey(u"\\C", false));
    EXPECT_EQ(registry.CurrentPath(), u"C");
    EXPECT_EQ(LastCall(Kind::Open).path, u"C");
    ASSERT_TRUE(registry.OpenKey(u"\\A\\B\\C", false));
    EXPECT_EQ(registry.CurrentPath(), u"A\\B\\C");
    EXPECT_EQ(store.OpenHandleCount(), 1u);
}

TEST_F(RegistryTest, FailedOpenChangesNothing) {
    store.AddKey(kHkeyClassesRoot, u"A");
    ASSERT_TRUE(registry.OpenKey(u"A", false));
    const RegHandle before = registry.CurrentKey();
    EXPECT_FALSE(registry.OpenKey(u"Missing", false));
    EXPECT_EQ(registry.CurrentKey(), before);
    EXPECT_EQ(registry.CurrentPath(), u"A");
    EXPECT_FALSE(HasClassesKey(u"A\\Missing"));
}

TEST_F(RegistryTest, WriteWithNoKeyOpenRaisesWithTheName) {
    EXPECT_FALSE(registry.OpenKey(u"Missing", false));
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(MessageOf([&] { registry.WriteString(u"", u"x"); }), u"Failed to set data for ''");
    EXPECT_EQ(MessageOf([&] { registry.WriteString(u"Content Type", u"x"); }),
              u"Failed to set data for 'Content Type'");
}

TEST_F(RegistryTest, EmptyKeyOpensASecondHandleWithoutCreating) {
    store.AddKey(kHkeyClassesRoot, u"A");
    ASSERT_TRUE(registry.OpenKey(u"A", false));
    const std::size_t creates = store.Calls().size();
    ASSERT_TRUE(registry.OpenKey(u"", true));
    EXPECT_EQ(store.Calls()[creates].kind, Kind::Open);
    EXPECT_EQ(store.Calls()[creates].path, u"A");
    EXPECT_EQ(store.OpenHandleCount(), 1u);
    registry.WriteString(u"", u"v");
    EXPECT_EQ(Classes(u"A"), u"v");
}

TEST_F(RegistryTest, WriteStringStoresRegSzWithOneTerminatingNul) {
    ASSERT_TRUE(registry.OpenKey(u"K", true));
    registry.WriteString(u"", u"ab");
    registry.WriteString(u"Named", u"");
    const auto value = store.ReadRaw(kHkeyClassesRoot, u"K", u"");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->first, kRegSz);
    EXPECT_EQ(value->second, (std::vector<std::uint8_t>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(store.ReadRaw(kHkeyClassesRoot, u"K", u"named")->second.size(), 2u);
}

TEST_F(RegistryTest, KeyExistsAsksOnlyForReadRightsAndKeepsAccess) {
    store.AddKey(kHkeyClassesRoot, u"Readable");
    store.Deny(kHkeyClassesRoot, u"Unreadable", kKeyQueryValue);
    registry.SetAccess(kKeyAllAccess | kKeyWow64_32Key);

    EXPECT_TRUE(registry.KeyExists(u"Readable"));
    EXPECT_EQ(LastCall(Kind::Open).access, 0x20209u);
    EXPECT_FALSE(registry.KeyExists(u"Unreadable"));
    EXPECT_FALSE(registry.KeyExists(u"Missing"));
    EXPECT_EQ(registry.Access(), kKeyAllAccess | kKeyWow64_32Key);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, KeyExistsIsTrueForAKeyThatRefusesOnlyWrites) {
    store.Deny(kHkeyClassesRoot, u"ReadOnly", kKeySetValue);
    EXPECT_TRUE(registry.KeyExists(u"ReadOnly"));
    EXPECT_FALSE(registry.OpenKey(u"ReadOnly", false));
}

TEST_F(RegistryTest, CreateKeyLeavesTheCurrentKeyAlone) {
    ASSERT_TRUE(registry.OpenKey(u"A", true));
    const RegHandle open = registry.CurrentKey();
    EXPECT_TRUE(registry.CreateKey(u"B\\C"));
    EXPECT_TRUE(HasClassesKey(u"A\\B\\C"));
    EXPECT_TRUE(registry.CreateKey(u"\\Top"));
    EXPECT_TRUE(HasClassesKey(u"Top"));
    EXPECT_EQ(registry.CurrentKey(), open);
    EXPECT_EQ(registry.CurrentPath(), u"A");
    EXPECT_EQ(LastCall(Kind::Create).access, kKeyAllAccess);
    EXPECT_EQ(store.OpenHandleCount(), 1u);
}

TEST_F(RegistryTest, RefusedCreateReportsTheKeyAsPassed) {
    store.Deny(kHkeyClassesRoot, u"", kKeyCreateSubKey);
    EXPECT_EQ(MessageOf([&] { registry.CreateKey(u"\\Sub"); }), u"Failed to create key \\Sub");
    EXPECT_EQ(MessageOf([&] { registry.CreateKey(u"Sub\\Deeper"); }),
              u"Failed to create key Sub\\Deeper");
    // The name goes in as it is: a "%s" or "'" in it is not taken for anything else.
    EXPECT_EQ(MessageOf([&] { registry.CreateKey(u"a%s'b"); }), u"Failed to create key a%s'b");
    EXPECT_FALSE(HasClassesKey(u"Sub"));
    EXPECT_EQ(registry.CurrentKey(), 0u);
}

TEST_F(RegistryTest, RootKeyChangeClosesTheKeySameRootKeepsIt) {
    ASSERT_TRUE(registry.OpenKey(u"A", true));
    registry.SetRootKey(kHkeyClassesRoot);
    EXPECT_NE(registry.CurrentKey(), 0u);
    registry.SetRootKey(kHkeyCurrentUser);
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(registry.CurrentPath(), u"");
    EXPECT_EQ(store.OpenHandleCount(), 0u);
    ASSERT_TRUE(registry.OpenKey(u"A", true));
    EXPECT_TRUE(store.HasKey(kHkeyCurrentUser, u"A"));
}

TEST_F(RegistryTest, CloseFlushesOnlyWhenLazyWritingIsOff) {
    ASSERT_TRUE(registry.OpenKey(u"A", true));
    registry.CloseKey();
    registry.CloseKey();  // nothing open: nothing happens
    const auto flushes = [&] {
        return std::count_if(store.Calls().begin(), store.Calls().end(),
                             [](const auto& call) { return call.kind == Kind::Flush; });
    };
    EXPECT_EQ(flushes(), 0);
    registry.SetLazyWrite(false);
    ASSERT_TRUE(registry.OpenKey(u"A", true));
    registry.CloseKey();
    EXPECT_EQ(flushes(), 1);
}

TEST_F(RegistryTest, OpenUsesTheConfiguredAccessCreateKeyAlwaysAllAccess) {
    store.AddKey(kHkeyClassesRoot, u"A");
    registry.SetAccess(kKeyRead);
    ASSERT_TRUE(registry.OpenKey(u"A", false));
    EXPECT_EQ(LastCall(Kind::Open).access, kKeyRead);
    EXPECT_EQ(MessageOf([&] { registry.WriteString(u"", u"x"); }), u"Failed to set data for ''");
    // CreateKey ignores Access: a read-only object still creates with every right.
    EXPECT_TRUE(registry.CreateKey(u"B"));
    EXPECT_EQ(LastCall(Kind::Create).access, kKeyAllAccess);
}

TEST_F(RegistryTest, DestructionClosesTheCurrentKey) {
    {
        TRegistry scoped;
        ASSERT_TRUE(scoped.OpenKey(u"A", true));
        EXPECT_EQ(store.OpenHandleCount(), 1u);
    }
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace mf
