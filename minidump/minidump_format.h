// The minidump file layout: the header, stream directory and stream records as the format
// defines them (little-endian, packed to 4), and the x64 context and exception record that the
// crash backend stores in the same shape. Declarations only; no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crash.h"

#if !defined(__x86_64__)
#error \
    "The POSIX crash backend writes x86-64 contexts; port CaptureCurrentContext and the context layout first."
#endif

namespace platform::posix::crash {

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

}  // namespace platform::posix::crash
