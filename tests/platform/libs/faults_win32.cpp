// The Windows-only exports of the fault-guard test library: raised structured exceptions and
// a system call that handles a fault with its own structured exception handler.
#include <cstdint>

#include "keltra/plugin.h"

// A plug-in is foreign code and does not use the host's platform layer: it declares the two
// kernel32 functions it needs itself.
extern "C" __declspec(dllimport) void __stdcall RaiseException(unsigned long code,
                                                               unsigned long flags,
                                                               unsigned long count,
                                                               const std::uintptr_t* arguments);
extern "C" __declspec(dllimport) int __stdcall IsBadReadPtr(const void* address,
                                                            std::uintptr_t size);

KELTRA_PLUGIN_EXPORT void KELTRA_PLUGIN_CALL RaiseCode(std::uint32_t code) {
    RaiseException(code, 0, 0, nullptr);
}

/// IsBadReadPtr reads the memory inside its own __try: 1 when that handler caught the fault.
KELTRA_PLUGIN_EXPORT int KELTRA_PLUGIN_CALL ProbeUnreadable(const void* address) {
    return IsBadReadPtr(address, 4);
}
