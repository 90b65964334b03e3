// The main job for a first look: lists the example plug-ins in a registry key, loads them,
// enters their main routines, broadcasts service controls, unloads them and prints the log.
//
// It drives the plug-in executive exactly as the service does, from a console, so that a
// plug-in team can see its plug-in run without installing anything. Everything it writes
// stays private: on Linux a registry file and a log under <program dir>/demo (unless
// KELTRA_REGISTRY_FILE names another registry), on Windows a key of its own that it deletes
// again. Exit code: 0 when every step succeeded, else the first failing step's code.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "diagnostics/log_reader.h"
#include "executive/plugin_mgr.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

// A key of the demo's own, so that a real deployment's plug-in list is never touched.
constexpr wchar_t kDemoKey[] = L"Software\\Keltra\\Brismont Settings\\Demo\\SvcPlugins";
constexpr wchar_t kFilter[] = L"svcbu";

// Service control codes the demo sends, with the values the service control manager uses.
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlPowerEvent = 13;
constexpr std::uint32_t kPowerResumeAutomatic = 0x12;
constexpr std::uint32_t kUserControl = 128;

void Say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Utf8(const std::wstring& text) {
    return platform::WideToUtf8(text);
}

platform::ErrorCode SetString(platform::RegKey key, const wchar_t* name,
                              const std::wstring& value) {
    const std::u16string units = platform::WideToUtf16(value);
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return platform::RegSetValueEx(key, name, platform::kRegSz, bytes.data(),
                                   static_cast<std::uint32_t>(bytes.size()));
}

// Writes the demo's plug-in list: every example plug-in, plus two values that discovery must
// skip (a name outside the filter, a file that does not exist), so the log shows the rules.
platform::ErrorCode WritePluginList(const std::vector<std::wstring>& plugins,
                                    const std::wstring& missing) {
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kDemoKey);
    platform::RegKey key = nullptr;
    platform::ErrorCode rc = platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kDemoKey,
                                                      platform::kKeyAllAccess, &key);
    if (rc != 0) {
        return rc;
    }
    for (std::size_t i = 0; i < plugins.size() && rc == 0; ++i) {
        rc = SetString(key, (L"svcbu_example" + std::to_wstring(i + 1)).c_str(), plugins[i]);
    }
    if (rc == 0) {
        rc = SetString(key, L"Disabled_example", plugins.empty() ? missing : plugins.front());
    }
    if (rc == 0) {
        rc = SetString(key, L"svcbu_missing", missing);
    }
    platform::RegCloseKey(key);
    return rc;
}

bool OpenLog(const std::wstring& path) {
    (void)platform::DeleteFile(path.c_str());
    return g_defaultLog.Configure(1, path.c_str(), 0, 0) && g_defaultLog.Open() == 1;
}

void PrintLog(const std::wstring& path) {
    Say("");
    Say("---- trace log " + Utf8(path) + " ----");
    logfilesync::LogFollowOptions options;
    const platform::ErrorCode rc = logfilesync::FollowLogFile(
        path.c_str(), options,
        [](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); },
        [](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stderr); });
    if (rc != 0) {
        Say("(cannot read the log: error " + std::to_string(rc) + ")");
    }
    Say("---- end of log ----");
}

std::string Outcome(std::uint32_t result) {
    switch (result) {
        case executive::kBroadcastComplete:
            return "0 (every plug-in finished)";
        case executive::kBroadcastTimeout:
            return "1 (time limit passed; late plug-ins suppressed)";
        case executive::kBroadcastWaitFailed:
            return "0xFFFFFFFF (the wait failed)";
        default:
            return std::to_string(result);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::wstring dir = platform::GetExecutableDirectory();
    const std::wstring work = dir + platform::kPathSeparator + L"demo";
    (void)platform::CreateDirectoryTree(work.c_str());

    // The registry file only exists on Linux; on Windows the variable changes nothing.
    if (platform::GetEnvironmentVariable(L"KELTRA_REGISTRY_FILE").empty()) {
        const std::wstring registry = work + platform::kPathSeparator + L"registry.reg";
        platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", registry.c_str());
    }

    std::vector<std::wstring> plugins;
    for (int i = 1; i < argc; ++i) {
        plugins.push_back(platform::Utf8ToWide(argv[i]));
    }
    if (plugins.empty()) {
        for (const wchar_t* name : {L"example_plugin", L"example_plugin_second"}) {
            plugins.push_back(dir + platform::kPathSeparator + name + platform::kLibrarySuffix);
        }
    }
    const std::wstring missing =
        dir + platform::kPathSeparator + L"no_such_plugin" + platform::kLibrarySuffix;

    Say("keltra-demo: plug-in list in HKEY_LOCAL_MACHINE\\" + Utf8(kDemoKey));
    for (const auto& plugin : plugins) {
        Say("  " + Utf8(plugin));
    }
    if (const platform::ErrorCode rc = WritePluginList(plugins, missing); rc != 0) {
        Say("cannot write the plug-in list: error " + std::to_string(rc));
        return static_cast<int>(rc);
    }

    const std::wstring logPath = work + platform::kPathSeparator + L"demo.log";
    if (!OpenLog(logPath)) {
        Say("warning: the trace log could not be opened at " + Utf8(logPath));
    }

    std::uint32_t firstFailure = 0;
    auto note = [&firstFailure](std::uint32_t rc) {
        if (rc != 0 && firstFailure == 0) {
            firstFailure = rc;
        }
    };

    executive::PluginMgr manager;
    const platform::ErrorCode loaded = manager.SearchAndLoadPlugins(kDemoKey, kFilter);
    Say("load plug-ins: result " + std::to_string(loaded) + ", " + std::to_string(manager.Count()) +
        " loaded");
    note(loaded);

    wchar_t argument0[] = L"keltra-demo";
    wchar_t* startArgs[] = {argument0, nullptr};
    const std::uint32_t entered = manager.PostEntryMainMsgToAll(1, startArgs);
    Say("enter main:            " + Outcome(entered));
    note(entered);

    const std::uint32_t user = manager.PostSysMsgToAll(kUserControl, 0, nullptr, nullptr);
    Say("user control 128:      " + Outcome(user));
    note(user);

    const std::uint32_t power =
        manager.PostSysMsgToAll(kControlPowerEvent, kPowerResumeAutomatic, nullptr, nullptr);
    Say("power event (resume):  " + Outcome(power));
    note(power);

    const std::uint32_t stop = manager.PostSysMsgToAll(kControlStop, 0, nullptr, nullptr);
    Say("stop:                  " + Outcome(stop));
    note(stop);

    manager.UnloadAllPlugins();
    Say("unloaded: " + std::to_string(manager.Count()) + " plug-ins left");

    g_defaultLog.Close();
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kDemoKey);
    PrintLog(logPath);
    return static_cast<int>(firstFailure);
}
