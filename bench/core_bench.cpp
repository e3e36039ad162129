// The core on the substitute store: cutting the longest command line Windows passes, and a
// whole "regall" through DoRegistration.
#include <benchmark/benchmark.h>

#include "app/commandline.h"
#include "app/regtypesmain.h"
#include "platform/substitute/SubstituteStore.h"
#include "registration/RegistryFunctions.h"
#include "registration/ShellNotice.h"

namespace {

constexpr std::size_t kMaxCommandLine = 32767;

mf::Text ManyTokens() {
    mf::Text line = u"\"C:\\Tools\\Marblefinch_associate.exe\"";
    while (line.size() + 4 <= kMaxCommandLine) {
        line += u" \"a\"";
    }
    return line;
}

mf::Text OneLongPath() {
    mf::Text line = u"\"C:\\Tools\\Marblefinch_associate.exe\" \"C:\\";
    line.append(kMaxCommandLine - line.size() - 1, u'p');
    line += u'"';
    return line;
}

void BM_SplitMaximalLine(benchmark::State& state, const mf::Text& line) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(mf::SplitCommandLine(line));
    }
    state.SetLabel(std::to_string(line.size()) + " units");
}
BENCHMARK_CAPTURE(BM_SplitMaximalLine, ManyTokens, ManyTokens())->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SplitMaximalLine, OneLongPath, OneLongPath())->Unit(benchmark::kMicrosecond);

void SeedShell(mf::SubstituteStore& store) {
    store.KeepCallLog(false);
    store.PutString(mf::kHkeyClassesRoot, u"Directory\\shell\\find", u"", u"&Search...");
}

void Capture() {
    mf::regtypesmain::ResetArguments();
    mf::regtypesmain::CaptureArguments(
        {u"C:\\Program Files\\P\\player.exe", u"regall", u"Play with Marblefinch"});
}

// Over entries already there, as every run after the first finds them.
void BM_Regall_Repeat(benchmark::State& state) {
    mf::SubstituteStore store;
    mf::NoticeRecorder notices;
    const mf::ScopedRegistryOverride useStore(store);
    const mf::ScopedShellNotifierOverride useNotices(notices);
    SeedShell(store);
    Capture();
    for (auto _ : state) {
        mf::regtypesmain::DoRegistration();
    }
}
BENCHMARK(BM_Regall_Repeat)->Unit(benchmark::kMicrosecond);

// Into an empty classes hive; making and dropping the store is not timed.
void BM_Regall_EmptyHive(benchmark::State& state) {
    mf::NoticeRecorder notices;
    const mf::ScopedShellNotifierOverride useNotices(notices);
    Capture();
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<mf::SubstituteStore>();
        SeedShell(*store);
        {
            const mf::ScopedRegistryOverride useStore(*store);
            state.ResumeTiming();
            mf::regtypesmain::DoRegistration();
            state.PauseTiming();
        }
        store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Regall_EmptyHive)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
