// Rolling a shared log file over: its content moved aside to "<path>.1", the older files
// shifted up to "<path>.<keep>" (the oldest beyond that deleted), and the file emptied in place,
// so that every process that has it open simply continues at its new end.
//
// Threads: called by a writer that holds the log's named mutex, which keeps every other writer,
// in this process and in others, out of the file meanwhile.
//
// Security: the old files are created owner-only and never through a link
// (platform::CreatePrivateFile); shifting renames names, never what a link points to.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace logfilesync {

/// The most old files a log keeps; 0 kept files counts as 1 (a roll-over never drops lines).
inline constexpr std::uint32_t kMaxKeptFiles = 99;

/// The name of the index-th old file of path: "<path>.<index>".
[[nodiscard]] std::wstring KeptFileName(const wchar_t* path, std::uint32_t index);

/// Copies the first size bytes of file (open for reading and writing at path) to a fresh
/// "<path>.1" after shifting the older files up, then empties file and leaves its position at
/// 0. True when the file was emptied. False, with the file unchanged (the log grows on rather
/// than lose lines), when the copy could not be made: a name that cannot be freed or created
/// (a link or a file planted there), a failed read or write. keep: old files to keep, taken
/// as 1..kMaxKeptFiles.
bool RollOver(platform::Handle file, const wchar_t* path, std::uint64_t size, std::uint32_t keep);

}  // namespace logfilesync
