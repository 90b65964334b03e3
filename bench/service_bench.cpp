// The service layer's own cost: one control round trip through the real path (Windows:
// ControlService to the service under the service manager; Linux: the control channel) to 1
// and 64 idle plug-ins, as a ratio against the executive's own broadcast (PostSysMsgToAll with
// its completion wait) to as many plug-ins, measured in the same run.
// Counters: subject_us and baseline_us per operation, ratio = subject / baseline.
#include "bench/service_bench.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "executive/plugin_mgr.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// count copies of the do-nothing plug-in, listed under a key of their own.
class PluginSet {
  public:
    explicit PluginSet(int count) {
        const std::wstring bin = platform::GetExecutableDirectory();
        const std::wstring tag =
            std::to_wstring(platform::GetCurrentProcessId()) + L"-" + std::to_wstring(count);
        const std::wstring dir = bin + platform::kPathSeparator + L"bench-tmp" +
                                 platform::kPathSeparator + L"service-" + tag;
        (void)platform::CreateDirectoryTree(dir.c_str());
        platform::SetEnvironmentVariable(
            L"KELTRA_REGISTRY_FILE", (dir + platform::kPathSeparator + L"registry.reg").c_str());
        m_root = L"Software\\Keltra\\Bench\\service-" + tag;
        m_key = m_root + L"\\SvcPlugins";
        platform::RegKey key = nullptr;
        (void)platform::RegCreateKeyEx(platform::HkeyLocalMachine(), m_key.c_str(),
                                       platform::kKeyAllAccess, &key);
        for (int i = 0; i < count; ++i) {
            const std::wstring name = L"s" + std::to_wstring(i);
            const std::wstring copy =
                dir + platform::kPathSeparator + L"noop" + name + platform::kLibrarySuffix;
            std::error_code ec;
            std::filesystem::copy_file(std::filesystem::path(bin + platform::kPathSeparator +
                                                             L"tp_noop" + platform::kLibrarySuffix),
                                       std::filesystem::path(copy),
                                       std::filesystem::copy_options::overwrite_existing, ec);
            std::u16string units = platform::WideToUtf16(copy);
            units.push_back(u'\0');
            (void)platform::RegSetValueEx(key, name.c_str(), platform::kRegSz,
                                          reinterpret_cast<const std::uint8_t*>(units.data()),
                                          static_cast<std::uint32_t>(units.size() * 2));
        }
        platform::RegCloseKey(key);
    }
    ~PluginSet() { (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_root.c_str()); }
    [[nodiscard]] const wchar_t* Key() const { return m_key.c_str(); }

  private:
    std::wstring m_root, m_key;
};

double Micros(Clock::duration d, std::int64_t n) {
    return std::chrono::duration<double, std::micro>(d).count() / static_cast<double>(n);
}

void BM_ControlRoundTrip(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    PluginSet set(count);
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
