// A foreign library for the fault-guard tests: exports that fault in each way a plug-in can,
// and that throw C++ exceptions through frames with destructors.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "keltra/plugin.h"

namespace {

std::atomic<int> g_trackedAlive{0};
std::atomic<int> g_localsDestroyed{0};

// The exception type thrown: counts its live instances, so a leaked exception object shows.
struct Tracked : std::runtime_error {
    Tracked() : std::runtime_error(std::string(200, 't')) { ++g_trackedAlive; }
    Tracked(const Tracked& other) : std::runtime_error(other) { ++g_trackedAlive; }
    ~Tracked() override { --g_trackedAlive; }
};

// A frame with a destructor: unwinding must run it.
struct Local {
    ~Local() { ++g_localsDestroyed; }
};

__attribute__((noinline)) void ThrowFromDeeper() {
    Local local;
    std::string text(64, 'x');  // heap memory owned by the frame
    throw Tracked();
}

}  // namespace

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL TrackedAlive(void) {
    return g_trackedAlive.load();
}

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL LocalsDestroyed(void) {
    return g_localsDestroyed.load();
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL WriteTo(std::uintptr_t address) {
    *reinterpret_cast<volatile int*>(address) = 1;
}

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL Divide(int dividend, int divisor) {
    volatile int a = dividend;
    volatile int b = divisor;
    return a / b;
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL ExecuteUndefinedInstruction(void) {
    __builtin_trap();
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL ExecuteBreakpoint(void) {
    __asm__ volatile("int3");
}

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL ThrowThroughDestructors(void) {
    Local local;
    ThrowFromDeeper();
}

/// Recurses until the stack runs out. The frame is used after the call, so no optimiser can
/// turn the recursion into a loop.
KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL Recurse(int depth) {
    if (depth < 0) {
        return 0;  // never: the stack runs out long before the count wraps
    }
    volatile char frame[512];
    frame[depth % 512] = 1;
    const int below = Recurse(depth + 1);
    __asm__ volatile("" : : "r"(frame) : "memory");
    return below + frame[0];
}
