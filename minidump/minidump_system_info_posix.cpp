// The minidump's system information stream on POSIX: the processor from cpuid, the operating
// system from uname.
#include "minidump/minidump_system_info.h"

#include <cpuid.h>
#include <sys/utsname.h>

#include "platform/posix/raw_syscalls.h"

namespace platform::posix::crash {
namespace {

// The processor: vendor, family, model and stepping from cpuid; the processors we may run on.
void DescribeProcessor(MdSystemInfo* info) noexcept {
    info->processorArchitecture = kProcessorArchitectureAmd64;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        info->vendorId[0] = ebx;
        info->vendorId[1] = edx;
        info->vendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        const unsigned family = (eax >> 8) & 0xF;
        const unsigned extendedFamily = (eax >> 20) & 0xFF;
        unsigned model = (eax >> 4) & 0xF;
        if (family == 6 || family == 15) {
            model |= ((eax >> 16) & 0xF) << 4;
        }
        info->processorLevel =
            static_cast<std::uint16_t>(family == 15 ? family + extendedFamily : family);
        info->processorRevision = static_cast<std::uint16_t>((model << 8) | (eax & 0xF));
        info->versionInformation = eax;
        info->featureInformation = edx;
    }
    std::uint64_t affinity[16] = {};
    const long bytes =
        Syscall(SYS_sched_getaffinity, 0, sizeof affinity, reinterpret_cast<long>(affinity));
    unsigned processors = 0;
    for (long i = 0; i < bytes / 8; ++i) {
        processors += static_cast<unsigned>(__builtin_popcountll(affinity[i]));
    }
    info->numberOfProcessors = static_cast<std::uint8_t>(processors > 255 ? 255 : processors);
}

// The kernel release "major.minor.patch-..." as the version, and the full uname text as the
// service-pack string, where crash tools look for the operating system's details.
void DescribeSystem(MdSystemInfo* info, MinidumpFile& file) noexcept {
    info->platformId = kPlatformIdLinux;
    static utsname names;
    if (Syscall(SYS_uname, reinterpret_cast<long>(&names)) != 0) {
        return;
    }
    std::uint32_t parts[3] = {0, 0, 0};
    const char* p = names.release;
    for (int part = 0; part < 3; ++part) {
        while (*p >= '0' && *p <= '9') {
            parts[part] = parts[part] * 10 + static_cast<std::uint32_t>(*p - '0');
            ++p;
        }
        if (*p != '.') {
            break;
        }
        ++p;
    }
    info->majorVersion = parts[0];
    info->minorVersion = parts[1];
    info->buildNumber = parts[2];
    static char text[sizeof names.sysname + sizeof names.release + sizeof names.version +
                     sizeof names.machine + 4];
    std::size_t n = 0;
    for (const char* part : {names.sysname, names.release, names.version, names.machine}) {
        for (const char* c = part; *c != '\0' && n + 2 < sizeof text; ++c) {
            text[n++] = *c;
        }
        text[n++] = ' ';
    }
    text[n > 0 ? n - 1 : 0] = '\0';
    info->csdVersionRva = file.AppendString(text);
}

}  // namespace

MdLocation AppendSystemInfo(MinidumpFile& file) noexcept {
    MdSystemInfo info = {};
    DescribeProcessor(&info);
    DescribeSystem(&info, file);
    return {sizeof info, file.Append(&info, sizeof info)};
}

}  // namespace platform::posix::crash
