// Private to the POSIX crash backend: the helpers of the crash path shared by the crash hooks,
// the minidump writer and its parts (the thread snapshot, byte copies without libc).
//
// Everything here is for the crash path: no allocation, no locks, no errno, no libc wrappers
// (a sanitizer's interceptors would check or report the memory that a dump copies).
#pragma once

#include <cstddef>
#include <cstdint>

#include "minidump/minidump_format.h"

namespace platform::posix::crash {

// ---- Shared between the hooks and the writer (crash_posix.cpp)

/// Fills an x64 context from a signal's ucontext_t.
void ContextFromSignal(const void* userContext, ContextAmd64* context) noexcept;

/// At most this many other threads have their registers taken; the rest are listed without.
inline constexpr std::uint32_t kMaxSnapshotThreads = 256;

/// The other threads' registers at the moment of the crash: each listed thread is sent the
/// crash handler's snapshot signal, stores its context from the signal, marks answered[i] and
/// then holds still (its stack must not change while it is copied) until the process ends.
/// Waits at most timeoutMs for all answers: a thread that blocks the signal, or never gets
/// scheduled, stays without a context. Single use per crash; callers hold the crash gate.
void SnapshotThreads(const std::uint32_t* threadIds, std::uint32_t count, ContextAmd64* contexts,
                     bool* answered, std::uint32_t timeoutMs) noexcept;

// ---- Small crash-path helpers (no libc: the sanitizers intercept memset and friends too).

inline void ZeroBytes(void* target, std::size_t bytes) noexcept {
    auto* p = static_cast<volatile unsigned char*>(target);
    for (std::size_t i = 0; i < bytes; ++i) {
        p[i] = 0;
    }
}
inline std::size_t TextLength(const char* text) noexcept {
    std::size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}
inline void CopyBytes(void* target, const void* source, std::size_t bytes) noexcept {
    auto* t = static_cast<volatile unsigned char*>(target);
    const auto* s = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < bytes; ++i) {
        t[i] = s[i];
    }
}

}  // namespace platform::posix::crash
