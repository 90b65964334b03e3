// Plug-in sets of the benchmarks: copies of the do-nothing test plug-in (tp_noop) listed under a
// registry key of the benchmark's own.
#pragma once

#include <string>
#include <vector>

namespace bench {

/// Full path of tp_noop, built beside the benchmark program.
std::wstring NoopPluginPath();

/// count copies of tp_noop in a folder of the set's own, bench-tmp/<tag> beside the program
/// (tag: prefix, process id, serial), listed as s000, s001, ... under the key
/// "Software\\Keltra\\Bench\\<tag>\\SvcPlugins" of HKEY_LOCAL_MACHINE (POSIX: in a registry file
/// in that folder; the constructor names it in KELTRA_REGISTRY_FILE for the whole process, as
/// the set made last wants it). The key is deleted on destruction; the copies stay for the next
/// run to replace. Failures are not reported here: the benchmark sees them when the set does
/// not load. Not thread-safe.
class NoopPluginSet {
  public:
    NoopPluginSet(int count, const std::wstring& prefix);
    ~NoopPluginSet();
    NoopPluginSet(const NoopPluginSet&) = delete;
    NoopPluginSet& operator=(const NoopPluginSet&) = delete;

    /// The key's path below HKEY_LOCAL_MACHINE.
    [[nodiscard]] const wchar_t* Key() const { return m_key.c_str(); }
    /// The copies, in the order they are listed.
    [[nodiscard]] const std::vector<std::wstring>& Paths() const { return m_paths; }

  private:
    std::wstring m_root, m_key;
    std::vector<std::wstring> m_paths;
};

}  // namespace bench
