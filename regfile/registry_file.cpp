// The in-memory registry: keys and values looked up case-insensitively, key paths, names.
#include "regfile/registry_file.h"

#include <algorithm>

#include "text/text_codec.h"

namespace platform::regfile {
namespace {

wchar_t FoldChar(wchar_t c) noexcept {
    const auto u = static_cast<std::uint32_t>(c);
    if (u < 0x80) {
        return (u >= 'a' && u <= 'z') ? static_cast<wchar_t>(u - 0x20) : c;
    }
    std::uint32_t r = u;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F)) {
        r = u - 0x20;
    } else if (u == 0xFF) {
        r = 0x178;
    } else if (u == 0x3C2) {
        r = 0x3A3;
    } else if (u >= 0x450 && u <= 0x45F) {
        r = u - 0x50;
    } else if (((u >= 0x101 && u <= 0x12F) || (u >= 0x133 && u <= 0x137) ||
                (u >= 0x14B && u <= 0x177)) &&
               (u & 1) != 0) {
        r = u - 1;
    } else if (((u >= 0x13A && u <= 0x148) || (u >= 0x17A && u <= 0x17E)) && (u & 1) == 0) {
        r = u - 1;
    }
    return static_cast<wchar_t>(r);
}

}  // namespace

bool IsWellFormed(std::wstring_view text) noexcept {
    return utf::Convert(text.data(), text.size(), static_cast<char16_t*>(nullptr), 0)
               .firstInvalid == utf::kAllValid;
}

bool IsWellFormed(std::u16string_view units) noexcept {
    return utf::Convert(units.data(), units.size(), static_cast<wchar_t*>(nullptr), 0)
               .firstInvalid == utf::kAllValid;
}

std::wstring FoldName(std::wstring_view name) {
    std::wstring out(name);
    for (wchar_t& c : out) {
        c = FoldChar(c);
    }
    return out;
}

Key* Document::FindKey(std::wstring_view path) noexcept {
    const auto it = m_index.find(FoldName(path));
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

const Key* Document::FindKey(std::wstring_view path) const noexcept {
    const auto it = m_index.find(FoldName(path));
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

bool Document::KeyExists(std::wstring_view path) const noexcept {
    return path.empty() || FindKey(path) != nullptr;
}

Key& Document::CreateKey(std::wstring_view path) {
    if (Key* existing = FindKey(path)) {
        return *existing;
    }
    for (std::size_t pos = path.find(L'\\'); pos != std::wstring_view::npos;
         pos = path.find(L'\\', pos + 1)) {
        const std::wstring_view parent = path.substr(0, pos);
        if (FindKey(parent) == nullptr) {
            m_index.emplace(FoldName(parent), m_keys.size());
            m_keys.push_back(Key{std::wstring(parent), {}});
        }
    }
    m_index.emplace(FoldName(path), m_keys.size());
    m_keys.push_back(Key{std::wstring(path), {}});
    return m_keys.back();
}

bool Document::DeleteTree(std::wstring_view path) {
    if (path.empty()) {
        m_keys.clear();
        m_index.clear();
        return true;
    }
    if (FindKey(path) == nullptr) {
        return false;
    }
    const std::wstring folded = FoldName(path);
    std::erase_if(m_keys, [&folded](const Key& key) {
        const std::wstring k = FoldName(key.path);
        return k.size() >= folded.size() && k.compare(0, folded.size(), folded) == 0 &&
               (k.size() == folded.size() || k[folded.size()] == L'\\');
    });
    Reindex();
    return true;
}

void Document::Reindex() {
    m_index.clear();
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
        m_index.emplace(FoldName(m_keys[i].path), i);
    }
}

Value* FindValue(Key& key, std::wstring_view name) noexcept {
    const std::wstring folded = FoldName(name);
    for (Value& v : key.values) {
        if (v.name.size() == folded.size() && FoldName(v.name) == folded) {
            return &v;
        }
    }
    return nullptr;
}

const Value* FindValue(const Key& key, std::wstring_view name) noexcept {
    return FindValue(const_cast<Key&>(key), name);
}

void SetValue(Key& key, std::wstring_view name, std::uint32_t type,
              std::vector<std::uint8_t> data) {
    if (Value* v = FindValue(key, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    key.values.push_back(Value{std::wstring(name), type, std::move(data)});
}

bool DeleteValue(Key& key, std::wstring_view name) {
    Value* v = FindValue(key, name);
    if (v == nullptr) {
        return false;
    }
    key.values.erase(key.values.begin() + (v - key.values.data()));
    return true;
}

std::uint32_t CanonicalKeyPath(std::wstring_view path, std::wstring* canonical) {
    canonical->clear();
    if (!path.empty() && path.front() == L'\\') {
        return 161;  // ERROR_BAD_PATHNAME, as the Windows registry answers
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t next = path.find(L'\\', start);
        if (next == std::wstring_view::npos) {
            next = path.size();
        }
        const std::wstring_view part = path.substr(start, next - start);
        if (part.size() > kMaxKeyNameChars) {
            canonical->clear();
            return 87;
        }
        if (!part.empty()) {
            if (!canonical->empty()) {
                canonical->push_back(L'\\');
            }
            canonical->append(part);
        }
        start = next + 1;
    }
    return 0;
}

std::wstring JoinKeyPath(std::wstring_view parent, std::wstring_view child) {
    if (parent.empty()) {
        return std::wstring(child);
    }
    if (child.empty()) {
        return std::wstring(parent);
    }
    std::wstring out(parent);
    out.push_back(L'\\');
    out.append(child);
    return out;
}

bool IsWritableName(std::wstring_view name) noexcept {
    for (wchar_t c : name) {
        if (c == L'\0' || c == L'\r' || c == L'\n') {
            return false;
        }
    }
    return IsWellFormed(name);
}

}  // namespace platform::regfile
