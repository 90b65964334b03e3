// Helpers for the runs of the shipped executable: starting it with a bound, the plug-in list
// and log settings in the registry, and reading what the recorder plug-ins and the log got.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diagnostics/log_reader.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/wait.h"
#include "tests/support/test_support.h"

namespace keltra::test::exe {

inline constexpr wchar_t kPluginKey[] = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
inline constexpr wchar_t kLogKey[] = L"Software\\Keltra\\Brismont Settings\\DbgLog";
inline const std::vector<std::wstring> kRecorders = {L"svc_recorder_a", L"svc_recorder_b"};

inline std::wstring ExePath() {
    return platform::GetExecutableDirectory() + platform::kPathSeparator + KELTRA_SERVICE_EXE;
}

/// Runs the executable (or another program) and returns its exit code; 0xFFFFFFFF (and a
/// failure) when it does not end within timeoutMs.
inline std::uint32_t RunExe(const std::vector<std::wstring>& args, std::uint32_t timeoutMs = 90000,
                            const std::wstring& program = ExePath()) {
    platform::UniqueHandle child(platform::StartProcess(program, args));
    std::uint32_t code = 0xFFFFFFFF;
    if (!child || platform::WaitForSingleObject(child.Get(), timeoutMs) != platform::kWaitObject0) {
        ADD_FAILURE() << platform::WideToUtf8(args.empty() ? program : args.back()) << " hung";
        platform::TerminateProcess(child.Get(), code);
    } else {
        platform::GetExitCodeProcess(child.Get(), &code);
    }
    return code;
}

/// A POSIX exit code keeps the low 8 bits of the result; the log keeps all 32.
inline std::uint32_t AsExitCode(std::uint32_t result) {
    return platform::kLibrarySuffix == std::wstring(L".dll") ? result : result & 0xFF;
}

inline std::string ReadText(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void SetText(platform::RegKey key, const wchar_t* name, const std::wstring& text) {
    const std::u16string units = platform::WideToUtf16(text + L'\0');
    EXPECT_EQ(0u, platform::RegSetValueEx(key, name, platform::kRegSz,
                                          reinterpret_cast<const std::uint8_t*>(units.data()),
                                          static_cast<std::uint32_t>(units.size() * 2)));
}

/// One run of the executable and the result it must give.
struct Step {
    std::vector<std::wstring> args;
    std::uint32_t code;
};

/// What both service managers go through, in three parts: before the service runs (ending
/// with it installed for exe), while it runs, and stopping and removing it.
inline std::vector<std::vector<Step>> Lifecycle(const std::wstring& exe) {
    return {{{{L"/STOP"}, 1060},
             {{L"/UNINSTALL"}, 1060},
             {{L"/START"}, 1060},
             {{L"/INSTALL"}, 87},
             {{L"/install", L"  " + exe + L" \t"}, 0},
             {{L"/INSTALL", exe}, 1073}},
            {{{L"/Start"}, 0},
             {{L"/START"}, 1056},
             {{}, 183},
             {{L"/RUN", L"STOP"}, 183},
             {{L"/CONTROL", L"128"}, 0},
             {{L"/control", L"0xC8"}, 0},
             {{L"/CONTROL", L"INTERROGATE"}, 0}},
            {{{L"/STOP"}, 0},
             {{L"/STOP"}, 0},
             {{L"/CONTROL", L"128"}, 1062},
             {{L"/UNINSTALL"}, 0},
             {{L"/START"}, 1060}}};
}

/// The host's configuration for one test: the recorder plug-ins listed under the real key
/// (Linux: in a registry file of the test's own) and the trace log on, at every level, in a
/// fresh directory. The recorders' call files start empty.
class HostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = MakeTempDirectory(L"exe");
        logPath = dir + platform::kPathSeparator + L"host.log";
        platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", (dir + L"/registry.reg").c_str());
        platform::SetEnvironmentVariable(L"STATE_DIRECTORY", dir.c_str());
        std::vector<std::wstring> paths;
        for (const std::wstring& name : kRecorders) {
            paths.push_back(PluginPath(name));
            (void)platform::DeleteFile((paths.back() + L".calls").c_str());
        }
        WriteKeys(paths);
    }

    void TearDown() override {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kPluginKey);
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kLogKey);
    }

    /// Lists the plug-in libraries (full paths) and switches the log on.
    void WriteKeys(const std::vector<std::wstring>& plugins) {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kPluginKey);
        platform::RegKey key = nullptr;
        ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kPluginKey,
                                               platform::kKeyAllAccess, &key));
        for (std::size_t i = 0; i < plugins.size(); ++i) {
            SetText(key, (L"svcbu" + std::to_wstring(i)).c_str(), plugins[i]);
        }
        platform::RegCloseKey(key);
        ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kLogKey,
                                               platform::kKeyAllAccess, &key));
        const std::uint32_t on = 1;  // "loglevel" missing: 0, every line
        for (const wchar_t* name : {L"enabled", L"append"}) {
            (void)platform::RegSetValueEx(key, name, platform::kRegDword,
                                          reinterpret_cast<const std::uint8_t*>(&on), 4);
        }
        SetText(key, L"logpath", logPath);
        platform::RegCloseKey(key);
    }

    /// What the recorder library at path recorded.
    static std::string Calls(const std::wstring& path) { return ReadText(path + L".calls"); }

    /// The calls with "Main 1" taken out, or "no Main" when it is missing: "Main" runs on a
    /// thread of its own, so the first controls may be recorded before it.
    static std::string CallsBesideMain(const std::wstring& path) {
        std::string calls = Calls(path);
        const std::size_t main = calls.find("Main 1\n");
        return main == std::string::npos ? "no Main" : calls.erase(main, 7);
    }

    std::string Log() const {
        const std::string raw = ReadText(logPath);
        std::string text;
        logfilesync::LogTextReader reader;
        reader.Feed(raw.data(), raw.size(), &text);
        reader.Flush(&text);
        return text;
    }

    /// After a lifecycle: every recorder at path got these controls (and Main, Unload and
    /// the deletion hook), and the log holds each command's outcome.
    void ExpectLifecycleSeen(const std::vector<std::wstring>& paths, const std::string& handled) {
        for (const std::wstring& path : paths) {
            EXPECT_EQ(handled + "Handler 1 0\nUnload\nOnDeleteService\n", CallsBesideMain(path));
        }
        for (const char* line :
             {"Entry service failed, dwRet=183", "Entry service success.",
              "Exec arguments failed, dwRet=1060", "Exec arguments failed, dwRet=1073"}) {
            EXPECT_NE(std::string::npos, Log().find(line)) << line;
        }
    }

    std::wstring dir;
    std::wstring logPath;
};

}  // namespace keltra::test::exe
