// Registry calls on both backends: round trips, the Windows buffer-size rules, names, keys,
// subkeys.
//
// Every test works in a key of its own under HKEY_LOCAL_MACHINE\Software\KeltraTests and
// deletes it afterwards; on POSIX the registry file is a fresh one.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <set>

#include "platform/error.h"
#include "platform/thread.h"
#include "tests/platform/registry_test_support.h"

namespace {

using namespace keltra::test;
using platform::ErrorCode;

constexpr std::uint32_t kRead = platform::kKeyRead;
constexpr std::uint32_t kAll = platform::kKeyAllAccess;

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override {
        UseFreshRegistryFile(L"registry");
        m_path =
            L"Software\\KeltraTests\\" +
            platform::Utf8ToWide(testing::UnitTest::GetInstance()->current_test_info()->name()) +
            std::to_wstring(platform::GetCurrentProcessId());
        m_key = OpenKey(platform::HkeyLocalMachine(), m_path, kAll, true);
    }
    void TearDown() override {
        m_key.Reset();
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_path.c_str());
    }
    platform::UniqueRegKey Open(const std::wstring& sub, std::uint32_t access = kRead) {
        return OpenKey(platform::HkeyLocalMachine(), m_path + sub, access);
    }
    static void Set(platform::RegKey key, const std::wstring& name, std::uint32_t type,
                    const Bytes& data, std::size_t size = SIZE_MAX) {
        ASSERT_EQ(0u,
                  platform::RegSetValueEx(key, name.c_str(), type, data.data(),
                                          static_cast<std::uint32_t>(std::min(size, data.size()))));
    }

    std::wstring m_path;
    platform::UniqueRegKey m_key;
};

TEST_F(RegistryTest, EveryTypeRoundTripsByteForByte) {
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    std::set<Entry> expected = {
        {L"no bytes", platform::kRegSz, {}},
        {L"odd size", platform::kRegSz, {0x41, 0x00, 0x42}},
        {L"embedded nul", platform::kRegSz, Utf16Le(std::wstring(L"a\0b", 3))},
        {L"line breaks", platform::kRegSz, Utf16Le(L"one\r\ntwo\nthree")},
        {L"non-ASCII \u00e9\u03a9\u0416\u4e2d", platform::kRegSz,
         Utf16Le(L"\u00e9t\u00e9 \u03a9 \u0416 \u4e2d \U0001F600")},
        {L"quote \" and \\ and = and [x]", platform::kRegSz, Utf16Le(L"\\\\server\\\"share\"")},
        {L"expand", platform::kRegExpandSz, Utf16Le(L"%SystemRoot%\\system32")},
        {L"multi", platform::kRegMultiSz, Utf16Le(std::wstring(L"one\0\"two\"\0", 10))},
        {L"dword", platform::kRegDword, {0x2a, 0x00, 0x00, 0x80}},
        {L"qword", platform::kRegQword, {1, 2, 3, 4, 5, 6, 7, 0xff}},
        {L"binary", platform::kRegBinary, all},
        {L"empty binary", platform::kRegBinary, {}},
        {L"odd type", 0x12345, {0x01}},
        {L"", platform::kRegSz, Utf16Le(L"the default value")},
    };
    for (const Entry& e : expected) {
        Set(m_key.Get(), e.name, e.type, e.data);
    }
    // Unterminated: the X keeps Windows from counting a NUL that follows "abc" in memory.
    Set(m_key.Get(), L"unterminated", platform::kRegSz, Utf16Le(L"abcX", false), 6);
    expected.insert({L"unterminated", platform::kRegSz, Utf16Le(L"abc", false)});
    // Through the key that wrote, then through a fresh open (on POSIX: the file read again).
    EXPECT_EQ(expected, Enumerate(m_key.Get()));
    EXPECT_EQ(expected, Enumerate(Open(L"").Get()));
}

// One call a row on one value (REG_SZ "abc" without its NUL, 6 bytes), into a buffer of 0x55
// bytes: the result, the sizes reported and what was stored, as the Windows registry gives them.
TEST_F(RegistryTest, BufferSizesFollowTheWindowsRules) {
    const Bytes abc = Utf16Le(L"abc", false);
    Set(m_key.Get(), L"Test", platform::kRegSz, Utf16Le(L"abcX", false), 6);
    constexpr int kNoData = -1;
    constexpr std::uint8_t kUntouched = 0x55;
    const struct {
        std::uint32_t nameCap;  // 0: RegQueryValueEx, else RegEnumValue with this capacity
        int dataCap;
        ErrorCode result;
        bool stored;         // the data is in the buffer
        std::uint8_t after;  // the two bytes after it: kUntouched, or 0 for a NUL added
    } rows[] = {
        {4, 6, platform::kErrorMoreData, false, kUntouched},  // "Test" needs 5
        {5, 6, 0, true, kUntouched},
        {8, 5, platform::kErrorMoreData, false, kUntouched},
        {8, kNoData, 0, false, kUntouched},
        {0, 5, platform::kErrorMoreData, false, kUntouched},
        {0, kNoData, 0, false, kUntouched},
        {0, 6, 0, true, kUntouched},
        {0, 7, 0, true, kUntouched},
        {0, 8, 0, true, 0},  // room for a NUL character after string data
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        std::uint8_t data[16];
        std::memset(data, kUntouched, sizeof data);
        wchar_t name[8] = L"xxxxxxx";
        std::uint32_t chars = row.nameCap, type = 0;
        std::uint32_t size = row.dataCap == kNoData ? 0u : static_cast<std::uint32_t>(row.dataCap);
        std::uint8_t* buffer = row.dataCap == kNoData ? nullptr : data;
        if (row.nameCap == 0) {
            EXPECT_EQ(row.result,
                      platform::RegQueryValueEx(m_key.Get(), L"Test", &type, buffer, &size));
        } else {
            EXPECT_EQ(row.result,
                      platform::RegEnumValue(m_key.Get(), 0, name, &chars, &type, buffer, &size));
            // A name that does not fit is not stored, and the capacity stays as it was.
            const bool fits = row.nameCap > 4;
            EXPECT_EQ(fits ? 4u : row.nameCap, chars);
            EXPECT_EQ(fits ? L"Test" : L"xxxxxxx", std::wstring(name));
        }
        EXPECT_EQ(platform::kRegSz, type);
        EXPECT_EQ(6u, size);
        EXPECT_EQ(row.stored, std::memcmp(data, abc.data(), 6) == 0);
        EXPECT_EQ(row.after, data[6]);
        EXPECT_EQ(row.after, data[7]);
    }
}

TEST_F(RegistryTest, NamesIgnoreCasePathsMayEndInABackslashAndSubkeysDeleteAsATree) {
    Set(m_key.Get(), L"Enabled", platform::kRegDword, {1, 0, 0, 0});
    Set(m_key.Get(), L"ENABLED", platform::kRegSz, Utf16Le(L"now a string"));
    EXPECT_EQ((std::set<Entry>{{L"Enabled", platform::kRegSz, Utf16Le(L"now a string")}}),
              Enumerate(m_key.Get()))
        << "set again, a value keeps the spelling it was first given";
    Set(OpenKey(m_key.Get(), L"Mixed\\Case Key\\C", kAll, true).Get(), L"v", platform::kRegDword,
        {7, 0, 0, 0});
    EXPECT_EQ(1u, Enumerate(OpenKey(m_key.Get(), L"MIXED\\CASE KEY\\c", kAll, true).Get()).size())
        << "created again under another spelling";
    for (const wchar_t* path : {L"\\MIXED\\case key\\C", L"\\mixed\\CASE KEY\\c\\"}) {
        std::uint32_t type = 0;
        EXPECT_EQ(0u, platform::RegQueryValueEx(Open(path).Get(), L"V", &type, nullptr, nullptr));
        EXPECT_EQ(platform::kRegDword, type);
    }
    const platform::UniqueRegKey mixed =
        Open(L"\\mixed");  // opened relatively, and the tree under it deleted
    EXPECT_EQ(1u, Enumerate(OpenKey(mixed.Get(), L"case key\\c", kRead).Get()).size());
    ASSERT_EQ(0u, platform::RegDeleteTree(m_key.Get(), L"Mixed\\Case Key"));
    platform::UniqueRegKey gone;
    EXPECT_EQ(2u, platform::RegOpenKeyEx(mixed.Get(), L"Case Key", 0, kRead, gone.Receive()));
}

}  // namespace
