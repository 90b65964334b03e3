// The log settings from the registry: complete, partial, missing and wrong-typed values, the
// 520-byte path buffer, the log that stays off without them, and a registry file that cannot
// be read (POSIX), whose reason is reported on standard error.
//
// One test case on purpose: on Windows the settings key is machine-wide, so the cases must not
// run as parallel processes.
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/diagnostics/log_test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using logfilesync::CLogFile;

Bytes Dword(std::uint32_t v) {  // little-endian, as the registry stores numbers
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes Text(const std::wstring& text, bool withNul = true, const std::string& extra = "") {
    const std::string bytes =
        keltra::test::Utf16Le(text) + (withNul ? std::string(2, '\0') : "") + extra;
    return Bytes(bytes.begin(), bytes.end());
}

using Value = std::tuple<const wchar_t*, std::uint32_t, Bytes>;  // name, type, data

void Set(const Value& value) {
    const auto& [name, type, data] = value;
    platform::RegKey key = nullptr;
    ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), logfilesync::kSettingsKey,
                                           platform::kKeyAllAccess, &key));
    platform::UniqueRegKey owner(key);
    EXPECT_EQ(0u, platform::RegSetValueEx(key, name, type, data.data(),
                                          static_cast<std::uint32_t>(data.size())));
}

TEST(LogSettings, ReadFromTheRegistryAndOffWithoutThem) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"log-settings");
    const std::wstring registry = dir + platform::kPathSeparator + L"registry.reg";
    ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", registry.c_str()));
    const std::wstring path =
        dir + platform::kPathSeparator + L"sub" + platform::kPathSeparator + L"s.log";
    const std::wstring longest =
        dir + platform::kPathSeparator + std::wstring(259 - dir.size() - 1, L'p');
    ASSERT_EQ(259u, longest.size());  // 259 characters and a NUL fill the 520-byte buffer

    // clang-format off
    const auto en = [](Bytes b, std::uint32_t t = platform::kRegDword) { return Value{L"enabled", t, b}; };
    const auto lp = [](Bytes b, std::uint32_t t = platform::kRegSz) { return Value{L"logpath", t, b}; };
    const auto ap = [](Bytes b, std::uint32_t t = platform::kRegDword) { return Value{L"append", t, b}; };
    const auto lv = [](Bytes b, std::uint32_t t = platform::kRegDword) { return Value{L"loglevel", t, b}; };
    const std::uint32_t sz = platform::kRegSz, bin = platform::kRegBinary;
    // Types are not examined: a number is the raw bytes, zero-extended when shorter; longer
    // than 4 bytes fails to read ("enabled": no log; the others: 0). The path buffer holds 520
    // bytes: 259 characters and a NUL fit, 260 do not.
    // What, the values set on an emptied key (none: no key at all), LoadSettings' result,
    // enabled, append, loglevel and path (when the result is 1).
    const std::vector<std::tuple<const char*, std::vector<Value>, int, std::uint32_t, std::uint32_t,
                                 std::uint32_t, std::wstring>>
        cases = {
        {"no key", {}, 0, 0, 0, 0, L""},
        {"no path", {en(Dword(1))}, 0, 0, 0, 0, L""},
        {"no enabled", {lp(Text(path))}, 0, 0, 0, 0, L""},
        {"complete", {en(Dword(1)), lp(Text(path)), ap(Dword(1)), lv(Dword(3))}, 1, 1, 1, 3, path},
        {"no append, loglevel", {en(Dword(5)), lp(Text(path))}, 1, 5, 0, 0, path},
        {"raw bytes", {en(Text(L"1"), sz), lp(Text(path)), lv({2}, bin), ap({}, bin)}, 1, 0x31, 0, 2, path},
        {"long numbers", {en(Dword(1)), lp(Text(path)), ap({1, 0, 0, 0, 0, 0, 0, 0}, bin), lv(Text(L"44"))},
         1, 1, 0, 0, path},
        {"long enabled", {en(Text(L"yes"), sz), lp(Text(path))}, 0, 0, 0, 0, L""},
        {"longest path", {en(Dword(1)), lp(Text(longest))}, 1, 1, 0, 0, longest},
        {"260 without NUL", {en(Dword(1)), lp(Text(longest + L"q", false), bin)}, 0, 0, 0, 0, L""},
        {"larger than the buffer", {en(Dword(1)), lp(Text(longest + L"q"))}, 0, 0, 0, 0, L""},
        {"no NUL", {en(Dword(1)), lp(Text(path, false), bin)}, 1, 1, 0, 0, path},
        {"off", {en(Dword(0)), lp(Text(path))}, 1, 0, 0, 0, path},
        {"odd byte count", {en(Dword(1)), lp(Text(path, false, "x"), bin)}, 1, 1, 0, 0, path},
    };
    // clang-format on
    for (const auto& [what, values, result, enabled, append, loglevel, logPath] : cases) {
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), logfilesync::kSettingsKey);
        for (const Value& v : values) {
            Set(v);
        }
        CLogFile log;
        ASSERT_TRUE(log.Configure(77, L"leftover", 77, 77));  // a load must overwrite these
        EXPECT_EQ(std::make_pair(result, enabled),
                  (std::pair<int, std::uint32_t>{log.LoadSettings(), log.Enabled()}))
            << what;
        if (result == 1) {
            EXPECT_EQ(std::make_tuple(logPath, append, loglevel),
                      std::make_tuple(std::wstring(log.LogPath()), log.Append(), log.LogLevel()))
                << what;
        }
    }

    // The settings open a working log that filters at W.
    Set(lv(Dword(3)));  // on the last case's settings
    CLogFile log;
    ASSERT_EQ(1, log.LoadSettings());
    ASSERT_EQ(1, log.Open());
    EXPECT_EQ(0, log.Log(L'D', L"f", 1, L"filtered"));
    EXPECT_EQ(1, log.Log(L'W', L"f", 2, L"kept"));
    EXPECT_EQ(1u, keltra::test::ReadLogFile(path).lines.size());
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), logfilesync::kSettingsKey);

    // A malformed registry file (only POSIX reads one): the reason, with file and line, goes
    // to standard error, since the log that would carry it is not open.
    ASSERT_TRUE(keltra::test::AppendRawBytes(
        registry, "\n[HKEY_LOCAL_MACHINE\\Software\\KeltraBroken]\n\"bad\"=dword:1234567890\n"));
    testing::internal::CaptureStderr();
    CLogFile broken;
    EXPECT_EQ(0, broken.LoadSettings());
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string reason = platform::WideToUtf8(platform::RegistryFileError());
    EXPECT_EQ(platform::kPathSeparator == L'/',
              !reason.empty() && said.find(reason) != std::string::npos &&
                  said.find(platform::WideToUtf8(registry) + ":") != std::string::npos)
        << said;
    platform::DeleteFile(registry.c_str());
}

}  // namespace
