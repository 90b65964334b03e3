// Costs of the trace log, each as a ratio against a baseline measured in the same run:
//   - lines per second from 1 thread, 4 threads and 4 processes appending to one file, vs the
//     same bytes appended with the bare platform calls (size, seek, one write) under the same
//     kind of lock (the platform's named mutex), and vs the floor: the same bytes appended with
//     the operating system's own calls (flock, lseek to the end, write on POSIX; LockFileEx,
//     SetFilePointerEx, WriteFile on Windows), one descriptor per writer;
//   - a log call at a level the threshold filters out, and a call on a closed log, vs the
//     formatting of the same message (which both must skip);
//   - lines appended under a size limit never reached vs the same lines without a limit (the
//     roll-over's check; here ratio = seconds with the limit / seconds without).
// Counters: lines_per_s and baseline_lines_per_s, ratio = lines_per_s / baseline_lines_per_s
// (1 means as fast as the bare calls), floor_lines_per_s and floor_ratio = lines_per_s /
// floor_lines_per_s; for the call costs subject_ns, baseline_ns (each the fastest batch) and
// ratio = subject_ns / baseline_ns.
//
// The process benchmark starts this program again as writer children; their start-up is in
// both sides of its ratio. KELTRA_BENCH_PROCESS_LINES sets the lines per child (default 5000).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bench/log_floor.h"
#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "text/text.h"

namespace {

using Clock = std::chrono::steady_clock;
using logfilesync::CLogFile;

constexpr wchar_t kFunction[] = L"keltra::bench::Writer";
constexpr wchar_t kFormat[] = L"bench line %06d, payload %s";
constexpr wchar_t kPayload[] = L"abcdefghijklmnopqrstuvwxyz";
constexpr char kChildFlag[] = "--log-bench-child";

std::wstring g_dir;

std::wstring LogPath() {
    return g_dir + platform::kPathSeparator + L"log.log";
}
std::wstring BarePath() {
    return g_dir + platform::kPathSeparator + L"bare.log";
}
std::wstring FloorPath() {
    return g_dir + platform::kPathSeparator + L"floor.log";
}
std::wstring BareMutexName() {
    return L"Global\\keltra-bench-bare-" + std::to_wstring(platform::GetCurrentProcessId());
}

// The bytes of one line as the log frames it (UTF-16LE), for the bare writer.
std::string FramedLine(int number) {
    wchar_t message[128];
    platform::StringCchPrintfW(message, 128, kFormat, number, kPayload);
    wchar_t header[260];
    platform::StringCchPrintfW(header, 260, L"2026/01/01 00:00:00.000|I|%06d|%06d|%s(L%d): ",
                               static_cast<int>(platform::GetCurrentProcessId()),
                               static_cast<int>(platform::GetCurrentThreadId()), kFunction, 1);
    std::string bytes;
    for (const char16_t unit : platform::WideToUtf16(std::wstring(header) + message + L"\r\n")) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

// One writer of the bare baseline: its own handle of the file and of a named mutex.
class BareWriter {
  public:
    BareWriter(const std::wstring& path, const std::wstring& mutexName)
        : m_mutex(platform::CreateMutex(true, false, mutexName.c_str())),
          m_file(platform::CreateFile(path.c_str(),
                                      platform::kGenericRead | platform::kGenericWrite,
                                      platform::kFileShareRead | platform::kFileShareWrite, true,
                                      platform::kOpenAlways, platform::kFileAttributeNormal)),
          m_line(FramedLine(0)) {}

    bool Ok() const { return m_mutex.Valid() && m_file.Valid(); }

    bool Append() {
        if (platform::WaitForSingleObject(m_mutex.Get(), platform::kInfinite) >
            platform::kWaitAbandoned0) {
            return false;
        }
        std::uint32_t high = 0;
        const std::uint32_t low = platform::GetFileSize(m_file.Get(), &high);
        std::int32_t seekHigh = static_cast<std::int32_t>(high);
        bool ok =
            platform::SetFilePointer(m_file.Get(), static_cast<std::int32_t>(low), &seekHigh,
                                     platform::kFileBegin) != platform::kInvalidSetFilePointer;
        ok = ok && platform::WriteFile(m_file.Get(), m_line.data(),
                                       static_cast<std::uint32_t>(m_line.size()), nullptr);
        platform::ReleaseMutex(m_mutex.Get());
        return ok;
    }

  private:
    platform::UniqueHandle m_mutex;
    platform::UniqueHandle m_file;
    std::string m_line;
};

void OpenLog(CLogFile* log, const std::wstring& path, std::uint32_t append) {
    log->Close();
    if (!log->Configure(1, path.c_str(), append, 0) || log->Open() != 1) {
        std::fprintf(stderr, "log_bench: cannot open the log\n");
        std::exit(2);
    }
}

// Empties both files so that runs do not pile up gigabytes.
void EmptyFiles() {
    for (const std::wstring& path : {LogPath(), BarePath(), FloorPath()}) {
        platform::UniqueHandle file(
            platform::CreateFile(path.c_str(), platform::kGenericWrite,
                                 platform::kFileShareRead | platform::kFileShareWrite, true,
                                 platform::kCreateAlways, platform::kFileAttributeNormal));
    }
}

enum class Mode { kLog, kBare, kFloor };

struct Batch {
    Mode mode;
    int lines;
    CLogFile* log;
    BareWriter* writer;
};

std::uint32_t RunBatchThread(void* context) {
    auto* batch = static_cast<Batch*>(context);
    if (batch->mode == Mode::kFloor) {
        keltra::bench::FloorWriter floor(FloorPath());
        const std::string line = FramedLine(0);
        for (int i = 0; i < batch->lines; ++i) {
            if (!floor.Append(line)) {
                return 1;
            }
        }
        return 0;
    }
    if (batch->mode == Mode::kBare) {
        for (int i = 0; i < batch->lines; ++i) {
            if (!batch->writer->Append()) {
                return 1;
            }
        }
        return 0;
    }
    for (int i = 0; i < batch->lines; ++i) {
        if (batch->log->Log(L'I', kFunction, 1, kFormat, i, kPayload) != 1) {
            return 1;
        }
    }
    return 0;
}

// Seconds for `threads` threads to append `lines` lines each.
double RunThreads(Mode mode, int threads, int lines, CLogFile* log) {
    // One writer shared by the threads, as the log object is: one file handle, one mutex.
    BareWriter writer(BarePath(), BareMutexName());
    Batch batch{mode, lines, log, &writer};
    std::vector<platform::UniqueHandle> handles;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        handles.emplace_back(platform::BeginThread(&RunBatchThread, &batch, nullptr));
    }
    for (auto& handle : handles) {
        (void)platform::WaitForSingleObject(handle.Get(), platform::kInfinite);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void SetCounters(benchmark::State& state, double lines, double subject, double baseline,
                 double floor) {
    state.counters["lines_per_s"] = lines / subject;
    state.counters["baseline_lines_per_s"] = lines / baseline;
    state.counters["ratio"] = baseline / subject;
    state.counters["floor_lines_per_s"] = lines / floor;
    state.counters["floor_ratio"] = floor / subject;
}

void BM_AppendLines(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int lines = threads == 1 ? 4000 : 1000;
    static CLogFile log;
    OpenLog(&log, LogPath(), 1);
    double subject = 0;
    double baseline = 0;
    double floor = 0;
    for (auto _ : state) {
        EmptyFiles();
        floor += RunThreads(Mode::kFloor, threads, lines, &log);
        baseline += RunThreads(Mode::kBare, threads, lines, &log);
        const double s = RunThreads(Mode::kLog, threads, lines, &log);
        subject += s;
        state.SetIterationTime(s);
    }
    const double total = static_cast<double>(state.iterations()) * threads * lines;
    SetCounters(state, total, subject, baseline, floor);
    log.Close();
}
BENCHMARK(BM_AppendLines)
    ->Arg(1)
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// The roll-over's cost when no roll-over happens: one log appending with a size limit it never
// reaches, against the same log without a limit, alternating within each iteration.
// ratio = seconds with the limit / seconds without (1: no extra cost per line).
void BM_AppendLinesUnderALimit(benchmark::State& state) {
    constexpr int kLines = 4000;
    static CLogFile log;
    OpenLog(&log, LogPath(), 1);
    double limited = 0;
    double unlimited = 0;
    bool limitFirst = false;
    for (auto _ : state) {
        double seconds[2] = {};
        for (const bool limit : {limitFirst, !limitFirst}) {
            EmptyFiles();
            log.SetRollOver(limit ? 0xFFFFFFFFu : 0, 1);
            seconds[limit ? 1 : 0] = RunThreads(Mode::kLog, 1, kLines, &log);
        }
        limitFirst = !limitFirst;
        unlimited += seconds[0];
        limited += seconds[1];
        state.SetIterationTime(seconds[1]);
    }
    const double total = static_cast<double>(state.iterations()) * kLines;
    state.counters["lines_per_s"] = total / limited;
    state.counters["baseline_lines_per_s"] = total / unlimited;
    state.counters["ratio"] = limited / unlimited;
    log.Close();
}
BENCHMARK(BM_AppendLinesUnderALimit)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

int ProcessLines() {
    const std::wstring value = platform::GetEnvironmentVariable(L"KELTRA_BENCH_PROCESS_LINES");
    return value.empty() ? 5000 : std::stoi(value);
}

// Seconds for four child processes to append their lines.
double RunProcesses(Mode mode, int lines) {
    const wchar_t* name = mode == Mode::kBare ? L"bare" : mode == Mode::kFloor ? L"floor" : L"log";
    const std::vector<std::wstring> args = {platform::Utf8ToWide(kChildFlag), name, g_dir,
                                            BareMutexName(), std::to_wstring(lines)};
    std::vector<platform::UniqueHandle> children;
    const auto start = Clock::now();
    for (int c = 0; c < 4; ++c) {
        children.emplace_back(platform::StartProcess(platform::GetExecutablePath(), args));
    }
    for (auto& child : children) {
        (void)platform::WaitForSingleObject(child.Get(), platform::kInfinite);
        std::uint32_t code = 1;
        platform::GetExitCodeProcess(child.Get(), &code);
        if (code != 0) {
            std::fprintf(stderr, "log_bench: a writer child failed (%u)\n", code);
            std::exit(2);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_AppendLinesFourProcesses(benchmark::State& state) {
    const int lines = ProcessLines();
    double subject = 0;
    double baseline = 0;
    double floor = 0;
    for (auto _ : state) {
        EmptyFiles();
        floor += RunProcesses(Mode::kFloor, lines);
        baseline += RunProcesses(Mode::kBare, lines);
        const double s = RunProcesses(Mode::kLog, lines);
        subject += s;
        state.SetIterationTime(s);
    }
    const double total = static_cast<double>(state.iterations()) * 4 * lines;
    SetCounters(state, total, subject, baseline, floor);
}
BENCHMARK(BM_AppendLinesFourProcesses)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

int FormatOnce(int i) {
    wchar_t* buffer = nullptr;
    struct Call {
        static int Run(wchar_t** out, ...) {
            va_list args;
            va_start(args, out);
            const int n = CLogFile::FormatText(args, out, kFormat);
            va_end(args);
            return n;
        }
    };
    const int n = Call::Run(&buffer, i, kPayload);
    delete[] buffer;
    return n;
}

// Nanoseconds per call of f over n calls.
template <typename F>
double NanosPerCall(int n, F&& f) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        benchmark::DoNotOptimize(f(i));
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
}

// The fastest of 20 batches on each side: a batch of 20,000 calls of a few nanoseconds is
// easily doubled by one preemption on a loaded machine.
void CallCost(benchmark::State& state, CLogFile* log, wchar_t level) {
    constexpr int kCalls = 20000;
    double subject = 1e300;
    double baseline = 1e300;
    for (auto _ : state) {
        baseline = std::min(baseline, NanosPerCall(kCalls, [](int i) { return FormatOnce(i); }));
        const double s = NanosPerCall(
            kCalls, [&](int i) { return log->Log(level, kFunction, 1, kFormat, i, kPayload); });
        subject = std::min(subject, s);
        state.SetIterationTime(s * kCalls / 1e9);
    }
    state.counters["subject_ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["ratio"] = subject / baseline;
}

void BM_FilteredOutCall(benchmark::State& state) {
    static CLogFile log;
    OpenLog(&log, LogPath(), 1);
    log.SetLogLevel(4);  // only E passes; D is filtered out
    CallCost(state, &log, L'D');
    log.Close();
}
BENCHMARK(BM_FilteredOutCall)->UseManualTime()->Iterations(20);

void BM_ClosedLogCall(benchmark::State& state) {
    CallCost(state, &g_defaultLog, L'E');  // never opened in this program
}
BENCHMARK(BM_ClosedLogCall)->UseManualTime()->Iterations(20);

// A writer child: args mode, directory, bare mutex name, lines.
int RunChild(int argc, char** argv) {
    if (argc < 6) {
        return 2;
    }
    const std::string mode = argv[2];
    g_dir = platform::Utf8ToWide(argv[3]);
    const std::wstring mutexName = platform::Utf8ToWide(argv[4]);
    const int lines = std::atoi(argv[5]);
    if (mode == "floor") {
        Batch batch{Mode::kFloor, lines, nullptr, nullptr};
        return static_cast<int>(RunBatchThread(&batch));
    }
    if (mode == "bare") {
        BareWriter writer(BarePath(), mutexName);
        if (!writer.Ok()) {
            return 3;
        }
        for (int i = 0; i < lines; ++i) {
            if (!writer.Append()) {
                return 4;
            }
        }
        return 0;
    }
    CLogFile log;
    OpenLog(&log, LogPath(), 1);
    for (int i = 0; i < lines; ++i) {
        if (log.Log(L'I', kFunction, 1, kFormat, i, kPayload) != 1) {
            return 4;
        }
    }
    return 0;
}

std::wstring MakeBenchDirectory() {
    const std::wstring dir = platform::GetExecutableDirectory() + platform::kPathSeparator +
                             L"bench-tmp" + platform::kPathSeparator + L"log-" +
                             std::to_wstring(platform::GetCurrentProcessId());
    (void)platform::CreateDirectoryTree(dir.c_str());
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], kChildFlag) == 0) {
        return RunChild(argc, argv);
    }
    g_dir = MakeBenchDirectory();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    platform::DeleteFile(LogPath().c_str());
    platform::DeleteFile(BarePath().c_str());
    platform::DeleteFile(FloorPath().c_str());
    return 0;
}
