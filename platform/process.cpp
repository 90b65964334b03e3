// The portable part of processes: the executable's directory from its path.
#include <string>

#include "platform/file.h"
#include "platform/process.h"

namespace platform {

std::wstring GetExecutableDirectory() {
    std::wstring path = GetExecutablePath();
    const std::size_t cut = path.find_last_of(kPathSeparator);
    if (cut == std::wstring::npos) {
        return {};
    }
    path.resize(cut == 0 ? 1 : cut);  // "/prog" lives in "/", not in ""
    return path;
}

}  // namespace platform
