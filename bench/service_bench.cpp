// The service layer's own cost: one control round trip through the real path (Windows:
// ControlService to the service under the service manager; Linux: the control channel) to 1
// and 64 idle plug-ins, as a ratio against the executive's own broadcast (PostSysMsgToAll with
// its completion wait) to as many plug-ins, measured in the same run.
// Counters: subject_us and baseline_us per operation, ratio = subject / baseline.
#include "bench/service_bench.h"

#include "bench/bench_plugins.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "executive/plugin_mgr.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d, std::int64_t n) {
    return std::chrono::duration<double, std::micro>(d).count() / static_cast<double>(n);
}

void BM_ControlRoundTrip(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    bench::NoopPluginSet set(count, L"service-");
    std::int64_t rounds = 0;
    double subject = 0;
    {
        auto service = RunningService::Start(set.Key());
        if (!service) {
            state.SkipWithError("cannot start the service");
            return;
        }
        bool ok = true;
        const auto start = Clock::now();
        for (auto _ : state) {
            ok = service->RoundTrip() && ok;
            ++rounds;
        }
        subject = Micros(Clock::now() - start, rounds);
        if (!ok) {
            state.SkipWithError("a control failed");
        }
    }
    executive::PluginMgr mgr;
    if (mgr.SearchAndLoadPlugins(set.Key(), L"svcbu") != 0 || mgr.Count() != std::uint64_t(count)) {
        state.SkipWithError("cannot load the plug-in set");
        return;
    }
    (void)mgr.PostEntryMainMsgToAll(0, nullptr);
    const std::int64_t baselineRounds = std::max<std::int64_t>(rounds, 100);
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < baselineRounds; ++i) {
        (void)mgr.PostSysMsgToAll(200, 0, nullptr, nullptr);
    }
    const double baseline = Micros(Clock::now() - start, baselineRounds);
    mgr.UnloadAllPlugins();
    state.counters["subject_us"] = subject;
    state.counters["baseline_us"] = baseline;
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(BM_ControlRoundTrip)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
