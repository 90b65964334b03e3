// Wide text: bounded copy and print with the Windows SDK's rules, the C runtime's secure
// format call, console output and conversions between wchar_t, UTF-8 and UTF-16.
//
// In every format of the system "%s" takes a wide string and "%c" a wide character, on every
// platform (the Windows convention for wide formats); "%hs" takes a narrow string. "%d",
// "%u", "%x", "%X" take 32-bit integers; "%I64d", "%lld", "%zu" take 64-bit ones; "%p" a pointer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

/// HRESULT-style results of the bounded string calls.
enum : std::int32_t {
    kSOk = 0,
    kStrsafeEInsufficientBuffer = static_cast<std::int32_t>(0x8007007A),
    kStrsafeEInvalidParameter = static_cast<std::int32_t>(0x80070057),
};

/// The largest capacity the bounded calls accept (STRSAFE_MAX_CCH).
inline constexpr std::size_t kStrsafeMaxCch = 2147483647;

/// Copies src into dest (capacity cch wide characters, terminator included). Returns kSOk;
/// kStrsafeEInsufficientBuffer when src is cut to cch - 1 characters; or
/// kStrsafeEInvalidParameter when cch is 0 or above kStrsafeMaxCch (dest is set empty when
/// cch is nonzero). dest always ends with a terminator when cch is valid. A null src copies
/// an empty string.
std::int32_t StringCchCopyW(wchar_t* dest, std::size_t cch, const wchar_t* src) noexcept;

/// Formats into dest (capacity cch wide characters, terminator included), with the same
/// results and cutting rules as StringCchCopyW. A malformed format gives
/// kStrsafeEInvalidParameter and an empty dest.
std::int32_t StringCchPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format, ...) noexcept;
std::int32_t StringCchVPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format,
                               va_list args) noexcept;

/// The C runtime's invalid-parameter handler: expression, function, file, line, reserved.
using InvalidParameterHandler = void (*)(const wchar_t* expression, const wchar_t* function,
                                         const wchar_t* file, unsigned int line,
                                         std::uintptr_t reserved);

/// Installs the process-wide invalid-parameter handler and returns the previous one
/// (_set_invalid_parameter_handler). On POSIX the handler is the host's own, called by
/// VsnwprintfS for a malformed format.
InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) noexcept;

/// _vsnwprintf_s with _TRUNCATE-like count = size - 1 semantics as the log uses it: writes at
/// most count characters and a terminator into buffer (size wide characters). Returns the
/// number of characters written, or -1 when the text was cut (buffer holds the cut text) or
/// the format is malformed (the invalid-parameter handler is called first, and when it
/// returns the buffer is set empty). A malformed format is an unknown conversion, "%n", or a
/// format ending inside a conversion.
int VsnwprintfS(wchar_t* buffer, std::size_t size, std::size_t count, const wchar_t* format,
                va_list args) noexcept;

/// Wide formatted print to standard output (the format rules above), flushed at once.
void ConsolePrint(const wchar_t* format, ...) noexcept;

/// Conversions. Invalid input units are replaced by U+FFFD; they never fail.
[[nodiscard]] std::string WideToUtf8(std::wstring_view text);
[[nodiscard]] std::wstring Utf8ToWide(std::string_view text);
[[nodiscard]] std::u16string WideToUtf16(std::wstring_view text);
[[nodiscard]] std::wstring Utf16ToWide(std::u16string_view text);

/// Reads little-endian UTF-16 code units from bytes (an odd last byte is ignored) up to the
/// first NUL or the end, whichever comes first, and never past byteCount.
[[nodiscard]] std::wstring WideFromUtf16LeBytes(const void* bytes, std::size_t byteCount);

}  // namespace platform
