// Files and directories: create/open, size, seek, write, existence, directory trees.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

/// The platform's directory separator: '\\' on Windows, '/' on POSIX.
#if defined(_WIN32)
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

enum : std::uint32_t {
    kGenericRead = 0x80000000,
    kGenericWrite = 0x40000000,
    kFileShareRead = 1,
    kFileShareWrite = 2,
    kCreateNew = 1,
    kCreateAlways = 2,
    kOpenExisting = 3,
    kOpenAlways = 4,
    kTruncateExisting = 5,
    kFileAttributeNormal = 0x80,
    kFileBegin = 0,
    kFileCurrent = 1,
    kFileEnd = 2,
    kInvalidFileSize = 0xFFFFFFFF,
    kInvalidSetFilePointer = 0xFFFFFFFF,
};

/// Opens or creates a file, like CreateFileW. disposition: kCreateAlways empties an existing
/// file, kOpenAlways keeps it; with either, the last error is 183 afterwards when the file
/// existed and 0 when it was created. openToEveryone: the new file grants every account full
/// access (a null DACL on Windows, mode 0666 regardless of umask on POSIX); the handle is
/// inheritable. Returns kInvalidHandleValue on failure with the last error set. Several
/// handles, in one process or several, may share a file; each keeps its own position.
[[nodiscard]] Handle CreateFile(const wchar_t* path, std::uint32_t access, std::uint32_t share,
                                bool openToEveryone, std::uint32_t disposition,
                                std::uint32_t attributes) noexcept;

/// The file's size: low 32 bits returned, high 32 bits in *high (may be null). On failure
/// kInvalidFileSize with the last error set (a size whose low half is 0xFFFFFFFF is told
/// apart only by the last error being 0).
[[nodiscard]] std::uint32_t GetFileSize(Handle file, std::uint32_t* high) noexcept;

/// Moves the file position (low 32 bits, and *high if given, as one signed 64-bit distance)
/// from kFileBegin, kFileCurrent or kFileEnd. Returns the new position's low half (and its
/// high half in *high), or kInvalidSetFilePointer with the last error set.
[[nodiscard]] std::uint32_t SetFilePointer(Handle file, std::int32_t distanceLow,
                                           std::int32_t* distanceHigh,
                                           std::uint32_t method) noexcept;

/// Writes bytes at the current position and advances it. True when all bytes were written;
/// *written (may be null) holds the count. False on failure with the last error set.
bool WriteFile(Handle file, const void* data, std::uint32_t bytes, std::uint32_t* written) noexcept;

/// Reads up to bytes at the current position. True on success (*read 0 at the end).
bool ReadFile(Handle file, void* data, std::uint32_t bytes, std::uint32_t* read) noexcept;

/// True when the path names an existing file or directory.
[[nodiscard]] bool PathFileExists(const wchar_t* path) noexcept;

/// Creates the directory and every missing level above it, like SHCreateDirectoryExW.
/// Returns 0 when it created it, 183 (or 80) when it already existed, else an error code.
[[nodiscard]] ErrorCode CreateDirectoryTree(const wchar_t* path) noexcept;

/// Deletes a file. False with the last error set on failure.
bool DeleteFile(const wchar_t* path) noexcept;

}  // namespace platform
