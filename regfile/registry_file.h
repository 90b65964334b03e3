// The in-memory registry of the ".reg" text format: keys in file order, values in order, and
// the rules for names and key paths that the format and the POSIX registry share.
//
// System-independent. The POSIX registry backend keeps its registry in such a file; the
// format is portable so that one .reg file can be checked, and tested, on every platform.
// Reading and writing the text: regfile/registry_file_parser.h and registry_file_writer.h.
// Core code uses platform/registry.h, not this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::regfile {

/// The first line of every file.
inline constexpr std::u16string_view kFileHeader = u"Windows Registry Editor Version 5.00";

/// Longest key name component and value name, in characters, as on Windows.
inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;

/// One value: name (empty for the key's default value), type and raw data. String types
/// hold UTF-16LE bytes exactly as stored, terminator included when there is one.
struct Value {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

/// One key: its path below HKEY_LOCAL_MACHINE ("Software\Keltra"; empty for the root itself)
/// as first written, and its values in order.
struct Key {
    std::wstring path;
    std::vector<Value> values;
};

/// How the file was (and will be) encoded.
enum class Encoding { kUtf8, kUtf8Bom, kUtf16Le };

/// A whole registry: keys in file order, looked up case-insensitively. Not thread-safe:
/// callers serialise access. Key paths passed in are canonical: components joined by single
/// backslashes, without a leading or trailing one (see SplitKeyPath).
class Document {
  public:
    [[nodiscard]] const std::vector<Key>& Keys() const noexcept { return m_keys; }

    /// The key at path, or null. The root ("") is found only once it holds a section.
    [[nodiscard]] Key* FindKey(std::wstring_view path) noexcept;
    [[nodiscard]] const Key* FindKey(std::wstring_view path) const noexcept;

    /// True for the root and for every key present.
    [[nodiscard]] bool KeyExists(std::wstring_view path) const noexcept;

    /// The key at path, created (with every missing parent, parents first, at the end of the
    /// key order) when absent. The returned reference is valid until the next change.
    Key& CreateKey(std::wstring_view path);

    /// Removes the key at path and every key below it. For the root, removes everything.
    /// False when the key does not exist.
    bool DeleteTree(std::wstring_view path);

    /// The line end and encoding used when the document is written back.
    Encoding encoding = Encoding::kUtf8;
    bool crlf = false;

  private:
    void Reindex();

    std::vector<Key> m_keys;
    std::unordered_map<std::wstring, std::size_t> m_index;  // folded path -> position
};

/// The value named name (case-insensitive), or null.
[[nodiscard]] Value* FindValue(Key& key, std::wstring_view name) noexcept;
[[nodiscard]] const Value* FindValue(const Key& key, std::wstring_view name) noexcept;

/// Sets a value: replaces type and data in place when the name exists (keeping its place and
/// the spelling it was first given), else appends it.
void SetValue(Key& key, std::wstring_view name, std::uint32_t type, std::vector<std::uint8_t> data);

/// Removes the named value. False when there is none.
bool DeleteValue(Key& key, std::wstring_view name);

/// Folds a key or value name for case-insensitive comparison (simple upper case of the Latin,
/// Greek and Cyrillic letters; every other character compares as itself).
[[nodiscard]] std::wstring FoldName(std::wstring_view name);

/// Splits a backslash-separated key path into its canonical form: single backslashes between
/// components, none at either end (doubled and trailing backslashes are dropped, as the
/// Windows registry does). Returns 0, 161 (ERROR_BAD_PATHNAME) for a leading backslash, or
/// 87 for a component longer than kMaxKeyNameChars.
[[nodiscard]] std::uint32_t CanonicalKeyPath(std::wstring_view path, std::wstring* canonical);

/// Joins a canonical parent path and a canonical relative path.
[[nodiscard]] std::wstring JoinKeyPath(std::wstring_view parent, std::wstring_view child);

/// True when a key or value name can be written to the file and read back unchanged: no NUL,
/// CR or LF, and no unpaired UTF-16 surrogate.
[[nodiscard]] bool IsWritableName(std::wstring_view name) noexcept;

/// True when text holds no unpaired UTF-16 surrogate (nor, in wide text, a value that is not
/// a Unicode scalar value), so that it converts between UTF-16 and wide text unchanged.
[[nodiscard]] bool IsWellFormed(std::wstring_view text) noexcept;
[[nodiscard]] bool IsWellFormed(std::u16string_view units) noexcept;

}  // namespace platform::regfile
