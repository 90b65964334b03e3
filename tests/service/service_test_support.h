// Shared by the service tests and the test service: a service whose start and stop can be
// held at a named mutex, sets of test plug-ins loaded in the test, and for runs in other
// processes the shipped executable's runner, its registry settings and what the recorder
// plug-ins and the log got.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <regex>
#include <tuple>
#include <utility>

#include "platform/named_mutex.h"
#include "service/service_impl.h"
#include "tests/executive/exec_test_support.h"

namespace keltra::test {

/// CServiceImpl that waits, while a test holds "<hold>_start" (after start-pending) or
/// "<hold>_stop" (after stop-pending), so the manager's view of those states can be read.
class HeldService : public CServiceImpl {
  public:
    HeldService(const FrameworkParams* params, std::wstring hold)
        : CServiceImpl(params), m_hold(std::move(hold)) {}
    std::uint32_t RegisterNotifications(platform::ServiceStatusHandle handle) override {
        const std::uint32_t result = CService::RegisterNotifications(handle);
        Wait(L"_start");
        return result;
    }
    void UnregisterNotifications(platform::ServiceStatusHandle handle) override {
        Wait(L"_stop");
        CService::UnregisterNotifications(handle);
    }

  private:
    void Wait(const wchar_t* which) const {
        platform::UniqueHandle held(
            platform::OpenMutex(platform::kSynchronize, false, (m_hold + which).c_str()));
        if (held && platform::WaitForSingleObject(held.Get(), 60000) != platform::kWaitTimeout) {
            platform::ReleaseMutex(held.Get());
        }
    }
    std::wstring m_hold;
};

inline FrameworkParams TestParams(const wchar_t* key) {
    FrameworkParams params = {};
    platform::StringCchCopyW(params.pluginKeyPath, 260, key);
    platform::StringCchCopyW(params.valueNameFilter, 260, L"svcbu");
    return params;
}

/// Copies of test plug-ins listed under a key of the test's own, each also loaded by the test
/// to read its record, and the service's parameters naming that key.
struct PluginSet : TestRegistryKey {
    PluginSet(std::initializer_list<const wchar_t*> variants) {
        for (const wchar_t* variant : variants) {
            Add(variant);
        }
        params = TestParams(Path());
    }
    [[nodiscard]] const FrameworkParams* Params() const { return &params; }
    FrameworkParams params;
};

/// The controls a plug-in saw, in order.
inline std::vector<std::uint32_t> Controls(const std::vector<HandlerCall>& calls) {
    std::vector<std::uint32_t> out;
    for (const HandlerCall& c : calls) {
        out.push_back(c.control);
    }
    return out;
}
inline std::vector<HandlerCall> Calls(TestPluginRecord& r) {
    return {r.calls, r.calls + std::min<std::uint32_t>(r.handlerCalls.load(), kMaxRecordedCalls)};
}

inline constexpr wchar_t kPluginKey[] = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
inline constexpr wchar_t kLogKey[] = L"Software\\Keltra\\Brismont Settings\\DbgLog";

/// A program built beside the test program (the shipped executable by default).
inline std::wstring ExePath(const std::wstring& name = KELTRA_SERVICE_EXE) {
    return platform::GetExecutableDirectory() + platform::kPathSeparator + name;
}

inline std::uint32_t RunExe(const std::vector<std::wstring>& args, std::uint32_t timeoutMs = 90000,
                            const std::wstring& program = ExePath()) {
    return RunProgram(program, args, timeoutMs);
}

/// A POSIX exit code keeps the low 8 bits of the result; the log keeps all 32.
inline std::uint32_t AsExitCode(std::uint32_t result) {
    return platform::kLibrarySuffix == std::wstring(L".dll") ? result : result & 0xFF;
}

/// One run of the executable: its arguments and the result it must give.
using Step = std::pair<std::vector<std::wstring>, std::uint32_t>;

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
             {{L"/run", L"STOP"}, 183},
             {{L"/CONTROL", L"128"}, 0},
             {{L"/control", L"0200"}, 0},  // decimal: 200, not 128
             {{L"/CONTROL", L"PARAMCHANGE"}, 0},
             {{L"/CONTROL", L"INTERROGATE"}, 0}},
            {{{L"/STOP"}, 0},
             {{L"/STOP"}, 0},
             {{L"/CONTROL", L"128"}, 1062},
             {{L"/START"}, 0},
             {{L"/UNINSTALL"}, 0},  // running: stopped first
             {{L"/START"}, 1060}}};
}

/// One plug-in as /STATUS shows it: path, description, state.
using ShownPlugin = std::tuple<std::wstring, std::string, std::string>;

/// What /STATUS shows of the running shipped host after control 128, as text and as JSON, with
/// process ids, times, durations and the recovery setting left out of the comparison.
inline void ExpectRunningStatus(const std::string& text, const std::string& json,
                                const std::wstring& binaryPath,
                                const std::vector<ShownPlugin>& plugins) {
    const auto quoted = [](const std::string& raw) {
        return "\"" + std::regex_replace(raw, std::regex(R"((["\\]))"), "\\$1") + "\"";
    };
    std::vector<std::string> lines = {
        "State           running\n",
        "Process         ",
        ", up ",
        "Binary path     " + platform::WideToUtf8(binaryPath) + "\n",
        "Status text     " + std::to_string(plugins.size()) + " plug-ins loaded\n",
        "Last control    128 at ",
        ": result 0\n",
        "Slowest answer  "};
    std::string pluginsJson;
    for (const auto& [path, description, state] : plugins) {
        char padded[32];
        std::snprintf(padded, sizeof padded, "  %-24s", state.c_str());
        lines.push_back(padded + platform::WideToUtf8(path) + "  \"" + description + "\"\n");
        pluginsJson += std::string(pluginsJson.empty() ? "" : ",") +
                       "{\"path\":" + quoted(platform::WideToUtf8(path)) +
                       ",\"description\":" + quoted(description) + ",\"state\":" + quoted(state) +
                       "}";
    }
    for (const std::string& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
    std::string shown = std::regex_replace(
        json, std::regex(R"re("(processId|uptimeSeconds|milliseconds)":[0-9]+)re"), "\"$1\":0");
    shown = std::regex_replace(shown, std::regex(R"re("(startedAt|at)":"[-0-9T:Z]+")re"),
                               "\"$1\":\"T\"");
    shown =
        std::regex_replace(shown, std::regex(R"re("recovery":"[a-z]+")re"), "\"recovery\":\"R\"");
    EXPECT_EQ(shown,
              "{\"service\":\"KeltraServiceFramework\",\"state\":\"running\",\"processId\":0,"
              "\"binaryPath\":" +
                  quoted(platform::WideToUtf8(binaryPath)) +
                  ",\"recovery\":\"R\",\"host\":{\"startedAt\":\"T\",\"uptimeSeconds\":0,"
                  "\"statusText\":\"" +
                  std::to_string(plugins.size()) + " plug-ins loaded\",\"plugins\":[" +
                  pluginsJson +
                  "],\"lastControl\":{\"code\":128,\"result\":0,\"at\":\"T\"},"
                  "\"slowestAnswer\":{\"milliseconds\":0,\"control\":128}}}\n");
}

/// The host's configuration for one test, in a fresh directory: two copies of the recorder
/// plug-in (each appends every call it gets to "<its path>.calls") listed under the real key
/// (Linux: in a registry file of the test's own), and the trace log on, at every level.
class HostFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = MakeTempDirectory(L"exe");
        // Its name comes back with the process id (under Wine quickly): no earlier calls or log.
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        logPath = dir + platform::kPathSeparator + L"host.log";
        platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", (dir + L"/registry.reg").c_str());
        platform::SetEnvironmentVariable(L"STATE_DIRECTORY", dir.c_str());
        recorders = {CopyPlugin(L"svc_recorder", dir, L"rec_a"),
                     CopyPlugin(L"svc_recorder", dir, L"rec_b")};
        WriteKeys(recorders);
    }

    void TearDown() override {  // the plug-in list and the log settings
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(),
                                      L"Software\\Keltra\\Brismont Settings");
    }

    /// Lists the plug-in libraries (full paths) and switches the log on ("loglevel" missing:
    /// 0, every line).
    void WriteKeys(const std::vector<std::wstring>& plugins) {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kPluginKey);
        for (std::size_t i = 0; i < plugins.size(); ++i) {
            SetRegistryValue(kPluginKey, (L"svcbu" + std::to_wstring(i)).c_str(), platform::kRegSz,
                             Utf16Le(plugins[i] + L'\0'));
        }
        for (const wchar_t* name : {L"enabled", L"append"}) {
            SetRegistryValue(kLogKey, name, platform::kRegDword, std::string("\1\0\0\0", 4));
        }
        SetRegistryValue(kLogKey, L"logpath", platform::kRegSz, Utf16Le(logPath + L'\0'));
    }
    /// Sets the log's threshold ("loglevel") in the registry.
    static void SetLogLevel(std::uint32_t level) {
        SetRegistryValue(kLogKey, L"loglevel", platform::kRegDword,
                         std::string(reinterpret_cast<const char*>(&level), 4));
    }

    /// A service that ran at level W until a param-change raised it to D: the line saying so,
    /// no D line of the control handler before it, and D lines of the controls after it.
    void ExpectLevelRaisedByParamChange() const {
        const std::string log = Log();
        const std::size_t changed = log.find("Log settings re-read: loglevel 3 -> 1");
        ASSERT_NE(changed, std::string::npos) << log;
        const std::size_t firstD = log.find("CServiceImpl::DispatchServiceHandler(L");
        ASSERT_NE(firstD, std::string::npos) << log;
        EXPECT_GT(firstD, changed) << "a control handler line below the threshold was written";
    }

    /// Copies the executable into a folder with a space (the binary path must reach the
    /// service manager quoted) and returns the copy's path.
    std::wstring SpacedExe() {
        std::filesystem::create_directories(std::filesystem::path(dir) / L"with space");
        exe = dir + platform::kPathSeparator + L"with space" + platform::kPathSeparator +
              KELTRA_SERVICE_EXE;
        std::filesystem::copy_file(ExePath(), exe);
        return exe;
    }

    /// Runs the administration command in args (in the service manager's world) and returns
    /// its exit code.
    virtual std::uint32_t Command(const std::vector<std::wstring>& args) { return RunExe(args); }
    void RunSteps(const std::vector<Step>& steps) {
        for (const auto& [args, code] : steps) {
            EXPECT_EQ(AsExitCode(code), Command(args))
                << platform::WideToUtf8(args.empty() ? L"" : args[0]);
        }
    }

    /// /STATUS through the whole life of the service, with a plug-in that says it is not alive
    /// beside a recorder: 4 before /INSTALL, 3 while stopped, 0 while running with the host's
    /// record; a record that names another process (forge makes it process 1's) is not shown,
    /// and none is left once the host stopped. status runs "/STATUS ARGS" and gives its exit
    /// code and what it printed; binaryPath is the path as the manager shows it.
    void ExpectStatusLifecycle(
        const std::function<std::uint32_t(const std::wstring&, std::string*)>& status,
        const std::wstring& binaryPath, const std::function<void()>& forge,
        const std::function<bool()>& recordLeft) {
        std::string shown;
        EXPECT_EQ(status(L"", &shown), 4u);
        EXPECT_EQ(shown, "Service         KeltraServiceFramework\nState           not installed\n");
        RunSteps({{{L"/INSTALL", exe}, 0}});
        EXPECT_EQ(status(L"--json", &shown), 3u);
        EXPECT_NE(shown.find("\"state\":\"stopped\",\"processId\":0,"), std::string::npos) << shown;
        RunSteps({{{L"/START"}, 0}, {{L"/CONTROL", L"128"}, 0}});
        // The host's writer publishes an answered control a moment later: ask until it shows.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            EXPECT_EQ(status(L"", &text), 0u);
        } while (text.find("Last control    128 ") == std::string::npos &&
                 std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(status(L"--json", &shown), 0u);
        ExpectRunningStatus(text, shown, binaryPath,
                            {{recorders[0], "svc_recorder", "loaded"},
                             {recorders[1], "tp_not_alive", "suppressed (not alive)"}});
        forge();
        EXPECT_EQ(status(L"", &shown), 0u);
        EXPECT_NE(shown.find("no current record (the record is from process 1, which is gone)"),
                  std::string::npos)
            << shown;
        EXPECT_EQ(shown.find("Plug-ins"), std::string::npos) << shown;
        RunSteps({{{L"/STOP"}, 0}});
        EXPECT_EQ(status(L"", &shown), 3u);
        EXPECT_NE(shown.find("no current record (no host process)"), std::string::npos) << shown;
        EXPECT_FALSE(recordLeft()) << "the record outlived its host";
        RunSteps({{{L"/UNINSTALL"}, 0}});
    }

    /// What the recorder library at path recorded.
    static std::string Calls(const std::wstring& path) { return ReadFileBytes(path + L".calls"); }

    /// The calls with "Main 1" taken out, or "no Main" when it is missing: "Main" runs on a
    /// thread of its own, so the first controls may be recorded before it. A stop that comes
    /// before that thread ran ends it without "Main" (the host no longer calls into a plug-in
    /// it is letting go): mainOptional for runs that stop at once.
    static std::string CallsBesideMain(const std::wstring& path, bool mainOptional = false) {
        std::string calls = Calls(path);
        const std::size_t main = calls.find("Main 1\n");
        return main != std::string::npos ? calls.erase(main, 7) : mainOptional ? calls : "no Main";
    }

    /// The calls of several runs, every "Main 1" taken out: on threads of their own, they come
    /// anywhere among the first controls, or not at all in a quick stop.
    static std::string CallsOfEveryRun(const std::wstring& path) {
        std::string calls = Calls(path);
        for (std::size_t main; (main = calls.find("Main 1\n")) != std::string::npos;) {
            calls.erase(main, 7);
        }
        return calls;
    }

    std::string Log() const {
        const std::string raw = ReadFileBytes(logPath);
        std::string text;
        logfilesync::LogTextReader reader;
        reader.Feed(raw.data(), raw.size(), &text);
        reader.Flush(&text);
        return text;
    }

    /// After a lifecycle: every recorder got these controls in the first run (and Main, Unload,
    /// the stop of the second run and the deletion hook), and the log holds each command's
    /// outcome.
    void ExpectLifecycleSeen(const std::string& handled) {
        for (const std::wstring& path : recorders) {
            EXPECT_EQ(handled + "Handler 1 0\nUnload\nHandler 1 0\nUnload\nOnDeleteService\n",
                      CallsOfEveryRun(path));
        }
        for (const char* line :
             {"Entry service failed, dwRet=183", "Entry service success.",
              "Exec arguments failed, dwRet=1060", "Exec arguments failed, dwRet=1073"}) {
            EXPECT_NE(std::string::npos, Log().find(line)) << line;
        }
    }

    std::wstring dir, logPath, exe;
    std::vector<std::wstring> recorders;
};

}  // namespace keltra::test
