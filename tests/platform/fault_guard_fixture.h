// Fault-guard test fixture: the foreign fault library (testlib_faults), guarded-call helpers,
// a one-shot gate for lining threads up, and whether we run under Wine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "platform/event.h"
#include "platform/fault_guard.h"
#include "platform/handle.h"
#include "platform/wait.h"
#include "tests/support/test_support.h"

namespace keltra::test::faults {

/// The exports of testlib_faults, loaded once per process (the Windows-only ones are null
/// elsewhere).
struct FaultLibrary {
    void (*writeTo)(std::uintptr_t);
    int (*divide)(int, int);
    void (*undefinedInstruction)();
    void (*breakpoint)();
    void (*throwThroughDestructors)();
    int (*throwAndCatchInside)();
    int (*recurse)(int);
    int (*trackedAlive)();
    int (*localsDestroyed)();
    void (*raiseCode)(std::uint32_t);
    int (*probeUnreadable)(std::uintptr_t);
};

inline const FaultLibrary& Lib() {
    static const FaultLibrary library = [] {
        FaultLibrary l = {};
        platform::Module m = platform::LoadLibrary(PluginPath(L"testlib_faults").c_str());
        EXPECT_NE(m, nullptr) << "cannot load testlib_faults";
        auto resolve = [m](const char* name, auto* target) {
            *target = reinterpret_cast<std::remove_pointer_t<decltype(target)>>(
                m != nullptr ? platform::GetProcAddress(m, name) : nullptr);
        };
        resolve("WriteTo", &l.writeTo);
        resolve("Divide", &l.divide);
        resolve("ExecuteUndefinedInstruction", &l.undefinedInstruction);
        resolve("ExecuteBreakpoint", &l.breakpoint);
        resolve("ThrowThroughDestructors", &l.throwThroughDestructors);
        resolve("ThrowAndCatchInside", &l.throwAndCatchInside);
        resolve("Recurse", &l.recurse);
        resolve("TrackedAlive", &l.trackedAlive);
        resolve("LocalsDestroyed", &l.localsDestroyed);
        resolve("RaiseCode", &l.raiseCode);
        resolve("ProbeUnreadable", &l.probeUnreadable);
        return l;
    }();
    return library;
}

/// Runs f() in a guard; *info gets what ended it.
template <typename F>
bool Guarded(F f, platform::FaultInfo* info = nullptr) {
    return platform::RunGuarded([](void* p) { (*static_cast<F*>(p))(); }, &f, info);
}

/// Runs f() in a guard that must end with a fault, and says which.
template <typename F>
platform::FaultInfo Faulting(F f) {
    platform::FaultInfo info;
    EXPECT_FALSE(Guarded(f, &info)) << "the routine was expected to fault";
    return info;
}

/// A one-shot gate: a manual-reset event of the platform layer.
class Gate {
  public:
    void Open() { (void)platform::SetEvent(m_event.Get()); }
    void Wait() { (void)platform::WaitForSingleObject(m_event.Get(), platform::kInfinite); }

  private:
    platform::UniqueHandle m_event{platform::CreateEvent(true, false)};
};

/// True under Wine (its ntdll exports wine_get_version; POSIX has no ntdll at all).
inline bool RunningUnderWine() {
    platform::Module ntdll = platform::LoadLibrary(L"ntdll.dll");
    const bool wine =
        ntdll != nullptr && platform::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    if (ntdll != nullptr) {
        (void)platform::FreeLibrary(ntdll);
    }
    return wine;
}

/// Exit code of a child role that was not ended by its fault.
inline constexpr int kSurvived = 7;

}  // namespace keltra::test::faults
