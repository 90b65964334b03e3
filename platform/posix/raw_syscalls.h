// Raw Linux x86-64 system calls for the crash path: no errno, no libc wrapper (a sanitizer's
// interceptors would check or report the memory that a dump copies). Each returns the result
// (>= 0) or -errno. Async-signal-safe; no state.
#pragma once

#include <sys/syscall.h>

#include <cstddef>
#include <cstdint>

#if !defined(__x86_64__)
#error "The raw system calls are x86-64; port them (and the crash context layout) first."
#endif

namespace platform::posix::crash {

inline long Syscall(long number, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0,
                    long a6 = 0) noexcept {
    long result;
    register long r10 __asm__("r10") = a4;
    register long r8 __asm__("r8") = a5;
    register long r9 __asm__("r9") = a6;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

inline long SysOpen(const char* path, int flags, int mode) noexcept {
    return Syscall(SYS_openat, -100 /* AT_FDCWD */, reinterpret_cast<long>(path), flags, mode);
}
inline long SysRead(int fd, void* buffer, std::size_t bytes) noexcept {
    return Syscall(SYS_read, fd, reinterpret_cast<long>(buffer), static_cast<long>(bytes));
}
inline long SysWrite(int fd, const void* data, std::size_t bytes) noexcept {
    return Syscall(SYS_write, fd, reinterpret_cast<long>(data), static_cast<long>(bytes));
}
inline long SysPwrite(int fd, const void* data, std::size_t bytes, std::uint64_t offset) noexcept {
    return Syscall(SYS_pwrite64, fd, reinterpret_cast<long>(data), static_cast<long>(bytes),
                   static_cast<long>(offset));
}
inline long SysLseek(int fd, std::int64_t offset, int whence) noexcept {
    return Syscall(SYS_lseek, fd, static_cast<long>(offset), whence);
}
inline long SysClose(int fd) noexcept {
    return Syscall(SYS_close, fd);
}
inline long SysUnlink(const char* path) noexcept {
    return Syscall(SYS_unlinkat, -100 /* AT_FDCWD */, reinterpret_cast<long>(path), 0);
}
inline long SysGetdents64(int fd, void* buffer, std::size_t bytes) noexcept {
    return Syscall(SYS_getdents64, fd, reinterpret_cast<long>(buffer), static_cast<long>(bytes));
}
inline long SysGetpid() noexcept {
    return Syscall(SYS_getpid);
}
inline long SysGettid() noexcept {
    return Syscall(SYS_gettid);
}
/// The kernel's struct timespec, for clock_gettime and nanosleep.
struct KernelTimespec {
    long seconds;
    long nanoseconds;
};

[[noreturn]] inline void SysExitGroup(int code) noexcept {
    for (;;) {
        Syscall(SYS_exit_group, code);
    }
}

}  // namespace platform::posix::crash
