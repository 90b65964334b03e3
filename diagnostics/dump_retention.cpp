// Crash-dump retention: the kept count from the registry, and the pruning at start.
#include "diagnostics/dump_retention.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

constexpr wchar_t kPruneFn[] = L"Stoneleaf::PruneCrashDumps";

}  // namespace

std::uint32_t ReadDumpsKept() noexcept {
    platform::RegKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HkeyLocalMachine(), kDumpSettingsKey, 0,
                               platform::kKeyQueryValue | platform::kKeyWow64_64Key,
                               &key) != platform::kErrorSuccess) {
        return kDefaultDumpsKept;
    }
    platform::UniqueRegKey owner(key);
    std::uint8_t bytes[4] = {};
    std::uint32_t size = sizeof bytes;
    std::uint32_t type = 0;
    if (platform::RegQueryValueEx(key, L"keep", &type, bytes, &size) != platform::kErrorSuccess ||
        type != platform::kRegDword || size != sizeof bytes) {
        return kDefaultDumpsKept;
    }
    std::uint32_t kept = 0;
    std::memcpy(&kept, bytes, sizeof kept);
    return std::max<std::uint32_t>(kept, 1);
}

std::size_t PruneCrashDumps(const std::wstring& directory, const std::wstring& prefix,
                            std::uint32_t kept) noexcept try {
    namespace fs = std::filesystem;
    std::vector<std::pair<fs::file_time_type, fs::path>> dumps;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(directory), error), end; !error && it != end;
         it.increment(error)) {
        const std::wstring name = it->path().filename().wstring();
        std::error_code ignored;
        // symlink_status: a link is never followed, nor counted, nor removed.
        if (name.rfind(prefix, 0) != 0 || name.size() < prefix.size() + 4 ||
            name.compare(name.size() - 4, 4, L".dmp") != 0 ||
            !fs::is_regular_file(it->symlink_status(ignored))) {
            continue;
        }
        const fs::file_time_type written = it->last_write_time(ignored);
        dumps.emplace_back(ignored ? fs::file_time_type::min() : written, it->path());
    }
    const std::size_t keep = kept == 0 ? 0 : kept - 1;
    if (dumps.size() <= keep) {
        return 0;
    }
    std::sort(dumps.begin(), dumps.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second > b.second);
    });
    std::size_t removed = 0;
    for (std::size_t i = keep; i < dumps.size(); ++i) {
        const std::wstring path = dumps[i].second.wstring();
        std::error_code failed;
        if (fs::remove(dumps[i].second, failed)) {
            ++removed;
            g_defaultLog.Log(L'D', kPruneFn, __LINE__, L"Removed an old crash dump: %s",
                             path.c_str());
        } else {
            g_defaultLog.Log(L'W', kPruneFn, __LINE__, L"Cannot remove the old crash dump %s, %s",
                             path.c_str(), platform::Utf8ToWide(failed.message()).c_str());
        }
    }
    return removed;
} catch (...) {
    return 0;  // out of memory: the dumps stay until the next start
}

}  // namespace Stoneleaf
