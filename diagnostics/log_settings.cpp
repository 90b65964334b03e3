// The trace log's settings: read from the registry, and the change from one set to another.
#include "diagnostics/log_settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "diagnostics/trace_log.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "text/text.h"

namespace logfilesync {
namespace {

constexpr std::size_t kPathBytes = 520;

// A number setting: the raw bytes of the value in a zeroed 4-byte buffer.
bool ReadNumber(platform::RegKey key, const wchar_t* name, std::uint32_t* value) {
    std::uint8_t bytes[4] = {};
    std::uint32_t size = sizeof bytes;
    if (platform::RegQueryValueEx(key, name, nullptr, bytes, &size) != platform::kErrorSuccess) {
        return false;
    }
    std::memcpy(value, bytes, sizeof bytes);
    return true;
}

// A registry file that cannot be parsed, or that root refuses to trust, leaves the log off
// without anyone knowing why: say it where a person sees it (the log itself is not open yet).
void ReportUnreadableRegistry(platform::ErrorCode error) {
    const wchar_t* reason = platform::RegistryFileError();
    if ((error != platform::kErrorInvalidData && error != platform::kErrorAccessDenied) ||
        reason == nullptr || reason[0] == L'\0') {
        return;
    }
    std::fprintf(stderr, "cannot read the log settings: %s\n",
                 platform::WideToUtf8(reason).c_str());
    std::fflush(stderr);
}

// The path up to its first NUL and never past the bytes read (the value need not end with
// one); false when it does not fit 259 characters.
bool ReadPath(platform::RegKey key, std::wstring* path) {
    std::uint8_t bytes[kPathBytes] = {};
    std::uint32_t size = sizeof bytes;
    if (platform::RegQueryValueEx(key, L"logpath", nullptr, bytes, &size) !=
        platform::kErrorSuccess) {
        return false;
    }
    try {
        std::wstring read =
            platform::WideFromUtf16LeBytes(bytes, std::min<std::size_t>(size, sizeof bytes));
        read.resize(std::wcslen(read.c_str()));
        if (read.size() >= kPathBytes / 2) {
            return false;
        }
        *path = std::move(read);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

int ReadLogSettings(LogSettings* settings) {
    *settings = LogSettings{};
    platform::RegKey key = nullptr;
    const platform::ErrorCode opened =
        platform::RegOpenKeyEx(platform::HkeyLocalMachine(), kSettingsKey, 0,
                               platform::kKeyQueryValue | platform::kKeyWow64_64Key, &key);
    if (opened != platform::kErrorSuccess) {
        ReportUnreadableRegistry(opened);
        return 0;
    }
    const platform::UniqueRegKey owner(key);
    (void)ReadNumber(key, L"maxsize", &settings->maxSize);
    (void)ReadNumber(key, L"keepfiles", &settings->keepFiles);
    std::uint32_t enabled = 0;
    if (!ReadNumber(key, L"enabled", &enabled) || !ReadPath(key, &settings->path)) {
        settings->path.clear();
        return 0;
    }
    settings->enabled = enabled;
    (void)ReadNumber(key, L"append", &settings->append);
    (void)ReadNumber(key, L"loglevel", &settings->loglevel);
    return 1;
}

std::wstring DescribeLogSettingsChange(const LogSettings& from, const LogSettings& to) {
    std::wstring changes;
    const auto note = [&changes](const wchar_t* name, const std::wstring& was,
                                 const std::wstring& is) {
        if (was != is) {
            changes +=
                (changes.empty() ? L"" : L"; ") + std::wstring(name) + L' ' + was + L" -> " + is;
        }
    };
    using std::to_wstring;
    note(L"enabled", to_wstring(from.enabled), to_wstring(to.enabled));
    if (to.enabled != 0) {  // a log switched off has no path worth naming
        note(L"logpath", from.path, to.path);
    }
    note(L"loglevel", to_wstring(from.loglevel), to_wstring(to.loglevel));
    note(L"maxsize", to_wstring(from.maxSize), to_wstring(to.maxSize));
    note(L"keepfiles", to_wstring(from.keepFiles), to_wstring(to.keepFiles));
    return changes;
}

}  // namespace logfilesync
