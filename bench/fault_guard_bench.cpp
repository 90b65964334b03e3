// Cost of the fault guard, each as a ratio against a baseline measured in the same run:
//   - a guarded call that does not fault (CallGuarded, as the executive calls a plug-in
//     export) vs the same plain indirect call;
//   - a guarded call that ends in an access violation vs a guarded call that does not fault.
// Counters: subject_ns and baseline_ns per call, ratio = subject / baseline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "platform/fault_guard.h"

namespace {

using Clock = std::chrono::steady_clock;

// The callee stands for a plug-in export: out of line, reached through a pointer that the
// optimiser cannot see through.
__attribute__((noinline)) std::uint32_t Export(std::uint32_t value) {
    benchmark::DoNotOptimize(value);
    return value + 1;
}
std::uint32_t (*volatile g_export)(std::uint32_t) = &Export;

// Written through to fault; volatile so that the store is neither removed nor turned into a
// trap instruction.
int* volatile g_nowhere = nullptr;

double Nanos(Clock::duration d, std::int64_t n) {
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n);
}

double PlainCallNanos(std::int64_t n) {
    std::uint32_t sum = 0;
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < n; ++i) {
        sum += g_export(static_cast<std::uint32_t>(i));
    }
    const auto elapsed = Clock::now() - start;
    benchmark::DoNotOptimize(sum);
    return Nanos(elapsed, n);
}

double GuardedCallNanos(std::int64_t n) {
    std::uint32_t sum = 0;
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < n; ++i) {
        sum += platform::CallGuarded<std::uint32_t>(
            [i] { return g_export(static_cast<std::uint32_t>(i)); }, 0x80004005u);
    }
    const auto elapsed = Clock::now() - start;
    benchmark::DoNotOptimize(sum);
    return Nanos(elapsed, n);
}

void BM_GuardedCallWithoutFault(benchmark::State& state) {
    std::uint32_t sum = 0;
    std::int64_t n = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        sum += platform::CallGuarded<std::uint32_t>(
            [n] { return g_export(static_cast<std::uint32_t>(n)); }, 0x80004005u);
        ++n;
    }
    const double subject = Nanos(Clock::now() - start, n);
    benchmark::DoNotOptimize(sum);
    const double baseline = PlainCallNanos(n);
    state.counters["subject_ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(BM_GuardedCallWithoutFault)->UseRealTime();

void BM_GuardedCallEndedByAccessViolation(benchmark::State& state) {
    std::int64_t n = 0;
    std::int64_t faults = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        faults += platform::CallGuardedVoid([] { *g_nowhere = 1; }) ? 0 : 1;
        ++n;
    }
    const double subject = Nanos(Clock::now() - start, n);
    if (faults != n) {
        state.SkipWithError("a write to null did not fault");
        return;
    }
    const double baseline = GuardedCallNanos(n);
    state.counters["subject_ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(BM_GuardedCallEndedByAccessViolation)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
