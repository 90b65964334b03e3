// POSIX minidump writer: the process's threads, modules, faulting context and stack, system
// information and exception, in the Windows minidump file format, from static storage only.
//
// Runs in signal context after a fatal event. The heap, stdio and any lock may be broken, so
// every buffer is static (one crashing thread at a time: the caller serialises), every system
// call is raw, and memory that may be unmapped is read by the kernel (write, process_vm_readv)
// so that a bad address gives an error instead of a second fault.
//
// Other threads: each is sent the crash handler's snapshot signal and reports its registers
// from the signal frame, then holds still while its stack is copied (best effort: a thread
// that blocks the signal or does not run within the time limit is listed with an empty
// context and no stack).
#include <cpuid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/utsname.h>

#include <cerrno>

#include "platform/crash.h"
#include "platform/error.h"
#include "platform/posix/crash_internal_posix.h"

namespace platform {

namespace {

using namespace posix::crash;

constexpr std::uint32_t kMaxThreads = 1024;
constexpr std::uint32_t kMaxModules = 1024;
constexpr std::uint64_t kMaxStackBytes = 1024 * 1024;
constexpr std::uint64_t kRedZoneBytes = 128;       // below rsp, the System V ABI's red zone
constexpr std::uint64_t kGuardBytes = 64 * 1024;   // how far below its stack an overflow faults
constexpr std::uint32_t kSnapshotTimeoutMs = 200;  // for the other threads to report
constexpr std::uint32_t kStreamCount = 7;
constexpr std::size_t kMaxPathBytes = 4096;

struct ModuleEntry {
    std::uint64_t base;
    std::uint64_t end;
    std::uint32_t nameRva;
};

// All working storage of one dump. Zero-initialised, and only one thread writes a dump.
struct WriterState {
    int fd;
    std::uint64_t offset;
    int error;  // first errno met; 0 while all is well

    char path[1024 * 4 + 1];  // the wide path in UTF-8: at most 4 bytes per character

    std::uint32_t threadIds[kMaxThreads];
    std::uint32_t threadCount;

    ModuleEntry modules[kMaxModules];
    std::uint32_t moduleCount;
    char currentModulePath[kMaxPathBytes];
    bool inModule;

    // Per listed thread: the stack pointer (0 when its registers are unknown), the stack
    // range to copy (empty when unknown) and where its context and stack went in the file.
    std::uint64_t stackPointers[kMaxThreads];
    std::uint64_t stackStarts[kMaxThreads];
    std::uint64_t stackEnds[kMaxThreads];
    MdLocation contexts[kMaxThreads];
    MdMemoryDescriptor stacks[kMaxThreads];
    ContextAmd64 otherContexts[kMaxSnapshotThreads];  // of threadIds[1..]
    bool answered[kMaxSnapshotThreads];

    char readBuffer[16 * 1024];
    std::size_t readLength;
    std::size_t readPosition;
    bool readEnd;
    char line[kMaxPathBytes + 256];
    char16_t name[kMaxPathBytes + 1];

    unsigned char directoryDents[8 * 1024];
    unsigned char zeros[4096];
    MdDirectory directory[kStreamCount];
    ContextAmd64 emptyContext;
    ContextAmd64 faultContext;
};
WriterState g_state;

// ---- Output

bool WriteAll(const void* data, std::size_t bytes) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0 && g_state.error == 0) {
        const long written = SysWrite(g_state.fd, p, bytes);
        if (written == -EINTR) {
            continue;
        }
        if (written <= 0) {
            g_state.error = written == 0 ? EIO : static_cast<int>(-written);
            return false;
        }
        p += written;
        bytes -= static_cast<std::size_t>(written);
        g_state.offset += static_cast<std::uint64_t>(written);
    }
    return g_state.error == 0;
}

void WriteZeros(std::uint64_t bytes) noexcept {
    while (bytes > 0 && g_state.error == 0) {
        const std::size_t chunk = bytes < sizeof g_state.zeros ? bytes : sizeof g_state.zeros;
        WriteAll(g_state.zeros, chunk);
        bytes -= chunk;
    }
}

void Align(std::uint64_t alignment) noexcept {
    const std::uint64_t misalignment = g_state.offset % alignment;
    if (misalignment != 0) {
        WriteZeros(alignment - misalignment);
    }
}

// Appends bytes and returns where they start.
std::uint32_t Append(const void* data, std::size_t bytes) noexcept {
    Align(8);
    const auto rva = static_cast<std::uint32_t>(g_state.offset);
    WriteAll(data, bytes);
    return rva;
}

// Appends process memory; pages that cannot be read come out as zeros, so the range keeps
// its size and every later offset stays right.
std::uint32_t AppendMemory(std::uint64_t address, std::uint64_t bytes) noexcept {
    Align(8);
    const auto rva = static_cast<std::uint32_t>(g_state.offset);
    while (bytes > 0 && g_state.error == 0) {
        const long written = SysWrite(g_state.fd, reinterpret_cast<const void*>(address), bytes);
        if (written == -EINTR) {
            continue;
        }
        if (written > 0) {
            address += static_cast<std::uint64_t>(written);
            bytes -= static_cast<std::uint64_t>(written);
            g_state.offset += static_cast<std::uint64_t>(written);
            continue;
        }
        if (written != -EFAULT) {
            g_state.error = written == 0 ? EIO : static_cast<int>(-written);
            break;
        }
        const std::uint64_t toPageEnd = 4096 - address % 4096;
        const std::uint64_t skip = toPageEnd < bytes ? toPageEnd : bytes;
        WriteZeros(skip);
        address += skip;
        bytes -= skip;
    }
    return rva;
}

// Reads process memory that may not be mapped; false when it is not.
bool SafeRead(std::uint64_t address, void* target, std::size_t bytes) noexcept {
    iovec local = {target, bytes};
    iovec remote = {reinterpret_cast<void*>(address), bytes};
    const long read = Syscall(SYS_process_vm_readv, SysGetpid(), reinterpret_cast<long>(&local), 1,
                              reinterpret_cast<long>(&remote), 1, 0);
    return read == static_cast<long>(bytes);
}

// ---- Text helpers

std::size_t Length(const char* text) noexcept {
    std::size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

bool Equal(const char* a, const char* b) noexcept {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Wide path to UTF-8; false when it does not fit or holds no valid code point.
bool WideToUtf8Path(const wchar_t* wide, char* out, std::size_t capacity) noexcept {
    std::size_t n = 0;
    for (; *wide != L'\0'; ++wide) {
        auto c = static_cast<std::uint32_t>(*wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        unsigned char bytes[4];
        std::size_t count;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            count = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            count = 4;
        }
        if (n + count + 1 > capacity) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            out[n++] = static_cast<char>(bytes[i]);
        }
    }
    out[n] = '\0';
    return n > 0;
}

// UTF-8 (as the kernel reports file names) to UTF-16; a malformed byte becomes U+FFFD.
std::size_t Utf8ToUtf16(const char* text, char16_t* out, std::size_t capacity) noexcept {
    std::size_t n = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0 && n + 2 < capacity) {
        std::uint32_t c = 0xFFFD;
        std::size_t extra = 0;
        if (*p < 0x80) {
            c = *p;
        } else if ((*p & 0xE0) == 0xC0) {
            c = *p & 0x1F;
            extra = 1;
        } else if ((*p & 0xF0) == 0xE0) {
            c = *p & 0x0F;
            extra = 2;
        } else if ((*p & 0xF8) == 0xF0) {
            c = *p & 0x07;
            extra = 3;
        }
        ++p;
        for (std::size_t i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (*p & 0x3F);
            ++p;
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 | (c >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(c);
        }
    }
    out[n] = 0;
    return n;
}

// A MINIDUMP_STRING: byte length (without the terminator), UTF-16 text, terminator.
std::uint32_t AppendString(const char* utf8) noexcept {
    const std::size_t units =
        Utf8ToUtf16(utf8, g_state.name, sizeof g_state.name / sizeof g_state.name[0]);
    const auto bytes = static_cast<std::uint32_t>(units * sizeof(char16_t));
    const std::uint32_t rva = Append(&bytes, sizeof bytes);
    WriteAll(g_state.name, (units + 1) * sizeof(char16_t));
    return rva;
}

// ---- /proc readers

// Reads the next line of the open file into g_state.line (cut if longer); false at the end.
bool NextLine(int fd) noexcept {
    std::size_t n = 0;
    for (;;) {
        if (g_state.readPosition == g_state.readLength) {
            if (g_state.readEnd) {
                break;
            }
            long got;
            do {
                got = SysRead(fd, g_state.readBuffer, sizeof g_state.readBuffer);
            } while (got == -EINTR);
            if (got <= 0) {
                g_state.readEnd = true;
                break;
            }
            g_state.readLength = static_cast<std::size_t>(got);
            g_state.readPosition = 0;
        }
        const char c = g_state.readBuffer[g_state.readPosition++];
        if (c == '\n') {
            g_state.line[n] = '\0';
            return true;
        }
        if (n + 1 < sizeof g_state.line) {
            g_state.line[n++] = c;
        }
    }
    g_state.line[n] = '\0';
    return n > 0;
}

void ResetReader() noexcept {
    g_state.readLength = 0;
    g_state.readPosition = 0;
    g_state.readEnd = false;
}

struct MapLine {
    std::uint64_t start;
    std::uint64_t end;
    std::uint64_t offset;
    char permissions[5];
    const char* path;  // empty for an anonymous mapping
};

const char* ParseHex(const char* p, std::uint64_t* value) noexcept {
    std::uint64_t v = 0;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            v = v * 16 + static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v = v * 16 + static_cast<std::uint64_t>(c - 'a' + 10);
        } else {
            break;
        }
    }
    *value = v;
    return p;
}

const char* SkipField(const char* p) noexcept {
    while (*p != '\0' && *p != ' ') {
        ++p;
    }
    while (*p == ' ') {
        ++p;
    }
    return p;
}

// "start-end perms offset dev inode   path"
bool ParseMapLine(const char* p, MapLine* out) noexcept {
    p = ParseHex(p, &out->start);
    if (*p != '-') {
        return false;
    }
    p = ParseHex(p + 1, &out->end);
    if (*p != ' ') {
        return false;
    }
    ++p;
    for (int i = 0; i < 4; ++i) {
        out->permissions[i] = *p != '\0' ? *p++ : '-';
    }
    out->permissions[4] = '\0';
    while (*p == ' ') {
        ++p;
    }
    p = ParseHex(p, &out->offset);
    while (*p == ' ') {
        ++p;
    }
    p = SkipField(p);  // device
    p = SkipField(p);  // inode
    out->path = p;
    return out->end > out->start;
}

void CloseModule() noexcept {
    g_state.inModule = false;
    g_state.currentModulePath[0] = '\0';
}

// A module: a readable mapping of a file at offset 0 that holds an ELF image, together with
// the mappings of the same file that follow it.
void ConsiderModule(const MapLine& map) noexcept {
    if (g_state.inModule && Equal(map.path, g_state.currentModulePath)) {
        g_state.modules[g_state.moduleCount - 1].end = map.end;
        return;
    }
    CloseModule();
    if (map.path[0] != '/' || map.offset != 0 || map.permissions[0] != 'r' ||
        g_state.moduleCount == kMaxModules) {
        return;
    }
    unsigned char magic[4];
    if (!SafeRead(map.start, magic, sizeof magic) || magic[0] != 0x7F || magic[1] != 'E' ||
        magic[2] != 'L' || magic[3] != 'F') {
        return;
    }
    const std::size_t length = Length(map.path);
    if (length + 1 > sizeof g_state.currentModulePath) {
        return;
    }
    CopyBytes(g_state.currentModulePath, map.path, length + 1);
    ModuleEntry& module = g_state.modules[g_state.moduleCount++];
    module.base = map.start;
    module.end = map.end;
    module.nameRva = AppendString(map.path);
    g_state.inModule = true;
}

// The stack range to copy for a thread whose stack pointer lies in or just below this mapping:
// the readable mapping that holds the pointer or, after a stack overflow (the pointer then
// lies in the guard page or gap below), the first readable one just above it.
void ConsiderStack(const MapLine& map, std::uint32_t thread) noexcept {
    const std::uint64_t stackPointer = g_state.stackPointers[thread];
    const bool readable = map.permissions[0] == 'r';
    const bool holds = stackPointer >= map.start && stackPointer < map.end;
    const bool justAbove = stackPointer < map.start && map.start - stackPointer <= kGuardBytes;
    if (stackPointer == 0 || g_state.stackEnds[thread] != 0 || !readable || !(holds || justAbove)) {
        return;
    }
    std::uint64_t low = stackPointer > kRedZoneBytes ? stackPointer - kRedZoneBytes : 0;
    low &= ~std::uint64_t{15};
    const std::uint64_t start = low > map.start ? low : map.start;
    g_state.stackStarts[thread] = start;
    g_state.stackEnds[thread] = map.end - start > kMaxStackBytes ? start + kMaxStackBytes : map.end;
}

// One pass over /proc/self/maps: the module list, and the stack range of every thread whose
// stack pointer is known.
void ScanMaps() noexcept {
    const long fd = SysOpen("/proc/self/maps", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    ResetReader();
    MapLine map = {};
    while (NextLine(static_cast<int>(fd))) {
        if (!ParseMapLine(g_state.line, &map)) {
            continue;
        }
        for (std::uint32_t thread = 0; thread < g_state.threadCount; ++thread) {
            ConsiderStack(map, thread);
        }
        ConsiderModule(map);
    }
    CloseModule();
    SysClose(static_cast<int>(fd));
}

// Copies /proc/self/maps as it is, for tools that read the memory layout from it.
MdLocation AppendMapsText() noexcept {
    MdLocation location = {0, 0};
    const long fd = SysOpen("/proc/self/maps", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return location;
    }
    Align(8);
    location.rva = static_cast<std::uint32_t>(g_state.offset);
    for (;;) {
        long got;
        do {
            got = SysRead(static_cast<int>(fd), g_state.readBuffer, sizeof g_state.readBuffer);
        } while (got == -EINTR);
        if (got <= 0 || !WriteAll(g_state.readBuffer, static_cast<std::size_t>(got))) {
            break;
        }
        location.dataSize += static_cast<std::uint32_t>(got);
    }
    SysClose(static_cast<int>(fd));
    return location;
}

// The ids of /proc/self/task, the crashing thread first.
void ListThreads(std::uint32_t crashingThread) noexcept {
    g_state.threadIds[0] = crashingThread;
    g_state.threadCount = 1;
    const long fd = SysOpen("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    for (;;) {
        const long got = SysGetdents64(static_cast<int>(fd), g_state.directoryDents,
                                       sizeof g_state.directoryDents);
        if (got <= 0) {
            break;
        }
        for (long at = 0; at < got;) {
            // linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
            const unsigned char* entry = g_state.directoryDents + at;
            std::uint16_t recordLength = 0;
            CopyBytes(&recordLength, entry + 16, sizeof recordLength);
            const char* name = reinterpret_cast<const char*>(entry + 19);
            at += recordLength;
            if (recordLength == 0) {
                break;
            }
            std::uint32_t id = 0;
            bool numeric = name[0] != '\0';
            for (const char* c = name; *c != '\0'; ++c) {
                if (*c < '0' || *c > '9') {
                    numeric = false;
                    break;
                }
                id = id * 10 + static_cast<std::uint32_t>(*c - '0');
            }
            if (numeric && id != crashingThread && g_state.threadCount < kMaxThreads) {
                g_state.threadIds[g_state.threadCount++] = id;
            }
        }
    }
    SysClose(static_cast<int>(fd));
}

// ---- Streams

MdLocation AppendSystemInfo() noexcept {
    MdSystemInfo info = {};
    info.processorArchitecture = kProcessorArchitectureAmd64;
    info.platformId = kPlatformIdLinux;

    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        info.vendorId[0] = ebx;
        info.vendorId[1] = edx;
        info.vendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        const unsigned family = (eax >> 8) & 0xF;
        const unsigned extendedFamily = (eax >> 20) & 0xFF;
        unsigned model = (eax >> 4) & 0xF;
        if (family == 6 || family == 15) {
            model |= ((eax >> 16) & 0xF) << 4;
        }
        info.processorLevel =
            static_cast<std::uint16_t>(family == 15 ? family + extendedFamily : family);
        info.processorRevision = static_cast<std::uint16_t>((model << 8) | (eax & 0xF));
        info.versionInformation = eax;
        info.featureInformation = edx;
    }

    std::uint64_t affinity[16] = {};
    const long bytes =
        Syscall(SYS_sched_getaffinity, 0, sizeof affinity, reinterpret_cast<long>(affinity));
    unsigned processors = 0;
    for (long i = 0; i < bytes / 8; ++i) {
        processors += static_cast<unsigned>(__builtin_popcountll(affinity[i]));
    }
    info.numberOfProcessors = static_cast<std::uint8_t>(processors > 255 ? 255 : processors);

    // The kernel release "major.minor.patch-..." as the version, and the full uname text as
    // the service-pack string, where crash tools look for the operating system's details.
    static utsname names;
    if (Syscall(SYS_uname, reinterpret_cast<long>(&names)) == 0) {
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
        info.majorVersion = parts[0];
        info.minorVersion = parts[1];
        info.buildNumber = parts[2];
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
        info.csdVersionRva = AppendString(text);
    }
    return MdLocation{sizeof info, Append(&info, sizeof info)};
}

MdLocation AppendMiscInfo() noexcept {
    MdMiscInfo info = {};
    info.sizeOfInfo = sizeof info;
    info.flags1 = kMiscInfoProcessId;
    info.processId = static_cast<std::uint32_t>(SysGetpid());
    return MdLocation{sizeof info, Append(&info, sizeof info)};
}

// Writes everything after the header and directory; fills g_state.directory.
void WriteStreams(ExceptionPointers* exceptionPointers) noexcept {
    const auto crashingThread = static_cast<std::uint32_t>(SysGettid());

    // The crashing thread's context: the one the exception brought, else an empty one.
    const ContextAmd64* context = &g_state.emptyContext;
    g_state.emptyContext.contextFlags = kContextAmd64;
    if (exceptionPointers != nullptr && exceptionPointers->contextRecord != nullptr) {
        CopyBytes(&g_state.faultContext, exceptionPointers->contextRecord,
                  sizeof g_state.faultContext);
        context = &g_state.faultContext;
    }

    ListThreads(crashingThread);
    // The other threads' registers, gathered before anything else reads their stacks.
    SnapshotThreads(&g_state.threadIds[1], g_state.threadCount - 1, g_state.otherContexts,
                    g_state.answered, kSnapshotTimeoutMs);
    g_state.stackPointers[0] = context->rsp;
    for (std::uint32_t i = 1; i < g_state.threadCount; ++i) {
        const bool known = i - 1 < kMaxSnapshotThreads && g_state.answered[i - 1];
        g_state.stackPointers[i] = known ? g_state.otherContexts[i - 1].rsp : 0;
    }
    ScanMaps();

    // Contexts: the crashing thread's, each answering thread's, one empty for the rest.
    const MdLocation emptyContext = {sizeof g_state.emptyContext,
                                     Append(&g_state.emptyContext, sizeof g_state.emptyContext)};
    g_state.contexts[0] = {sizeof *context, Append(context, sizeof *context)};
    for (std::uint32_t i = 1; i < g_state.threadCount; ++i) {
        g_state.contexts[i] = emptyContext;
        if (g_state.stackPointers[i] != 0) {
            const ContextAmd64& other = g_state.otherContexts[i - 1];
            g_state.contexts[i] = {sizeof other, Append(&other, sizeof other)};
        }
    }
    const MdLocation faultContext = g_state.contexts[0];

    // Stacks.
    std::uint32_t ranges = 0;
    for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
        g_state.stacks[i] = {};
        if (g_state.stackEnds[i] > g_state.stackStarts[i]) {
            const std::uint64_t bytes = g_state.stackEnds[i] - g_state.stackStarts[i];
            g_state.stacks[i].startOfMemoryRange = g_state.stackStarts[i];
            g_state.stacks[i].memory.dataSize = static_cast<std::uint32_t>(bytes);
            g_state.stacks[i].memory.rva = AppendMemory(g_state.stackStarts[i], bytes);
            ++ranges;
        }
    }

    // Thread list.
    Align(8);
    const std::uint32_t threadsRva = static_cast<std::uint32_t>(g_state.offset);
    WriteAll(&g_state.threadCount, sizeof g_state.threadCount);
    for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
        MdThread thread = {};
        thread.threadId = g_state.threadIds[i];
        thread.stack = g_state.stacks[i];
        thread.threadContext = g_state.contexts[i];
        WriteAll(&thread, sizeof thread);
    }
    g_state.directory[0] = {kThreadListStream,
                            {static_cast<std::uint32_t>(g_state.offset) - threadsRva, threadsRva}};

    // Module list.
    Align(8);
    const std::uint32_t modulesRva = static_cast<std::uint32_t>(g_state.offset);
    WriteAll(&g_state.moduleCount, sizeof g_state.moduleCount);
    for (std::uint32_t i = 0; i < g_state.moduleCount; ++i) {
        MdModule module = {};
        module.baseOfImage = g_state.modules[i].base;
        const std::uint64_t size = g_state.modules[i].end - g_state.modules[i].base;
        module.sizeOfImage = static_cast<std::uint32_t>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size);
        module.moduleNameRva = g_state.modules[i].nameRva;
        WriteAll(&module, sizeof module);
    }
    g_state.directory[1] = {kModuleListStream,
                            {static_cast<std::uint32_t>(g_state.offset) - modulesRva, modulesRva}};

    // Memory list: the stacks.
    Align(8);
    const std::uint32_t memoryRva = static_cast<std::uint32_t>(g_state.offset);
    WriteAll(&ranges, sizeof ranges);
    for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
        if (g_state.stacks[i].memory.dataSize > 0) {
            WriteAll(&g_state.stacks[i], sizeof g_state.stacks[i]);
        }
    }
    g_state.directory[2] = {kMemoryListStream,
                            {static_cast<std::uint32_t>(g_state.offset) - memoryRva, memoryRva}};

    // Exception.
    MdExceptionStream exception = {};
    exception.threadId = crashingThread;
    if (exceptionPointers != nullptr && exceptionPointers->exceptionRecord != nullptr) {
        CopyBytes(&exception.exceptionRecord, exceptionPointers->exceptionRecord,
                  sizeof exception.exceptionRecord);
        exception.exceptionRecord.exceptionRecord = 0;  // a pointer into this process
        if (exception.exceptionRecord.numberParameters > 15) {
            exception.exceptionRecord.numberParameters = 15;
        }
    }
    exception.threadContext = faultContext;
    g_state.directory[3] = {kExceptionStream,
                            {sizeof exception, Append(&exception, sizeof exception)}};

    g_state.directory[4] = {kSystemInfoStream, AppendSystemInfo()};
    g_state.directory[5] = {kMiscInfoStream, AppendMiscInfo()};
    g_state.directory[6] = {kLinuxMapsStream, AppendMapsText()};
}

void ResetState() noexcept {
    // Only scalars need resetting; the buffers are overwritten before they are read.
    g_state.offset = 0;
    g_state.error = 0;
    g_state.threadCount = 0;
    g_state.moduleCount = 0;
    g_state.inModule = false;
    for (std::uint32_t i = 0; i < kMaxThreads; ++i) {
        g_state.stackStarts[i] = 0;
        g_state.stackEnds[i] = 0;
    }
    ZeroBytes(g_state.directory, sizeof g_state.directory);
}

}  // namespace

std::uint32_t WriteMiniDump(const wchar_t* path, ExceptionPointers* exceptionPointers) noexcept {
    ResetState();
    if (path == nullptr || !WideToUtf8Path(path, g_state.path, sizeof g_state.path)) {
        return kErrorInvalidName;
    }
    // Owner-only: a dump holds process memory. Non-blocking, so that a FIFO at the path fails
    // at once instead of waiting for a reader for ever; only a regular file is written (and so
    // only a regular file is ever removed again after a failure).
    const long fd =
        SysOpen(g_state.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        return ErrorFromErrno(static_cast<int>(-fd));
    }
    static struct stat status;
    if (Syscall(SYS_fstat, fd, reinterpret_cast<long>(&status)) != 0 || !S_ISREG(status.st_mode)) {
        SysClose(static_cast<int>(fd));
        return kErrorAccessDenied;
    }
    g_state.fd = static_cast<int>(fd);

    // Header and directory first as zeros, filled in once every stream has its place: a dump
    // cut short by a failure never carries a valid header.
    const std::size_t prefix = sizeof(MdHeader) + sizeof g_state.directory;
    WriteZeros(prefix);
    WriteStreams(exceptionPointers);

    MdHeader header = {};
    header.signature = kMinidumpSignature;
    header.version = kMinidumpVersion;
    header.numberOfStreams = kStreamCount;
    header.streamDirectoryRva = sizeof(MdHeader);
    struct {
        long seconds;
        long nanoseconds;
    } now = {0, 0};
    Syscall(SYS_clock_gettime, 0 /* CLOCK_REALTIME */, reinterpret_cast<long>(&now));
    header.timeDateStamp = static_cast<std::uint32_t>(now.seconds);
    if (g_state.error == 0 && g_state.offset > 0xFFFFFFFFu) {
        g_state.error = EFBIG;
    }
    if (g_state.error == 0) {
        if (SysPwrite(g_state.fd, &g_state.directory, sizeof g_state.directory, sizeof header) !=
                static_cast<long>(sizeof g_state.directory) ||
            SysPwrite(g_state.fd, &header, sizeof header, 0) != static_cast<long>(sizeof header)) {
            g_state.error = EIO;
        }
    }
    const long closed = SysClose(g_state.fd);
    if (g_state.error == 0 && closed < 0 && closed != -EINTR) {
        g_state.error = static_cast<int>(-closed);
    }
    if (g_state.error != 0) {
        // A partial dump would mislead whoever opens it; leave none.
        SysUnlink(g_state.path);
        return ErrorFromErrno(g_state.error);
    }
    return kErrorSuccess;
}

}  // namespace platform
