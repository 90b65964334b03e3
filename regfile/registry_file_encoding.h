// The bytes of a ".reg" file and its text: the encoding found by the byte-order mark, decoded
// into UTF-16 code units, and text encoded back the same way.
//
// System-independent (see regfile/registry_file.h). Threads: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/registry_file.h"
#include "regfile/registry_file_parser.h"

namespace platform::regfile {

/// Decodes a whole file into UTF-16 code units: UTF-16LE after an FF FE byte-order mark,
/// otherwise UTF-8 (with or without its mark), which must be well-formed. Refuses, with the
/// line and a reason in *error, a file over 1 GiB, UTF-16 big-endian, an odd UTF-16 byte
/// count, ill-formed UTF-8 and any NUL character. Never reads outside bytes[0, size).
[[nodiscard]] bool DecodeFile(const std::uint8_t* bytes, std::size_t size, Encoding* encoding,
                              std::u16string* text, ParseError* error);

/// The bytes of text in the given encoding, byte-order mark included where it has one.
[[nodiscard]] std::vector<std::uint8_t> EncodeFile(std::u16string_view text, Encoding encoding);

/// Appends code units as UTF-16LE bytes.
void AppendUtf16Le(std::u16string_view units, std::vector<std::uint8_t>* out);

}  // namespace platform::regfile
