// Loading the executable's own strings (service name, display name, description) by id.
#pragma once

#include <cstddef>

namespace resources {

/// Copies string id of the executable's string table into buffer (capacity in wide
/// characters, terminator included; longer text is cut) and returns its length; 0 and an
/// unchanged buffer when there is no such string. Any thread.
int LoadServiceString(unsigned int id, wchar_t* buffer, int capacity) noexcept;

}  // namespace resources
