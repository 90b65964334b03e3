// Private to the POSIX crash backend: raw Linux x86-64 system calls, the minidump file layout
// and the crash-path helpers shared by the crash hooks, the minidump writer and its parts.
//
// Everything here is for the crash path: no allocation, no locks, no errno, no libc wrappers
// (a sanitizer's interceptors would check or report the memory that a dump copies).
#pragma once

#include <sys/syscall.h>

#include <cstddef>
#include <cstdint>

#include "platform/crash.h"

#if !defined(__x86_64__)
#error \
    "The POSIX crash backend writes x86-64 contexts; port CaptureCurrentContext and the context layout first."
#endif

namespace platform::posix::crash {

// ---- Raw system calls: result >= 0, or -errno.

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

// ---- Minidump file layout (little-endian, packed to 4 as in the format's definition).

inline constexpr std::uint32_t kMinidumpSignature = 0x504D444D;  // "MDMP"
inline constexpr std::uint32_t kMinidumpVersion = 0xA793;

enum : std::uint32_t {
    kThreadListStream = 3,
    kModuleListStream = 4,
    kMemoryListStream = 5,
    kExceptionStream = 6,
    kSystemInfoStream = 7,
    kMiscInfoStream = 15,
    kLinuxMapsStream = 0x47670009,  // the text of /proc/self/maps, as crash tools expect it
};

enum : std::uint32_t {
    kProcessorArchitectureAmd64 = 9,
    kPlatformIdLinux = 0x8201,
    kMiscInfoProcessId = 1,
    kContextAmd64 = 0x00100000,
    kContextControl = kContextAmd64 | 0x1,
    kContextInteger = kContextAmd64 | 0x2,
    kContextSegments = kContextAmd64 | 0x4,
    kContextFloatingPoint = kContextAmd64 | 0x8,
};

#pragma pack(push, 4)
struct MdLocation {
    std::uint32_t dataSize;
    std::uint32_t rva;
};
struct MdMemoryDescriptor {
    std::uint64_t startOfMemoryRange;
    MdLocation memory;
};
struct MdHeader {
    std::uint32_t signature;
    std::uint32_t version;
    std::uint32_t numberOfStreams;
    std::uint32_t streamDirectoryRva;
    std::uint32_t checkSum;
    std::uint32_t timeDateStamp;
    std::uint64_t flags;
};
struct MdDirectory {
    std::uint32_t streamType;
    MdLocation location;
};
struct MdThread {
    std::uint32_t threadId;
    std::uint32_t suspendCount;
    std::uint32_t priorityClass;
    std::uint32_t priority;
    std::uint64_t teb;
    MdMemoryDescriptor stack;
    MdLocation threadContext;
};
struct MdModule {
    std::uint64_t baseOfImage;
    std::uint32_t sizeOfImage;
    std::uint32_t checkSum;
    std::uint32_t timeDateStamp;
    std::uint32_t moduleNameRva;
    std::uint32_t versionInfo[13];
    MdLocation cvRecord;
    MdLocation miscRecord;
    std::uint64_t reserved0;
    std::uint64_t reserved1;
};
struct MdException {
    std::uint32_t exceptionCode;
    std::uint32_t exceptionFlags;
    std::uint64_t exceptionRecord;
    std::uint64_t exceptionAddress;
    std::uint32_t numberParameters;
    std::uint32_t unusedAlignment;
    std::uint64_t exceptionInformation[15];
};
struct MdExceptionStream {
    std::uint32_t threadId;
    std::uint32_t alignment;
    MdException exceptionRecord;
    MdLocation threadContext;
};
struct MdSystemInfo {
    std::uint16_t processorArchitecture;
    std::uint16_t processorLevel;
    std::uint16_t processorRevision;
    std::uint8_t numberOfProcessors;
    std::uint8_t productType;
    std::uint32_t majorVersion;
    std::uint32_t minorVersion;
    std::uint32_t buildNumber;
    std::uint32_t platformId;
    std::uint32_t csdVersionRva;
    std::uint16_t suiteMask;
    std::uint16_t reserved2;
    std::uint32_t vendorId[3];
    std::uint32_t versionInformation;
    std::uint32_t featureInformation;
    std::uint32_t amdExtendedCpuFeatures;
};
struct MdMiscInfo {
    std::uint32_t sizeOfInfo;
    std::uint32_t flags1;
    std::uint32_t processId;
    std::uint32_t processCreateTime;
    std::uint32_t processUserTime;
    std::uint32_t processKernelTime;
};
#pragma pack(pop)

static_assert(sizeof(MdHeader) == 32);
static_assert(sizeof(MdDirectory) == 12);
static_assert(sizeof(MdMemoryDescriptor) == 16);
static_assert(sizeof(MdThread) == 48);
static_assert(sizeof(MdModule) == 108);
static_assert(sizeof(MdException) == 152);
static_assert(sizeof(MdExceptionStream) == 168);
static_assert(sizeof(MdSystemInfo) == 56);
static_assert(sizeof(MdMiscInfo) == 24);

// The x64 CONTEXT (the minidump's CONTEXT_AMD64), as ContextRecord holds it.
struct alignas(16) ContextAmd64 {
    std::uint64_t pHome[6];
    std::uint32_t contextFlags;
    std::uint32_t mxCsr;
    std::uint16_t segCs, segDs, segEs, segFs, segGs, segSs;
    std::uint32_t eFlags;
    std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
    std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    std::uint64_t rip;
    unsigned char fltSave[512];  // the FXSAVE area
    unsigned char vectorRegister[26 * 16];
    std::uint64_t vectorControl;
    std::uint64_t debugControl;
    std::uint64_t lastBranchToRip, lastBranchFromRip, lastExceptionToRip, lastExceptionFromRip;
};
static_assert(sizeof(ContextAmd64) == sizeof(ContextRecord));
static_assert(offsetof(ContextAmd64, contextFlags) == 0x30);
static_assert(offsetof(ContextAmd64, eFlags) == 0x44);
static_assert(offsetof(ContextAmd64, rax) == 0x78);
static_assert(offsetof(ContextAmd64, rsp) == 0x98);
static_assert(offsetof(ContextAmd64, rip) == 0xF8);
static_assert(offsetof(ContextAmd64, fltSave) == 0x100);
static_assert(offsetof(ContextAmd64, vectorControl) == 0x4A0);

// The x64 EXCEPTION_RECORD, as ExceptionRecord holds it; the same fields as MdException.
static_assert(sizeof(MdException) == sizeof(ExceptionRecord));

inline ContextAmd64* AsContext(ContextRecord* record) noexcept {
    return reinterpret_cast<ContextAmd64*>(record);
}
inline const ContextAmd64* AsContext(const ContextRecord* record) noexcept {
    return reinterpret_cast<const ContextAmd64*>(record);
}
inline MdException* AsException(ExceptionRecord* record) noexcept {
    return reinterpret_cast<MdException*>(record);
}
inline const MdException* AsException(const ExceptionRecord* record) noexcept {
    return reinterpret_cast<const MdException*>(record);
}

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
