// The shipped executable in the foreground (/RUN) and on bad command lines, on both platforms:
// controls reach the real plug-ins, bad command lines get their codes, a crash writes a dump.
// (A second instance against the running service: the service tests of each platform.)
#include "service/host/service_control.h"
#include "tests/diagnostics/crash_test_support.h"
#include "tests/service/service_test_support.h"

namespace keltra::test {
namespace {

using Foreground = HostFixture;

TEST_F(Foreground, ControlsReachEveryPlugInInOrderThenStop) {
    EXPECT_EQ(0u, RunExe({L"/RUN", L"128", L"0200:07", L"interrogate", L"PARAMCHANGE", L"stop"}));
    for (const std::wstring& plugin : recorders) {
        EXPECT_EQ(
            "Handler 128 0\nHandler 200 7\nHandler 4 0\nHandler 6 0\nHandler 1 0\n"
            "Unload\n",
            CallsBesideMain(plugin, true));
    }
    EXPECT_NE(std::string::npos, Log().find("End plugin framework, dwRet=0")) << Log();
    EXPECT_NE(std::string::npos, Log().find("Log settings re-read: nothing changed")) << Log();
}

TEST_F(Foreground, BadCommandLinesGiveTheirCodeAndALogLine) {
    const std::wstring root = platform::kPathSeparator == L'/' ? L"/" : L"C:\\";  // absolute here
    const std::wstring longPath = root + std::wstring(258 - root.size(), L'x') + L" ";  // 259
    const Step cases[] = {
        {{L"/HELP"}, 87},
        {{L"/INSTALLX", L"/x"}, 87},
        {{L"/install"}, 87},
        {{L"/INSTALL", L"relative/svc.exe"}, 87},
        {{L"/INSTALL", longPath + L"x"}, 111},
        {{L"/CONTROL"}, 87},
        {{L"/CONTROL", L"1"}, 87},
        {{L"/RUN", L"nonsense"}, 87},
        {{L"/RUN", L"0x80"}, 87},
    };
    for (const auto& [args, code] : cases) {
        EXPECT_EQ(AsExitCode(code), RunExe(args)) << platform::WideToUtf8(args[0]);
        EXPECT_NE(std::string::npos,
                  Log().find("Exec arguments failed, dwRet=" + std::to_string(code)));
    }
    EXPECT_EQ("", Calls(recorders[0]));  // no plug-in was loaded for any of them
}

TEST_F(Foreground, CrashOnAPlugInThreadWritesADumpAndExitsWith1) {
    crash::PrepareCrashChildEnvironment();
    const std::filesystem::path dumps(platform::ServiceDataDirectory(L"KeltraServiceFramework"));
    auto eachDump = [&dumps](const auto& action) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dumps, ignored)) {
            if (entry.path().filename().string().rfind("KeltraServicePlugin.exe_crashdump_", 0) ==
                0) {
                action(entry.path());
            }
        }
    };
    eachDump([](const std::filesystem::path& dump) { std::filesystem::remove(dump); });
    EXPECT_EQ(1u, RunExe({L"/RUN", L"201", L"STOP"}, 120000));
    int found = 0;
    eachDump([&found](const std::filesystem::path& dump) {
        EXPECT_NO_THROW(crash::ReadDump(dump.wstring()));
        ++found;
    });
    EXPECT_EQ(1, found) << "no dump in " << dumps.string();
}

}  // namespace
}  // namespace keltra::test
