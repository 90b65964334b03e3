// Cost of a crash, from the fault to the end of the process, as a ratio against a baseline
// measured in the same run: every iteration starts this program twice as a child, once to
// install the crash handler and exit normally (baseline), once to install it and fault.
//   - BM_CrashWithDump: the fault writes the dump before the process ends;
//   - BM_CrashWithoutDump: the dump path lies in a missing directory, so only the handler's
//     own path runs (gate, context, failed create, end of process).
// Counters: subject_ms and baseline_ms per child, ratio = subject / baseline, extra_ms =
// subject - baseline (the crash path itself), dump_kib for the dump written.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kChildFlag[] = "--crash-bench-child=";

// Written through to fault; volatile so that the store stays a real store.
int* volatile g_nowhere = nullptr;

int RunChildRole(const std::string& role, const char* dumpPath) {
    Stoneleaf::CCrashHandler::InstallProcessHandlers();
    Stoneleaf::CCrashHandler::InstallThreadHandlers();
    const std::wstring path = platform::Utf8ToWide(dumpPath != nullptr ? dumpPath : "");
    (void)platform::StringCchCopyW(Stoneleaf::g_crashDumpPath, Stoneleaf::kCrashDumpPathCapacity,
                                   path.c_str());
    if (role == "crash") {
        *g_nowhere = 1;
    }
    return 0;
}

std::wstring WorkDirectory() {
    const std::wstring dir = platform::GetExecutableDirectory() + platform::kPathSeparator +
                             L"bench-tmp-" + std::to_wstring(platform::GetCurrentProcessId());
    (void)platform::CreateDirectoryTree(dir.c_str());
    return dir;
}

// Starts the child, waits for it and returns its run time in milliseconds, or a negative
// value when it did not end with the expected exit code.
double RunChildMillis(const char* role, const std::wstring& dumpPath, std::uint32_t expected) {
    const std::wstring flag = platform::Utf8ToWide(std::string(kChildFlag) + role);
    const auto start = Clock::now();
    platform::UniqueHandle child(
        platform::StartProcess(platform::GetExecutablePath(), {flag, dumpPath}));
    if (!child) {
        return -1;
    }
    if (platform::WaitForSingleObject(child.Get(), 300000) != platform::kWaitObject0) {
        platform::TerminateProcess(child.Get(), 2);
        return -1;
    }
    const auto elapsed = Clock::now() - start;
    std::uint32_t code = 0;
    platform::GetExitCodeProcess(child.Get(), &code);
    if (code != expected) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

void MeasureCrash(benchmark::State& state, bool writeDump) {
    const std::wstring dir = WorkDirectory();
    const std::wstring sep(1, platform::kPathSeparator);
    const std::wstring dump =
        writeDump ? dir + sep + L"crash.dmp" : dir + sep + L"none" + sep + L"x.dmp";
    double subject = 0, baseline = 0;
    std::uintmax_t dumpBytes = 0;
    std::int64_t n = 0;
    for (auto _ : state) {
        const double base = RunChildMillis("exit", dump, 0);
        const double crash = RunChildMillis("crash", dump, 1);
        if (base < 0 || crash < 0) {
            state.SkipWithError("a child did not end with the expected exit code");
            break;
        }
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(dump), error);
        if (writeDump && (error || size == 0)) {
            state.SkipWithError("no dump written");
            break;
        }
        dumpBytes = error ? 0 : size;
        std::filesystem::remove(std::filesystem::path(dump), error);
        baseline += base;
        subject += crash;
        ++n;
        state.SetIterationTime((base + crash) / 1000.0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir), ignored);
    if (n == 0) {
        return;
    }
    subject /= static_cast<double>(n);
    baseline /= static_cast<double>(n);
    state.counters["subject_ms"] = subject;
    state.counters["baseline_ms"] = baseline;
    state.counters["extra_ms"] = subject - baseline;
    state.counters["ratio"] = subject / baseline;
    state.counters["dump_kib"] = static_cast<double>(dumpBytes) / 1024.0;
}

// A time budget rather than a count: natively a pair of children takes tens of milliseconds,
// under Wine each dump alone takes seconds (its dbghelp loads every module's symbols first).
void BM_CrashWithDump(benchmark::State& state) {
    MeasureCrash(state, true);
}
BENCHMARK(BM_CrashWithDump)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_CrashWithoutDump(benchmark::State& state) {
    MeasureCrash(state, false);
}
BENCHMARK(BM_CrashWithoutDump)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strncmp(argv[1], kChildFlag, sizeof kChildFlag - 1) == 0) {
        return RunChildRole(argv[1] + sizeof kChildFlag - 1, argc >= 3 ? argv[2] : nullptr);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
