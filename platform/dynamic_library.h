// Dynamic libraries: load by path, resolve an export by exact name, free.
#pragma once

#include "platform/types.h"

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
/// initialisers. Returns null on failure with the last error set: 126 (ERROR_MOD_NOT_FOUND)
/// when the file does not exist, 193 (ERROR_BAD_EXE_FORMAT) when it is not a loadable library,
/// 206 when the path is too long, 87 for a null or empty path. Loading the same path twice
/// gives the same module with a second reference.
[[nodiscard]] Module LoadLibrary(const wchar_t* path) noexcept;

/// The address of the export with exactly this (case-sensitive ASCII) name, or null with the
/// last error 127 (ERROR_PROC_NOT_FOUND).
[[nodiscard]] void* GetProcAddress(Module module, const char* name) noexcept;

/// Drops one reference; the library is unloaded when none is left. False on failure.
bool FreeLibrary(Module module) noexcept;

}  // namespace platform
