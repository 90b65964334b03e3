// Helpers of the registry tests: value bytes, a registry file of the test's own, opening and
// enumerating keys.
#pragma once

#include <gtest/gtest.h>

#include <compare>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

/// UTF-16LE bytes of text, with its terminating NUL unless told otherwise.
inline Bytes Utf16Le(std::wstring_view text, bool terminator = true) {
    Bytes out;
    for (char16_t u : platform::WideToUtf16(text) + std::u16string(terminator ? 1 : 0, u'\0')) {
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(u & 0xFF), static_cast<std::uint8_t>(u >> 8)});
    }
    return out;
}

/// Points the POSIX registry at a file (not there yet) in a fresh directory and returns its
/// path; the Windows registry ignores it.
inline std::wstring UseFreshRegistryFile(const wchar_t* tag) {
    const std::wstring file = MakeTempDirectory(tag) + platform::kPathSeparator + L"registry.reg";
    EXPECT_TRUE(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE", file.c_str()));
    return file;
}

/// Opens (create: creates) root\path, expecting success.
inline platform::UniqueRegKey OpenKey(platform::RegKey root, const std::wstring& path,
                                      std::uint32_t access = platform::kKeyAllAccess,
                                      bool create = false) {
    platform::UniqueRegKey key;
    EXPECT_EQ(0u, create ? platform::RegCreateKeyEx(root, path.c_str(), access, key.Receive())
                         : platform::RegOpenKeyEx(root, path.c_str(), 0, access, key.Receive()))
        << platform::WideToUtf8(path) << " " << platform::WideToUtf8(platform::RegistryFileError());
    return key;
}

struct Entry {
    std::wstring name;
    std::uint32_t type;
    Bytes data;
    auto operator<=>(const Entry&) const = default;
};

/// Every value of key (data of at most 64 KiB). As a set: the order is the backend's (name
/// order under Wine, insertion order on Windows, file order on POSIX).
inline std::set<Entry> Enumerate(platform::RegKey key) {
    std::set<Entry> out;
    for (std::uint32_t i = 0;; ++i) {
        std::vector<wchar_t> name(16384);
        Bytes data(65536);
        auto chars = static_cast<std::uint32_t>(name.size());
        auto size = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        const auto r =
            platform::RegEnumValue(key, i, name.data(), &chars, &type, data.data(), &size);
        if (r != 0) {
            EXPECT_EQ(platform::kErrorNoMoreItems, r);
            return out;
        }
        data.resize(size);  // not the NUL character added after unterminated string data
        out.insert(Entry{std::wstring(name.data(), chars), type, data});
    }
}

}  // namespace keltra::test
