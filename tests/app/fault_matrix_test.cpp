// Every registry call a "regall" makes, refused one at a time: the registry left behind, the
// shell notices sent and the error that leaves DoRegistration must be what the rules say.
// The expected outcome is built from the rules, independently of the code under test.
#include <gtest/gtest.h>

#include <iostream>
#include <optional>

#include "app/regtypesmain.h"
#include "platform/substitute/SubstituteStore.h"
#include "registration/Registry.h"
#include "registration/ShellNotice.h"
#include "shared/constants.h"

namespace mf {
namespace {

using Kind = SubstituteStore::CallKind;

const Text kExe = u"C:\\Program Files\\P\\player.exe";
const Text kCaption = u"Play with Marblefinch";
const Text kCommand = u"\"" + kExe + u"\" \"%1\"";
const Text kVerb = u"Directory\\shell\\Marblefinch.Play";
const Text kVerbCommand = kVerb + u"\\command";
const Text kSetDataFailed = u"Failed to set data for ''";

void Seed(SubstituteStore& store) {
    store.PutString(kHkeyClassesRoot, u"Directory\\shell\\find", u"", u"&Search...");
}

struct Outcome {
    std::string hive;
    int notices = 0;
    std::optional<Text> error;
    std::vector<SubstituteStore::Call> calls;
};

Outcome RunRegall(std::optional<std::size_t> refused) {
    SubstituteStore store;
    NoticeRecorder notices;
    const ScopedRegistryOverride useStore(store);
    const ScopedShellNotifierOverride useNotices(notices);
    Seed(store);
    if (refused) {
        store.RefuseCall(*refused);
    }
    Outcome outcome;
    regtypesmain::ResetArguments();
    regtypesmain::CaptureArguments({kExe, u"regall", kCaption});
    try {
        regtypesmain::DoRegistration();
    } catch (const ERegistryException& e) {
        outcome.error = e.Message();
    }
    regtypesmain::ResetArguments();
    EXPECT_EQ(store.OpenHandleCount(), 0u);
    outcome.hive = store.Export(kHkeyClassesRoot);
    outcome.notices = notices.Count();
    for (const auto& call : store.Calls()) {
        if (call.kind == Kind::Create || call.kind == Kind::Open || call.kind == Kind::SetValue) {
            outcome.calls.push_back(call);
        }
    }
    return outcome;
}

// A file type's five entries, in the order they are written.
std::vector<std::pair<Text, Text>> FileTypeEntries(const Text& ext) {
    const Text progId = u"Marblefinch" + ext;
    return {{ext, progId},
            {progId, u""},
            {progId + u"\\DefaultIcon", kExe + u",0"},
            {progId + u"\\Shell\\Open", u"&Open"},
            {progId + u"\\Shell\\Open\\Command", kCommand}};
}

std::vector<Text> RegallTypes() {
    std::vector<Text> types(constants::AudioExtensions.begin(), constants::AudioExtensions.end());
    types.push_back(u".cue");
    return types;
}

// The folder verb's calls when the verb does not exist yet, and what refusing each leaves.
struct VerbStep {
    Kind kind;
    Text path;
    // Outcome when this call is refused:
    bool verbKey;
    bool caption;
    bool commandKey;
    bool command;
    std::optional<Text> error;
};

const std::vector<VerbStep>& VerbSteps() {
    static const std::vector<VerbStep> steps = {
        // Directory\shell does not open: the verb is never made, the caption write fails.
        {Kind::Open, u"Directory\\shell", false, false, false, false, kSetDataFailed},
        // The existence test: refused reads as "absent", which it is; nothing changes.
        {Kind::Open, kVerb, true, true, true, true, std::nullopt},
        {Kind::Create, kVerb, false, false, false, false, u"Failed to create key Marblefinch.Play"},
        {Kind::Open, kVerb, true, false, false, false, kSetDataFailed},
        {Kind::SetValue, kVerb, true, false, false, false, kSetDataFailed},
        {Kind::Open, kVerbCommand, true, true, true, true, std::nullopt},
        {Kind::Create, kVerbCommand, true, true, false, false, u"Failed to create key command"},
        {Kind::Create, kVerbCommand, true, true, true, false, kSetDataFailed},
        {Kind::SetValue, kVerbCommand, true, true, true, false, kSetDataFailed},
    };
    return steps;
}

class Expected {
  public:
    Expected() { Seed(store_); }
    void FileType(const Text& ext, std::size_t entries, bool keyOfNext) {
        const auto all = FileTypeEntries(ext);
        for (std::size_t k = 0; k < entries; ++k) {
            store_.PutString(kHkeyClassesRoot, all[k].first, u"", all[k].second);
        }
        if (keyOfNext) {
            store_.AddKey(kHkeyClassesRoot, all[entries].first);
        }
        notices_ += entries == all.size() ? 1 : 0;
    }
    void Verb(const VerbStep& step) {
        if (step.verbKey) {
            store_.AddKey(kHkeyClassesRoot, kVerb);
        }
        if (step.caption) {
            store_.PutString(kHkeyClassesRoot, kVerb, u"", kCaption);
        }
        if (step.commandKey) {
            store_.AddKey(kHkeyClassesRoot, kVerbCommand);
        }
        if (step.command) {
            store_.PutString(kHkeyClassesRoot, kVerbCommand, u"", kCommand);
        }
    }
    std::string Hive() const { return store_.Export(kHkeyClassesRoot); }
    int Notices() const { return notices_; }

  private:
    SubstituteStore store_;
    int notices_ = 0;
};

const VerbStep kVerbComplete{Kind::Open, u"", true, true, true, true, std::nullopt};

TEST(FaultMatrix, EveryRegistryCallOfRegallRefusedInTurn) {
    const Outcome clean = RunRegall(std::nullopt);
    const std::vector<Text> types = RegallTypes();

    // The calls a clean run makes: two per file type entry (create, write), then the verb's.
    std::vector<std::pair<Kind, Text>> expectedCalls;
    for (const Text& ext : types) {
        for (const auto& [key, value] : FileTypeEntries(ext)) {
            expectedCalls.emplace_back(Kind::Create, key);
            expectedCalls.emplace_back(Kind::SetValue, key);
        }
    }
    for (const VerbStep& step : VerbSteps()) {
        expectedCalls.emplace_back(step.kind, step.path);
    }
    ASSERT_EQ(clean.calls.size(), expectedCalls.size());
    for (std::size_t i = 0; i < expectedCalls.size(); ++i) {
        ASSERT_EQ(clean.calls[i].kind, expectedCalls[i].first) << "call " << i;
        ASSERT_EQ(clean.calls[i].path, expectedCalls[i].second) << "call " << i;
    }
    {
        Expected all;
        for (const Text& ext : types) {
            all.FileType(ext, 5, false);
        }
        all.Verb(kVerbComplete);
        // Keys that vanish at the next restart would be no registration at all.
        ASSERT_EQ(clean.hive.find("] volatile"), std::string::npos) << "a volatile key";
        EXPECT_EQ(clean.hive, all.Hive());
        EXPECT_EQ(clean.notices, 22);
        EXPECT_FALSE(clean.error.has_value());
    }

    const std::size_t fileTypeCalls = types.size() * 10;
    std::size_t outcomes = 0;
    for (std::size_t call = 0; call < clean.calls.size(); ++call) {
        SCOPED_TRACE("refused call " + std::to_string(call) + " on " +
                     ToUtf8(clean.calls[call].path));
        const Outcome got = RunRegall(call);
        ASSERT_EQ(got.calls[call].status, kErrorAccessDenied);

        Expected expected;
        std::optional<Text> error;
        if (call < fileTypeCalls) {
            const std::size_t failed = call / 10;
            const std::size_t entry = (call % 10) / 2;
            const bool keyMade = call % 2 == 1;  // the write failed after its key was made
            const bool isCue = failed == types.size() - 1;
            for (std::size_t t = 0; t < types.size(); ++t) {
                if (t < failed || (t > failed && !isCue)) {
                    expected.FileType(types[t], 5, false);
                } else if (t == failed) {
                    expected.FileType(types[t], entry, keyMade);
                }
            }
            if (isCue) {
                error = kSetDataFailed;
            } else {
                expected.Verb(kVerbComplete);
            }
        } else {
            for (const Text& ext : types) {
                expected.FileType(ext, 5, false);
            }
            const VerbStep& step = VerbSteps()[call - fileTypeCalls];
            expected.Verb(step);
            error = step.error;
        }
        EXPECT_EQ(got.hive, expected.Hive());
        EXPECT_EQ(got.notices, expected.Notices());
        EXPECT_EQ(got.error, error);
        outcomes += 3;
    }
    std::cout << "fault matrix: " << clean.calls.size() << " registry calls of a regall covered, "
              << outcomes << " outcomes checked\n";
}

}  // namespace
}  // namespace mf
