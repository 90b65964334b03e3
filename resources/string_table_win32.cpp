// The string table on Windows: the resources windres compiled into the executable.
#include "platform/win32/windows_lean.h"
#include "resources/string_table.h"

namespace resources {

int LoadServiceString(unsigned int id, wchar_t* buffer, int capacity) noexcept {
    return ::LoadStringW(nullptr, id, buffer, capacity);
}

}  // namespace resources
