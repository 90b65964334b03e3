// Reading the plug-in list from the registry, with each value's fate reported to an observer.
#include "executive/plugin_discovery.h"

#include <cstring>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path_trust.h"
#include "platform/registry.h"
#include "text/text.h"

namespace executive {
namespace {

wchar_t FoldAsciiUpper(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// True when the data buffer holds a NUL code unit, i.e. the path ends inside the buffer.
bool HasTerminator(const std::uint8_t* data, std::uint32_t bytes) noexcept {
    for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
        if (data[i] == 0 && data[i + 1] == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool ValueNameCounts(const std::wstring& name, const wchar_t* filter) noexcept {
    if (name.empty() || filter == nullptr) {
        return false;
    }
    const wchar_t first = FoldAsciiUpper(name[0]);
    for (const wchar_t* f = filter; *f != L'\0'; ++f) {
        if (*f == first) {
            return true;
        }
    }
    return false;
}

const wchar_t* FateText(ValueFate fate) noexcept {
    switch (fate) {
        case ValueFate::Taken:
            return L"taken";
        case ValueFate::NotString:
            return L"skipped: type is not REG_SZ";
        case ValueFate::NameFiltered:
            return L"skipped: name does not start with a filter character";
        case ValueFate::DataUnterminated:
            return L"skipped: path too long (no terminator within 520 bytes)";
        case ValueFate::FileMissing:
            return L"skipped: file missing";
        case ValueFate::Untrusted:
            return L"refused: another user could change or replace it, and the host runs as root";
        case ValueFate::Duplicate:
            return L"skipped: duplicate of an earlier value";
    }
    return L"?";
}

platform::ErrorCode ReadPluginList(std::vector<std::wstring>& paths, const wchar_t* keyPath,
                                   const wchar_t* filter, DiscoveryObserver& observer) {
    if (keyPath == nullptr || filter == nullptr) {
        return platform::kErrorInvalidParameter;
    }
    paths.clear();
    std::vector<PluginValue> candidates;

    platform::RegKey key = nullptr;
    const platform::ErrorCode open =
        platform::RegOpenKeyEx(platform::HkeyLocalMachine(), keyPath, 0, platform::kKeyRead, &key);
    if (open != platform::kErrorSuccess) {
        observer.OnOpenFailed(open, platform::RegistryFileError());
        return open;
    }

    wchar_t name[kValueNameChars];
    std::uint8_t data[kValueDataBytes];
    std::uint32_t index = 0;
    for (;; ++index) {
        std::memset(name, 0, sizeof name);
        std::memset(data, 0, sizeof data);
        std::uint32_t nameChars = kValueNameChars;
        std::uint32_t dataBytes = kValueDataBytes;
        std::uint32_t type = 0;
        const platform::ErrorCode code =
            platform::RegEnumValue(key, index, name, &nameChars, &type, data, &dataBytes);
        if (code != platform::kErrorSuccess) {
            observer.OnEnumerationEnd(index, code);
            break;
        }
        PluginValue value;
        value.index = index;
        // The buffer was zeroed and holds at most 259 characters plus the terminator.
        name[kValueNameChars - 1] = L'\0';
        value.name = name;
        value.type = type;
        value.dataBytes = dataBytes;
        if (type != platform::kRegSz) {
            observer.OnFate(value, ValueFate::NotString);
            continue;
        }
        // Reads up to the first NUL and never past the buffer.
        value.path = platform::WideFromUtf16LeBytes(data, kValueDataBytes);
        if (!ValueNameCounts(value.name, filter)) {
            observer.OnFate(value, ValueFate::NameFiltered);
            continue;
        }
        if (!HasTerminator(data, kValueDataBytes)) {
            observer.OnFate(value, ValueFate::DataUnterminated);
            continue;
        }
        const bool exists = platform::PathFileExists(value.path.c_str());
        observer.OnCounted(value, exists);
        if (!exists) {
            observer.OnFate(value, ValueFate::FileMissing);
            continue;
        }
        value.untrusted = platform::UntrustedPathReason(value.path.c_str());
        if (!value.untrusted.empty()) {
            observer.OnFate(value, ValueFate::Untrusted);
        } else {
            candidates.push_back(std::move(value));
        }
    }
    (void)platform::RegCloseKey(key);

    for (const PluginValue& candidate : candidates) {
        bool duplicate = false;
        for (const std::wstring& taken : paths) {
            if (taken == candidate.path) {
                duplicate = true;
                break;
            }
        }
        if (duplicate) {
            observer.OnFate(candidate, ValueFate::Duplicate);
        } else {
            paths.push_back(candidate.path);
            observer.OnFate(candidate, ValueFate::Taken);
        }
    }
    return platform::kErrorSuccess;
}

}  // namespace executive
