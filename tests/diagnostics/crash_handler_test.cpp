// Crash handler: real child processes meet each kind of fatal event and must end with exit code
// 1, leaving a minidump that names the faulting thread and module.
#include <atomic>
#include <limits>
#include <new>
#include <stdexcept>

#include "tests/diagnostics/crash_test_support.h"

namespace {

using namespace keltra::test::crash;
using keltra::test::RunChild;

// ---- The events. Out of line and free of sanitizer checks, so that the processor faults
// for real and the backtrace shows them by name.

__attribute__((noinline, no_sanitize("undefined"))) void CrashDivideByZero() {
    volatile int dividend = 7, zero = 0;  // unknown to the compiler, so a real division
    volatile int result = dividend / zero;
    (void)result;
}

__attribute__((noinline)) void CrashIllegalInstruction() {
    __builtin_trap();
}

volatile int g_recursionLimit = -1;  // never reached: the stack runs out first

__attribute__((noinline, no_sanitize("address"))) int Recurse(int depth) {
    volatile char frame[512];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    if (depth == g_recursionLimit) {
        return 0;
    }
    return Recurse(depth + 1) + frame[(depth + 1) % sizeof frame];
}

__attribute__((noinline)) void CrashStackOverflow() {
    (void)Recurse(0);
}

__attribute__((noinline)) void CrashOperatorNew() {
    volatile std::size_t huge = std::numeric_limits<std::size_t>::max() / 4;
    ::operator delete(::operator new(huge));
}

__attribute__((noinline)) void CrashUncaughtException() {
    throw std::runtime_error("nobody catches this");
}

// A raised signal, well below the frames of a fault that a guarded call met and handled
// earlier on the same thread: the dump must show the raise, not that old fault.
__attribute__((noinline)) void RaiseBelow(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == 0) {
        std::raise(SIGSEGV);
    } else {
        RaiseBelow(depth - 1);
    }
    frame[1] = frame[0];  // no tail call
}

// A fault on a thread without a guard while another thread sits in one: the other thread's
// guard must not take it.
__attribute__((noinline)) void CrashBesideAGuard() {
    static keltra::test::faults::Gate entered;
    (void)platform::BeginThread(
        [](void*) -> std::uint32_t {
            return platform::RunGuarded(
                [](void*) { entered.Open(), platform::Sleep(platform::kInfinite); }, nullptr);
        },
        nullptr, nullptr);
    entered.Wait();
    CrashNullWrite();
}

__attribute__((noinline)) void CrashRaiseAfterGuardedFault() {
    (void)platform::RunGuarded([](void*) { CrashNullWrite(); }, nullptr);
    RaiseBelow(16);
}

}  // namespace

// Outside the anonymous namespace and called through a function the optimiser may not look
// into: otherwise it resolves the call to the one override and never reaches the pure entry.
namespace keltra::test::crash {
struct PureBase {
    PureBase() { Start(); }
    virtual ~PureBase() = default;
    __attribute__((noipa)) void Start() {
        PureBase* volatile self = this;
        self->Run();  // during construction the dispatch lands on the pure entry
    }
    virtual void Run() = 0;
};
struct PureDerived : PureBase {
    void Run() override {}
};
}  // namespace keltra::test::crash

namespace {

__attribute__((noinline)) void CrashPureVirtualCall() {
    PureDerived object;
}

// Wine dispatches a stack overflow with only its 4 KiB guard page left and ends the thread
// when that runs out, so no unhandled-exception filter runs.
constexpr const char* kWineOverflowGap = "no room to handle a stack overflow";

// Captured information (Windows code 0) where no exception lies behind the event; on Windows
// a raised signal has no exception pointers, on Linux each keeps the signal's own context.
const CrashCase kCrashes[] = {
    {"null_write", CrashNullWrite, "CrashNullWrite", 0xC0000005, SIGSEGV},
    {"null_write_on_thread", CrashNullWrite, "CrashNullWrite", 0xC0000005, SIGSEGV, true},
    {"null_write_beside_a_guard", CrashBesideAGuard, "CrashNullWrite", 0xC0000005, SIGSEGV, false,
     true, nullptr, 2},
    {"divide_by_zero", CrashDivideByZero, "CrashDivideByZero", 0xC0000094, SIGFPE},
    {"illegal_instruction", CrashIllegalInstruction, "CrashIllegalInstruction", 0xC000001D, SIGILL},
    {"stack_overflow", CrashStackOverflow, "Recurse", 0xC00000FD, SIGSEGV, false, true,
     kWineOverflowGap},
    {"stack_overflow_on_thread", CrashStackOverflow, "Recurse", 0xC00000FD, SIGSEGV, true, true,
     kWineOverflowGap},
    {"uncaught_exception", CrashUncaughtException, "CrashUncaughtException", 0, 0},
    {"pure_virtual", CrashPureVirtualCall, "CrashPureVirtualCall", 0, 0},
    {"operator_new", CrashOperatorNew, "CrashOperatorNew", 0, 0},
    {"abort", [] { std::abort(); }, "MeetCrash", 0, SIGABRT, false, false},
    {"raise_sigterm", [] { std::raise(SIGTERM); }, "MeetCrash", 0, SIGTERM, false, false},
    {"raise_sigint", [] { std::raise(SIGINT); }, "MeetCrash", 0, SIGINT, false, false},
    {"raise_sigsegv", [] { std::raise(SIGSEGV); }, "MeetCrash", 0, SIGSEGV, false, false},
    {"raise_sigfpe", [] { std::raise(SIGFPE); }, "MeetCrash", 0, SIGFPE, false, false},
    {"raise_sigill", [] { std::raise(SIGILL); }, "MeetCrash", 0, SIGILL, false, false},
    {"raise_after_guarded_fault", CrashRaiseAfterGuardedFault, "RaiseBelow", 0, SIGSEGV, false,
     false},
};

KELTRA_CHILD_ROLE(crash) {
    return MeetCrash(args, kCrashes);
}

class CrashKindTest : public CrashTest, public testing::WithParamInterface<CrashCase> {};

TEST_P(CrashKindTest, EndsWithExitCodeOneAndADump) {
    ExpectCrash(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Events, CrashKindTest, testing::ValuesIn(kCrashes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Two threads at once, a contained fault, and dump paths.

std::atomic<int> g_ready{0};

std::uint32_t FaultTogether(void*) {
    g_ready.fetch_add(1);
    while (g_ready.load() < 2) {
    }
    CrashNullWrite();
    return 0;
}

KELTRA_CHILD_ROLE(crash_two_threads) {
    InstallCrashHandler(args.at(0));
    platform::UniqueHandle first(platform::BeginThread(&FaultTogether, nullptr, nullptr));
    platform::UniqueHandle second(platform::BeginThread(&FaultTogether, nullptr, nullptr));
    (void)platform::WaitForSingleObject(first.Get(), platform::kInfinite);
    (void)platform::WaitForSingleObject(second.Get(), platform::kInfinite);
    return 0;
}

KELTRA_CHILD_ROLE(guarded_fault_then_exit) {
    InstallCrashHandler(args.at(0));
    return platform::RunGuarded([](void*) { CrashNullWrite(); }, nullptr) ? 2 : 0;
}

// The path buffer filled to its last character with no terminator.
KELTRA_CHILD_ROLE(crash_unterminated_path) {
    InstallCrashHandler(L"");
    std::fill(std::begin(Stoneleaf::g_crashDumpPath), std::end(Stoneleaf::g_crashDumpPath), L'a');
    CrashNullWrite();
    return 0;
}

TEST_F(CrashTest, TwoThreadsCrashingTogetherLeaveOneCompleteDump) {
    // Repeated: the race differs from run to run. Fewer runs where each dump takes seconds
    // (Wine's dbghelp loads every module's symbols).
    for (int run = 0; run < (RunningUnderWine() ? 2 : 5); ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(1u, RunChild("crash_two_threads", {m_dump}));
        const Dump dump = ReadDump(m_dump);
        ExpectSaneDump(dump, 0);
        EXPECT_EQ(dump.IsLinux() ? SIGSEGV : 0xC0000005u, dump.exceptionCode);
        fs::remove(fs::path(m_dump));
    }
}

TEST_F(CrashTest, AGuardedFaultIsContainedAndWritesNoDump) {
    EXPECT_EQ(0u, RunChild("guarded_fault_then_exit", {m_dump}));
    EXPECT_FALSE(fs::exists(m_dump));
}

TEST_F(CrashTest, WithoutAUsablePathTheProcessStillEndsWithExitCodeOneAndNoFile) {
    const std::wstring missing = JoinPath(m_directory, L"missing");
    EXPECT_EQ(1u, RunChild("crash", {JoinPath(missing, L"x.dmp"), L"", L"abort"}));
    EXPECT_FALSE(fs::exists(missing));  // the directory is not created
    // A path buffer without a terminator names no file at all (nothing is read past it).
    EXPECT_EQ(1u, RunChild("crash_unterminated_path"));
}

}  // namespace
