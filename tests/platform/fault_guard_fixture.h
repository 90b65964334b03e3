// Fault-guard test fixture: the foreign fault library (testlib_faults), guarded-call helpers,
// and a one-shot gate for lining threads up (the crash-handler tests use it too).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/dynamic_library.h"
#include "platform/event.h"
#include "platform/fault_guard.h"
#include "platform/handle.h"
#include "platform/wait.h"
#include "tests/support/test_support.h"

namespace keltra::test::faults {

/// An export of testlib_faults, which is loaded once per process; null when it lacks it.
template <typename Function>
Function Export(const char* name) {
    static const platform::Module library =
        platform::LoadLibrary(PluginPath(L"testlib_faults").c_str());
    EXPECT_NE(library, nullptr) << "cannot load testlib_faults";
    return reinterpret_cast<Function>(library != nullptr ? platform::GetProcAddress(library, name)
                                                         : nullptr);
}

/// The library's exports common to both platforms.
struct Lib {
    using Void = void (*)();
    static void WriteTo(std::uintptr_t at) { Export<void (*)(std::uintptr_t)>("WriteTo")(at); }
    static int Divide(int a, int b) { return Export<int (*)(int, int)>("Divide")(a, b); }
    static void UndefinedInstruction() { Export<Void>("ExecuteUndefinedInstruction")(); }
    static void Breakpoint() { Export<Void>("ExecuteBreakpoint")(); }
    static void ThrowThroughDestructors() { Export<Void>("ThrowThroughDestructors")(); }
    static int Recurse() { return Export<int (*)(int)>("Recurse")(0); }
    static int TrackedAlive() { return Export<int (*)()>("TrackedAlive")(); }
    static int LocalsDestroyed() { return Export<int (*)()>("LocalsDestroyed")(); }
};

/// Runs f() in a guard; *info gets what ended it.
template <typename F>
bool Guarded(F f, platform::FaultInfo* info = nullptr) {
    return platform::RunGuarded([](void* p) { (*static_cast<F*>(p))(); }, &f, info);
}

/// A one-shot gate: a manual-reset event of the platform layer.
class Gate {
  public:
    void Open() { (void)platform::SetEvent(m_event.Get()); }
    void Wait() { (void)platform::WaitForSingleObject(m_event.Get(), platform::kInfinite); }

  private:
    platform::UniqueHandle m_event{platform::CreateEvent(true, false)};
};

using keltra::test::RunningUnderWine;

/// Exit code of a child role that was not ended by its fault.
inline constexpr int kSurvived = 7;

}  // namespace keltra::test::faults
