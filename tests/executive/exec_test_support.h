// Helpers of the executive tests: test plug-in handles and copies, short bounds, log capture
// and per-test registry keys. Header-only: each test program includes what it needs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
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
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/plugins/test_plugin_api.h"
#include "tests/support/test_support.h"

namespace keltra::test {

/// How long a test waits for something that should happen promptly. Generous: a miss is a
/// failure, never a pass, and ctest's limit still bounds the whole test.
inline constexpr std::uint32_t kPromptMs = 20000;

/// Short thread and broadcast bounds for one test; the shipped values come back afterwards.
class BoundsScope {
  public:
    explicit BoundsScope(std::uint32_t exitMs, std::uint32_t broadcastMs = 30000,
                         std::uint32_t readyMs = 32000) {
        executive::Timeouts t;
        t.threadExitMs = exitMs;
        t.broadcastMs = broadcastMs;
        t.threadReadyMs = readyMs;
        executive::SetTimeoutsForTesting(t);
    }
    ~BoundsScope() { executive::SetTimeoutsForTesting(executive::Timeouts{}); }
    BoundsScope(const BoundsScope&) = delete;
    BoundsScope& operator=(const BoundsScope&) = delete;
};

/// A manual-reset event owned by a test.
class Flag {
  public:
    Flag() : m_event(platform::CreateEvent(true, false)) {}
    void Set() { platform::SetEvent(m_event.Get()); }
    bool Wait(std::uint32_t ms = kPromptMs) {
        return platform::WaitForSingleObject(m_event.Get(), ms) == platform::kWaitObject0;
    }
    [[nodiscard]] platform::Handle Get() const { return m_event.Get(); }

  private:
    platform::UniqueHandle m_event;
};

/// The test's own load of a test plug-in: reaches its record and controls, receives its
/// notifications, and keeps the module (and so the record) alive after the host frees it.
class TestLib {
  public:
    static constexpr int kEventKinds = 7;

    explicit TestLib(std::wstring path) : m_path(std::move(path)) {
        m_module = platform::LoadLibrary(m_path.c_str());
        EXPECT_NE(m_module, nullptr) << "cannot load " << platform::WideToUtf8(m_path);
        if (m_module == nullptr) {
            return;
        }
        m_getRecord =
            reinterpret_cast<TestGetRecordFn>(platform::GetProcAddress(m_module, "TestGetRecord"));
        m_configure =
            reinterpret_cast<TestConfigureFn>(platform::GetProcAddress(m_module, "TestConfigure"));
        m_setNotify =
            reinterpret_cast<TestSetNotifyFn>(platform::GetProcAddress(m_module, "TestSetNotify"));
        m_release =
            reinterpret_cast<TestReleaseFn>(platform::GetProcAddress(m_module, "TestRelease"));
        for (auto& e : m_events) {
            e = platform::CreateEvent(false, false);
        }
        if (m_setNotify != nullptr) {
            m_setNotify(&TestLib::Notify, this);
        }
    }
    ~TestLib() {
        if (m_setNotify != nullptr) {
            m_setNotify(nullptr, nullptr);
        }
        if (m_release != nullptr) {
            m_release();  // no plug-in thread stays parked in a test hang
        }
        for (auto& e : m_events) {
            if (e != nullptr) {
                platform::CloseHandle(e);
            }
        }
        if (m_module != nullptr) {
            platform::FreeLibrary(m_module);
        }
    }
    TestLib(const TestLib&) = delete;
    TestLib& operator=(const TestLib&) = delete;

    [[nodiscard]] const std::wstring& Path() const { return m_path; }
    [[nodiscard]] TestPluginRecord& Record() { return *m_getRecord(); }
    void Configure(MainMode main, AliveMode alive = AliveMode::Always, bool handlerBlocks = false) {
        TestPluginConfig config;
        config.mainMode = main;
        config.aliveMode = alive;
        config.handlerBlocks = handlerBlocks ? 1 : 0;
        m_configure(&config);
    }
    void Release() { m_release(); }

    /// Runs on the plug-in's thread at each notification; set while no plug-in thread runs.
    void SetHook(std::function<void(TestEvent)> hook) { m_hook = std::move(hook); }

    [[nodiscard]] std::uint32_t Count(TestEvent e) const {
        return m_counts[static_cast<int>(e)].load();
    }
    /// Waits until the event has happened at least n times.
    bool WaitFor(TestEvent e, std::uint32_t n = 1, std::uint32_t ms = kPromptMs) {
        const int i = static_cast<int>(e);
        while (m_counts[i].load() < n) {
            if (platform::WaitForSingleObject(m_events[i], ms) != platform::kWaitObject0) {
                return m_counts[i].load() >= n;
            }
        }
        return true;
    }

  private:
    static void Notify(void* context, TestEvent e) {
        auto* self = static_cast<TestLib*>(context);
        const int i = static_cast<int>(e);
        if (self->m_hook) {
            self->m_hook(e);
        }
        self->m_counts[i]++;
        platform::SetEvent(self->m_events[i]);
    }

    std::wstring m_path;
    platform::Module m_module = nullptr;
    TestGetRecordFn m_getRecord = nullptr;
    TestConfigureFn m_configure = nullptr;
    TestSetNotifyFn m_setNotify = nullptr;
    TestReleaseFn m_release = nullptr;
    std::function<void(TestEvent)> m_hook;
    platform::Handle m_events[kEventKinds] = {};
    std::atomic<std::uint32_t> m_counts[kEventKinds] = {};
};

/// Copies a built test plug-in into dir under a new base name (distinct names give distinct
/// modules, each with its own state). Returns the copy's full path.
inline std::wstring CopyPlugin(const std::wstring& baseName, const std::wstring& dir,
                               const std::wstring& newBaseName) {
    const std::wstring from = PluginPath(baseName);
    const std::wstring to = dir + platform::kPathSeparator + newBaseName + platform::kLibrarySuffix;
    std::error_code ec;
    // A directory name can come back in a later run (process ids are reused, under Wine
    // quickly): replace what an earlier run left there.
    std::filesystem::remove(std::filesystem::path(to), ec);
    std::filesystem::copy_file(std::filesystem::path(from), std::filesystem::path(to), ec);
    EXPECT_FALSE(ec) << "copy " << platform::WideToUtf8(from) << ": " << ec.message();
    return to;
}

/// Writes a small file (text) and returns its path.
inline std::wstring WriteFile(const std::wstring& dir, const std::wstring& name,
                              const std::string& text) {
    const std::wstring path = dir + platform::kPathSeparator + name;
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << text;
    return path;
}

/// Opens the process's default log on a fresh file for one test and reads its lines back.
class LogCapture {
  public:
    struct Line {
        wchar_t level = 0;
        std::uint32_t threadId = 0;
        std::wstring function;
        int sourceLine = 0;
        std::wstring message;
    };

    LogCapture() {
        m_path = MakeTempDirectory(L"log") + platform::kPathSeparator + L"trace.log";
        m_open = g_defaultLog.Configure(1, m_path.c_str(), 0, 0) && g_defaultLog.Open() == 1;
    }
    ~LogCapture() {
        g_defaultLog.Close();
        (void)g_defaultLog.Configure(0, L"", 0, 0);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] bool IsOpen() const { return m_open; }

    [[nodiscard]] std::vector<Line> Lines() const {
        std::ifstream in(std::filesystem::path(m_path), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::u16string units;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        if (!units.empty() && units[0] == u'\xFEFF') {
            units.erase(0, 1);
        }
        const std::wstring text = platform::Utf16ToWide(units);
        std::vector<Line> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            Line line;
            if (Parse(text.substr(start, end - start), &line)) {
                lines.push_back(line);
            }
            start = end + 2;
        }
        return lines;
    }

    /// Lines of one function, without the scope tracer's markers.
    [[nodiscard]] std::vector<Line> Of(const std::wstring& function) const {
        std::vector<Line> out;
        for (const Line& l : Lines()) {
            if (l.function == function && l.message != L"===>" && l.message != L"<===") {
                out.push_back(l);
            }
        }
        return out;
    }

    [[nodiscard]] int Count(wchar_t level, const std::wstring& function,
                            const std::wstring& message) const {
        int n = 0;
        for (const Line& l : Lines()) {
            if (l.level == level && l.function == function && l.message == message) {
                ++n;
            }
        }
        return n;
    }

    /// The messages of the given function in order, each prefixed with its level ("D ...").
    [[nodiscard]] std::vector<std::wstring> Messages(const std::wstring& function) const {
        std::vector<std::wstring> out;
        for (const Line& l : Of(function)) {
            out.push_back(std::wstring(1, l.level) + L" " + l.message);
        }
        return out;
    }

  private:
    static bool Parse(const std::wstring& text, Line* line) {
        // "date time|L|pid|tid|function(Lnn): message"
        std::size_t pos = 0;
        std::wstring fields[4];
        for (auto& field : fields) {
            const std::size_t bar = text.find(L'|', pos);
            if (bar == std::wstring::npos) {
                return false;
            }
            field = text.substr(pos, bar - pos);
            pos = bar + 1;
        }
        const std::size_t close = text.find(L"): ", pos);
        if (close == std::wstring::npos || fields[1].size() != 1) {
            return false;
        }
        const std::wstring head = text.substr(pos, close - pos);
        const std::size_t open = head.rfind(L"(L");
        if (open == std::wstring::npos) {
            return false;
        }
        line->level = fields[1][0];
        line->threadId = static_cast<std::uint32_t>(std::wcstoul(fields[3].c_str(), nullptr, 10));
        line->function = head.substr(0, open);
        line->sourceLine = static_cast<int>(std::wcstol(head.c_str() + open + 2, nullptr, 10));
        line->message = text.substr(close + 3);
        return true;
    }

    std::wstring m_path;
    bool m_open = false;
};

/// The log tests need the real log: a log that cannot be opened fails them.
#define KELTRA_REQUIRE_LOG(capture) \
    ASSERT_TRUE((capture).IsOpen()) << "the trace log cannot be opened"

/// UTF-16LE bytes of a wide string, with or without the terminating NUL.
inline std::vector<std::uint8_t> Utf16LeBytes(const std::wstring& text, bool withNul = true) {
    std::u16string units = platform::WideToUtf16(text);
    if (withNul) {
        units.push_back(u'\0');
    }
    std::vector<std::uint8_t> bytes;
    for (char16_t u : units) {
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return bytes;
}

/// A plug-in key of the test's own under HKEY_LOCAL_MACHINE (the real registry on Windows, a
/// fresh .reg file named by KELTRA_REGISTRY_FILE on POSIX), deleted afterwards.
class TestRegistryKey {
  public:
    TestRegistryKey() {
        static std::atomic<int> counter{0};
        const std::wstring dir = MakeTempDirectory(L"reg");
        platform::SetEnvironmentVariable(
            L"KELTRA_REGISTRY_FILE", (dir + platform::kPathSeparator + L"registry.reg").c_str());
        m_root = L"Software\\Keltra\\Tests\\executive-" +
                 std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++);
        m_key = m_root + L"\\SvcPlugins";
    }
    ~TestRegistryKey() {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_root.c_str());
    }
    TestRegistryKey(const TestRegistryKey&) = delete;
    TestRegistryKey& operator=(const TestRegistryKey&) = delete;

    [[nodiscard]] const wchar_t* Path() const { return m_key.c_str(); }

    /// Creates the key with no values (an empty plug-in list).
    void CreateEmpty() { SetRaw(nullptr, 0, {}); }

    void SetRaw(const wchar_t* name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        platform::RegKey key = nullptr;
        ASSERT_EQ(platform::RegCreateKeyEx(platform::HkeyLocalMachine(), m_key.c_str(),
                                           platform::kKeyAllAccess, &key),
                  0u);
        if (name != nullptr) {
            EXPECT_EQ(platform::RegSetValueEx(key, name, type, data.data(),
                                              static_cast<std::uint32_t>(data.size())),
                      0u);
        }
        platform::RegCloseKey(key);
    }
    void SetString(const wchar_t* name, const std::wstring& value,
                   std::uint32_t type = platform::kRegSz) {
        SetRaw(name, type, Utf16LeBytes(value));
    }
    void SetDword(const wchar_t* name, std::uint32_t value) {
        SetRaw(name, platform::kRegDword,
               {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
    }

    /// The value names in the order the platform enumerates them.
    [[nodiscard]] std::vector<std::wstring> EnumeratedNames() const {
        std::vector<std::wstring> names;
        platform::RegKey key = nullptr;
        if (platform::RegOpenKeyEx(platform::HkeyLocalMachine(), m_key.c_str(), 0,
                                   platform::kKeyRead, &key) != 0) {
            return names;
        }
        for (std::uint32_t i = 0;; ++i) {
            wchar_t name[16384];
            std::uint32_t chars = 16384;
            if (platform::RegEnumValue(key, i, name, &chars, nullptr, nullptr, nullptr) != 0) {
                break;
            }
            names.emplace_back(name, chars);
        }
        platform::RegCloseKey(key);
        return names;
    }

  private:
    std::wstring m_root;
    std::wstring m_key;
};

}  // namespace keltra::test
