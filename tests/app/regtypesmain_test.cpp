#include "app/regtypesmain.h"

#include <gtest/gtest.h>

#include <ostream>

#include "app/commandline.h"
#include "registration/Registry.h"
#include "support/store_fixture.h"

namespace mf {
namespace {

// Written out rather than taken from AudioExtensions, so that a slip in that table shows.
const std::vector<Text> kAllTypes = {u".wav", u".mp3", u".ogg", u".flac", u".wma", u".ape",
                                     u".mpc", u".m4a", u".aac", u".m4b",  u".wv",  u".alac",
                                     u".ac3", u".mod", u".mo3", u".mp1",  u".mp2", u".mp4",
                                     u".aif", u".ofr", u".tta", u".cue"};

class DispatchTest : public testing::StoreTest {
  protected:
    DispatchTest() {
        regtypesmain::ResetArguments();
        store.AddKey(kHkeyClassesRoot, u"Directory\\shell\\open");
    }
    ~DispatchTest() override { regtypesmain::ResetArguments(); }

    // As the window's show handler does it, minus the window.
    void Run(TextView commandLine) {
        regtypesmain::CaptureArguments(SplitCommandLine(commandLine));
        regtypesmain::DoRegistration();
    }

    int RegisteredTypes() const {
        int count = 0;
        for (const Text& ext : kAllTypes) {
            count += Classes(ext).has_value() ? 1 : 0;
        }
        return count;
    }
    bool VerbWritten() const { return HasClassesKey(u"Directory\\shell\\Marblefinch.Play"); }
};

struct DispatchCase {
    const char* name;
    const char16_t* commandLine;
    bool types;
    bool verb;
    const char16_t* caption;
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const DispatchCase& c, std::ostream* out) {
    *out << c.name;
}

class DispatchByWord : public DispatchTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchByWord, WritesWhatTheWordAsksFor) {
    const DispatchCase& c = GetParam();
    Run(c.commandLine);
    EXPECT_EQ(RegisteredTypes(), c.types ? 22 : 0);
    EXPECT_EQ(notices.Count(), c.types ? 22 : 0);
    EXPECT_EQ(VerbWritten(), c.verb);
    if (c.verb) {
        EXPECT_EQ(Classes(u"Directory\\shell\\Marblefinch.Play"), Text(c.caption));
        EXPECT_EQ(Classes(u"Directory\\shell\\Marblefinch.Play\\command"),
                  u"\"C:\\P\\player.exe\" \"%1\"");
    }
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Words, DispatchByWord,
    ::testing::Values(
        DispatchCase{"regall", u"t.exe C:\\P\\player.exe regall \"Play with Marblefinch\"", true,
                     true, u"Play with Marblefinch"},
        DispatchCase{"regtype", u"t.exe C:\\P\\player.exe regtype", true, false, u""},
        DispatchCase{"regfolder_without_caption", u"t.exe C:\\P\\player.exe regfolder", false, true,
                     u""},
        DispatchCase{"extra_argument_ignored", u"t.exe C:\\P\\player.exe regfolder cap extra",
                     false, true, u"cap"},
        DispatchCase{"miscased", u"t.exe C:\\P\\player.exe RegAll x", false, false, u""},
        DispatchCase{"slash_prefixed", u"t.exe C:\\P\\player.exe /regall x", false, false, u""},
        DispatchCase{"longer_word", u"t.exe C:\\P\\player.exe regall2 x", false, false, u""},
        DispatchCase{"no_arguments", u"t.exe", false, false, u""},
        DispatchCase{"path_only", u"t.exe C:\\P\\player.exe", false, false, u""},
        DispatchCase{"empty_pair_shifts_arguments", u"t.exe \"\" regall x", false, false, u""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatchTest, CaptureTakesPathWordAndCaptionOnly) {
    regtypesmain::CaptureArguments({u"C:\\Program Files\\P\\player.exe", u"regall", u"Play", u"x"});
    EXPECT_EQ(regtypesmain::ExePath, u"C:\\Program Files\\P\\player.exe");
    EXPECT_EQ(regtypesmain::CommandWord, u"regall");
    EXPECT_EQ(regtypesmain::VerbCaption, u"Play");

    regtypesmain::ResetArguments();
    regtypesmain::CaptureArguments({u"C:\\P\\player.exe"});
    EXPECT_EQ(regtypesmain::ExePath, u"");
    EXPECT_EQ(regtypesmain::CommandWord, u"");
}

TEST_F(DispatchTest, RegallWritesTypesInTableOrderThenCueThenVerb) {
    Run(u"t.exe C:\\P\\player.exe regall cap");
    std::vector<Text> valueKeys;
    for (const auto& call : store.Calls()) {
        if (call.kind == SubstituteStore::CallKind::SetValue &&
            call.path.find(u'\\') == Text::npos && call.path.front() == u'.') {
            valueKeys.push_back(call.path);
        }
    }
    EXPECT_EQ(valueKeys, kAllTypes);
    EXPECT_EQ(store.Calls().back().path, u"Directory\\shell\\Marblefinch.Play\\command");
    EXPECT_EQ(Classes(u".flac"), u"Marblefinch.flac");
    EXPECT_EQ(Classes(u"Marblefinch.cue\\Shell\\Open\\Command"), u"\"C:\\P\\player.exe\" \"%1\"");
}

TEST_F(DispatchTest, RefusedTableTypeIsPassedOverInSilence) {
    store.Deny(kHkeyClassesRoot, u".wv", kKeySetValue);
    EXPECT_NO_THROW(Run(u"t.exe C:\\P\\player.exe regall cap"));
    EXPECT_FALSE(Classes(u".wv").has_value());
    EXPECT_FALSE(HasClassesKey(u"Marblefinch.wv"));
    EXPECT_EQ(RegisteredTypes(), 21);
    EXPECT_EQ(notices.Count(), 21);
    EXPECT_TRUE(VerbWritten());
}

TEST_F(DispatchTest, RefusedCueSheetStopsTheRunBeforeTheVerb) {
    store.Deny(kHkeyClassesRoot, u".cue", kKeySetValue);
    try {
        Run(u"t.exe C:\\P\\player.exe regall cap");
        FAIL() << "the .cue failure must reach the caller";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), u"Failed to set data for ''");
    }
    EXPECT_EQ(RegisteredTypes(), 21);
    EXPECT_EQ(notices.Count(), 21);
    EXPECT_FALSE(VerbWritten());
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST_F(DispatchTest, FolderVerbFailureReachesTheCaller) {
    // An existing verb key that cannot be read looks absent, and cannot be opened for writing.
    store.AddKey(kHkeyClassesRoot, u"Directory\\shell\\Marblefinch.Play");
    store.Deny(kHkeyClassesRoot, u"Directory\\shell\\Marblefinch.Play", kKeyQueryValue);
    try {
        Run(u"t.exe C:\\P\\player.exe regfolder cap");
        FAIL() << "the folder verb failure must reach the caller";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), u"Failed to create key Marblefinch.Play");
    }
    EXPECT_FALSE(Classes(u"Directory\\shell\\Marblefinch.Play").has_value());
}

}  // namespace
}  // namespace mf

namespace mf {
namespace {

// What Windows and other programs keep in the classes hive survives a run, and a second run
// leaves the hive exactly as the first did.
TEST(NothingLost, ForeignEntriesSurviveAndRunsRepeatExactly) {
    SubstituteStore store;
    NoticeRecorder notices;
    const ScopedRegistryOverride useStore(store);
    const ScopedShellNotifierOverride useNotices(notices);
    const RegHandle hkcr = kHkeyClassesRoot;
    store.PutString(hkcr, u".mp3", u"", u"OtherPlayer.mp3");
    store.PutString(hkcr, u".mp3", u"Content Type", u"audio/mpeg");
    store.PutString(hkcr, u".mp3", u"PerceivedType", u"audio");
    store.PutString(hkcr, u".mp3\\OpenWithProgids", u"OtherPlayer.mp3", u"");
    store.PutString(hkcr, u"Marblefinch.mp3\\Shell\\Enqueue\\command", u"", u"q.exe \"%1\"");
    store.PutString(hkcr, u"Directory\\Shell\\find", u"", u"&Search...");
    store.PutString(hkcr, u"Directory\\Shell\\cmd\\command", u"", u"cmd.exe");

    const auto run = [&] {
        regtypesmain::ResetArguments();
        regtypesmain::CaptureArguments({u"C:\\P\\player.exe", u"regall", u"Play"});
        regtypesmain::DoRegistration();
        regtypesmain::ResetArguments();
        return store.Export(hkcr);
    };
    const std::string first = run();
    EXPECT_EQ(run(), first);

    EXPECT_EQ(store.ReadString(hkcr, u".mp3", u""), u"Marblefinch.mp3");
    EXPECT_EQ(store.ReadString(hkcr, u".mp3", u"Content Type"), u"audio/mpeg");
    EXPECT_EQ(store.ReadString(hkcr, u".mp3", u"PerceivedType"), u"audio");
    EXPECT_EQ(store.ReadString(hkcr, u".mp3\\OpenWithProgids", u"OtherPlayer.mp3"), u"");
    EXPECT_EQ(store.ReadString(hkcr, u"Marblefinch.mp3\\Shell\\Enqueue\\command", u""),
              u"q.exe \"%1\"");
    EXPECT_EQ(store.SubKeyNames(hkcr, u"Marblefinch.mp3\\Shell"),
              (std::vector<Text>{u"Enqueue", u"Open"}));
    EXPECT_EQ(store.SubKeyNames(hkcr, u"Directory"), (std::vector<Text>{u"Shell"}));
    EXPECT_EQ(store.SubKeyNames(hkcr, u"Directory\\Shell"),
              (std::vector<Text>{u"cmd", u"find", u"Marblefinch.Play"}));
    EXPECT_EQ(store.ReadString(hkcr, u"Directory\\Shell\\cmd\\command", u""), u"cmd.exe");
    EXPECT_EQ(notices.Count(), 44);
}

}  // namespace
}  // namespace mf
