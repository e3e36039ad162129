#include "registration/RegistryTools.h"

#include <gtest/gtest.h>

#include <ostream>

#include "support/messages.h"

#include "registration/Registry.h"
#include "support/store_fixture.h"

namespace mf {
namespace {

using testing::MessageOf;

class RegistryToolsTest : public testing::StoreTest {
  protected:
    RegistryToolsTest() { store.AddKey(kHkeyClassesRoot, u"Directory\\shell\\open"); }

    void RegisterMp3(const Text& exePath = u"C:\\P\\player.exe", int iconIndex = 0) {
        RegisterFileType(u".mp3", u"Marblefinch.mp3", u"", exePath, iconIndex, true);
    }
};

TEST_F(RegistryToolsTest, FileTypeWritesExactlyTheFiveEntries) {
    const std::string before = store.Export(kHkeyClassesRoot);
    RegisterMp3();
    EXPECT_EQ(Classes(u".mp3"), u"Marblefinch.mp3");
    EXPECT_EQ(Classes(u"Marblefinch.mp3"), u"");  // written empty, not left absent
    EXPECT_EQ(Classes(u"Marblefinch.mp3\\DefaultIcon"), u"C:\\P\\player.exe,0");
    EXPECT_EQ(Classes(u"Marblefinch.mp3\\Shell\\Open"), u"&Open");
    EXPECT_EQ(Classes(u"Marblefinch.mp3\\Shell\\Open\\Command"), u"\"C:\\P\\player.exe\" \"%1\"");
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u""),
              (std::vector<Text>{u".mp3", u"Directory", u"Marblefinch.mp3"}));
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u"Marblefinch.mp3"),
              (std::vector<Text>{u"DefaultIcon", u"Shell"}));
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u"Marblefinch.mp3\\Shell\\Open"),
              (std::vector<Text>{u"Command"}));
    for (const TextView key : {u".mp3", u"Marblefinch.mp3", u"Marblefinch.mp3\\Shell\\Open"}) {
        EXPECT_EQ(store.ValueNames(kHkeyClassesRoot, key), (std::vector<Text>{u""})) << ToUtf8(key);
    }
    EXPECT_EQ(notices.Count(), 1);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
    EXPECT_NE(before, store.Export(kHkeyClassesRoot));
}

TEST_F(RegistryToolsTest, RepeatedRunsLeaveTheSameRegistry) {
    RegisterMp3();
    RegisterFolderVerb(u"C:\\P\\player.exe", u"Play");
    const std::string first = store.Export(kHkeyClassesRoot);
    RegisterMp3();
    RegisterFolderVerb(u"C:\\P\\player.exe", u"Play");
    EXPECT_EQ(store.Export(kHkeyClassesRoot), first);
    EXPECT_EQ(notices.Count(), 2);
}

struct PathCase {
    const char* name;
    const char16_t* exePath;
    int iconIndex;
    const char16_t* icon;
    const char16_t* command;
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const PathCase& c, std::ostream* out) {
    *out << c.name;
}

class ExePathForms : public RegistryToolsTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ExePathForms, AreWrittenUnchanged) {
    const PathCase& c = GetParam();
    RegisterMp3(c.exePath, c.iconIndex);
    RegisterFolderVerb(c.exePath, u"");
    EXPECT_EQ(Classes(u"Marblefinch.mp3\\DefaultIcon"), Text(c.icon));
    EXPECT_EQ(Classes(u"Marblefinch.mp3\\Shell\\Open\\Command"), Text(c.command));
    EXPECT_EQ(Classes(u"Directory\\shell\\Marblefinch.Play\\command"), Text(c.command));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExePathForms,
    ::testing::Values(PathCase{"spaces", u"C:\\Program Files\\P\\player.exe", 0,
                               u"C:\\Program Files\\P\\player.exe,0",
                               u"\"C:\\Program Files\\P\\player.exe\" \"%1\""},
                      PathCase{"empty", u"", 0, u",0", u"\"\" \"%1\""},
                      PathCase{"negative_icon", u"C:\\P\\player.exe", -3, u"C:\\P\\player.exe,-3",
                               u"\"C:\\P\\player.exe\" \"%1\""},
                      PathCase{"non_ascii", u"C:\\M\u00fcsik\\\u64ad\u653e.exe", 12,
                               u"C:\\M\u00fcsik\\\u64ad\u653e.exe,12",
                               u"\"C:\\M\u00fcsik\\\u64ad\u653e.exe\" \"%1\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryToolsTest, DescriptionAndNoNotice) {
    RegisterFileType(u".ogg", u"Marblefinch.ogg", u"Ogg audio", u"p.exe", 1, false);
    EXPECT_EQ(Classes(u"Marblefinch.ogg"), u"Ogg audio");
    EXPECT_EQ(notices.Count(), 0);
}

// Each step of a file type refused in turn: what came before stays, nothing after is
// written, the error names the default value and no notice goes out.
struct StepCase {
    const char* name;
    const char16_t* deniedKey;
    RegSam denied;
    int entriesBefore;
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const StepCase& c, std::ostream* out) {
    *out << c.name;
}

class FileTypeStepRefused : public RegistryToolsTest,
                            public ::testing::WithParamInterface<StepCase> {};

TEST_P(FileTypeStepRefused, KeepsEarlierEntriesAndStops) {
    const StepCase& c = GetParam();
    store.Deny(kHkeyClassesRoot, c.deniedKey, c.denied);
    EXPECT_EQ(MessageOf([&] { RegisterMp3(); }), u"Failed to set data for ''");
    const std::vector<std::pair<Text, Text>> entries = {
        {u".mp3", u"Marblefinch.mp3"},
        {u"Marblefinch.mp3", u""},
        {u"Marblefinch.mp3\\DefaultIcon", u"C:\\P\\player.exe,0"},
        {u"Marblefinch.mp3\\Shell\\Open", u"&Open"},
        {u"Marblefinch.mp3\\Shell\\Open\\Command", u"\"C:\\P\\player.exe\" \"%1\""},
    };
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
        const auto value = Classes(entries[i].first);
        if (i < c.entriesBefore) {
            EXPECT_EQ(value, entries[i].second) << ToUtf8(entries[i].first);
        } else {
            EXPECT_FALSE(value.has_value()) << ToUtf8(entries[i].first);
        }
    }
    EXPECT_EQ(notices.Count(), 0);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FileTypeStepRefused,
    ::testing::Values(StepCase{"extension_write", u".mp3", kKeySetValue, 0},
                      StepCase{"extension_create", u"", kKeyCreateSubKey, 0},
                      StepCase{"progid_write", u"Marblefinch.mp3", kKeySetValue, 1},
                      StepCase{"icon_create", u"Marblefinch.mp3", kKeyCreateSubKey, 1},
                      StepCase{"icon_write", u"Marblefinch.mp3\\DefaultIcon", kKeySetValue, 2},
                      StepCase{"open_write", u"Marblefinch.mp3\\Shell\\Open", kKeySetValue, 3},
                      StepCase{"command_write", u"Marblefinch.mp3\\Shell\\Open\\Command",
                               kKeySetValue, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryToolsTest, WriteRefusedAfterASuccessfulOpenAlsoStops) {
    store.RefuseCall(1);  // the first value write, its key already open
    EXPECT_EQ(MessageOf([&] { RegisterMp3(); }), u"Failed to set data for ''");
    EXPECT_TRUE(HasClassesKey(u".mp3"));
    EXPECT_FALSE(HasClassesKey(u"Marblefinch.mp3"));
    EXPECT_EQ(notices.Count(), 0);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST_F(RegistryToolsTest, FolderVerbWritesCaptionAndCommandWithoutNotice) {
    RegisterFolderVerb(u"C:\\P\\player.exe", u"Play with Marblefinch");
    EXPECT_EQ(Classes(u"Directory\\shell\\Marblefinch.Play"), u"Play with Marblefinch");
    EXPECT_EQ(Classes(u"Directory\\shell\\Marblefinch.Play\\command"),
              u"\"C:\\P\\player.exe\" \"%1\"");
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u"Directory\\shell"),
              (std::vector<Text>{u"Marblefinch.Play", u"open"}));
    EXPECT_EQ(store.SubKeyNames(kHkeyClassesRoot, u"Directory\\shell\\Marblefinch.Play"),
              (std::vector<Text>{u"command"}));
    EXPECT_EQ(notices.Count(), 0);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST_F(RegistryToolsTest, FolderVerbLandsInsideADifferentlySpeltShellKey) {
    SubstituteStore other;
    ScopedRegistryOverride use(other);
    other.AddKey(kHkeyClassesRoot, u"Directory\\Shell\\find");
    RegisterFolderVerb(u"p.exe", u"Play");
    EXPECT_EQ(other.SubKeyNames(kHkeyClassesRoot, u"Directory"), (std::vector<Text>{u"Shell"}));
    EXPECT_EQ(other.SubKeyNames(kHkeyClassesRoot, u"Directory\\Shell"),
              (std::vector<Text>{u"find", u"Marblefinch.Play"}));
}

struct VerbFailure {
    const char* name;
    const char16_t* existingKey;  // made before the run, or nullptr
    const char16_t* deniedKey;
    RegSam denied;
    const char16_t* message;
    bool captionWritten;
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const VerbFailure& c, std::ostream* out) {
    *out << c.name;
}

class FolderVerbRefused : public ::testing::TestWithParam<VerbFailure> {};

TEST_P(FolderVerbRefused, RaisesAndWritesNothingFurther) {
    const VerbFailure& c = GetParam();
    SubstituteStore store;
    ScopedRegistryOverride use(store);
    store.AddKey(kHkeyClassesRoot, u"Directory\\shell");
    if (c.existingKey != nullptr) {
        store.AddKey(kHkeyClassesRoot, c.existingKey);
    }
    if (c.deniedKey != nullptr) {
        store.Deny(kHkeyClassesRoot, c.deniedKey, c.denied);
    }
    Text message = u"<no error>";
    try {
        RegisterFolderVerb(u"p.exe", u"Play");
    } catch (const ERegistryException& e) {
        message = e.Message();
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(
        store.ReadString(kHkeyClassesRoot, u"Directory\\shell\\Marblefinch.Play", u"").has_value(),
        c.captionWritten);
    EXPECT_FALSE(
        store.ReadString(kHkeyClassesRoot, u"Directory\\shell\\Marblefinch.Play\\command", u"")
            .has_value());
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FolderVerbRefused,
    ::testing::Values(VerbFailure{"shell_key_refuses_opening", nullptr, u"Directory\\shell",
                                  kKeyCreateSubKey, u"Failed to set data for ''", false},
                      VerbFailure{"verb_key_unreadable", u"Directory\\shell\\Marblefinch.Play",
                                  u"Directory\\shell\\Marblefinch.Play", kKeyQueryValue,
                                  u"Failed to create key Marblefinch.Play", false},
                      VerbFailure{"verb_key_refuses_caption", u"Directory\\shell\\Marblefinch.Play",
                                  u"Directory\\shell\\Marblefinch.Play", kKeySetValue,
                                  u"Failed to set data for ''", false},
                      VerbFailure{"command_key_unreadable",
                                  u"Directory\\shell\\Marblefinch.Play\\command",
                                  u"Directory\\shell\\Marblefinch.Play\\command", kKeyQueryValue,
                                  u"Failed to create key command", true},
                      VerbFailure{"command_key_refuses_write",
                                  u"Directory\\shell\\Marblefinch.Play\\command",
                                  u"Directory\\shell\\Marblefinch.Play\\command", kKeySetValue,
                                  u"Failed to set data for ''", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FolderVerbWithoutShellKey, RaisesAndCreatesNothing) {
    SubstituteStore store;
    ScopedRegistryOverride use(store);
    try {
        RegisterFolderVerb(u"p.exe", u"Play");
        FAIL() << "expected an error";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), u"Failed to set data for ''");
    }
    EXPECT_EQ(store.Export(kHkeyClassesRoot), "[]\n");
}

}  // namespace
}  // namespace mf
