// Helpers for the runs of the shipped executable: starting it with a bound, the plug-in list
// and log settings in the registry, and reading what the recorder plug-ins and the log got.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    if (!child) {
        ADD_FAILURE() << "cannot start " << platform::WideToUtf8(program);
        return 0xFFFFFFFF;
    }
    if (platform::WaitForSingleObject(child.Get(), timeoutMs) != platform::kWaitObject0) {
        platform::TerminateProcess(child.Get(), 0xFFFFFFFF);
        ADD_FAILURE() << platform::WideToUtf8(args.empty() ? program : args[0]) << " hung";
        return 0xFFFFFFFF;
    }
    std::uint32_t code = 0;
    platform::GetExitCodeProcess(child.Get(), &code);
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

inline void SetValue(platform::RegKey key, const wchar_t* name, const std::wstring& text) {
    const std::u16string units = platform::WideToUtf16(text + L'\0');
    EXPECT_EQ(0u, platform::RegSetValueEx(key, name, platform::kRegSz,
                                          reinterpret_cast<const std::uint8_t*>(units.data()),
                                          static_cast<std::uint32_t>(units.size() * 2)));
}

inline void SetValue(platform::RegKey key, const wchar_t* name, std::uint32_t number) {
    EXPECT_EQ(0u, platform::RegSetValueEx(key, name, platform::kRegDword,
                                          reinterpret_cast<const std::uint8_t*>(&number), 4));
}

/// The host's configuration for one test: the recorder plug-ins listed under the real key
/// (Linux: in a registry file of the test's own) and the trace log on, at every level, in a
/// fresh directory. The recorders' call files start empty.
class HostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = MakeTempDirectory(L"exe");
        logPath = dir + platform::kPathSeparator + L"host.log";
        const std::wstring registry = dir + platform::kPathSeparator + L"registry.reg";
        platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", registry.c_str());
        platform::SetEnvironmentVariable(L"STATE_DIRECTORY", dir.c_str());
        std::vector<std::wstring> paths;
        for (const std::wstring& name : kRecorders) {
            paths.push_back(PluginPath(name));
        }
        WriteKeys(paths);
        for (const std::wstring& name : kRecorders) {
            (void)platform::DeleteFile((PluginPath(name) + L".calls").c_str());
            (void)platform::DeleteFile((PluginPath(name) + L".calls.release").c_str());
        }
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
            SetValue(key, (L"svcbu" + std::to_wstring(i)).c_str(), plugins[i]);
        }
        platform::RegCloseKey(key);
        ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kLogKey,
                                               platform::kKeyAllAccess, &key));
        SetValue(key, L"enabled", 1u);
        SetValue(key, L"append", 1u);
        SetValue(key, L"loglevel", 0u);
        SetValue(key, L"logpath", logPath);
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

    std::wstring dir;
    std::wstring logPath;
};

}  // namespace keltra::test::exe
