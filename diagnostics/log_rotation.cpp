// Rolling a log file over: shift the old files, copy the content aside, empty the file.
#include "diagnostics/log_rotation.h"

#include <algorithm>
#include <memory>
#include <new>

#include "platform/file.h"
#include "platform/handle.h"

namespace logfilesync {
namespace {

constexpr std::uint32_t kCopyChunk = 64 * 1024;

// Copies [0, size) of from to the current position of to.
bool CopyPrefix(platform::Handle from, platform::Handle to, std::uint64_t size) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyChunk]);
    if (buffer == nullptr || !platform::SeekTo(from, 0)) {
        return false;
    }
    for (std::uint64_t left = size; left > 0;) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kCopyChunk));
        std::uint32_t got = 0;
        if (!platform::ReadFile(from, buffer.get(), want, &got) || got == 0 ||
            !platform::WriteFile(to, buffer.get(), got, nullptr)) {
            return false;
        }
        left -= got;
    }
    return true;
}

}  // namespace

std::wstring KeptFileName(const wchar_t* path, std::uint32_t index) {
    return std::wstring(path) + L'.' + std::to_wstring(index);
}

bool RollOver(platform::Handle file, const wchar_t* path, std::uint64_t size, std::uint32_t keep) {
    try {
        keep = std::clamp<std::uint32_t>(keep, 1, kMaxKeptFiles);
        (void)platform::DeleteFile(KeptFileName(path, keep).c_str());
        for (std::uint32_t index = keep - 1; index >= 1; --index) {
            // A missing one (fewer roll-overs so far) leaves a gap that the next shift closes.
            (void)platform::MoveFile(KeptFileName(path, index).c_str(),
                                     KeptFileName(path, index + 1).c_str());
        }
        const std::wstring first = KeptFileName(path, 1);
        platform::UniqueHandle aside(platform::CreatePrivateFile(first.c_str()));
        if (!aside) {
            return false;
        }
        if (CopyPrefix(file, aside.Get(), size) && platform::TruncateTo(file, 0)) {
            return true;
        }
        // Back to where the file ended, without a copy that would hold its lines twice.
        aside.Reset();
        (void)platform::DeleteFile(first.c_str());
        (void)platform::SeekTo(file, size);
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace logfilesync
