// The service layer's own cost: one control round trip through the real path (Windows:
// ControlService to the service under the service manager; Linux: the control channel) to 1
// and 64 idle plug-ins, as a ratio against the executive's own broadcast (PostSysMsgToAll with
// its completion wait) to as many plug-ins, measured in the same run, the two alternating.
// Counters: subject_us and baseline_us per operation, ratio = subject / baseline. Where the
// platform measures the transport's own floor (floor_us, a third in the same rotation), a
// control cannot cost less than the broadcast plus that floor: over_floor = subject /
// (baseline + floor).
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

// The control and the broadcast (to a second copy of the set, loaded in this process)
// alternate, one round each, so that both see the same load of a shared machine.
void BM_ControlRoundTrip(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    bench::NoopPluginSet own(count, L"service-own-");
    executive::PluginMgr mgr;
    if (mgr.SearchAndLoadPlugins(own.Key(), L"svcbu") != 0 || mgr.Count() != std::uint64_t(count)) {
        state.SkipWithError("cannot load the plug-in set");
        mgr.UnloadAllPlugins();
        return;
    }
    (void)mgr.PostEntryMainMsgToAll(0, nullptr);
    bench::NoopPluginSet set(count, L"service-");  // made last: the registry the service reads
    std::int64_t rounds = 0;
    Clock::duration subject{}, baseline{}, floor{};
    bool ok = true, hasFloor = false;
    {
        auto service = RunningService::Start(set.Key());
        if (!service) {
            state.SkipWithError("cannot start the service");
            mgr.UnloadAllPlugins();
            return;
        }
        hasFloor = service->TransportRoundTrip();
        for (auto _ : state) {
            const auto t0 = Clock::now();
            ok = service->RoundTrip() && ok;
            const auto t1 = Clock::now();
            ok = mgr.PostSysMsgToAll(200, 0, nullptr, nullptr) == 0 && ok;
            const auto t2 = Clock::now();
            ok = (!hasFloor || service->TransportRoundTrip()) && ok;
            subject += t1 - t0;
            baseline += t2 - t1;
            floor += Clock::now() - t2;
            ++rounds;
            state.PauseTiming();
            service->CatchUp();
            state.ResumeTiming();
        }
    }
    mgr.UnloadAllPlugins();
    if (!ok) {
        state.SkipWithError("a control or a broadcast failed");
    }
    state.counters["subject_us"] = Micros(subject, rounds);
    state.counters["baseline_us"] = Micros(baseline, rounds);
    state.counters["ratio"] = Micros(subject, rounds) / Micros(baseline, rounds);
    if (hasFloor) {
        state.counters["floor_us"] = Micros(floor, rounds);
        state.counters["over_floor"] = Micros(subject, rounds) / Micros(baseline + floor, rounds);
    }
}
BENCHMARK(BM_ControlRoundTrip)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
