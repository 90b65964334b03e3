// The trace log's message formatting: a wide format with the system's conventions ("%s" a
// wide string) into a buffer, under the fault guard, so that a bad argument costs the message
// and nothing else.
//
// Threads: any thread; the only state is per thread. Ownership: FormatGrowing's buffer is the
// caller's (delete[]). Failure: nothing throws; the outcome says what happened.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace logfilesync {

/// What one formatting attempt came to: the text fits; it does not (a larger buffer may
/// help); or it failed for good (empty, a fault while formatting, a malformed format).
enum class FormatOutcome { kDone, kTooLong, kFailed };

/// One attempt into buffer (capacity wide characters), under the fault guard, with
/// OnFormatInvalidParameter as the invalid-parameter handler. kDone with *chars set (the
/// wide characters produced, without terminator). Consumes nothing of args (uses a copy).
[[nodiscard]] FormatOutcome FormatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format,
                                       va_list args, int* chars);

/// Attempts from capacity first, doubling while the text does not fit, up to largest, each
/// into a new buffer (allocated without throwing). The wide characters produced with *buffer
/// set, or 0 (nothing allocated left over).
[[nodiscard]] int FormatGrowing(va_list args, wchar_t** buffer, const wchar_t* format,
                                std::size_t first, std::size_t largest);

/// The invalid-parameter handler that the formatting installs: prints
/// "Invalid parameter detected in function %s. File: %s Line: %d\n" and "Expression: %s\n"
/// on standard output (a null text prints as "(null)") and returns.
void OnFormatInvalidParameter(const wchar_t* expression, const wchar_t* function,
                              const wchar_t* file, unsigned int line, std::uintptr_t reserved);

}  // namespace logfilesync
