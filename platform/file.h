// Files and directories: create/open, size, seek, read, write, existence, directory trees.
//
// Windows: the Win32 calls of the same names. POSIX: open/fstat/lseek/read/write behind a
// handle of the kernel-object emulation, with errno mapped to Windows error codes. Text
// arguments are wide paths on both (UTF-8 on the POSIX file system).
//
// Threads: a file handle may be used from several threads, but its position is shared; a
// caller that seeks and then writes must hold its own lock across both (the log does).
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
/// existed and 0 when it was created. kCreateNew fails with 80 when it exists; kOpenExisting
/// and kTruncateExisting fail with 2 when it does not. openToEveryone: on Windows a file this
/// call creates grants every account full access (a null DACL) and the handle is inheritable;
/// without it no child process receives the handle. On POSIX openToEveryone is ignored: a new
/// file gets mode 0644 less the umask, never more, so other users may read it but never change
/// it, and the handle is always closed on exec. POSIX: when the directory of the last name may
/// be written by a user other than root and this process's own (platform/path_trust.h), a
/// symbolic link at that name is not followed but refused with 5, since someone else may have
/// planted it there. Returns kInvalidHandleValue on failure with the last error set (3 when a
/// directory of the path is missing). Several handles, in one process or several, may share a
/// file; each keeps its own position. POSIX has no share modes: share is accepted and every
/// file is shared for reading and writing. Close with CloseHandle.
[[nodiscard]] Handle CreateFile(const wchar_t* path, std::uint32_t access, std::uint32_t share,
                                bool openToEveryone, std::uint32_t disposition,
                                std::uint32_t attributes) noexcept;

/// The file's size: low 32 bits returned, high 32 bits in *high (may be null). On failure
/// kInvalidFileSize with the last error set. On success the last error is 0, which is the
/// only way to tell a size whose low half is 0xFFFFFFFF from a failure.
[[nodiscard]] std::uint32_t GetFileSize(Handle file, std::uint32_t* high) noexcept;

/// Moves the file position from kFileBegin, kFileCurrent or kFileEnd. The distance is
/// distanceLow sign-extended when distanceHigh is null, else the 64-bit value
/// (*distanceHigh << 32) | distanceLow. Returns the new position's low half (and its high
/// half in *distanceHigh), or kInvalidSetFilePointer with the last error set (131 for a
/// position before the start). On success the last error is 0, as with GetFileSize.
[[nodiscard]] std::uint32_t SetFilePointer(Handle file, std::int32_t distanceLow,
                                           std::int32_t* distanceHigh,
                                           std::uint32_t method) noexcept;

/// Moves the file position to offset bytes from the start; the one way to seek to an absolute
/// 64-bit offset. True on success; false with the last error set (87 for an offset above
/// INT64_MAX). A position past the end is allowed: a write there extends the file.
bool SeekTo(Handle file, std::uint64_t offset) noexcept;

/// Cuts the file to size bytes (a larger size extends it with zeros) and leaves the position
/// there. True on success; false with the last error set (87 for a size above INT64_MAX).
bool TruncateTo(Handle file, std::uint64_t size) noexcept;

/// Writes bytes at the current position and advances it. True when all bytes were written;
/// *written (may be null) holds the count. False on failure with the last error set (112
/// when the disk is full); a failure may leave part of the data written.
bool WriteFile(Handle file, const void* data, std::uint32_t bytes, std::uint32_t* written) noexcept;

/// Reads up to bytes at the current position. True on success (*read 0 at the end).
bool ReadFile(Handle file, void* data, std::uint32_t bytes, std::uint32_t* read) noexcept;

/// True when the path names an existing file or directory.
[[nodiscard]] bool PathFileExists(const wchar_t* path) noexcept;

/// True when path is absolute in this platform's own form, so that it names the same file
/// whatever the current directory: POSIX "/..."; Windows a drive letter, a colon and a
/// separator ("C:\\x", "C:/x") or a UNC or device path ("\\\\server\\share", "\\\\?\\C:\\x").
/// The other platform's forms are not absolute here. A null path is not.
[[nodiscard]] bool IsAbsolutePath(const wchar_t* path) noexcept;

/// Creates the directory and every missing level above it, like SHCreateDirectoryExW.
/// Returns 0 when it created it; 183 when the path already exists (Windows may report 80);
/// 161 (ERROR_BAD_PATHNAME) for a relative or empty path; else the error of the failed
/// creation (3 when a file stands where a directory level should be, 5 for access denied).
/// Safe against another process creating the same levels at the same time. POSIX: levels
/// are made with mode 0755 less the umask; with ownerOnly the last level it makes gets 0700
/// (for files that hold process memory). An existing directory is left as it is. Windows:
/// ownerOnly is ignored (a new directory takes its parent's access control list).
[[nodiscard]] ErrorCode CreateDirectoryTree(const wchar_t* path, bool ownerOnly = false) noexcept;

/// Creates a new file for writing that only the calling account may open: POSIX mode 0600
/// whatever the umask; Windows a protected access list: the caller's account, and the
/// Administrators group reading only (the operators of a LocalSystem service). Fails
/// with 80 when anything stands at the name, a symbolic link included (never followed), and
/// otherwise with the error of the creation. Close with CloseHandle.
[[nodiscard]] Handle CreatePrivateFile(const wchar_t* path) noexcept;

/// Renames a file, replacing a file at the new name, within one file system. A symbolic link
/// at either name is the link itself, never followed. False with the last error set (2 when
/// from does not exist).
bool MoveFile(const wchar_t* from, const wchar_t* to) noexcept;

/// Deletes a file. False with the last error set on failure (2 when it does not exist).
bool DeleteFile(const wchar_t* path) noexcept;

}  // namespace platform
