// Crash-test helpers: a child that installs the crash handler, an independent minidump reader
// for structural checks, and lldb as an outside reader of the dumps where it is installed.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/crash_handler.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "tests/support/test_support.h"

namespace keltra::test::crash {

// ---- In the child

/// Installs the handlers as the process entry will, and points the dump at path (when not
/// empty). Records the id of the thread that is going to crash in idFile (when not empty).
inline void InstallCrashHandler(const std::wstring& path) {
    Stoneleaf::CCrashHandler::InstallProcessHandlers();
    Stoneleaf::CCrashHandler::InstallThreadHandlers();
    if (!path.empty()) {
        (void)platform::StringCchCopyW(Stoneleaf::g_crashDumpPath,
                                       Stoneleaf::kCrashDumpPathCapacity, path.c_str());
    }
}

inline void RecordCrashingThread(const std::wstring& idFile) {
    if (idFile.empty()) {
        return;
    }
    std::ofstream out(std::filesystem::path(idFile), std::ios::trunc);
    out << platform::GetCurrentThreadId() << '\n';
}

/// Children must not inherit a sanitizer exit code equal to the crash handler's: a report
/// ending the child on the sanitizer's own path would then pass for a handled crash. The
/// sanitizer's own deadly-signal handling stays out of the way of the fault guard's.
inline void PrepareChildEnvironment() {
    static const bool done = [] {
        std::wstring options = platform::GetEnvironmentVariable(L"ASAN_OPTIONS");
        if (!options.empty()) {
            options += L":";
        }
        options += L"exitcode=86:allow_user_segv_handler=1:handle_abort=0:detect_leaks=0";
        platform::SetEnvironmentVariable(L"ASAN_OPTIONS", options.c_str());
        std::wstring ubsan = platform::GetEnvironmentVariable(L"UBSAN_OPTIONS");
        ubsan += ubsan.empty() ? L"exitcode=87" : L":exitcode=87";
        platform::SetEnvironmentVariable(L"UBSAN_OPTIONS", ubsan.c_str());
        return true;
    }();
    (void)done;
}

// ---- Files

inline std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    return directory + platform::kPathSeparator + name;
}

inline bool FileExists(const std::wstring& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(path), ignored);
}

inline std::vector<unsigned char> ReadAll(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline std::uint32_t ReadThreadId(const std::wstring& idFile) {
    std::ifstream in{std::filesystem::path(idFile)};
    std::uint32_t id = 0;
    in >> id;
    return id;
}

// ---- A minidump reader of our own, independent of the writers, for structural checks.

struct DumpModule {
    std::uint64_t base = 0;
    std::uint32_t size = 0;
    std::string name;  // UTF-8
};

struct DumpThread {
    std::uint32_t id = 0;
    std::uint64_t stackStart = 0;
    std::uint32_t stackSize = 0;
    std::uint32_t contextSize = 0;
    std::uint64_t rip = 0;
    std::uint64_t rsp = 0;
};

struct Dump {
    std::string error;  // empty when the file is a sane minidump
    std::uint32_t platformId = 0;
    std::vector<std::uint32_t> streamTypes;
    std::vector<DumpThread> threads;
    std::vector<DumpModule> modules;
    bool hasException = false;
    std::uint32_t exceptionThreadId = 0;
    std::uint32_t exceptionCode = 0;
    std::uint64_t exceptionAddress = 0;
    std::vector<std::uint64_t> exceptionInformation;
    std::uint64_t faultRip = 0;

    [[nodiscard]] bool IsLinux() const { return platformId == 0x8201; }
    [[nodiscard]] bool HasStream(std::uint32_t type) const {
        for (std::uint32_t t : streamTypes) {
            if (t == type) {
                return true;
            }
        }
        return false;
    }
    [[nodiscard]] const DumpThread* FindThread(std::uint32_t id) const {
        for (const DumpThread& t : threads) {
            if (t.id == id) {
                return &t;
            }
        }
        return nullptr;
    }
    [[nodiscard]] const DumpModule* ModuleAt(std::uint64_t address) const {
        for (const DumpModule& m : modules) {
            if (address >= m.base && address - m.base < m.size) {
                return &m;
            }
        }
        return nullptr;
    }
};

inline Dump ReadDump(const std::wstring& path) {
    Dump dump;
    const std::vector<unsigned char> bytes = ReadAll(path);
    auto in = [&](std::uint64_t offset, std::uint64_t size) {
        return offset <= bytes.size() && size <= bytes.size() - offset;
    };
    auto u16 = [&](std::uint64_t o) {
        std::uint16_t v;
        std::memcpy(&v, &bytes[o], 2);
        return v;
    };
    auto u32 = [&](std::uint64_t o) {
        std::uint32_t v;
        std::memcpy(&v, &bytes[o], 4);
        return v;
    };
    auto u64 = [&](std::uint64_t o) {
        std::uint64_t v;
        std::memcpy(&v, &bytes[o], 8);
        return v;
    };
    auto text = [&](std::uint32_t rva) -> std::optional<std::string> {
        if (!in(rva, 4) || u32(rva) % 2 != 0 || !in(rva + 4ull, u32(rva))) {
            return std::nullopt;
        }
        std::u16string units(u32(rva) / 2, u'\0');
        std::memcpy(units.data(), &bytes[rva + 4], units.size() * 2);
        return platform::WideToUtf8(platform::Utf16ToWide(units));
    };
    if (!in(0, 32) || std::memcmp(bytes.data(), "MDMP", 4) != 0) {
        dump.error = "no MDMP signature (" + std::to_string(bytes.size()) + " bytes)";
        return dump;
    }
    if ((u32(4) & 0xFFFF) != 0xA793) {
        dump.error = "unknown version";
        return dump;
    }
    const std::uint32_t streams = u32(8);
    const std::uint32_t directory = u32(12);
    if (streams == 0 || streams > 64 || !in(directory, streams * 12ull)) {
        dump.error = "stream directory out of the file";
        return dump;
    }
    const std::uint64_t contextRipOffset = 0xF8, contextRspOffset = 0x98;
    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::uint64_t entry = directory + i * 12ull;
        const std::uint32_t type = u32(entry), size = u32(entry + 4), rva = u32(entry + 8);
        if (type == 0) {
            continue;  // unused entry
        }
        if (!in(rva, size)) {
            dump.error = "stream " + std::to_string(type) + " out of the file";
            return dump;
        }
        dump.streamTypes.push_back(type);
        if (type == 3 && size >= 4) {  // thread list
            const std::uint32_t count = u32(rva);
            if (!in(rva + 4ull, count * 48ull) || 4 + count * 48ull > size) {
                dump.error = "thread list out of its stream";
                return dump;
            }
            for (std::uint32_t t = 0; t < count; ++t) {
                const std::uint64_t at = rva + 4ull + t * 48ull;
                DumpThread thread;
                thread.id = u32(at);
                thread.stackStart = u64(at + 24);
                thread.stackSize = u32(at + 32);
                if (!in(u32(at + 36), thread.stackSize)) {
                    dump.error = "thread stack out of the file";
                    return dump;
                }
                thread.contextSize = u32(at + 40);
                const std::uint32_t contextRva = u32(at + 44);
                if (!in(contextRva, thread.contextSize)) {
                    dump.error = "thread context out of the file";
                    return dump;
                }
                if (thread.contextSize >= 0x100) {
                    thread.rip = u64(contextRva + contextRipOffset);
                    thread.rsp = u64(contextRva + contextRspOffset);
                }
                dump.threads.push_back(thread);
            }
        } else if (type == 4 && size >= 4) {  // module list
            const std::uint32_t count = u32(rva);
            if (!in(rva + 4ull, count * 108ull) || 4 + count * 108ull > size) {
                dump.error = "module list out of its stream";
                return dump;
            }
            for (std::uint32_t m = 0; m < count; ++m) {
                const std::uint64_t at = rva + 4ull + m * 108ull;
                DumpModule module;
                module.base = u64(at);
                module.size = u32(at + 8);
                const auto name = text(u32(at + 20));
                if (!name) {
                    dump.error = "module name out of the file";
                    return dump;
                }
                module.name = *name;
                dump.modules.push_back(module);
            }
        } else if (type == 6 && size >= 168) {  // exception
            dump.hasException = true;
            dump.exceptionThreadId = u32(rva);
            dump.exceptionCode = u32(rva + 8);
            dump.exceptionAddress = u64(rva + 24);
            const std::uint32_t parameters = u32(rva + 32);
            for (std::uint32_t p = 0; p < parameters && p < 15; ++p) {
                dump.exceptionInformation.push_back(u64(rva + 40 + p * 8ull));
            }
            const std::uint32_t contextSize = u32(rva + 160), contextRva = u32(rva + 164);
            if (!in(contextRva, contextSize)) {
                dump.error = "exception context out of the file";
                return dump;
            }
            if (contextSize >= 0x100) {
                dump.faultRip = u64(contextRva + contextRipOffset);
            }
        } else if (type == 7 && size >= 56) {  // system information
            dump.platformId = u32(rva + 20);
            if (u16(rva) != 9) {
                dump.error = "not an x64 dump";
                return dump;
            }
        }
    }
    return dump;
}

inline std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline std::string ExecutableName() {
    return FileNameOf(platform::WideToUtf8(platform::GetExecutablePath()));
}

/// Structural checks every dump passes: sane layout, the usual streams, the faulting thread
/// listed with a context and a stack, the test program among the modules, and the faulting
/// instruction inside a listed module.
inline void ExpectSaneDump(const Dump& dump, std::uint32_t crashingThread) {
    ASSERT_EQ("", dump.error);
    for (std::uint32_t type : {3u, 4u, 5u, 6u, 7u}) {
        EXPECT_TRUE(dump.HasStream(type)) << "stream " << type;
    }
    EXPECT_TRUE(dump.platformId == 2 || dump.platformId == 0x8201) << dump.platformId;
    ASSERT_TRUE(dump.hasException);
    if (crashingThread != 0) {
        EXPECT_EQ(crashingThread, dump.exceptionThreadId);
    }
    const DumpThread* faulting = dump.FindThread(dump.exceptionThreadId);
    ASSERT_NE(nullptr, faulting) << "faulting thread " << dump.exceptionThreadId << " not listed";
    EXPECT_GE(faulting->contextSize, 1232u);
    EXPECT_GT(faulting->stackSize, 0u);
    EXPECT_NE(0u, dump.faultRip);
    // At or just below (a stack overflow faults in the guard area) the saved stack.
    EXPECT_TRUE(faulting->rsp + 64 * 1024 >= faulting->stackStart &&
                faulting->rsp < faulting->stackStart + faulting->stackSize)
        << "stack pointer 0x" << std::hex << faulting->rsp << " far from the saved stack at 0x"
        << faulting->stackStart;
    bool selfListed = false;
    for (const DumpModule& module : dump.modules) {
        selfListed = selfListed || FileNameOf(module.name) == ExecutableName();
    }
    EXPECT_TRUE(selfListed) << ExecutableName() << " missing from the module list";
    EXPECT_NE(nullptr, dump.ModuleAt(dump.faultRip))
        << "faulting instruction outside every module: 0x" << std::hex << dump.faultRip;
}

/// The name of the module holding the faulting instruction ("" when none does).
inline std::string FaultingModule(const Dump& dump) {
    const DumpModule* module = dump.ModuleAt(dump.faultRip);
    return module != nullptr ? FileNameOf(module->name) : std::string();
}

// ---- lldb, a reader no one here wrote

/// Runs lldb on the dump with the commands and returns what it printed, or nothing when lldb
/// is not installed.
inline std::optional<std::string> RunLldb(const std::wstring& dumpPath,
                                          const std::vector<std::string>& commands = {
                                              "thread list", "bt 40", "image list"}) {
    static const bool available = std::system("lldb --version > lldb-probe.txt 2>&1") == 0;
    if (!available) {
        return std::nullopt;
    }
    const std::string dump = std::filesystem::path(dumpPath).string();
    const std::string out = dump + ".lldb.txt";
    // Frames without argument values: lldb's value formatters can spin on the heap
    // structures that a dump does not hold. Bounded, like every step of a test.
    std::string command =
        "timeout 60 lldb --no-lldbinit --batch"
        " -o 'settings set frame-format \"frame #${frame.index}: ${frame.pc}"
        "{ ${module.file.basename}`${function.name-without-args}}\\n\"'"
        " -c \"" +
        dump + "\"";
    for (const std::string& c : commands) {
        command += " -o \"" + c + "\"";
    }
    command += " > \"" + out + "\" 2>&1";
    EXPECT_EQ(0, std::system(command.c_str())) << command;
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// lldb opens the dump, selects the crashing thread, and its backtrace reaches the named
/// function of the test program. On a Linux dump without lldb installed: skips, saying so.
inline void ExpectLldbReads(const Dump& dump, const std::wstring& dumpPath,
                            std::uint32_t crashingThread, const std::string& function) {
    if (!dump.IsLinux()) {
        return;  // Windows dumps are checked by the structural reader (no lldb under Wine)
    }
    const std::optional<std::string> output = RunLldb(dumpPath);
    if (!output) {
        GTEST_SKIP() << "lldb is not installed (scripts/setup.sh installs it): the dump was "
                        "checked by the structural reader only";
    }
    const std::string& text = *output;
    std::istringstream lines(text);
    std::string line, selected;
    while (std::getline(lines, line)) {
        if (line.rfind("* thread #", 0) == 0) {
            selected = line;
            break;
        }
    }
    EXPECT_NE(std::string::npos, selected.find("tid = " + std::to_string(crashingThread)))
        << "lldb selected another thread:\n"
        << text;
    EXPECT_NE(std::string::npos, text.find(function))
        << "backtrace does not reach " << function << ":\n"
        << text;
    EXPECT_NE(std::string::npos, text.find(ExecutableName())) << "module list lacks the program:\n"
                                                              << text;
}

// ---- Platform facts the tests must know

/// True under Wine (its ntdll exports wine_get_version).
inline bool RunningUnderWine() {
    platform::Module ntdll = platform::LoadLibrary(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    const bool wine = platform::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    (void)platform::FreeLibrary(ntdll);
    return wine;
}

}  // namespace keltra::test::crash
