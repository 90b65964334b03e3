// The string table on POSIX: the same definitions windres compiles on Windows.
#include "resources/string_table.h"
#include "resources/strings.h"

#include <cwchar>

namespace resources {

int LoadServiceString(unsigned int id, wchar_t* buffer, int capacity) noexcept {
    const wchar_t* text = nullptr;
    switch (id) {
        case IDS_SERVICE_NAME:
            text = KELTRA_SERVICE_NAME;
            break;
        case IDS_DISPLAY_NAME:
            text = KELTRA_DISPLAY_NAME;
            break;
        case IDS_DESCRIPTION:
            text = KELTRA_DESCRIPTION;
            break;
        default:
            return 0;
    }
    if (buffer == nullptr || capacity <= 0) {
        return 0;
    }
    const std::size_t length = std::wcslen(text);
    const std::size_t copied = length < static_cast<std::size_t>(capacity) ? length : capacity - 1u;
    std::wmemcpy(buffer, text, copied);
    buffer[copied] = L'\0';
    return static_cast<int>(copied);
}

}  // namespace resources
