// POSIX minidump writer: the process's threads, modules, faulting context and stack, system
// information and exception, in the Windows minidump file format, from static storage only.
//
// Runs in signal context after a fatal event. The heap, stdio and any lock may be broken, so
// every buffer is static (one crashing thread at a time: the caller serialises), every system
// call is raw, and memory that may be unmapped is read by the kernel (write, process_vm_readv)
// so that a bad address gives an error instead of a second fault.
//
// The steps: gather (the thread list, every thread's registers, one pass over /proc/self/maps
// for the modules and the stack ranges), then append the streams one after another behind a
// header and directory of zeros, and fill those in last.
//
// Other threads: each is sent the crash handler's snapshot signal and reports its registers
// from the signal frame, then holds still while its stack is copied (best effort: a thread
// that blocks the signal or does not run within the time limit is listed with an empty
// context and no stack).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>

#include "minidump/minidump_file.h"
#include "minidump/minidump_format.h"
#include "minidump/minidump_system_info.h"
#include "minidump/minidump_writer.h"
#include "minidump/proc_maps.h"
#include "platform/crash.h"
#include "platform/posix/crash_internal_posix.h"
#include "platform/posix/raw_syscalls.h"

namespace platform::posix::crash {

namespace {

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
    MinidumpFile file;
    MapsReader maps;
    SnapshotThreadsFunction snapshotThreads;

    std::uint32_t threadIds[kMaxThreads];  // the crashing thread first
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
    std::uint32_t stackCount;
    ContextAmd64 otherContexts[kMaxSnapshotThreads];  // of threadIds[1..]
    bool answered[kMaxSnapshotThreads];

    unsigned char directoryDents[8 * 1024];
    MdDirectory directory[kStreamCount];
    ContextAmd64 emptyContext;
    ContextAmd64 faultContext;
    const ContextAmd64* crashContext;
};
WriterState g_state;
MinidumpFile& g_file = g_state.file;

// Reads process memory that may not be mapped; false when it is not.
bool SafeRead(std::uint64_t address, void* target, std::size_t bytes) noexcept {
    iovec local = {target, bytes};
    iovec remote = {reinterpret_cast<void*>(address), bytes};
    const long read = Syscall(SYS_process_vm_readv, SysGetpid(), reinterpret_cast<long>(&local), 1,
                              reinterpret_cast<long>(&remote), 1, 0);
    return read == static_cast<long>(bytes);
}

bool Equal(const char* a, const char* b) noexcept {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// ---- Gathering

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
            for (const char* c = name; *c != '\0' && numeric; ++c) {
                numeric = *c >= '0' && *c <= '9';
                id = id * 10 + static_cast<std::uint32_t>(*c - '0');
            }
            if (numeric && id != crashingThread && g_state.threadCount < kMaxThreads) {
                g_state.threadIds[g_state.threadCount++] = id;
            }
        }
    }
    SysClose(static_cast<int>(fd));
}

// Every listed thread's registers: the crashing thread's from the exception (an empty context
// without one), the others' through the snapshot signal, before anything reads their stacks.
void TakeRegisters(const ExceptionPointers* exceptionPointers) noexcept {
    g_state.emptyContext.contextFlags = kContextAmd64;
    g_state.crashContext = &g_state.emptyContext;
    if (exceptionPointers != nullptr && exceptionPointers->contextRecord != nullptr) {
        CopyBytes(&g_state.faultContext, exceptionPointers->contextRecord,
                  sizeof g_state.faultContext);
        g_state.crashContext = &g_state.faultContext;
    }
    g_state.snapshotThreads(&g_state.threadIds[1], g_state.threadCount - 1, g_state.otherContexts,
                            g_state.answered, kSnapshotTimeoutMs);
    g_state.stackPointers[0] = g_state.crashContext->rsp;
    for (std::uint32_t i = 1; i < g_state.threadCount; ++i) {
        const bool known = i - 1 < kMaxSnapshotThreads && g_state.answered[i - 1];
        g_state.stackPointers[i] = known ? g_state.otherContexts[i - 1].rsp : 0;
    }
}

// A module: a readable mapping of a file at offset 0 that holds an ELF image, together with
// the mappings of the same file that follow it.
void ConsiderModule(const MapLine& map) noexcept {
    if (g_state.inModule && Equal(map.path, g_state.currentModulePath)) {
        g_state.modules[g_state.moduleCount - 1].end = map.end;
        return;
    }
    g_state.inModule = false;
    const std::size_t length = TextLength(map.path);
    unsigned char magic[4];
    if (map.path[0] != '/' || map.offset != 0 || map.permissions[0] != 'r' ||
        g_state.moduleCount == kMaxModules || length + 1 > sizeof g_state.currentModulePath ||
        !SafeRead(map.start, magic, sizeof magic) || magic[0] != 0x7F || magic[1] != 'E' ||
        magic[2] != 'L' || magic[3] != 'F') {
        return;
    }
    CopyBytes(g_state.currentModulePath, map.path, length + 1);
    g_state.modules[g_state.moduleCount++] = {map.start, map.end, g_file.AppendString(map.path)};
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

// One pass over /proc/self/maps: the module list (their names go into the file as they are
// met), and the stack range of every thread whose stack pointer is known.
void ScanMaps() noexcept {
    if (!g_state.maps.Open()) {
        return;
    }
    MapLine map = {};
    while (g_state.maps.Next(&map)) {
        for (std::uint32_t thread = 0; thread < g_state.threadCount; ++thread) {
            ConsiderStack(map, thread);
        }
        ConsiderModule(map);
    }
    g_state.maps.Close();
}

// ---- Appending: the contexts and stacks, then one function per stream.

// The crashing thread's context, each answering thread's, one empty one for the rest.
void AppendContexts() noexcept {
    const MdLocation empty = {sizeof(ContextAmd64),
                              g_file.Append(&g_state.emptyContext, sizeof(ContextAmd64))};
    g_state.contexts[0] = {sizeof(ContextAmd64),
                           g_file.Append(g_state.crashContext, sizeof(ContextAmd64))};
    for (std::uint32_t i = 1; i < g_state.threadCount; ++i) {
        g_state.contexts[i] = empty;
        if (g_state.stackPointers[i] != 0) {
            g_state.contexts[i] = {
                sizeof(ContextAmd64),
                g_file.Append(&g_state.otherContexts[i - 1], sizeof(ContextAmd64))};
        }
    }
}

void AppendStacks() noexcept {
    g_state.stackCount = 0;
    for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
        g_state.stacks[i] = {};
        if (g_state.stackEnds[i] > g_state.stackStarts[i]) {
            const std::uint64_t bytes = g_state.stackEnds[i] - g_state.stackStarts[i];
            g_state.stacks[i] = {g_state.stackStarts[i],
                                 {static_cast<std::uint32_t>(bytes),
                                  g_file.AppendMemory(g_state.stackStarts[i], bytes)}};
            ++g_state.stackCount;
        }
    }
}

// A list stream: a 32-bit count, then what items() writes.
template <typename Items>
MdLocation AppendList(std::uint32_t count, Items items) noexcept {
    g_file.Align(8);
    const auto rva = static_cast<std::uint32_t>(g_file.Offset());
    g_file.Write(&count, sizeof count);
    items();
    return {static_cast<std::uint32_t>(g_file.Offset()) - rva, rva};
}

MdLocation AppendThreadList() noexcept {
    return AppendList(g_state.threadCount, [] {
        for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
            MdThread thread = {};
            thread.threadId = g_state.threadIds[i];
            thread.stack = g_state.stacks[i];
            thread.threadContext = g_state.contexts[i];
            g_file.Write(&thread, sizeof thread);
        }
    });
}

MdLocation AppendModuleList() noexcept {
    return AppendList(g_state.moduleCount, [] {
        for (std::uint32_t i = 0; i < g_state.moduleCount; ++i) {
            MdModule module = {};
            module.baseOfImage = g_state.modules[i].base;
            const std::uint64_t size = g_state.modules[i].end - g_state.modules[i].base;
            module.sizeOfImage =
                static_cast<std::uint32_t>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size);
            module.moduleNameRva = g_state.modules[i].nameRva;
            g_file.Write(&module, sizeof module);
        }
    });
}

// The memory list: the stacks.
MdLocation AppendMemoryList() noexcept {
    return AppendList(g_state.stackCount, [] {
        for (std::uint32_t i = 0; i < g_state.threadCount; ++i) {
            if (g_state.stacks[i].memory.dataSize > 0) {
                g_file.Write(&g_state.stacks[i], sizeof g_state.stacks[i]);
            }
        }
    });
}

MdLocation AppendException(const ExceptionPointers* exceptionPointers) noexcept {
    MdExceptionStream exception = {};
    exception.threadId = g_state.threadIds[0];
    if (exceptionPointers != nullptr && exceptionPointers->exceptionRecord != nullptr) {
        CopyBytes(&exception.exceptionRecord, exceptionPointers->exceptionRecord,
                  sizeof exception.exceptionRecord);
        exception.exceptionRecord.exceptionRecord = 0;  // a pointer into this process
        if (exception.exceptionRecord.numberParameters > 15) {
            exception.exceptionRecord.numberParameters = 15;
        }
    }
    exception.threadContext = g_state.contexts[0];
    return {sizeof exception, g_file.Append(&exception, sizeof exception)};
}

MdLocation AppendMiscInfo() noexcept {
    MdMiscInfo info = {};
    info.sizeOfInfo = sizeof info;
    info.flags1 = kMiscInfoProcessId;
    info.processId = static_cast<std::uint32_t>(SysGetpid());
    return {sizeof info, g_file.Append(&info, sizeof info)};
}

// /proc/self/maps as it is, for tools that read the memory layout from it.
MdLocation AppendMapsText() noexcept {
    MdLocation location = {0, 0};
    if (!g_state.maps.Open()) {
        return location;
    }
    g_file.Align(8);
    location.rva = static_cast<std::uint32_t>(g_file.Offset());
    std::size_t bytes = 0;
    while (const char* chunk = g_state.maps.NextChunk(&bytes)) {
        if (!g_file.Write(chunk, bytes)) {
            break;
        }
        location.dataSize += static_cast<std::uint32_t>(bytes);
    }
    g_state.maps.Close();
    return location;
}

// Everything after the header and directory; fills g_state.directory.
void WriteStreams(ExceptionPointers* exceptionPointers) noexcept {
    ListThreads(static_cast<std::uint32_t>(SysGettid()));
    TakeRegisters(exceptionPointers);
    ScanMaps();
    AppendContexts();
    AppendStacks();
    g_state.directory[0] = {kThreadListStream, AppendThreadList()};
    g_state.directory[1] = {kModuleListStream, AppendModuleList()};
    g_state.directory[2] = {kMemoryListStream, AppendMemoryList()};
    g_state.directory[3] = {kExceptionStream, AppendException(exceptionPointers)};
    g_state.directory[4] = {kSystemInfoStream, AppendSystemInfo(g_file)};
    g_state.directory[5] = {kMiscInfoStream, AppendMiscInfo()};
    g_state.directory[6] = {kLinuxMapsStream, AppendMapsText()};
}

// The header and the directory, over the zeros written first: a dump cut short by a failure
// never carries a valid header.
void WriteHeader() noexcept {
    MdHeader header = {};
    header.signature = kMinidumpSignature;
    header.version = kMinidumpVersion;
    header.numberOfStreams = kStreamCount;
    header.streamDirectoryRva = sizeof(MdHeader);
    KernelTimespec now = {0, 0};
    Syscall(SYS_clock_gettime, 0 /* CLOCK_REALTIME */, reinterpret_cast<long>(&now));
    header.timeDateStamp = static_cast<std::uint32_t>(now.seconds);
    if (g_file.Offset() > 0xFFFFFFFFu) {
        g_file.Fail(EFBIG);
    }
    if (g_file.Error() == 0 &&
        (SysPwrite(g_file.Fd(), &g_state.directory, sizeof g_state.directory, sizeof header) !=
             static_cast<long>(sizeof g_state.directory) ||
         SysPwrite(g_file.Fd(), &header, sizeof header, 0) != static_cast<long>(sizeof header))) {
        g_file.Fail(EIO);
    }
}

void ResetState() noexcept {
    // Only scalars need resetting; the buffers are overwritten before they are read.
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

int WriteMinidumpFile(const char* path, ExceptionPointers* exceptionPointers,
                      SnapshotThreadsFunction snapshotThreads) noexcept {
    ResetState();
    g_state.snapshotThreads = snapshotThreads;
    // Owner-only: a dump holds process memory. Never through a symbolic link, and never into
    // a file someone else owns (planted where the dump goes, they could read it). Non-blocking,
    // so that a FIFO at the path fails at once instead of waiting for a reader for ever; only a
    // regular file is written (and so only a regular file is ever removed after a failure).
    const long fd = SysOpen(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return static_cast<int>(-fd);
    }
    static struct stat status;
    if (Syscall(SYS_fstat, fd, reinterpret_cast<long>(&status)) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != static_cast<uid_t>(Syscall(SYS_geteuid)) ||
        Syscall(SYS_ftruncate, fd, 0) != 0 || Syscall(SYS_fchmod, fd, 0600) != 0) {
        SysClose(static_cast<int>(fd));
        return EACCES;
    }
    g_file.Start(static_cast<int>(fd));
    g_file.WriteZeros(sizeof(MdHeader) + sizeof g_state.directory);
    WriteStreams(exceptionPointers);
    WriteHeader();
    const long closed = SysClose(g_file.Fd());
    if (closed < 0 && closed != -EINTR) {
        g_file.Fail(static_cast<int>(-closed));
    }
    if (g_file.Error() != 0) {
        // A partial dump would mislead whoever opens it; leave none.
        SysUnlink(path);
        return g_file.Error();
    }
    return 0;
}

}  // namespace platform::posix::crash
