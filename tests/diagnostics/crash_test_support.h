// Crash-test helpers: the child side (a table of fatal events, each met after installing the
// handler), an independent minidump reader, lldb as an outside reader of Linux dumps, and the
// fixture that runs one crashing child and checks its dump.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "tests/platform/fault_guard_fixture.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test::crash {

using faults::RunningUnderWine;
namespace fs = std::filesystem;

inline std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    return directory + platform::kPathSeparator + name;
}

inline std::string ExecutableName() {
    return fs::path(platform::GetExecutablePath()).filename().string();
}

// ---- The child side

/// A write through a null pointer, out of line and unchecked by the sanitizers, so that the
/// processor faults for real and the backtrace shows it by name.
__attribute__((noinline, no_sanitize("address", "undefined"))) inline void CrashNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

/// Installs the handlers as the process entry does; the dump goes to path.
inline void InstallCrashHandler(const std::wstring& path) {
    Stoneleaf::CCrashHandler::InstallProcessHandlers();
    Stoneleaf::CCrashHandler::InstallThreadHandlers();
    (void)platform::StringCchCopyW(Stoneleaf::g_crashDumpPath, Stoneleaf::kCrashDumpPathCapacity,
                                   path.c_str());
}

inline void RecordCrashingThread(const std::wstring& idFile) {
    std::ofstream(fs::path(idFile)) << platform::GetCurrentThreadId() << '\n';
}

/// One fatal event: what the child does, the function its crashing thread's backtrace reaches
/// and the code its dump carries.
struct CrashCase {
    const char* name;
    void (*crash)();
    const char* function;
    std::uint32_t windowsCode;         // the dump's exception code: a status code,
    std::uint32_t posixCode;           // or a signal number
    bool onThread = false;             // met on a thread the platform starts
    bool posixFaultsInProgram = true;  // false where Linux keeps a context inside libc
    const char* wineGap = nullptr;     // why Wine cannot run it
    std::uint32_t threads = 1;         // the child's threads, all listed in the dump
};

inline void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.name;
}

/// The child side of a table of events. args: the dump path, the thread-id file, the event.
template <std::size_t N>
int MeetCrash(const std::vector<std::wstring>& args, const CrashCase (&table)[N]) {
    InstallCrashHandler(args.at(0));
    static const std::wstring idFile = args.at(1);
    auto meet = [](void* crash) -> std::uint32_t {
        RecordCrashingThread(idFile);
        reinterpret_cast<void (*)()>(crash)();
        return 2;  // not reached
    };
    const CrashCase* c = std::find_if(table, table + N, [&](const CrashCase& c) {
        return platform::Utf8ToWide(c.name) == args.at(2);
    });
    if (!c->onThread) {
        return static_cast<int>(meet(reinterpret_cast<void*>(c->crash)));
    }
    const platform::UniqueHandle thread(
        platform::BeginThread(meet, reinterpret_cast<void*>(c->crash), nullptr));
    return static_cast<int>(platform::WaitForSingleObject(thread.Get(), 60000));
}

// ---- A minidump reader of our own, independent of the writers.

struct DumpThread {
    std::uint32_t id, stackSize, contextSize;
    std::uint64_t stackStart, rip, rsp;
};

struct Dump {
    std::uint32_t platformId = 0, exceptionThreadId = 0, exceptionCode = 0;
    std::uint64_t exceptionAddress = 0, faultRip = 0;
    std::vector<std::uint64_t> exceptionInformation, moduleBases, moduleSizes;
    std::vector<std::string> moduleNames;  // file names
    std::vector<DumpThread> threads;

    [[nodiscard]] bool IsLinux() const { return platformId == 0x8201; }
    /// The file name of the module holding address ("" when none does).
    [[nodiscard]] std::string ModuleAt(std::uint64_t address) const {
        for (std::size_t i = 0; i < moduleBases.size(); ++i) {
            if (address - moduleBases[i] < moduleSizes[i]) {
                return moduleNames[i];
            }
        }
        return {};
    }
};

/// Reads the file; throws (failing the test) when it is no minidump, when anything it names
/// lies outside it, or when it lacks one of the streams every dump has.
inline Dump ReadDump(const std::wstring& path) {
    std::ifstream file(fs::path(path), std::ios::binary);
    const std::vector<unsigned char> bytes(std::istreambuf_iterator<char>(file), {});
    auto need = [&](std::uint64_t at, std::uint64_t size) {
        if (at > bytes.size() || size > bytes.size() - at) {
            throw std::runtime_error("minidump of " + std::to_string(bytes.size()) +
                                     " bytes names " + std::to_string(at) + "+" +
                                     std::to_string(size));
        }
    };
    auto u32 = [&](std::uint64_t at) {
        std::uint32_t v = 0;
        need(at, 4);
        std::memcpy(&v, &bytes[at], 4);
        return v;
    };
    auto u64 = [&](std::uint64_t at) { return u32(at) | std::uint64_t{u32(at + 4)} << 32; };
    // The rip and rsp of the context at a location (size, rva).
    auto context = [&](std::uint64_t location, std::uint64_t* rip, std::uint64_t* rsp) {
        need(u32(location + 4), u32(location));
        *rip = u32(location) >= 0x100 ? u64(u32(location + 4) + 0xF8) : 0;
        *rsp = u32(location) >= 0x100 ? u64(u32(location + 4) + 0x98) : 0;
    };
    need(0, bytes.size() >= 4 && std::memcmp(bytes.data(), "MDMP", 4) == 0 ? 32 : ~0ull);
    Dump dump;
    std::uint32_t found = 0;  // bit n: stream type n
    for (std::uint64_t entry = u32(12); entry < u32(12) + u32(8) * 12ull; entry += 12) {
        const std::uint32_t type = u32(entry), size = u32(entry + 4), rva = u32(entry + 8);
        const std::uint64_t item = type == 3 ? 48 : type == 4 ? 108 : 0;  // threads, modules
        need(rva, std::max<std::uint64_t>(size, item != 0 ? 4 + u32(rva) * item : 0));
        found |= type < 8 ? 1u << type : 0;
        for (std::uint64_t at = rva + 4ull; type == 3 && at < rva + 4 + u32(rva) * item;
             at += item) {
            dump.threads.push_back({u32(at), u32(at + 32), u32(at + 40), u64(at + 24), 0, 0});
            need(u32(at + 36), u32(at + 32));  // the stack
            context(at + 40, &dump.threads.back().rip, &dump.threads.back().rsp);
        }
        for (std::uint64_t at = rva + 4ull; type == 4 && at < rva + 4 + u32(rva) * item;
             at += item) {
            const std::uint32_t name = u32(at + 20);
            std::u16string units(u32(name) / 2, u'\0');
            need(name + 4, units.size() * 2);
            std::memcpy(units.data(), &bytes[name + 4], units.size() * 2);
            const std::string utf8 = platform::WideToUtf8(platform::Utf16ToWide(units));
            dump.moduleNames.push_back(utf8.substr(utf8.find_last_of("/\\") + 1));
            dump.moduleBases.push_back(u64(at));
            dump.moduleSizes.push_back(u32(at + 8));
        }
        if (type == 6 && size >= 168) {  // exception
            dump.exceptionThreadId = u32(rva);
            dump.exceptionCode = u32(rva + 8);
            dump.exceptionAddress = u64(rva + 24);
            for (std::uint32_t p = 0; p < u32(rva + 32) && p < 15; ++p) {
                dump.exceptionInformation.push_back(u64(rva + 40 + p * 8ull));
            }
            std::uint64_t rsp = 0;
            context(rva + 160, &dump.faultRip, &rsp);
        }
        if (type == 7 && size >= 56 && (u32(rva) & 0xFFFF) == 9) {  // x64 system information
            dump.platformId = u32(rva + 20);
        }
    }
    if ((found & 0xF8) != 0xF8) {  // threads, modules, memory, exception, system information
        throw std::runtime_error("minidump without the usual streams");
    }
    return dump;
}

/// What every dump has: the faulting thread listed with a context and a stack near its stack
/// pointer, the test program among the modules, the faulting instruction inside one.
inline void ExpectSaneDump(const Dump& dump, std::uint32_t crashingThread) {
    EXPECT_TRUE(dump.platformId == 2 || dump.IsLinux()) << dump.platformId;
    EXPECT_EQ(crashingThread != 0 ? crashingThread : dump.exceptionThreadId,
              dump.exceptionThreadId);
    const auto faulting =
        std::find_if(dump.threads.begin(), dump.threads.end(),
                     [&](const DumpThread& t) { return t.id == dump.exceptionThreadId; });
    ASSERT_NE(dump.threads.end(), faulting) << "faulting thread not listed";
    EXPECT_GE(faulting->contextSize, 1232u);
    // At or just below (a stack overflow faults in the guard area) the saved stack.
    EXPECT_TRUE(faulting->stackSize > 0 && faulting->rsp + 64 * 1024 >= faulting->stackStart &&
                faulting->rsp < faulting->stackStart + faulting->stackSize)
        << std::hex << faulting->rsp << " far from the stack at " << faulting->stackStart;
    EXPECT_NE(std::count(dump.moduleNames.begin(), dump.moduleNames.end(), ExecutableName()), 0);
    EXPECT_NE("", dump.ModuleAt(dump.faultRip)) << std::hex << dump.faultRip;
}

/// Crashing children must not share the crash handler's exit code with a sanitizer, or a
/// sanitizer's report would pass for a handled crash. They run without the sanitizer's
/// alternate signal stacks, as a release build does, so that the platform's are tested.
inline void PrepareCrashChildEnvironment() {
    platform::SetEnvironmentVariable(L"ASAN_OPTIONS",
                                     (platform::GetEnvironmentVariable(L"ASAN_OPTIONS") +
                                      L":exitcode=86:allow_user_segv_handler=1:handle_abort=0"
                                      L":detect_leaks=0:use_sigaltstack=0")
                                         .c_str());
    platform::SetEnvironmentVariable(
        L"UBSAN_OPTIONS",
        (platform::GetEnvironmentVariable(L"UBSAN_OPTIONS") + L":exitcode=87").c_str());
}

// ---- The fixture: one crashing child, its dump read back.

class CrashTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareCrashChildEnvironment(); }

    void SetUp() override {
        m_directory = MakeTempDirectory(L"crash");
        m_dump = JoinPath(m_directory, L"crash.dmp");
        m_idFile = JoinPath(m_directory, L"thread.txt");
    }

    /// Runs the event: exit code 1 and a sane dump whose faulting thread is the one the child
    /// recorded, which lldb (a reader no one here wrote; scripts/setup.sh installs it) selects
    /// in a Linux dump and walks back to the named function.
    Dump CrashAndRead(const char* role, const std::string& function, const char* event = "") {
        fs::remove(fs::path(m_dump));
        EXPECT_EQ(1u, RunChild(role, {m_dump, m_idFile, platform::Utf8ToWide(event)}));
        std::uint32_t crashingThread = 0;
        std::ifstream(fs::path(m_idFile)) >> crashingThread;
        const Dump dump = ReadDump(m_dump);
        ExpectSaneDump(dump, crashingThread);
        EXPECT_NE(0u, crashingThread);
        static const bool lldb = std::system("lldb --version > lldb-probe.txt 2>&1") == 0;
        if (dump.IsLinux() && lldb) {
            const std::string text = Lldb("-o 'thread list' -o 'bt 40'");
            const std::size_t selected = text.find("tid = ", text.find("* thread #"));
            EXPECT_EQ(selected, text.find("tid = " + std::to_string(crashingThread))) << text;
            EXPECT_NE(std::string::npos, text.find(function)) << "no " << function << ":\n" << text;
        }
        return dump;
    }

    /// What lldb prints for the commands on the dump (frames without argument values: its
    /// value formatters can spin on heap that a dump does not hold).
    std::string Lldb(const std::string& commands) const {
        const std::string dump = fs::path(m_dump).string(), out = dump + ".lldb.txt";
        const std::string command =
            "timeout 60 lldb --no-lldbinit --batch -o 'settings set frame-format \"frame "
            "#${frame.index}: ${frame.pc}{ ${module.file.basename}`${function.name-without-args}}"
            "\\n\"' -c \"" +
            dump + "\" " + commands + " > \"" + out + "\" 2>&1";
        EXPECT_EQ(0, std::system(command.c_str())) << command;
        std::stringstream text;
        text << std::ifstream(out).rdbuf();
        return text.str();
    }

    /// Runs the event of the role's table: exit code 1 and a dump with the platform's code
    /// whose address is the faulting (or capturing) instruction. On Linux a SIGSEGV or
    /// breakpoint that the kernel reports records the data address (si_addr) instead: 0 for a
    /// null write, whose Windows record says "a write (1) to address 0".
    void ExpectCrash(const CrashCase& c) {
        if (c.wineGap != nullptr && RunningUnderWine()) {
            GTEST_SKIP() << "Wine gap: " << c.wineGap;
        }
        const Dump dump = CrashAndRead("crash", c.function, c.name);
        const bool onLinux = dump.IsLinux(), nullWrite = c.windowsCode == 0xC0000005;
        EXPECT_EQ(onLinux ? c.posixCode : c.windowsCode, dump.exceptionCode);
        if (!onLinux || (c.posixCode != SIGSEGV && c.windowsCode != 0x80000003)) {
            EXPECT_EQ(dump.faultRip, dump.exceptionAddress);
        }
        EXPECT_TRUE(!nullWrite ||
                    (onLinux ? dump.exceptionAddress == 0
                             : dump.exceptionInformation == std::vector<std::uint64_t>{1, 0}));
        if (!onLinux || c.posixFaultsInProgram) {
            EXPECT_EQ(ExecutableName(), dump.ModuleAt(dump.faultRip));
        }
        EXPECT_GE(dump.threads.size(), std::max(c.threads, c.onThread ? 2u : 1u));
        for (const DumpThread& t : dump.threads) {  // Linux: each answered the snapshot signal
            EXPECT_TRUE(!onLinux ||
                        (t.contextSize >= 1232 && t.stackSize > 0 && !dump.ModuleAt(t.rip).empty()))
                << "thread " << t.id << " without registers or stack";
        }
        EXPECT_TRUE(!onLinux || dump.threads.front().id == dump.exceptionThreadId);  // first
    }

    std::wstring m_directory, m_dump, m_idFile;
};

}  // namespace keltra::test::crash
