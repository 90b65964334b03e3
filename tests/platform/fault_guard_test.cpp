// Tests of platform/fault_guard.h: every fault kind raised inside a real foreign library,
// repeated, on many threads at once, and nested.
#include "platform/fault_guard.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "tests/platform/fault_guard_fixture.h"

namespace {

using namespace keltra::test::faults;
using platform::FaultInfo;
using platform::FaultKind;

struct FaultCase {
    const char* name;
    void (*raise)();
    FaultKind kind;
    std::uintptr_t address = 0;  // the data address an access violation reports
    int destructors = 0;         // destructors the unwinding runs
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

const FaultCase kFaults[] = {
    {"AccessViolation", [] { Lib::WriteTo(16); }, FaultKind::kAccessViolation, 16},
    {"NullWrite", [] { Lib::WriteTo(0); }, FaultKind::kAccessViolation},
    {"DivideByZero", [] { (void)Lib::Divide(1, 0); }, FaultKind::kIntegerDivideByZero},
    {"IllegalInstruction", [] { Lib::UndefinedInstruction(); }, FaultKind::kIllegalInstruction},
    {"Breakpoint", [] { Lib::Breakpoint(); }, FaultKind::kBreakpoint},
    {"LibraryThrow", [] { Lib::ThrowThroughDestructors(); }, FaultKind::kCppException, 0, 2},
    {"HostThrow", [] { throw std::runtime_error("host code throws"); }, FaultKind::kCppException},
    {"StackOverflow", [] { (void)Lib::Recurse(); }, FaultKind::kStackOverflow},
};

constexpr int kRounds = 200;
constexpr int kThreads = 4;

// Wrong outcomes of a case raised kRounds times, each from the same stack depth (a guard that
// lets the stack creep shows), then of a call that does not fault.
std::uint32_t WrongOutcomes(const FaultCase& c) {
    std::uint32_t wrong = 0;
    std::uintptr_t depth = 0;
    for (int i = 0; i < kRounds; ++i) {
        FaultInfo info;
        const bool completed = Guarded(
            [&] {
                volatile int marker = 0;
                wrong += depth != 0 && reinterpret_cast<std::uintptr_t>(&marker) != depth;
                depth = reinterpret_cast<std::uintptr_t>(&marker);
                c.raise();
            },
            &info);
        wrong += completed || info.kind != c.kind ||
                 info.address != reinterpret_cast<const void*>(c.address);
    }
    return wrong + (platform::CallGuarded<int>([] { return Lib::Divide(9, 3); }, -1) != 3);
}

class FaultMatrix : public testing::TestWithParam<FaultCase> {};

// Each kind, again and again on this thread and at the same time on threads the platform
// starts: only the call ends, every time, and no exception object or destructor is lost.
TEST_P(FaultMatrix, EndsOnlyTheCallAgainAndAgainOnManyThreadsAtOnce) {
    const FaultCase& c = GetParam();
    if (c.kind == FaultKind::kStackOverflow && RunningUnderWine()) {
        GTEST_SKIP() << "Wine gap: it ignores the stack guarantee and ends the process";
    }
    const int destroyedBefore = Lib::LocalsDestroyed();
    auto run = [](void* p) { return WrongOutcomes(*static_cast<const FaultCase*>(p)); };
    std::vector<platform::UniqueHandle> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(platform::BeginThread(run, const_cast<FaultCase*>(&c), nullptr));
    }
    EXPECT_EQ(WrongOutcomes(c), 0u);
    for (const platform::UniqueHandle& thread : threads) {
        std::uint32_t wrong = 99;
        ASSERT_EQ(platform::WaitForSingleObject(thread.Get(), 60000), platform::kWaitObject0);
        EXPECT_TRUE(platform::GetExitCodeThread(thread.Get(), &wrong) && wrong == 0) << wrong;
    }
    EXPECT_EQ(Lib::TrackedAlive(), 0) << "exception objects leaked";
    EXPECT_EQ(Lib::LocalsDestroyed() - destroyedBefore, (kThreads + 1) * kRounds * c.destructors);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultMatrix, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// The inner guard takes the fault and leaves the outer one innermost again.
TEST(FaultGuard, TheInnermostGuardTakesTheFault) {
    FaultInfo inner, outer;
    EXPECT_FALSE(Guarded(
        [&] {
            EXPECT_FALSE(Guarded([] { Lib::WriteTo(0); }, &inner));
            (void)Lib::Divide(1, 0);
        },
        &outer));
    EXPECT_EQ(inner.kind, FaultKind::kAccessViolation);
    EXPECT_EQ(outer.kind, FaultKind::kIntegerDivideByZero);
}

}  // namespace
