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
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "tests/platform/fault_guard_fixture.h"
#include "tests/support/test_support.h"

namespace keltra::test::crash {

using faults::RunningUnderWine;

inline std::wstring Arg(const std::vector<std::wstring>& args, std::size_t i) {
    return i < args.size() ? args[i] : std::wstring();
}

inline std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    return directory + platform::kPathSeparator + name;
}

inline bool FileExists(const std::wstring& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(path), ignored);
}

inline std::string FileName(const std::string& utf8Path) {
    return utf8Path.substr(utf8Path.find_last_of("/\\") + 1);  // npos + 1 is 0
}

inline std::string ExecutableName() {
    return FileName(platform::WideToUtf8(platform::GetExecutablePath()));
}

// ---- The child side

/// Installs the handlers as the process entry does and points the dump at path (when not
/// empty).
inline void InstallCrashHandler(const std::wstring& path) {
    Stoneleaf::CCrashHandler::InstallProcessHandlers();
    Stoneleaf::CCrashHandler::InstallThreadHandlers();
    if (!path.empty()) {
        (void)platform::StringCchCopyW(Stoneleaf::g_crashDumpPath,
                                       Stoneleaf::kCrashDumpPathCapacity, path.c_str());
    }
}

inline void RecordCrashingThread(const std::wstring& idFile) {
    if (!idFile.empty()) {
        std::ofstream(std::filesystem::path(idFile)) << platform::GetCurrentThreadId() << '\n';
    }
}

/// Exception codes as each platform's dump records them: status codes, signal numbers.
struct Codes {
    std::uint32_t windows;
    std::uint32_t posix;
};

/// One fatal event: what the child does, the function its crashing thread's backtrace reaches
/// and the code its dump carries.
struct CrashCase {
    const char* name;
    void (*crash)();
    const char* function;
    Codes codes;
    bool onThread = false;             // met on a thread the platform starts
    bool posixFaultsInProgram = true;  // false where Linux keeps a context inside libc
    const char* wineGap = nullptr;     // why Wine cannot run it
};

inline void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.name;
}

/// The child side of a table of events. args: the dump path, the thread-id file, the event.
template <std::size_t N>
int MeetCrash(const std::vector<std::wstring>& args, const CrashCase (&table)[N]) {
    InstallCrashHandler(Arg(args, 0));
    static const std::wstring idFile = Arg(args, 1);
    auto meet = [](void* crash) -> std::uint32_t {
        RecordCrashingThread(idFile);
        reinterpret_cast<void (*)()>(crash)();
        return 0;
    };
    for (const CrashCase& c : table) {
        if (platform::WideToUtf8(Arg(args, 2)) == c.name && !c.onThread) {
            return static_cast<int>(meet(reinterpret_cast<void*>(c.crash)));
        }
        if (platform::WideToUtf8(Arg(args, 2)) == c.name) {
            const platform::UniqueHandle thread(
                platform::BeginThread(meet, reinterpret_cast<void*>(c.crash), nullptr));
            return static_cast<int>(platform::WaitForSingleObject(thread.Get(), 60000));
        }
    }
    return 2;
}

/// Children must not share the crash handler's exit code with a sanitizer, or a sanitizer's
/// report would pass for a handled crash. They run without the sanitizer's alternate signal
/// stacks, as a release build does, so that the platform's own stacks are what is tested.
inline void PrepareChildEnvironment() {
    static const bool done = [] {
        const std::wstring asan = platform::GetEnvironmentVariable(L"ASAN_OPTIONS") +
                                  L":exitcode=86:allow_user_segv_handler=1:handle_abort=0"
                                  L":detect_leaks=0:use_sigaltstack=0";
        const std::wstring ubsan = platform::GetEnvironmentVariable(L"UBSAN_OPTIONS");
        return platform::SetEnvironmentVariable(L"ASAN_OPTIONS", asan.c_str()) &&
               platform::SetEnvironmentVariable(L"UBSAN_OPTIONS",
                                                (ubsan + L":exitcode=87").c_str());
    }();
    (void)done;
}

// ---- A minidump reader of our own, independent of the writers.

struct DumpThread {
    std::uint32_t id, stackSize, contextSize;
    std::uint64_t stackStart, rip, rsp;
};

struct Dump {
    std::string error;  // empty when the file is a sane minidump
    std::uint32_t platformId = 0, exceptionThreadId = 0, exceptionCode = 0;
    std::uint64_t exceptionAddress = 0, faultRip = 0, faultRsp = 0;
    std::vector<std::uint64_t> exceptionInformation;
    std::vector<std::uint32_t> streamTypes;
    std::vector<DumpThread> threads;
    std::vector<std::uint64_t> moduleBases, moduleSizes;
    std::vector<std::string> moduleNames;  // file names

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

inline Dump ReadDump(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::vector<unsigned char> bytes(std::istreambuf_iterator<char>(file), {});
    Dump dump;
    auto in = [&](std::uint64_t at, std::uint64_t size) {
        return at <= bytes.size() && size <= bytes.size() - at;
    };
    auto u32 = [&](std::uint64_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    };
    auto u64 = [&](std::uint64_t at) { return u32(at) | std::uint64_t{u32(at + 4)} << 32; };
    // A location (size, rva) that lies in the file; for a context, its rip and rsp.
    auto located = [&](std::uint64_t at, std::uint64_t* rip = nullptr,
                       std::uint64_t* rsp = nullptr) {
        const std::uint32_t size = u32(at), rva = u32(at + 4);
        if (rip != nullptr && size >= 0x100 && in(rva, size)) {
            *rip = u64(rva + 0xF8), *rsp = u64(rva + 0x98);
        }
        return in(rva, size);
    };
    if (!in(0, 32) || std::memcmp(bytes.data(), "MDMP", 4) != 0 || (u32(4) & 0xFFFF) != 0xA793 ||
        u32(8) == 0 || u32(8) > 64 || !in(u32(12), u32(8) * 12ull)) {
        dump.error =
            "no minidump header and directory (" + std::to_string(bytes.size()) + " bytes)";
        return dump;
    }
    for (std::uint64_t entry = u32(12); entry < u32(12) + u32(8) * 12ull; entry += 12) {
        const std::uint32_t type = u32(entry), rva = u32(entry + 8);
        const std::uint32_t count = located(entry + 4) && u32(entry + 4) >= 4 ? u32(rva) : 0;
        const std::uint64_t item = type == 3 ? 48 : type == 4 ? 108 : 0;  // threads, modules
        if (!located(entry + 4) || (item != 0 && 4 + count * item > u32(entry + 4))) {
            dump.error = "stream " + std::to_string(type) + " out of the file";
            return dump;
        }
        dump.streamTypes.push_back(type);
        for (std::uint64_t at = rva + 4ull; type == 3 && at < rva + 4 + count * item; at += item) {
            DumpThread t{u32(at), u32(at + 32), u32(at + 40), u64(at + 24), 0, 0};
            if (!located(at + 32) || !located(at + 40, &t.rip, &t.rsp)) {
                dump.error = "thread stack or context out of the file";
            }
            dump.threads.push_back(t);
        }
        for (std::uint64_t at = rva + 4ull; type == 4 && at < rva + 4 + count * item; at += item) {
            const std::uint32_t name = u32(at + 20), bytesOfName = in(name, 4) ? u32(name) : ~0u;
            if (!in(name + 4ull, bytesOfName) || bytesOfName % 2 != 0) {
                dump.error = "module name out of the file";
                return dump;
            }
            std::u16string units(bytesOfName / 2, u'\0');
            std::memcpy(units.data(), &bytes[name + 4], bytesOfName);
            dump.moduleNames.push_back(
                FileName(platform::WideToUtf8(platform::Utf16ToWide(units))));
            dump.moduleBases.push_back(u64(at));
            dump.moduleSizes.push_back(u32(at + 8));
        }
        if (type == 6 && u32(entry + 4) >= 168) {  // exception
            dump.exceptionThreadId = u32(rva);
            dump.exceptionCode = u32(rva + 8);
            dump.exceptionAddress = u64(rva + 24);
            for (std::uint32_t p = 0; p < u32(rva + 32) && p < 15; ++p) {
                dump.exceptionInformation.push_back(u64(rva + 40 + p * 8ull));
            }
            if (!located(rva + 160, &dump.faultRip, &dump.faultRsp)) {
                dump.error = "exception context out of the file";
            }
        }
        if (type == 7 && u32(entry + 4) >= 56 && (u32(rva) & 0xFFFF) == 9) {  // x64 system info
            dump.platformId = u32(rva + 20);
        }
    }
    return dump;
}

/// What every dump has: the usual streams, the faulting thread listed with a context and a
/// stack near its stack pointer, the test program among the modules, and the faulting
/// instruction inside a listed module.
inline void ExpectSaneDump(const Dump& dump, std::uint32_t crashingThread) {
    ASSERT_EQ("", dump.error);
    for (std::uint32_t type : {3u, 4u, 5u, 6u, 7u}) {
        EXPECT_NE(std::count(dump.streamTypes.begin(), dump.streamTypes.end(), type), 0) << type;
    }
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

/// What lldb, a reader no one here wrote, prints for the commands on a Linux dump (frames
/// without argument values: its value formatters can spin on heap a dump does not hold).
inline std::string RunLldb(const std::wstring& dumpPath, const std::string& commands) {
    const std::string dump = std::filesystem::path(dumpPath).string(), out = dump + ".lldb.txt";
    const std::string command =
        "timeout 60 lldb --no-lldbinit --batch -o 'settings set frame-format \"frame "
        "#${frame.index}: ${frame.pc}{ ${module.file.basename}`${function.name-without-args}}\\n"
        "\"' -c \"" +
        dump + "\" " + commands + " > \"" + out + "\" 2>&1";
    EXPECT_EQ(0, std::system(command.c_str())) << command;
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    return text.str();
}

// ---- The fixture: one crashing child, its dump read back.

class CrashTest : public testing::Test {
  protected:
    void SetUp() override {
        PrepareChildEnvironment();
        m_directory = MakeTempDirectory(L"crash");
        m_dump = JoinPath(m_directory, L"crash.dmp");
        m_idFile = JoinPath(m_directory, L"thread.txt");
    }

    /// Runs the event: exit code 1 and a sane dump whose faulting thread is the one the child
    /// recorded, which lldb selects and walks back to the named function.
    Dump CrashAndRead(const char* role, const std::string& function, const char* event = "") {
        std::filesystem::remove(std::filesystem::path(m_dump));
        EXPECT_EQ(1u, RunChild(role, {m_dump, m_idFile, platform::Utf8ToWide(event)}));
        std::uint32_t crashingThread = 0;
        std::ifstream(std::filesystem::path(m_idFile)) >> crashingThread;
        const Dump dump = ReadDump(m_dump);
        ExpectSaneDump(dump, crashingThread);
        EXPECT_NE(0u, crashingThread);
        static const bool lldb = std::system("lldb --version > lldb-probe.txt 2>&1") == 0;
        if (dump.IsLinux() && lldb) {  // scripts/setup.sh installs it; without, the reader above
            const std::string text = RunLldb(m_dump, "-o 'thread list' -o 'bt 40'");
            const std::size_t selected = text.find("tid = ", text.find("* thread #"));
            EXPECT_EQ(selected, text.find("tid = " + std::to_string(crashingThread))) << text;
            EXPECT_NE(std::string::npos, text.find(function)) << "no " << function << ":\n" << text;
        }
        return dump;
    }

    /// Runs the event of the role's table: exit code 1 and a dump with the platform's code
    /// whose address is the faulting (or capturing) instruction. On Linux a SIGSEGV or breakpoint
    /// that the kernel reports records the data address (si_addr) instead: 0 for a null write.
    void ExpectCrash(const CrashCase& c) {
        if (c.wineGap != nullptr && RunningUnderWine()) {
            GTEST_SKIP() << "Wine gap: " << c.wineGap;
        }
        const Dump dump = CrashAndRead("crash", c.function, c.name);
        const bool nullWrite = c.codes.windows == 0xC0000005;
        EXPECT_EQ(dump.IsLinux() ? c.codes.posix : c.codes.windows, dump.exceptionCode);
        if (!dump.IsLinux() || (c.codes.posix != SIGSEGV && c.codes.windows != 0x80000003)) {
            EXPECT_EQ(dump.faultRip, dump.exceptionAddress);
        }
        if (nullWrite && dump.IsLinux()) {
            EXPECT_EQ(0u, dump.exceptionAddress);  // si_addr
        } else if (nullWrite) {
            EXPECT_EQ((std::vector<std::uint64_t>{1, 0}), dump.exceptionInformation);  // write, 0
        }
        if (!dump.IsLinux() || c.posixFaultsInProgram) {
            EXPECT_EQ(ExecutableName(), dump.ModuleAt(dump.faultRip));
        }
        EXPECT_GE(dump.threads.size(), c.onThread ? 2u : 1u);  // the entry thread is listed too
    }

    std::wstring m_directory, m_dump, m_idFile;
};

}  // namespace keltra::test::crash
