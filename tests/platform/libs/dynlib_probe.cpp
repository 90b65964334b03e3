// A small library for the dynamic-library tests: an initialiser that must have run, exports
// whose names differ only in case, and state that shows whether the library was unloaded.
#include "keltra/plugin.h"

namespace {

int g_initialised = 0;
int g_counter = 0;

struct Initialiser {
    Initialiser() { ++g_initialised; }
} g_initialiser;

}  // namespace

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL ProbeAnswer(void) {
    return 42;
}

KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL probeanswer(void) {
    return 7;
}

/// Counts calls; starts again at 1 only after the library was really unloaded and reloaded.
/// 0 when its initialiser did not run.
KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL ProbeCount(void) {
    return g_initialised * ++g_counter;
}
