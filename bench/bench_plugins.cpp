// Plug-in sets of the benchmarks: copies of tp_noop under a registry key of their own.
#include "bench/bench_plugins.h"

#include <cstdint>
#include <filesystem>

#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "text/text.h"

namespace bench {

std::wstring NoopPluginPath() {
    return platform::GetExecutableDirectory() + platform::kPathSeparator + L"tp_noop" +
           platform::kLibrarySuffix;
}

NoopPluginSet::NoopPluginSet(int count, const std::wstring& prefix) {
    static int serial = 0;
    const std::wstring tag = prefix + std::to_wstring(platform::GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++);
    const std::wstring dir = platform::GetExecutableDirectory() + platform::kPathSeparator +
                             L"bench-tmp" + platform::kPathSeparator + tag;
    (void)platform::CreateDirectoryTree(dir.c_str());
    platform::SetEnvironmentVariable(platform::kRegistryFileVariable,
                                     (dir + platform::kPathSeparator + L"registry.reg").c_str());
    m_root = L"Software\\Keltra\\Bench\\" + tag;
    m_key = m_root + L"\\SvcPlugins";
    platform::RegKey key = nullptr;
    (void)platform::RegCreateKeyEx(platform::HkeyLocalMachine(), m_key.c_str(),
                                   platform::kKeyAllAccess, &key);
    for (int i = 0; i < count; ++i) {
        wchar_t name[32];
        platform::StringCchPrintfW(name, 32, L"s%03d", i);
        const std::filesystem::path copy(dir + platform::kPathSeparator + L"noop" + (name + 1) +
                                         platform::kLibrarySuffix);
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(NoopPluginPath()), copy,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        m_paths.push_back(copy.wstring());
        const std::u16string units = platform::WideToUtf16(copy.wstring() + L'\0');
        (void)platform::RegSetValueEx(key, name, platform::kRegSz,
                                      reinterpret_cast<const std::uint8_t*>(units.data()),
                                      static_cast<std::uint32_t>(units.size() * 2));
    }
    platform::RegCloseKey(key);
}

NoopPluginSet::~NoopPluginSet() {
    (void)platform::RegDeleteTree(platform::HkeyLocalMachine(), m_root.c_str());
}

}  // namespace bench
