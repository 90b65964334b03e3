// exe_bench: the shipped executable against the executive it drives, with 1 and 64 idle plug-ins:
//   - the host's whole life in the foreground ("/RUN STOP": process start, plug-ins loaded and
//     entered, stop broadcast, unload, process exit) vs the executive's own start-up, stop
//     broadcast and unload of the same plug-ins in this process;
//   - where a service manager is at hand (Windows, Wine; on Linux a real systemd booted in a
//     sandbox, root only): "/START" (process start to running) and "/STOP" (stop to stopped)
//     of the installed service, against the same baseline and against "/RUN STOP" of the same
//     set run the same way (start_run_ratio, stop_run_ratio).
// The log is switched on at level 5 (writes nothing), so the foreground host opens no log.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/command_site.h"
#include "executive/plugin_mgr.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/wait.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr wchar_t kPluginKey[] = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
constexpr wchar_t kLogKey[] = L"Software\\Keltra\\Brismont Settings\\DbgLog";

std::wstring BinDir() {
    return platform::GetExecutableDirectory();
}

std::wstring ExePath() {
    return BinDir() + platform::kPathSeparator + KELTRA_SERVICE_EXE;
}

void SetBytes(platform::RegKey key, const wchar_t* name, std::uint32_t type, const void* data,
              std::size_t size) {
    (void)platform::RegSetValueEx(key, name, type, static_cast<const std::uint8_t*>(data),
                                  static_cast<std::uint32_t>(size));
}

void SetText(platform::RegKey key, const wchar_t* name, const std::wstring& text) {
    const std::u16string units = platform::WideToUtf16(text + L'\0');
    SetBytes(key, name, platform::kRegSz, units.data(), units.size() * 2);
}

// count copies of tp_noop listed under the host's own key (Linux: in a registry file in the
// folder returned).
std::wstring WritePluginList(int count) {
    const std::wstring dir = BinDir() + platform::kPathSeparator + L"bench-tmp" +
                             platform::kPathSeparator + L"service-" + std::to_wstring(count);
    (void)platform::CreateDirectoryTree(dir.c_str());
    platform::SetEnvironmentVariable(platform::kRegistryFileVariable,
                                     (dir + platform::kPathSeparator + L"registry.reg").c_str());
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kPluginKey);
    platform::RegKey key = nullptr;
    (void)platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kPluginKey,
                                   platform::kKeyAllAccess, &key);
    for (int i = 0; i < count; ++i) {
        const std::wstring copy = dir + platform::kPathSeparator + L"noop" + std::to_wstring(i) +
                                  platform::kLibrarySuffix;
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(BinDir() + platform::kPathSeparator +
                                                         L"tp_noop" + platform::kLibrarySuffix),
                                   std::filesystem::path(copy),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        SetText(key, (L"svcbu" + std::to_wstring(i)).c_str(), copy);
    }
    platform::RegCloseKey(key);
    (void)platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kLogKey, platform::kKeyAllAccess,
                                   &key);
    const std::uint32_t on = 1, silent = 5;
    SetBytes(key, L"enabled", platform::kRegDword, &on, 4);
    SetBytes(key, L"loglevel", platform::kRegDword, &silent, 4);
    SetText(key, L"logpath", dir + platform::kPathSeparator + L"bench.log");
    platform::RegCloseKey(key);
    return dir;
}

// Waits for a command started at `start`: its duration in ms, or -1 when it failed.
double FinishMs(platform::Handle started, Clock::time_point start) {
    platform::UniqueHandle child(started);
    std::uint32_t code = 1;
    if (!child || platform::WaitForSingleObject(child.Get(), 300000) != platform::kWaitObject0 ||
        !platform::GetExitCodeProcess(child.Get(), &code) || code != 0) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double RunMs(const std::vector<std::wstring>& args) {
    const auto start = Clock::now();
    return FinishMs(platform::StartProcess(ExePath(), args), start);
}

double RunMs(bench::CommandSite& site, const std::vector<std::wstring>& args) {
    const auto start = Clock::now();
    return FinishMs(site.Start(ExePath(), args), start);
}

// The executive alone: start-up, the stop broadcast and unload of the listed plug-ins.
double ExecutiveMs(int count) {
    const auto start = Clock::now();
    executive::PluginMgr mgr;
    if (mgr.SearchAndLoadPlugins(kPluginKey, L"svcbu") != 0 ||
        mgr.Count() != std::uint64_t(count)) {
        return -1;
    }
    (void)mgr.PostEntryMainMsgToAll(0, nullptr);
    (void)mgr.PostSysMsgToAll(1, 0, nullptr, nullptr);
    mgr.UnloadAllPlugins();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Report(benchmark::State& state, const char* name, double subject, double baseline) {
    state.counters[std::string(name) + "_ms"] = subject;
    state.counters[std::string(name) + "_ratio"] = subject / baseline;
}

void BM_ForegroundLifetime(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    WritePluginList(count);
    double subject = 0, baseline = 0;
    int n = 0;
    for (auto _ : state) {
        const double host = RunMs({L"/RUN", L"STOP"});
        const double own = ExecutiveMs(count);
        if (host < 0 || own < 0) {
            state.SkipWithError("the host or the executive failed");
            return;
        }
        subject += host;
        baseline += own;
        ++n;
    }
    state.counters["executive_ms"] = baseline / n;
    Report(state, "host", subject / n, baseline / n);
}
BENCHMARK(BM_ForegroundLifetime)
    ->Arg(1)
    ->Arg(64)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ServiceStartStop(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::wstring dir = WritePluginList(count);
    std::string why;
    std::unique_ptr<bench::CommandSite> site = bench::CommandSite::Open(BinDir(), &why);
    if (!site) {
        state.SkipWithError(("no service manager: " + why).c_str());
        return;
    }
    (void)RunMs(*site, {L"/UNINSTALL"});
    if (!site->UseRegistryFile(dir + platform::kPathSeparator + L"registry.reg") ||
        RunMs(*site, {L"/INSTALL", ExePath()}) < 0) {
        state.SkipWithError("cannot install the service (no service manager, or no rights)");
        return;
    }
    double start = 0, stop = 0, run = 0, baseline = 0;
    int n = 0;
    for (auto _ : state) {
        const double started = RunMs(*site, {L"/START"});
        const double stopped = RunMs(*site, {L"/STOP"});
        const double foreground = RunMs(*site, {L"/RUN", L"STOP"});
        const double own = ExecutiveMs(count);
        if (started < 0 || stopped < 0 || foreground < 0 || own < 0) {
            state.SkipWithError(started < 0      ? "/START failed"
                                : stopped < 0    ? "/STOP failed"
                                : foreground < 0 ? "/RUN STOP failed"
                                                 : "the executive failed");
            break;
        }
        start += started;
        stop += stopped;
        run += foreground;
        baseline += own;
        ++n;
    }
    (void)RunMs(*site, {L"/UNINSTALL"});
    if (n > 0) {
        state.counters["executive_ms"] = baseline / n;
        state.counters["run_ms"] = run / n;
        Report(state, "start", start / n, baseline / n);
        Report(state, "stop", stop / n, baseline / n);
        state.counters["start_run_ratio"] = start / run;
        state.counters["stop_run_ratio"] = stop / run;
    }
}
BENCHMARK(BM_ServiceStartStop)
    ->Arg(1)
    ->Arg(64)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
