// keltra-plugins: lists the registry's plug-in values, each value's fate, and the plug-ins
// the host would load, using the same discovery routine as the host.
//
// Usage: keltra-plugins [--key <path under HKEY_LOCAL_MACHINE>] [--filter <characters>]
// Exit code: 0 when the key could be read, else the registry's error code (2: no such key, or
// on POSIX no registry file; 13: a malformed registry file), 87 for bad usage.
#include <cstdint>
#include <string>
#include <vector>

#include "executive/plugin_discovery.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "text/text.h"

namespace {

constexpr wchar_t kDefaultKey[] = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
constexpr wchar_t kDefaultFilter[] = L"svcbu";

const wchar_t* TypeName(std::uint32_t type) {
    switch (type) {
        case platform::kRegNone:
            return L"REG_NONE";
        case platform::kRegSz:
            return L"REG_SZ";
        case platform::kRegExpandSz:
            return L"REG_EXPAND_SZ";
        case platform::kRegBinary:
            return L"REG_BINARY";
        case platform::kRegDword:
            return L"REG_DWORD";
        case platform::kRegMultiSz:
            return L"REG_MULTI_SZ";
        case platform::kRegQword:
            return L"REG_QWORD";
        default:
            return L"other type";
    }
}

class Printer : public executive::DiscoveryObserver {
  public:
    void OnOpenFailed(platform::ErrorCode error, const std::wstring& reason) override {
        // On POSIX a malformed or missing registry file says so, with its name (and line).
        if (!reason.empty()) {
            platform::ConsolePrint(L"The key cannot be opened: error %u: %s\n", error,
                                   reason.c_str());
            return;
        }
        platform::ConsolePrint(L"The key cannot be opened: error %u%s\n", error,
                               error == platform::kErrorFileNotFound ? L" (no such key)" : L"");
    }
    void OnCounted(const executive::PluginValue& value, bool exists) override {
        if (!exists) {
            return;  // reported with its fate
        }
        platform::ConsolePrint(L"  [%u] \"%s\" %s \"%s\": file exists\n", value.index,
                               value.name.c_str(), TypeName(value.type), value.path.c_str());
    }
    void OnFate(const executive::PluginValue& value, executive::ValueFate fate) override {
        const std::wstring shown = value.name.empty() ? L"(default)" : L"\"" + value.name + L"\"";
        if (fate == executive::ValueFate::Untrusted) {
            platform::ConsolePrint(L"  [%u] %s %s \"%s\": %s: %s\n", value.index, shown.c_str(),
                                   TypeName(value.type), value.path.c_str(),
                                   executive::FateText(fate), value.untrusted.c_str());
        } else if (value.type == platform::kRegSz) {
            platform::ConsolePrint(L"  [%u] %s %s \"%s\": %s\n", value.index, shown.c_str(),
                                   TypeName(value.type), value.path.c_str(),
                                   executive::FateText(fate));
        } else {
            platform::ConsolePrint(L"  [%u] %s %s: %s\n", value.index, shown.c_str(),
                                   TypeName(value.type), executive::FateText(fate));
        }
    }
    void OnEnumerationEnd(std::uint32_t index, platform::ErrorCode code) override {
        if (code == platform::kErrorNoMoreItems) {
            platform::ConsolePrint(L"  %u value(s) read.\n", index);
        } else if (code == platform::kErrorMoreData) {
            platform::ConsolePrint(
                L"  Value %u has a name of 260 characters or more, or data over 520 bytes: the "
                L"host stops reading there and ignores it and every value after it.\n",
                index);
        } else {
            platform::ConsolePrint(L"  Reading stopped at value %u with error %u.\n", index, code);
        }
    }
};

int Usage() {
    platform::ConsolePrint(
        L"usage: keltra-plugins [--key <path under HKEY_LOCAL_MACHINE>] [--filter <chars>]\n");
    return platform::kErrorInvalidParameter;
}

}  // namespace

int main(int argc, char** argv) {
    std::wstring key = kDefaultKey;
    std::wstring filter = kDefaultFilter;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--key" || arg == "--filter") && i + 1 < argc) {
            (arg == "--key" ? key : filter) = platform::Utf8ToWide(argv[++i]);
        } else {
            return Usage();
        }
    }
    platform::ConsolePrint(L"HKEY_LOCAL_MACHINE\\%s, value names starting with one of \"%s\":\n",
                           key.c_str(), filter.c_str());
    Printer printer;
    std::vector<std::wstring> paths;
    const platform::ErrorCode result =
        executive::ReadPluginList(paths, key.c_str(), filter.c_str(), printer);
    if (result != platform::kErrorSuccess) {
        return static_cast<int>(result);
    }
    platform::ConsolePrint(L"The host would load %u plug-in(s), in this order:\n",
                           static_cast<unsigned>(paths.size()));
    for (std::size_t i = 0; i < paths.size(); ++i) {
        platform::ConsolePrint(L"  %u. %s\n", static_cast<unsigned>(i + 1), paths[i].c_str());
    }
    if (paths.size() > 64) {
        platform::ConsolePrint(
            L"Warning: more than 64 plug-ins. The host can wait for at most 64 at once, so every "
            L"broadcast will fail without waiting.\n");
    }
    return 0;
}
