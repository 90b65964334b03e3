// The test plug-ins' extra exports: what each plug-in recorded, how a test configures it,
// and the notifications it sends back into the test.
//
// Every test plug-in (one source, many variants built with compile definitions) exports the
// five required entry points (less any a variant omits) and these test exports:
//   "TestGetRecord"   TestPluginRecord* (void): the plug-in's record, valid while loaded
//   "TestConfigure"   void (const TestPluginConfig*): replaces the behaviour
//   "TestSetNotify"   void (TestNotifyFn, void* context): callback on notable moments
//   "TestRelease"     void (void): lets a blocked "Handler" and a "Main" that ignores
//                     "Unload" return
// A test keeps the library loaded with a load of its own, so that the record outlives the
// host's FreeLibrary and can be read after the plug-in was destroyed.
#pragma once

#include <atomic>
#include <cstdint>

namespace keltra::test {

/// What "Main" does: return once "Unload" was called (well-behaved), return at once, or run
/// until TestRelease whatever "Unload" says (hangs).
enum class MainMode : std::uint32_t { WaitForUnload = 0, ReturnAtOnce = 1, IgnoreUnload = 2 };

/// What "IsAlive" answers; Toggle: true, false, true, ... starting with true.
enum class AliveMode : std::uint32_t { Always = 0, Never = 1, Toggle = 2 };

struct TestPluginConfig {
    MainMode mainMode = MainMode::WaitForUnload;
    AliveMode aliveMode = AliveMode::Always;
    std::uint32_t handlerBlocks = 0;  ///< nonzero: "Handler" waits for TestRelease
};

/// Moments a plug-in reports through the notify callback, on the thread where they happen.
enum class TestEvent : std::uint32_t {
    MainEntered = 1,
    MainLeft,
    HandlerEntered,
    HandlerLeft,
    UnloadCalled
};
using TestNotifyFn = void (*)(void* context, TestEvent event);

/// One "Handler" call as the plug-in saw it.
struct HandlerCall {
    std::uint32_t control;
    std::uint32_t eventType;
    void* eventData;
    void* context;
    std::uint32_t threadId;
};

inline constexpr std::uint32_t kMaxRecordedCalls = 256;

/// The result "Handler" returns for a control code, so tests can see it stored.
inline constexpr std::uint32_t HandlerResultFor(std::uint32_t control) {
    return 0x1000 + control;
}

struct TestPluginRecord {
    std::atomic<std::uint32_t> mainCalls{0};
    std::atomic<std::uint32_t> mainReturns{0};
    std::atomic<std::uint32_t> handlerCalls{0};
    std::atomic<std::uint32_t> unloadCalls{0};
    std::atomic<std::uint32_t> isAliveCalls{0};
    std::atomic<std::uint32_t> getDescriptionCalls{0};
    std::atomic<std::uint32_t> onDeleteServiceCalls{0};
    std::atomic<std::uint32_t> mainThreadId{0};
    std::atomic<std::uint32_t> unloadThreadId{0};
    std::atomic<std::uint32_t> handlersRunning{0};
    std::atomic<std::uint32_t> handlerOverlaps{0};  ///< calls that began while another ran
    wchar_t mainFirstArg[64] = {};
    HandlerCall calls[kMaxRecordedCalls] = {};
};

using TestGetRecordFn = TestPluginRecord* (*)();
using TestConfigureFn = void (*)(const TestPluginConfig*);
using TestSetNotifyFn = void (*)(TestNotifyFn, void*);
using TestReleaseFn = void (*)();

}  // namespace keltra::test
