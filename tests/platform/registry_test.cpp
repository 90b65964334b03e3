// Registry calls on both backends: round trips, Windows buffer-size rules, keys and access.
//
// Every test works in a key of its own under HKEY_LOCAL_MACHINE\Software\KeltraTests and
// deletes it afterwards; on POSIX the registry file is a fresh one in the test's directory.
// Value order is the backend's (name order under Wine, insertion order on Windows, file
// order on POSIX), so enumerations are compared as sets here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "tests/support/test_support.h"

namespace {

using platform::ErrorCode;
using platform::RegKey;
using Bytes = std::vector<std::uint8_t>;

constexpr wchar_t kTestRoot[] = L"Software\\KeltraTests";
constexpr ErrorCode kErrorKeyDeleted = 1018;  // ERROR_KEY_DELETED

// UTF-16LE bytes of text, with the terminating NUL when asked.
Bytes Utf16Le(std::wstring_view text, bool terminator = true) {
    Bytes out;
    auto unit = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        if (u >= 0x10000) {
            unit(0xD800 + ((u - 0x10000) >> 10));
            unit(0xDC00 + ((u - 0x10000) & 0x3FF));
        } else {
            unit(u);
        }
    }
    if (terminator) {
        unit(0);
    }
    return out;
}

struct Entry {
    std::wstring name;
    std::uint32_t type;
    Bytes data;
    bool operator<(const Entry& o) const {
        return std::tie(name, type, data) < std::tie(o.name, o.type, o.data);
    }
    bool operator==(const Entry& o) const = default;
};

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        const std::wstring dir = keltra::test::MakeTempDirectory(L"registry");
        m_file = dir + platform::kPathSeparator + L"registry.reg";
        // Only the POSIX backend reads it; Windows ignores it.
        ASSERT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", m_file.c_str()));
        const char* test = testing::UnitTest::GetInstance()->current_test_info()->name();
        m_leaf = std::wstring(test, test + std::strlen(test)) + L"-" +
                 std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++);
        m_path = std::wstring(kTestRoot) + L"\\" + m_leaf;
        ASSERT_EQ(0u, platform::RegCreateKeyEx(platform::HkeyLocalMachine(), m_path.c_str(),
                                               platform::kKeyAllAccess, &m_key));
        ASSERT_NE(nullptr, m_key);
    }

    void TearDown() override {
        if (m_key != nullptr) {
            EXPECT_EQ(0u, platform::RegCloseKey(m_key));
        }
        (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_path.c_str());
    }

    void Set(const std::wstring& name, std::uint32_t type, const Bytes& data) {
        ASSERT_EQ(0u, platform::RegSetValueEx(m_key, name.c_str(), type, data.data(),
                                              static_cast<std::uint32_t>(data.size())))
            << "value " << testing::PrintToString(name);
    }

    RegKey Open(const std::wstring& sub, std::uint32_t access = platform::kKeyRead) {
        RegKey key = nullptr;
        EXPECT_EQ(0u, platform::RegOpenKeyEx(platform::HkeyLocalMachine(), (m_path + sub).c_str(),
                                             0, access, &key));
        return key;
    }

    // Every value of key, read with generous buffers.
    static std::vector<Entry> Enumerate(RegKey key) {
        std::vector<Entry> out;
        for (std::uint32_t i = 0;; ++i) {
            std::vector<wchar_t> name(16384);
            auto nameChars = static_cast<std::uint32_t>(name.size());
            std::uint32_t type = 0;
            std::uint32_t size = 0;
            ErrorCode r =
                platform::RegEnumValue(key, i, name.data(), &nameChars, &type, nullptr, &size);
            if (r == platform::kErrorNoMoreItems) {
                break;
            }
            EXPECT_EQ(0u, r);
            if (r != 0) {
                break;
            }
            Bytes data(size + 2);
            nameChars = static_cast<std::uint32_t>(name.size());
            std::uint32_t capacity = size;  // exactly the size: nothing added after it
            r = platform::RegEnumValue(key, i, name.data(), &nameChars, &type, data.data(),
                                       &capacity);
            EXPECT_EQ(0u, r);
            EXPECT_EQ(size, capacity);
            data.resize(capacity);
            out.push_back(Entry{std::wstring(name.data(), nameChars), type, data});
        }
        return out;
    }

    static std::set<Entry> AsSet(const std::vector<Entry>& entries) {
        return std::set<Entry>(entries.begin(), entries.end());
    }

    std::wstring m_file;
    std::wstring m_leaf;
    std::wstring m_path;
    RegKey m_key = nullptr;
};

// Unterminated string data needs a non-NUL character after it in memory on Windows, which
// would otherwise count a terminator that follows (see RegSetValueEx).
Bytes UnterminatedAbc() {
    return Utf16Le(L"abc", false);
}

std::vector<Entry> EveryKindOfValue() {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    Bytes multi = Utf16Le(L"first", true);
    const Bytes second = Utf16Le(L"second \"quoted\"", true);
    multi.insert(multi.end(), second.begin(), second.end());
    multi.push_back(0);
    multi.push_back(0);
    return {
        {L"plain", platform::kRegSz, Utf16Le(L"C:\\Plugins\\alpha.dll")},
        {L"empty string", platform::kRegSz, Utf16Le(L"")},
        {L"no bytes", platform::kRegSz, {}},
        {L"unterminated", platform::kRegSz, UnterminatedAbc()},
        {L"odd size", platform::kRegSz, {0x41, 0x00, 0x42}},
        {L"embedded nul", platform::kRegSz, Utf16Le(std::wstring(L"a\0b", 3))},
        {L"line breaks", platform::kRegSz, Utf16Le(L"one\r\ntwo\nthree")},
        {L"non-ASCII \u00e9\u03a9\u0416\u4e2d", platform::kRegSz,
         Utf16Le(L"\u00e9t\u00e9 \u03a9 \u0416 \u4e2d \U0001F600")},
        {L"quote \" and \\ and = and [x]", platform::kRegSz, Utf16Le(L"\\\\server\\\"share\"")},
        {L"expand", platform::kRegExpandSz, Utf16Le(L"%SystemRoot%\\system32")},
        {L"multi", platform::kRegMultiSz, multi},
        {L"dword", platform::kRegDword, {0x2a, 0x00, 0x00, 0x80}},
        {L"short dword", platform::kRegDword, {0x01, 0x02}},
        {L"qword", platform::kRegQword, {1, 2, 3, 4, 5, 6, 7, 0xff}},
        {L"binary", platform::kRegBinary, all},
        {L"empty binary", platform::kRegBinary, {}},
        {L"none", platform::kRegNone, {0xde, 0xad}},
        {L"odd type", 0x12345, {0x01}},
        {L"", platform::kRegSz, Utf16Le(L"the default value")},
    };
}

TEST_F(RegistryTest, EveryTypeRoundTripsByteForByte) {
    const std::vector<Entry> expected = EveryKindOfValue();
    for (const Entry& e : expected) {
        if (e.name == L"unterminated") {
            // "abcX": the X keeps Windows from counting a terminator after "abc".
            const std::wstring abcx = L"abcX";
            const Bytes backing = Utf16Le(abcx, false);
            ASSERT_EQ(0u, platform::RegSetValueEx(m_key, e.name.c_str(), e.type, backing.data(),
                                                  static_cast<std::uint32_t>(e.data.size())));
            continue;
        }
        Set(e.name, e.type, e.data);
    }
    // Read back through the key that wrote, then through a fresh open (on POSIX: the file).
    EXPECT_EQ(AsSet(expected), AsSet(Enumerate(m_key)));
    RegKey reopened = Open(L"");
    ASSERT_NE(nullptr, reopened);
    EXPECT_EQ(AsSet(expected), AsSet(Enumerate(reopened)));
    for (const Entry& e : expected) {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        ASSERT_EQ(0u, platform::RegQueryValueEx(reopened, e.name.c_str(), &type, nullptr, &size));
        EXPECT_EQ(e.type, type);
        Bytes data(size);
        ASSERT_EQ(0u,
                  platform::RegQueryValueEx(reopened, e.name.c_str(), &type, data.data(), &size));
        EXPECT_EQ(e.data, data) << testing::PrintToString(e.name);
    }
    EXPECT_EQ(0u, platform::RegCloseKey(reopened));
}

TEST_F(RegistryTest, SettingAValueAgainReplacesItWhateverTheCaseOfItsName) {
    Set(L"Enabled", platform::kRegDword, {1, 0, 0, 0});
    Set(L"ENABLED", platform::kRegDword, {0, 0, 0, 0});
    Set(L"enabled", platform::kRegSz, Utf16Le(L"now a string"));
    const std::vector<Entry> values = Enumerate(m_key);
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ(platform::kRegSz, values[0].type);
    EXPECT_EQ(Utf16Le(L"now a string"), values[0].data);
    std::uint32_t type = 0;
    EXPECT_EQ(0u, platform::RegQueryValueEx(m_key, L"eNaBlEd", &type, nullptr, nullptr));
    EXPECT_EQ(platform::kRegSz, type);
}

TEST_F(RegistryTest, EnumerationFollowsTheWindowsBufferRules) {
    const Bytes data = Utf16Le(L"foobar");  // 14 bytes
    Set(L"Test", platform::kRegSz, data);
    wchar_t name[8];
    std::uint8_t buffer[32];

    // Name capacity counts the terminator: 5 fits "Test", 4 does not.
    std::wmemcpy(name, L"xxxxxxx", 8);
    std::memset(buffer, 0x55, sizeof buffer);
    std::uint32_t nameChars = 4;
    std::uint32_t type = 1234;
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegEnumValue(m_key, 0, name, &nameChars, &type, buffer, &size));
    EXPECT_EQ(4u, nameChars) << "the capacity stays as it was";
    EXPECT_EQ(platform::kRegSz, type);
    EXPECT_EQ(14u, size);
    EXPECT_EQ(L'x', name[0]) << "the name is not stored";
    EXPECT_EQ(0x55, buffer[0]) << "nor is the data";

    nameChars = 5;
    size = sizeof buffer;
    ASSERT_EQ(0u, platform::RegEnumValue(m_key, 0, name, &nameChars, &type, buffer, &size));
    EXPECT_EQ(4u, nameChars);
    EXPECT_STREQ(L"Test", name);
    EXPECT_EQ(14u, size);
    EXPECT_EQ(0, std::memcmp(buffer, data.data(), data.size()));

    // Data capacity in bytes: one short gives 234 with the size needed; the name is stored.
    std::wmemcpy(name, L"xxxxxxx", 8);
    std::memset(buffer, 0x55, sizeof buffer);
    nameChars = 8;
    size = 13;
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegEnumValue(m_key, 0, name, &nameChars, &type, buffer, &size));
    EXPECT_EQ(14u, size);
    EXPECT_EQ(4u, nameChars);
    EXPECT_STREQ(L"Test", name);
    EXPECT_EQ(0x55, buffer[0]);

    // Exact data size fits; a null data pointer only reports the size.
    nameChars = 8;
    size = 14;
    EXPECT_EQ(0u, platform::RegEnumValue(m_key, 0, name, &nameChars, &type, buffer, &size));
    nameChars = 8;
    size = 0;
    EXPECT_EQ(0u, platform::RegEnumValue(m_key, 0, name, &nameChars, nullptr, nullptr, &size));
    EXPECT_EQ(14u, size);
    nameChars = 8;
    EXPECT_EQ(0u, platform::RegEnumValue(m_key, 0, name, &nameChars, nullptr, nullptr, nullptr));

    // Missing required pointers.
    nameChars = 8;
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegEnumValue(m_key, 0, name, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegEnumValue(m_key, 0, name, &nameChars, nullptr, buffer, nullptr));

    // Past the last value.
    nameChars = 8;
    EXPECT_EQ(platform::kErrorNoMoreItems,
              platform::RegEnumValue(m_key, 1, name, &nameChars, nullptr, nullptr, nullptr));
    nameChars = 8;
    EXPECT_EQ(
        platform::kErrorNoMoreItems,
        platform::RegEnumValue(m_key, 0xFFFFFFFF, name, &nameChars, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, QueryFollowsTheWindowsBufferRules) {
    Set(L"path", platform::kRegSz, Utf16Le(L"C:\\p.dll"));  // 18 bytes
    std::uint8_t buffer[32];
    std::uint32_t type = 0;
    std::uint32_t size = 17;
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegQueryValueEx(m_key, L"path", &type, buffer, &size));
    EXPECT_EQ(18u, size);
    EXPECT_EQ(platform::kRegSz, type);
    EXPECT_EQ(0x55, buffer[0]);
    size = 18;
    EXPECT_EQ(0u, platform::RegQueryValueEx(m_key, L"path", &type, buffer, &size));
    EXPECT_EQ(Utf16Le(L"C:\\p.dll"), Bytes(buffer, buffer + size));
    size = 0;
    EXPECT_EQ(0u, platform::RegQueryValueEx(m_key, L"path", nullptr, nullptr, &size));
    EXPECT_EQ(18u, size);
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegQueryValueEx(m_key, L"path", nullptr, buffer, nullptr));
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegQueryValueEx(m_key, L"missing", &type, buffer, &size));

    // A four-byte read of a larger value fails, as the log settings rely on.
    Set(L"big", platform::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8});
    std::uint32_t dword = 0;
    size = sizeof dword;
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegQueryValueEx(m_key, L"big", nullptr,
                                        reinterpret_cast<std::uint8_t*>(&dword), &size));
    EXPECT_EQ(8u, size);
}

TEST_F(RegistryTest, UnterminatedStringComesBackWithoutATerminatorInItsSize) {
    const Bytes backing = Utf16Le(L"abcX", false);
    ASSERT_EQ(0u, platform::RegSetValueEx(m_key, L"s", platform::kRegSz, backing.data(), 6));
    std::uint8_t buffer[16];
    std::uint32_t size = 6;
    std::memset(buffer, 0x55, sizeof buffer);
    ASSERT_EQ(0u, platform::RegQueryValueEx(m_key, L"s", nullptr, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(UnterminatedAbc(), Bytes(buffer, buffer + 6));
    EXPECT_EQ(0x55, buffer[6]) << "nothing is written past a buffer that is exactly full";

    // With room for it, Windows writes a NUL character after the data, outside the size.
    size = 8;
    ASSERT_EQ(0u, platform::RegQueryValueEx(m_key, L"s", nullptr, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, buffer[6]);
    EXPECT_EQ(0, buffer[7]);

    // One byte of room is not enough for it.
    std::memset(buffer, 0x55, sizeof buffer);
    size = 7;
    ASSERT_EQ(0u, platform::RegQueryValueEx(m_key, L"s", nullptr, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0x55, buffer[6]);

    // Binary data is never extended.
    Set(L"b", platform::kRegBinary, {1, 2});
    std::memset(buffer, 0x55, sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(0u, platform::RegQueryValueEx(m_key, L"b", nullptr, buffer, &size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0x55, buffer[2]);
}

TEST_F(RegistryTest, LongestValueNameAndLargeData) {
    const std::wstring longest(16383, L'n');
    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    Set(longest, platform::kRegBinary, big);

    std::vector<wchar_t> name(16384);
    std::uint32_t nameChars = 16383;
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegEnumValue(m_key, 0, name.data(), &nameChars, nullptr, nullptr, &size));
    nameChars = 16384;
    ASSERT_EQ(0u,
              platform::RegEnumValue(m_key, 0, name.data(), &nameChars, nullptr, nullptr, &size));
    EXPECT_EQ(16383u, nameChars);
    EXPECT_EQ(big.size(), size);

    RegKey reopened = Open(L"");
    ASSERT_NE(nullptr, reopened);
    const std::vector<Entry> values = Enumerate(reopened);
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ(longest, values[0].name);
    EXPECT_TRUE(values[0].data == big);
    EXPECT_EQ(0u, platform::RegCloseKey(reopened));
}

TEST_F(RegistryTest, DefaultValueIsListedOnlyOnceSetAndHasAnEmptyName) {
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegQueryValueEx(m_key, nullptr, nullptr, nullptr, &size));
    wchar_t name[4] = L"xx";
    std::uint32_t nameChars = 4;
    EXPECT_EQ(platform::kErrorNoMoreItems,
              platform::RegEnumValue(m_key, 0, name, &nameChars, nullptr, nullptr, nullptr));

    Set(L"", platform::kRegSz, Utf16Le(L"default"));
    nameChars = 4;
    std::uint32_t type = 0;
    ASSERT_EQ(0u, platform::RegEnumValue(m_key, 0, name, &nameChars, &type, nullptr, &size));
    EXPECT_EQ(0u, nameChars);
    EXPECT_EQ(L'\0', name[0]);
    EXPECT_EQ(platform::kRegSz, type);
    // An empty name needs a capacity of one for its terminator.
    nameChars = 0;
    EXPECT_EQ(platform::kErrorMoreData,
              platform::RegEnumValue(m_key, 0, name, &nameChars, nullptr, nullptr, nullptr));

    std::uint8_t buffer[32];
    size = sizeof buffer;
    ASSERT_EQ(0u, platform::RegQueryValueEx(m_key, nullptr, nullptr, buffer, &size));
    EXPECT_EQ(Utf16Le(L"default"), Bytes(buffer, buffer + size));
    size = sizeof buffer;
    EXPECT_EQ(0u, platform::RegQueryValueEx(m_key, L"", nullptr, buffer, &size));
}

TEST_F(RegistryTest, MissingKeysAndBadArguments) {
    RegKey key = reinterpret_cast<RegKey>(std::uintptr_t{1});
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), (m_path + L"\\absent").c_str(),
                                     0, platform::kKeyRead, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(m_key, L"absent\\deeper", 0, platform::kKeyRead, &key));
    EXPECT_EQ(platform::kErrorInvalidParameter,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), m_path.c_str(), 0,
                                     platform::kKeyRead, nullptr));
    EXPECT_EQ(platform::kErrorInvalidHandle,
              platform::RegOpenKeyEx(nullptr, m_path.c_str(), 0, platform::kKeyRead, &key));
    EXPECT_EQ(platform::kErrorBadPathname,
              platform::RegOpenKeyEx(platform::HkeyLocalMachine(), (L"\\" + m_path).c_str(), 0,
                                     platform::kKeyRead, &key));
    EXPECT_EQ(
        platform::kErrorFileNotFound,
        platform::RegDeleteTree(platform::HkeyLocalMachine(), (m_path + L"\\absent").c_str()));
}

TEST_F(RegistryTest, KeyNamesAreCaseInsensitiveAndPathsMayEndInABackslash) {
    RegKey sub = nullptr;
    ASSERT_EQ(0u,
              platform::RegCreateKeyEx(m_key, L"Mixed\\Case Key", platform::kKeyAllAccess, &sub));
    ASSERT_EQ(0u,
              platform::RegSetValueEx(sub, L"v", platform::kRegDword, Bytes{7, 0, 0, 0}.data(), 4));
    EXPECT_EQ(0u, platform::RegCloseKey(sub));

    std::wstring upper = m_path + L"\\MIXED\\case key";
    std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) {
        return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
    });
    for (const std::wstring& path : {upper, m_path + L"\\mixed\\CASE KEY\\"}) {
        RegKey key = nullptr;
        ASSERT_EQ(0u, platform::RegOpenKeyEx(platform::HkeyLocalMachine(), path.c_str(), 0,
                                             platform::kKeyRead, &key))
            << testing::PrintToString(path);
        std::uint32_t v = 0;
        std::uint32_t size = sizeof v;
        EXPECT_EQ(0u, platform::RegQueryValueEx(key, L"V", nullptr,
                                                reinterpret_cast<std::uint8_t*>(&v), &size));
        EXPECT_EQ(7u, v);
        EXPECT_EQ(0u, platform::RegCloseKey(key));
    }
    // Creating it again under another spelling opens the same key.
    ASSERT_EQ(0u,
              platform::RegCreateKeyEx(m_key, L"MIXED\\CASE KEY", platform::kKeyAllAccess, &sub));
    EXPECT_EQ(1u, Enumerate(sub).size());
    EXPECT_EQ(0u, platform::RegCloseKey(sub));
}

TEST_F(RegistryTest, SubkeysOpenRelativelyAndDeleteAsATree) {
    RegKey deep = nullptr;
    ASSERT_EQ(0u, platform::RegCreateKeyEx(m_key, L"A\\B\\C", platform::kKeyAllAccess, &deep));
    ASSERT_EQ(0u, platform::RegSetValueEx(deep, L"x", platform::kRegBinary, Bytes{1}.data(), 1));
    RegKey sibling = nullptr;
    ASSERT_EQ(0u, platform::RegCreateKeyEx(m_key, L"Z", platform::kKeyAllAccess, &sibling));
    ASSERT_EQ(0u, platform::RegSetValueEx(sibling, L"y", platform::kRegBinary, Bytes{2}.data(), 1));

    RegKey a = Open(L"\\A");
    ASSERT_NE(nullptr, a);
    RegKey c = nullptr;
    ASSERT_EQ(0u, platform::RegOpenKeyEx(a, L"b\\c", 0, platform::kKeyRead, &c));
    EXPECT_EQ(1u, Enumerate(c).size());
    EXPECT_EQ(0u, platform::RegCloseKey(c));

    ASSERT_EQ(0u, platform::RegDeleteTree(m_key, L"A\\B"));
    EXPECT_EQ(platform::kErrorFileNotFound,
              platform::RegOpenKeyEx(a, L"B", 0, platform::kKeyRead, &c));
    // Handles on deleted keys fail; the parent and the sibling stay.
    std::uint32_t size = 0;
    EXPECT_EQ(kErrorKeyDeleted, platform::RegQueryValueEx(deep, L"x", nullptr, nullptr, &size));
    wchar_t name[8];
    std::uint32_t nameChars = 8;
    EXPECT_EQ(kErrorKeyDeleted,
              platform::RegEnumValue(deep, 0, name, &nameChars, nullptr, nullptr, nullptr));
    EXPECT_EQ(kErrorKeyDeleted,
              platform::RegSetValueEx(deep, L"x", platform::kRegBinary, Bytes{1}.data(), 1));
    EXPECT_EQ(0u, platform::RegQueryValueEx(sibling, L"y", nullptr, nullptr, &size));
    EXPECT_EQ(0u, platform::RegCloseKey(deep));
    EXPECT_EQ(0u, platform::RegCloseKey(a));

    // With no subkey named, the key is emptied and stays.
    ASSERT_EQ(0u, platform::RegDeleteTree(m_key, nullptr));
    EXPECT_TRUE(Enumerate(m_key).empty());
    EXPECT_EQ(kErrorKeyDeleted, platform::RegQueryValueEx(sibling, L"y", nullptr, nullptr, &size));
    EXPECT_EQ(0u, platform::RegCloseKey(sibling));
    RegKey self = Open(L"");
    EXPECT_NE(nullptr, self);
    EXPECT_EQ(0u, platform::RegCloseKey(self));
}

TEST_F(RegistryTest, AccessRightsOfTheHandleAreChecked) {
    Set(L"v", platform::kRegDword, {1, 0, 0, 0});
    RegKey reader = Open(L"", platform::kKeyRead);
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ(platform::kErrorAccessDenied,
              platform::RegSetValueEx(reader, L"w", platform::kRegDword, Bytes(4).data(), 4));
    EXPECT_EQ(0u, platform::RegCloseKey(reader));

    RegKey writer = Open(L"", platform::kKeySetValue);
    ASSERT_NE(nullptr, writer);
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorAccessDenied,
              platform::RegQueryValueEx(writer, L"v", nullptr, nullptr, &size));
    wchar_t name[8];
    std::uint32_t nameChars = 8;
    EXPECT_EQ(platform::kErrorAccessDenied,
              platform::RegEnumValue(writer, 0, name, &nameChars, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, platform::RegSetValueEx(writer, L"w", platform::kRegDword, Bytes(4).data(), 4));
    EXPECT_EQ(0u, platform::RegCloseKey(writer));
    EXPECT_EQ(2u, Enumerate(m_key).size());

    // The log settings are read with query access in the 64-bit view.
    RegKey query = Open(L"", platform::kKeyQueryValue | platform::kKeyWow64_64Key);
    ASSERT_NE(nullptr, query);
    std::uint32_t v = 0;
    size = sizeof v;
    EXPECT_EQ(0u, platform::RegQueryValueEx(query, L"v", nullptr,
                                            reinterpret_cast<std::uint8_t*>(&v), &size));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(0u, platform::RegCloseKey(query));
}

TEST_F(RegistryTest, ClosingTwiceFailsAndTheRootNeedsNoClosing) {
    RegKey key = Open(L"");
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(0u, platform::RegCloseKey(key));
    EXPECT_EQ(platform::kErrorInvalidHandle, platform::RegCloseKey(key));
    EXPECT_EQ(0u, platform::RegCloseKey(platform::HkeyLocalMachine()));
}

TEST_F(RegistryTest, ManyValuesEnumerateEachOnce) {
    std::set<Entry> expected;
    for (int i = 0; i < 150; ++i) {
        const std::wstring name = L"value" + std::to_wstring(i);
        const Bytes data = Utf16Le(L"C:\\Plugins\\p" + std::to_wstring(i) + L".dll");
        Set(name, platform::kRegSz, data);
        expected.insert(Entry{name, platform::kRegSz, data});
    }
    RegKey reopened = Open(L"");
    ASSERT_NE(nullptr, reopened);
    const std::vector<Entry> values = Enumerate(reopened);
    EXPECT_EQ(expected.size(), values.size());
    EXPECT_EQ(expected, AsSet(values));
    EXPECT_EQ(0u, platform::RegCloseKey(reopened));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNoUpdate) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 40;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::wstring name = L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i);
                const std::uint32_t v = static_cast<std::uint32_t>(t * 1000 + i);
                if (platform::RegSetValueEx(m_key, name.c_str(), platform::kRegDword,
                                            reinterpret_cast<const std::uint8_t*>(&v),
                                            sizeof v) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, failures.load());
    RegKey reopened = Open(L"");
    ASSERT_NE(nullptr, reopened);
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), Enumerate(reopened).size());
    EXPECT_EQ(0u, platform::RegCloseKey(reopened));
}

}  // namespace
