// The POSIX registry's file store: one ".reg" file as last read, read again on demand, and
// replaced whole and in one step by writers that exclude each other across processes.
//
// Reads take RegistryFile::mutex only. A writer takes, in this order, a RegistryWriteLock (one
// writer per process, then an flock() on the file's directory against other processes) and
// then RegistryFile::mutex; it re-reads the file, changes a copy and commits it, so no update
// of another writer is lost and no reader, in any process, sees half a file.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/types.h"
#include "regfile/registry_file.h"

namespace platform::posix {

/// One registry file as last read. Every key handle on the file shares it.
struct RegistryFile {
    std::string path;
    std::wstring displayPath;  ///< for messages
    std::mutex mutex;          ///< guards everything below
    bool loaded = false;       ///< doc and bytes hold a read (or a commit)
    bool exists = false;       ///< the file existed at the last read
    std::vector<std::uint8_t> bytes;
    regfile::Document doc;
};

/// The file KELTRA_REGISTRY_FILE names when set and not empty, else /etc/keltra/registry.reg.
[[nodiscard]] std::string CurrentRegistryFilePath();

/// The one RegistryFile of this process for a path, made on first use; kept while a handle
/// (or the caller) holds it. Any thread.
[[nodiscard]] std::shared_ptr<RegistryFile> RegistryFileFor(const std::string& path);

/// Reads the file again (file.mutex held). A missing file is an empty registry (exists false).
/// Returns 0; 13 for a malformed file, which leaves the registry as it was and puts
/// "file:line: reason" in *reason; 5 with "file: refused, why" in *reason when the process
/// runs as root and another user could change or replace the file (platform/path_trust.h), or
/// when it is a symbolic link in a directory others can write (never followed there); or the
/// error of reading (5 for a directory).
[[nodiscard]] ErrorCode RefreshRegistryFile(RegistryFile& file, std::wstring* reason);

/// Held by a writer for the whole of its change: one writer at a time in this process, and an
/// flock() on the file's directory (best effort) against writers in other processes.
class RegistryWriteLock {
  public:
    explicit RegistryWriteLock(const RegistryFile& file);
    ~RegistryWriteLock();
    RegistryWriteLock(const RegistryWriteLock&) = delete;
    RegistryWriteLock& operator=(const RegistryWriteLock&) = delete;

  private:
    std::unique_lock<std::mutex> m_process;
    int m_directory = -1;
};

/// Writes doc in place of the file at once (a temporary file beside it, flushed and renamed
/// over it; the target of a symbolic link rather than the link; the old file's mode and owner
/// kept), with a RegistryWriteLock and file.mutex held. On success the file state takes doc.
/// Returns 0, 3 when the directory is missing, or the error of writing.
[[nodiscard]] ErrorCode CommitRegistryFile(RegistryFile& file, regfile::Document doc);

}  // namespace platform::posix
