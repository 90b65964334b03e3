// The registry export text format (".reg"): an in-memory registry, its parser and its writer.
//
// System-independent. The POSIX registry backend keeps its registry in such a file; the
// parser is portable so that one .reg file can be checked, and the format tested, on every
// platform. Core code uses platform/registry.h, not this header.
//
// Accepted format ("Windows Registry Editor Version 5.00"):
//   - encodings: UTF-8 with or without byte-order mark, UTF-16LE with byte-order mark;
//     CR LF, LF or CR line ends;
//   - line 1 is the header; then blank lines, "; comment" lines, sections and values;
//   - [HKEY_LOCAL_MACHINE\Key\Sub] starts a key (missing parent keys are created, a repeated
//     section adds to the same key); [-HKEY_LOCAL_MACHINE\Key] deletes a key and its subkeys;
//   - "name"=... or @=... (the default value) inside a section, where ... is
//     "text" (REG_SZ, stored with its terminating NUL; escapes \\ and \" only),
//     dword:0000002a (REG_DWORD, 1 to 8 hex digits),
//     hex:01,02 (REG_BINARY) or hex(N):01,02 (type N in hex: 2 REG_EXPAND_SZ, 7 REG_MULTI_SZ,
//     b REG_QWORD, 1 a REG_SZ stored exactly as listed, ...), a list that may go on over
//     following lines after a "," and a final backslash,
//     or - (deletes the value);
//   - key names are compared case-insensitively, as are value names; a value set twice keeps
//     its first place and takes the later data.
// Anything else is refused with the line number and a reason: the parser never guesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::regfile {

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

/// Why a file was refused: the 1-based line and a reason.
struct ParseError {
    std::size_t line = 0;
    std::wstring message;
};

/// Parses a whole file. An empty file (or one holding only a byte-order mark and white space)
/// is an empty registry. Returns true and fills *doc, or false and fills *error; *doc is then
/// unspecified. Never reads outside bytes[0, size).
[[nodiscard]] bool Parse(const std::uint8_t* bytes, std::size_t size, Document* doc,
                         ParseError* error);

/// "file:line: reason", the form in which refusals are reported.
[[nodiscard]] std::wstring DescribeError(std::wstring_view fileName, const ParseError& error);

/// Writes a document in its encoding: header, then each key and its values in order, strings
/// that can be written as "text" written so, every other value as a hex list wrapped like the
/// Windows exporter's. Parse(Serialize(doc)) gives the same keys and values.
[[nodiscard]] std::vector<std::uint8_t> Serialize(const Document& doc);

}  // namespace platform::regfile
