// Reading the registry export text format (".reg") into an in-memory registry.
//
// System-independent (see regfile/registry_file.h). Accepted format ("Windows Registry Editor
// Version 5.00"):
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
//
// Threads: the calls share no state; each may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "regfile/registry_file.h"

namespace platform::regfile {

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

}  // namespace platform::regfile
