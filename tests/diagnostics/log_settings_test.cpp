// The log settings from the registry: complete, partial, missing and wrong-typed values, the
// 520-byte path buffer, and the log that stays off (no file, nothing formatted) without them.
//
// One test case on purpose: on Windows the settings key is machine-wide, so the cases must not
// run as parallel processes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using logfilesync::CLogFile;
using logfilesync::kSettingsKey;

std::vector<std::uint8_t> Dword(std::uint32_t value) {
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

std::vector<std::uint8_t> Text(const std::wstring& text, bool withNul = true) {
    const std::string bytes = keltra::test::Utf16Le(text) + (withNul ? std::string(2, '\0') : "");
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// The settings key, emptied before and removed after the test (on POSIX in a registry file of
// the test's own).
class SettingsKey {
  public:
    SettingsKey() {
        const std::wstring dir = keltra::test::MakeTempDirectory(L"log-settings-reg");
        platform::SetEnvironmentVariable(
            L"KELTRA_REGISTRY_FILE", (dir + platform::kPathSeparator + L"registry.reg").c_str());
        Remove();
    }
    ~SettingsKey() { Remove(); }

    void Remove() { (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), kSettingsKey); }

    void Set(const wchar_t* name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        platform::RegKey key = nullptr;
        ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), kSettingsKey,
                                               platform::kKeyAllAccess, &key));
        if (name != nullptr) {
            EXPECT_EQ(0u, platform::RegSetValueEx(key, name, type, data.data(),
                                                  static_cast<std::uint32_t>(data.size())));
        }
        (void)platform::RegCloseKey(key);
    }
};

struct Loaded {
    int result;
    std::uint32_t enabled;
    std::wstring path;
    std::uint32_t append;
    std::uint32_t loglevel;
};

Loaded Load() {
    CLogFile log;
    // Leftovers that a load must overwrite.
    log.m_enabled = 77;
    log.m_append = 77;
    log.m_loglevel = 77;
    const int result = log.LoadSettings();
    return {result, log.m_enabled, log.m_logPath, log.m_append, log.m_loglevel};
}

TEST(LogSettings, ReadFromTheRegistryAndOffWithoutThem) {
    SettingsKey key;
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-settings");
    const std::wstring path =
        dir + platform::kPathSeparator + L"sub" + platform::kPathSeparator + L"settings.log";

    // No key.
    Loaded loaded = Load();
    EXPECT_EQ(0, loaded.result);
    EXPECT_EQ(0u, loaded.enabled);

    // A key without values, then without a path.
    key.Set(nullptr, 0, {});
    EXPECT_EQ(0, Load().result);
    key.Set(L"enabled", platform::kRegDword, Dword(1));
    loaded = Load();
    EXPECT_EQ(0, loaded.result);
    EXPECT_EQ(0u, loaded.enabled);  // no path: off

    // Complete.
    key.Set(L"logpath", platform::kRegSz, Text(path));
    key.Set(L"append", platform::kRegDword, Dword(1));
    key.Set(L"loglevel", platform::kRegDword, Dword(3));
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(1u, loaded.enabled);
    EXPECT_EQ(path, loaded.path);
    EXPECT_EQ(1u, loaded.append);
    EXPECT_EQ(3u, loaded.loglevel);

    // The settings open a working log that filters at W.
    {
        CLogFile log;
        ASSERT_EQ(1, log.LoadSettings());
        ASSERT_EQ(1, log.Open());
        EXPECT_EQ(0, log.Log(L'D', L"f", 1, L"filtered"));
        EXPECT_EQ(1, log.Log(L'W', L"f", 2, L"kept"));
        log.Close();
        const keltra::test::LogFileContent content = keltra::test::ReadLogFile(path);
        ASSERT_EQ(1u, content.lines.size());
        EXPECT_EQ(L"kept", content.lines[0].message);
    }

    // "append" and "loglevel" missing read as 0.
    key.Remove();
    key.Set(L"enabled", platform::kRegDword, Dword(5));
    key.Set(L"logpath", platform::kRegSz, Text(path));
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(5u, loaded.enabled);
    EXPECT_EQ(0u, loaded.append);
    EXPECT_EQ(0u, loaded.loglevel);

    // Types are not examined: a number is the raw bytes, zero-extended when shorter.
    key.Set(L"enabled", platform::kRegSz, Text(L"1"));  // 31 00 00 00
    key.Set(L"loglevel", platform::kRegBinary, {2});
    key.Set(L"append", platform::kRegBinary, {});
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(0x31u, loaded.enabled);
    EXPECT_EQ(2u, loaded.loglevel);
    EXPECT_EQ(0u, loaded.append);
    // Longer than 4 bytes: "enabled" fails to read, the others fall back to 0.
    key.Set(L"append", platform::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0});
    key.Set(L"loglevel", platform::kRegSz, Text(L"44"));
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(0u, loaded.append);
    EXPECT_EQ(0u, loaded.loglevel);
    key.Set(L"enabled", platform::kRegSz, Text(L"yes"));
    loaded = Load();
    EXPECT_EQ(0, loaded.result);
    EXPECT_EQ(0u, loaded.enabled);

    // The path buffer holds 520 bytes: 259 characters and a NUL fit, 260 do not.
    key.Set(L"enabled", platform::kRegDword, Dword(1));
    const std::wstring longest =
        dir + platform::kPathSeparator + std::wstring(259 - dir.size() - 1, L'p');
    ASSERT_EQ(259u, longest.size());
    key.Set(L"logpath", platform::kRegSz, Text(longest));
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(longest, loaded.path);
    // 260 characters without a NUL fill the buffer exactly: the copy does not fit.
    key.Set(L"logpath", platform::kRegBinary, Text(longest + L"q", false));
    loaded = Load();
    EXPECT_EQ(0, loaded.result);
    EXPECT_EQ(0u, loaded.enabled);
    // Larger than the buffer: the read fails.
    key.Set(L"logpath", platform::kRegSz, Text(longest + L"q"));
    loaded = Load();
    EXPECT_EQ(0, loaded.result);
    EXPECT_EQ(0u, loaded.enabled);
    // A path stored without its NUL, shorter than the buffer, is read up to its end.
    key.Set(L"logpath", platform::kRegBinary, Text(path, false));
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(path, loaded.path);
    // An odd byte count: the half character is ignored.
    std::vector<std::uint8_t> odd = Text(path, false);
    odd.push_back('x');
    key.Set(L"logpath", platform::kRegBinary, odd);
    loaded = Load();
    EXPECT_EQ(1, loaded.result);
    EXPECT_EQ(path, loaded.path);

    // With "enabled" 0 the process entry does not open the log: nothing formats, no file.
    const std::wstring offPath = dir + platform::kPathSeparator + L"off.log";
    key.Set(L"enabled", platform::kRegDword, Dword(0));
    key.Set(L"logpath", platform::kRegSz, Text(offPath));
    CLogFile off;
    EXPECT_EQ(1, off.LoadSettings());
    EXPECT_EQ(0u, off.m_enabled);
    EXPECT_EQ(0, off.Log(L'E', L"f", 1, L"nothing"));
    EXPECT_FALSE(platform::PathFileExists(offPath.c_str()));
}

}  // namespace
