// Windows: the access control lists of the files govern who may change them; nothing to check.
#include "platform/path_trust.h"

namespace platform {

std::wstring UntrustedPathReason(const wchar_t* /*path*/) {
    return std::wstring();
}

bool OthersCanWriteDirectoryOf(const wchar_t* /*path*/) noexcept {
    return false;
}

std::wstring PlantedNameReason(const wchar_t* /*path*/, bool /*entryToo*/) {
    return std::wstring();
}

}  // namespace platform
