// Writing an in-memory registry back as registry export text (".reg").
//
// System-independent (see regfile/registry_file.h). Threads: no shared state.
#pragma once

#include <cstdint>
#include <vector>

#include "regfile/registry_file.h"

namespace platform::regfile {

/// Writes a document in its encoding and line ends: header, then each key and its values in
/// order, strings that can be written as "text" written so, every other value as a hex list
/// wrapped like the Windows exporter's. Parse(Serialize(doc)) gives the same keys and values.
[[nodiscard]] std::vector<std::uint8_t> Serialize(const Document& doc);

}  // namespace platform::regfile
