// Dynamic libraries: load by path, resolve an export by exact name, free.
#pragma once

#include "platform/types.h"
#include "platform/unique_owner.h"

namespace platform {

/// The file-name suffix of a library on this platform: ".dll" or ".so".
#if defined(_WIN32)
inline constexpr wchar_t kLibrarySuffix[] = L".dll";
#else
inline constexpr wchar_t kLibrarySuffix[] = L".so";
#endif

/// A loaded library; null means none.
using Module = void*;

/// Loads the library at path (a DLL on Windows, a shared object on POSIX) and runs its
/// initialisers, all symbols bound at once. Returns null on failure with the last error set:
/// 87 for a null or empty path; 126 (ERROR_MOD_NOT_FOUND) when the file, a directory on its
/// way or a library it depends on does not exist; 193 (ERROR_BAD_EXE_FORMAT) when it is not a
/// loadable library (a text file, an empty file; on POSIX also a directory, a FIFO or a
/// device, refused without opening them); 127 when a symbol it imports is missing; 206 when
/// the path or one of its names is too long. Windows: the loader's own codes (it reports a
/// directory as 5, access denied, and appends ".dll" to a name without an extension). A name
/// without a path separator is searched for by the system's rules. Loading the same library
/// twice gives the same module with a second reference. Thread-safe.
[[nodiscard]] Module LoadLibrary(const wchar_t* path) noexcept;

/// The address of the library's own export with exactly this (case-sensitive ASCII) name, or
/// null with the last error 127 (ERROR_PROC_NOT_FOUND). A symbol that only a dependency of the
/// library defines is not found (POSIX checks this, as GetProcAddress does). A null module
/// gives null with 6, a null name null with 87.
[[nodiscard]] void* GetProcAddress(Module module, const char* name) noexcept;

/// Drops one reference; the library is unloaded when none is left, and its exports must not
/// be called any more. False on failure (6 for a null module). Freeing a module more often
/// than it was loaded is undefined, as on Windows.
bool FreeLibrary(Module module) noexcept;

/// The owner of a module from LoadLibrary: frees one reference when it lets go.
using UniqueModule = UniqueOwner<NullMeansNone<Module, &FreeLibrary>>;

}  // namespace platform
