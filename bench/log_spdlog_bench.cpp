// The trace log against a widely used logging library's single-process file sink, in the same
// run: lines per second from 1 and 4 threads. The library's sink buffers its writes and
// serialises only the threads of one process; it is measured as it comes (buffered) and
// flushed after every line (each line in the file before the call returns, as the trace
// log does). Counters: lines_per_s and baseline_lines_per_s (the library), ratio =
// lines_per_s / baseline_lines_per_s.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;
using logfilesync::CLogFile;

constexpr wchar_t kFunction[] = L"keltra::bench::Writer";
constexpr wchar_t kFormat[] = L"bench line %06d, payload %s";
constexpr wchar_t kPayload[] = L"abcdefghijklmnopqrstuvwxyz";

std::wstring g_dir;

template <typename F>
double RunThreads(int threads, F&& body) {
    std::vector<std::thread> workers;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(body);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Compare(benchmark::State& state, bool flushEachLine) {
    const int threads = static_cast<int>(state.range(0));
    const int lines = threads == 1 ? 4000 : 1000;
    const std::string libraryPath =
        platform::WideToUtf8(g_dir) + "/library-" + std::to_string(flushEachLine) + ".log";
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(libraryPath, true);
    spdlog::logger library("bench", sink);
    library.set_pattern("%Y/%m/%d %H:%M:%S.%e|%L|%P|%t|%v");
    if (flushEachLine) {
        library.flush_on(spdlog::level::trace);
    }
    CLogFile log;
    const std::wstring logPath = g_dir + platform::kPathSeparator + L"log.log";
    if (!log.Configure(1, logPath.c_str(), 0, 0) || log.Open() != 1) {
        state.SkipWithError("cannot open the log");
        return;
    }
    double subject = 0;
    double baseline = 0;
    for (auto _ : state) {
        baseline += RunThreads(threads, [&] {
            for (int i = 0; i < lines; ++i) {
                library.info("keltra::bench::Writer(L1): bench line {:06d}, payload {}", i,
                             "abcdefghijklmnopqrstuvwxyz");
            }
        });
        library.flush();
        const double s = RunThreads(threads, [&] {
            for (int i = 0; i < lines; ++i) {
                log.Log(L'I', kFunction, 1, kFormat, i, kPayload);
            }
        });
        subject += s;
        state.SetIterationTime(s);
    }
    const double total = static_cast<double>(state.iterations()) * threads * lines;
    state.counters["lines_per_s"] = total / subject;
    state.counters["baseline_lines_per_s"] = total / baseline;
    state.counters["ratio"] = baseline / subject;
    log.Close();
}

void BM_AgainstBufferedLibrarySink(benchmark::State& state) {
    Compare(state, false);
}
void BM_AgainstLibrarySinkFlushedEachLine(benchmark::State& state) {
    Compare(state, true);
}

BENCHMARK(BM_AgainstBufferedLibrarySink)
    ->Arg(1)
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgainstLibrarySinkFlushedEachLine)
    ->Arg(1)
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_dir = platform::GetExecutableDirectory() + platform::kPathSeparator + L"bench-tmp" +
            platform::kPathSeparator + L"spdlog-" +
            std::to_wstring(platform::GetCurrentProcessId());
    (void)platform::CreateDirectoryTree(g_dir.c_str());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
