// Registry calls on both backends: round trips, the Windows buffer-size rules, names, keys,
// access rights and concurrent writers.
//
// Every test works in a key of its own under HKEY_LOCAL_MACHINE\Software\KeltraTests and
// deletes it afterwards; on POSIX the registry file is a fresh one. Value order is the
// backend's (name order under Wine, insertion order on Windows, file order on POSIX), so
// enumerations are compared as sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/thread.h"
#include "tests/platform/registry_test_support.h"

namespace {

using keltra::test::Bytes;
using keltra::test::Entry;
using keltra::test::Enumerate;
using keltra::test::OpenKey;
using keltra::test::Utf16Le;
using platform::ErrorCode;

constexpr std::uint32_t kRead = platform::kKeyRead;
constexpr std::uint32_t kAll = platform::kKeyAllAccess;

std::set<Entry> ValueSet(platform::RegKey key) {
    const std::vector<Entry> values = Enumerate(key);
    return std::set<Entry>(values.begin(), values.end());
}

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        keltra::test::UseFreshRegistryFile(L"registry");
        m_path =
            L"Software\\KeltraTests\\" +
            platform::Utf8ToWide(testing::UnitTest::GetInstance()->current_test_info()->name()) +
            std::to_wstring(platform::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
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
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    std::set<Entry> expected = {
        {L"empty string", platform::kRegSz, Utf16Le(L"")},
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
        {L"short dword", platform::kRegDword, {0x01, 0x02}},
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
    EXPECT_EQ(expected, ValueSet(m_key.Get()));
    const platform::UniqueRegKey reopened = Open(L"");
    EXPECT_EQ(expected, ValueSet(reopened.Get()));
    for (const Entry& e : expected) {
        Entry read{e.name, 0, Bytes(e.data.size())};
        auto size = static_cast<std::uint32_t>(read.data.size());
        EXPECT_EQ(0u, platform::RegQueryValueEx(reopened.Get(), e.name.c_str(), &read.type,
                                                read.data.data(), &size));
        EXPECT_EQ(e, read);
    }
}

// One call a row on one value, into a buffer of 0x55 bytes: the result, the sizes reported
// and what was stored, as the Windows registry gives them.
TEST_F(RegistryTest, BufferSizesFollowTheWindowsRules) {
    Set(m_key.Get(), L"Test", platform::kRegSz, Utf16Le(L"foobar"));  // 14 bytes
    Set(m_key.Get(), L"big", platform::kRegQword, Bytes(8, 1));
    Set(m_key.Get(), L"b", platform::kRegBinary, {1, 2});
    Set(m_key.Get(), L"s", platform::kRegSz, Utf16Le(L"abcX", false), 6);  // "abc", no NUL
    constexpr int kNoData = -1;
    constexpr std::uint8_t kUntouched = 0x55;
    const struct {
        const wchar_t* value;
        std::uint32_t nameCap;  // 0: RegQueryValueEx, else RegEnumValue with this capacity
        int dataCap;
        ErrorCode result;
        std::uint32_t size;  // reported
        bool stored;         // the data is in the buffer
        std::uint8_t after;  // the two bytes after it: kUntouched, or 0 for a NUL added
    } rows[] = {
        {L"Test", 4, 32, platform::kErrorMoreData, 14, false, kUntouched},
        {L"Test", 5, 32, 0, 14, true, kUntouched},
        {L"Test", 8, 13, platform::kErrorMoreData, 14, false, kUntouched},
        {L"Test", 8, 14, 0, 14, true, kUntouched},
        {L"Test", 8, kNoData, 0, 14, false, kUntouched},
        {L"Test", 0, 13, platform::kErrorMoreData, 14, false, kUntouched},
        {L"Test", 0, kNoData, 0, 14, false, kUntouched},
        {L"big", 0, 4, platform::kErrorMoreData, 8, false, kUntouched},
        {L"s", 0, 6, 0, 6, true, kUntouched},
        {L"s", 0, 7, 0, 6, true, kUntouched},
        {L"s", 0, 8, 0, 6, true, 0},
        {L"b", 0, 32, 0, 2, true, kUntouched},
    };
    const std::vector<Entry> values = Enumerate(m_key.Get());
    for (std::size_t r = 0; r < std::size(rows); ++r) {
        const auto& row = rows[r];
        const auto value = std::find_if(values.begin(), values.end(),
                                        [&](const Entry& e) { return e.name == row.value; });
        ASSERT_NE(values.end(), value);
        std::uint8_t data[40];
        std::memset(data, kUntouched, sizeof data);
        wchar_t name[8] = L"xxxxxxx";
        std::uint32_t chars = row.nameCap;
        std::uint32_t type = 0;
        std::uint32_t size = row.dataCap == kNoData ? 0u : static_cast<std::uint32_t>(row.dataCap);
        std::uint8_t* buffer = row.dataCap == kNoData ? nullptr : data;
        ErrorCode result = 0;
        if (row.nameCap == 0) {
            result = platform::RegQueryValueEx(m_key.Get(), row.value, &type, buffer, &size);
        } else {
            const auto index = static_cast<std::uint32_t>(value - values.begin());
            result = platform::RegEnumValue(m_key.Get(), index, name, &chars, &type, buffer, &size);
            // A name of exactly capacity - 1 characters fits; one that does not is not stored,
            // and the capacity stays as it was.
            const bool fits = row.nameCap > std::wcslen(row.value);
            EXPECT_EQ(fits ? std::wcslen(row.value) : row.nameCap, chars) << "row " << r;
            EXPECT_EQ(fits ? row.value : L"xxxxxxx", std::wstring(name)) << "row " << r;
        }
        EXPECT_EQ(row.result, result) << "row " << r;
        EXPECT_EQ(value->type, type) << "row " << r;
        EXPECT_EQ(row.size, size) << "row " << r;
        EXPECT_EQ(row.stored, std::memcmp(data, value->data.data(), value->data.size()) == 0)
            << "row " << r;
        EXPECT_EQ(row.after, data[row.size]) << "row " << r;
        EXPECT_EQ(row.after, data[row.size + 1]) << "row " << r;
    }
    wchar_t name[8];
    std::uint32_t chars = 8;
    EXPECT_EQ(platform::kErrorNoMoreItems,
              platform::RegEnumValue(m_key.Get(), 4, name, &chars, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, ValueAndKeyNamesIgnoreCaseAndPathsMayEndInABackslash) {
    Set(m_key.Get(), L"Enabled", platform::kRegDword, {1, 0, 0, 0});
    Set(m_key.Get(), L"ENABLED", platform::kRegSz, Utf16Le(L"now a string"));
    EXPECT_EQ((std::vector<Entry>{{L"Enabled", platform::kRegSz, Utf16Le(L"now a string")}}),
              Enumerate(m_key.Get()))
        << "set again, a value keeps the spelling it was first given";
    Set(OpenKey(m_key.Get(), L"Mixed\\Case Key", kAll, true).Get(), L"v", platform::kRegDword,
        {7, 0, 0, 0});
    EXPECT_EQ(1u, Enumerate(OpenKey(m_key.Get(), L"MIXED\\CASE KEY", kAll, true).Get()).size())
        << "created again under another spelling";
    for (const wchar_t* path : {L"\\MIXED\\case key", L"\\mixed\\CASE KEY\\"}) {
        std::uint32_t type = 0;
        EXPECT_EQ(0u, platform::RegQueryValueEx(Open(path).Get(), L"V", &type, nullptr, nullptr));
        EXPECT_EQ(platform::kRegDword, type);
    }
}

TEST_F(RegistryTest, MissingKeysValuesAndBadArguments) {
    const platform::RegKey root = platform::HkeyLocalMachine();
    platform::RegKey key = reinterpret_cast<platform::RegKey>(std::uintptr_t{1});
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(root, (m_path + L"\\absent").c_str(), 0, kRead, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(m_key.Get(), L"absent\\deeper", 0, kRead, &key));
    EXPECT_EQ(87u, platform::RegOpenKeyEx(root, m_path.c_str(), 0, kRead, nullptr));
    EXPECT_EQ(6u, platform::RegOpenKeyEx(nullptr, m_path.c_str(), 0, kRead, &key));
    EXPECT_EQ(161u, platform::RegOpenKeyEx(root, (L"\\" + m_path).c_str(), 0, kRead, &key));
    EXPECT_EQ(2u, platform::RegDeleteTree(root, (m_path + L"\\absent").c_str()));
    EXPECT_EQ(2u, platform::RegQueryValueEx(m_key.Get(), nullptr, nullptr, nullptr, nullptr));
    wchar_t name[4];
    std::uint32_t chars = 4;
    EXPECT_EQ(platform::kErrorNoMoreItems,
              platform::RegEnumValue(m_key.Get(), 0, name, &chars, nullptr, nullptr, nullptr));
    EXPECT_EQ(87u,
              platform::RegEnumValue(m_key.Get(), 0, name, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, SubkeysOpenRelativelyAndDeleteAsATree) {
    const platform::UniqueRegKey deep = OpenKey(m_key.Get(), L"A\\B\\C", kAll, true);
    Set(deep.Get(), L"x", platform::kRegBinary, {1});
    const platform::UniqueRegKey sibling = OpenKey(m_key.Get(), L"Z", kAll, true);
    Set(sibling.Get(), L"y", platform::kRegBinary, {2});
    const platform::UniqueRegKey a = Open(L"\\A");
    EXPECT_EQ(1u, Enumerate(OpenKey(a.Get(), L"b\\c", kRead).Get()).size());

    ASSERT_EQ(0u, platform::RegDeleteTree(m_key.Get(), L"A\\B"));
    platform::UniqueRegKey gone;
    EXPECT_EQ(2u, platform::RegOpenKeyEx(a.Get(), L"B", 0, kRead, gone.Receive()));
    // Handles on deleted keys fail with 1018; the parent and the sibling stay.
    wchar_t name[8];
    std::uint32_t chars = 8;
    EXPECT_EQ(1018u, platform::RegQueryValueEx(deep.Get(), L"x", nullptr, nullptr, nullptr));
    EXPECT_EQ(1018u,
              platform::RegEnumValue(deep.Get(), 0, name, &chars, nullptr, nullptr, nullptr));
    EXPECT_EQ(1018u, platform::RegSetValueEx(deep.Get(), L"x", 3, Bytes{1}.data(), 1));
    EXPECT_EQ(0u, platform::RegQueryValueEx(sibling.Get(), L"y", nullptr, nullptr, nullptr));
    // With no subkey named, the key is emptied and stays.
    ASSERT_EQ(0u, platform::RegDeleteTree(m_key.Get(), nullptr));
    EXPECT_TRUE(Enumerate(m_key.Get()).empty());
    EXPECT_EQ(1018u, platform::RegQueryValueEx(sibling.Get(), L"y", nullptr, nullptr, nullptr));
    EXPECT_TRUE(Open(L"").Valid());
}

TEST_F(RegistryTest, AccessRightsOfTheHandleAreCheckedAndClosingTwiceFails) {
    Set(m_key.Get(), L"v", platform::kRegDword, {1, 0, 0, 0});
    const std::uint32_t accesses[] = {kRead, platform::kKeySetValue,
                                      platform::kKeyQueryValue | platform::kKeyWow64_64Key};
    for (const std::uint32_t access : accesses) {
        const platform::UniqueRegKey key = Open(L"", access);
        const ErrorCode query = (access & platform::kKeyQueryValue) != 0 ? 0u : 5u;
        wchar_t name[8];
        std::uint32_t chars = 8;
        EXPECT_EQ(query, platform::RegQueryValueEx(key.Get(), L"v", nullptr, nullptr, nullptr));
        EXPECT_EQ(query,
                  platform::RegEnumValue(key.Get(), 0, name, &chars, nullptr, nullptr, nullptr));
        EXPECT_EQ((access & platform::kKeySetValue) != 0 ? 0u : 5u,
                  platform::RegSetValueEx(key.Get(), L"w", 4, Bytes(4).data(), 4));
    }
    platform::UniqueRegKey key = Open(L"");
    const platform::RegKey raw = key.Get();
    key.Reset();
    EXPECT_EQ(platform::kErrorInvalidHandle, platform::RegCloseKey(raw)) << "closed twice";
    EXPECT_EQ(0u, platform::RegCloseKey(platform::HkeyLocalMachine())) << "the root needs none";
}

TEST_F(RegistryTest, ConcurrentWritersLoseNoUpdate) {
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (std::uint32_t v = t * 1000; v < t * 1000 + 40; ++v) {
                EXPECT_EQ(0u, platform::RegSetValueEx(m_key.Get(), std::to_wstring(v).c_str(), 4,
                                                      reinterpret_cast<std::uint8_t*>(&v), 4));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(160u, Enumerate(Open(L"").Get()).size());
}

}  // namespace
