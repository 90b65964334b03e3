// Helpers of the executive tests: test plug-in handles and copies, short bounds, log capture
// and per-test registry keys holding plug-in lists. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "executive/timeouts.h"
#include "platform/dynamic_library.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/diagnostics/log_test_support.h"
#include "tests/plugins/test_plugin_api.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test {

/// How long a test waits for something that should happen promptly; a miss is a failure.
inline constexpr std::uint32_t kPromptMs = 20000;

/// Short bounds for one test; the shipped values come back afterwards.
struct BoundsScope {
    explicit BoundsScope(std::uint32_t exitMs, std::uint32_t broadcastMs = 30000,
                         std::uint32_t readyMs = 32000, std::uint32_t settleMs = 5000) {
        executive::SetTimeoutsForTesting({readyMs, exitMs, broadcastMs, settleMs});
    }
    ~BoundsScope() { executive::SetTimeoutsForTesting(executive::Timeouts{}); }
};

inline bool Signalled(platform::Handle h, std::uint32_t ms = kPromptMs) {
    return platform::WaitForSingleObject(h, ms) == platform::kWaitObject0;
}

/// A manual-reset event owned by a test.
class Flag {
  public:
    Flag() : m_event(platform::CreateEvent(true, false)) {}
    void Set() { platform::SetEvent(m_event.Get()); }
    bool Wait(std::uint32_t ms = kPromptMs) { return Signalled(m_event.Get(), ms); }

  private:
    platform::UniqueHandle m_event;
};

/// Copies a built test plug-in into dir under a new base name (distinct names give distinct
/// modules, each with its own state), replacing what an earlier run left there (process ids,
/// and so directory names, come back quickly under Wine). Returns the copy's full path.
inline std::wstring CopyPlugin(const std::wstring& baseName, const std::wstring& dir,
                               const std::wstring& newBaseName) {
    const std::filesystem::path to(dir + platform::kPathSeparator + newBaseName +
                                   platform::kLibrarySuffix);
    std::error_code ec;
    std::filesystem::remove(to, ec);
    std::filesystem::copy_file(std::filesystem::path(PluginPath(baseName)), to, ec);
    EXPECT_FALSE(ec) << ec.message();
    return to.wstring();
}

/// The test's own load of a test plug-in: reaches its record and controls, counts its
/// notifications, and keeps the module (and so the record) alive after the host frees it.
class TestLib {
  public:
    explicit TestLib(std::wstring path) : m_path(std::move(path)) {
        m_module = platform::LoadLibrary(m_path.c_str());
        EXPECT_NE(m_module, nullptr) << "cannot load " << platform::WideToUtf8(m_path);
        for (auto& e : m_events) {
            e.Reset(platform::CreateEvent(false, false));
        }
        if (m_module != nullptr) {
            Fn<TestSetNotifyFn>("TestSetNotify")(&TestLib::Notify, this);
        }
    }
    ~TestLib() {
        if (m_module != nullptr) {
            Fn<TestSetNotifyFn>("TestSetNotify")(nullptr, nullptr);
            Release();  // no plug-in thread stays parked in a test hang
            platform::FreeLibrary(m_module);
        }
    }
    [[nodiscard]] const std::wstring& Path() const { return m_path; }
    [[nodiscard]] TestPluginRecord& Record() { return *Fn<TestGetRecordFn>("TestGetRecord")(); }
    void Configure(MainMode main, bool handlerBlocks = false) {
        const TestPluginConfig config{main, AliveMode::Always, handlerBlocks ? 1u : 0u};
        Fn<TestConfigureFn>("TestConfigure")(&config);
    }
    void Release() { Fn<TestReleaseFn>("TestRelease")(); }
    /// Runs on the plug-in's thread at each notification; set while no plug-in thread runs.
    void SetHook(std::function<void(TestEvent)> hook) { m_hook = std::move(hook); }
    [[nodiscard]] std::uint32_t Count(TestEvent e) const { return m_counts[int(e)].load(); }
    /// Waits until the event has happened at least n times.
    bool WaitFor(TestEvent e, std::uint32_t n = 1) {
        while (m_counts[int(e)].load() < n) {
            if (!Signalled(m_events[int(e)].Get())) {
                return m_counts[int(e)].load() >= n;
            }
        }
        return true;
    }

  private:
    template <typename F>
    F Fn(const char* name) {
        return reinterpret_cast<F>(platform::GetProcAddress(m_module, name));
    }
    static void Notify(void* context, TestEvent e) {
        auto* self = static_cast<TestLib*>(context);
        if (self->m_hook) {
            self->m_hook(e);
        }
        self->m_counts[int(e)]++;
        platform::SetEvent(self->m_events[int(e)].Get());
    }

    std::wstring m_path;
    platform::Module m_module = nullptr;
    std::function<void(TestEvent)> m_hook;
    platform::UniqueHandle m_events[6];
    std::atomic<std::uint32_t> m_counts[6] = {};
};

/// Writes a small file and returns its path.
inline std::wstring WriteFile(const std::wstring& dir, const std::wstring& name,
                              const std::string& text) {
    const std::wstring path = dir + platform::kPathSeparator + name;
    std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
    return path;
}

/// Opens the process's default log on a fresh file for one test and reads its lines back.
class LogCapture {
  public:
    LogCapture() {
        m_path = MakeTempDirectory(L"log") + platform::kPathSeparator + L"trace.log";
        EXPECT_TRUE(g_defaultLog.Configure(1, m_path.c_str(), 0, 0));
        EXPECT_EQ(g_defaultLog.Open(), 1) << "the trace log cannot be opened";
    }
    ~LogCapture() {
        g_defaultLog.Close();
        (void)g_defaultLog.Configure(0, L"", 0, 0);
    }

    /// "L message" of each line of the function, in order, without the scope tracer's markers.
    [[nodiscard]] std::vector<std::wstring> Messages(const std::wstring& function) const {
        std::vector<std::wstring> out;
        for (const LogLine& line : ReadLogFile(m_path).lines) {
            if (line.framed && line.function == function && line.message != L"===>" &&
                line.message != L"<===") {
                out.push_back(std::wstring(1, line.level) + L" " + line.message);
            }
        }
        return out;
    }

    /// How many lines of the function say exactly this message at this level.
    [[nodiscard]] int Count(wchar_t level, const std::wstring& function,
                            const std::wstring& message) const {
        const auto lines = Messages(function);
        return int(std::count(lines.begin(), lines.end(), std::wstring(1, level) + L" " + message));
    }

  private:
    std::wstring m_path;
};

/// Creates the key under HKEY_LOCAL_MACHINE and stores the first count bytes of data (all
/// when count is -1), straight from data's memory; null name: only the key.
inline void SetRegistryValue(const std::wstring& path, const wchar_t* name, std::uint32_t type,
                             const std::string& data, std::size_t count = std::size_t(-1)) {
    platform::RegKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HkeyLocalMachine(), path.c_str(),
                                       platform::kKeyAllAccess, &key),
              0u);
    if (name != nullptr) {
        EXPECT_EQ(platform::RegSetValueEx(key, name, type,
                                          reinterpret_cast<const std::uint8_t*>(data.data()),
                                          std::uint32_t(std::min(count, data.size()))),
                  0u);
    }
    platform::RegCloseKey(key);
}

/// Runs a program built beside the test program and returns its exit code; 0xFFFFFFFF (and a
/// failure) when it does not end within timeoutMs.
inline std::uint32_t RunProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                                std::uint32_t timeoutMs = 90000) {
    platform::UniqueHandle child(platform::StartProcess(program, args));
    std::uint32_t code = 0xFFFFFFFF;
    if (!child || !Signalled(child.Get(), timeoutMs)) {
        ADD_FAILURE() << platform::WideToUtf8(args.empty() ? program : args.back()) << " hung";
        platform::TerminateProcess(child.Get(), code);
    } else {
        platform::GetExitCodeProcess(child.Get(), &code);
    }
    return code;
}

/// A plug-in key of the test's own under HKEY_LOCAL_MACHINE (the real registry on Windows, a
/// fresh .reg file named by KELTRA_REGISTRY_FILE on POSIX), deleted afterwards, and copies of
/// test plug-ins listed under it (distinct names give distinct modules, each with its state).
class TestRegistryKey {
  public:
    TestRegistryKey() {
        static std::atomic<int> counter{0};
        m_dir = MakeTempDirectory(L"reg");
        platform::SetEnvironmentVariable(
            L"KELTRA_REGISTRY_FILE", (m_dir + platform::kPathSeparator + L"registry.reg").c_str());
        m_root = L"Software\\Keltra\\Tests\\executive-" +
                 std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++);
        m_key = m_root + L"\\SvcPlugins";
    }
    ~TestRegistryKey() {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_root.c_str());
    }
    TestRegistryKey(const TestRegistryKey&) = delete;

    [[nodiscard]] const wchar_t* Path() const { return m_key.c_str(); }
    [[nodiscard]] const std::wstring& Dir() const { return m_dir; }

    /// Stores the first count bytes of data (all when count is -1); null name: only the key.
    void SetRaw(const wchar_t* name, std::uint32_t type, const std::string& data,
                std::size_t count = std::size_t(-1)) {
        SetRegistryValue(m_key, name, type, data, count);
    }
    void SetString(const wchar_t* name, const std::wstring& value,
                   std::uint32_t type = platform::kRegSz) {
        SetRaw(name, type, Utf16Le(value + L'\0'));
    }

    /// Copies the variant under a fresh name, lists it as s000, s001, ... and returns the
    /// test's handle on it.
    TestLib& Add(const std::wstring& variant) {
        wchar_t name[16];
        platform::StringCchPrintfW(name, 16, L"s%03u", unsigned(m_libs.size()));
        const std::wstring to = CopyPlugin(variant, m_dir, std::wstring(L"p") + (name + 1));
        SetString(name, to);
        m_libs.push_back(std::make_unique<TestLib>(to));
        return *m_libs.back();
    }
    TestLib& operator[](std::size_t i) { return *m_libs[i]; }

  private:
    std::wstring m_dir, m_root, m_key;
    std::vector<std::unique_ptr<TestLib>> m_libs;
};

}  // namespace keltra::test
