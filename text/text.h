// Wide text: bounded copy and print with the Windows SDK's rules, the C runtime's secure
// format call, console output and conversions between wchar_t, UTF-8 and UTF-16.
//
// Formats. In every format of the system "%s" takes a wide string and "%c" a wide character,
// on every platform (the Windows convention for wide formats); "%hs" and "%S" take a narrow
// string, "%hc" and "%C" a narrow character. "%d", "%i", "%u", "%x", "%X", "%o" take 32-bit
// integers; with "I64", "ll", "z", "j" or "t" 64-bit ones, with "h" 16-bit ones, with "l" a
// long. "%p" prints a pointer as 16 upper-case hexadecimal digits. "%e", "%f", "%g" (and their
// upper-case forms) take a double and follow the platform's C library. Flags "-+ #0", widths,
// precisions and "*" work as in C. Narrow text is read as UTF-8 on POSIX and in the C
// runtime's code page on Windows.
// Malformed, on both platforms alike: an unknown conversion (including "%F", "%a", "%Z"),
// "%n", "hh", a length modifier that does not fit its conversion, a width or precision above
// INT_MAX, or a format that ends inside a conversion.
//
// Threads: every call may be made from any thread at any time.
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
/// cch is nonzero) or dest is null. dest always ends with a terminator when cch is valid. A
/// null src copies an empty string.
std::int32_t StringCchCopyW(wchar_t* dest, std::size_t cch, const wchar_t* src) noexcept;

/// Formats into dest (capacity cch wide characters, terminator included), with the same
/// results and cutting rules as StringCchCopyW. A null or malformed format gives
/// kStrsafeEInvalidParameter and an empty dest; nothing is formatted and the
/// invalid-parameter handler is not called.
std::int32_t StringCchPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format, ...) noexcept;
std::int32_t StringCchVPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format,
                               va_list args) noexcept;

/// The C runtime's invalid-parameter handler: expression, function, file, line, reserved.
using InvalidParameterHandler = void (*)(const wchar_t* expression, const wchar_t* function,
                                         const wchar_t* file, unsigned int line,
                                         std::uintptr_t reserved);

/// Installs the process-wide invalid-parameter handler and returns the previous one. Windows:
/// the C runtime's (_set_invalid_parameter_handler), which it also calls on its own. POSIX:
/// the host's own, called only by VsnwprintfS. A null handler means none: VsnwprintfS then
/// just returns -1.
InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) noexcept;

/// The C runtime's _vsnwprintf_s, with its results on both platforms. The log calls it with
/// count = size - 1: at most count characters and a terminator go into buffer (size wide
/// characters). Returns the number of characters written, or -1 when the text was cut
/// (buffer holds the first count characters, terminated). A count of size or more allows
/// size - 1 characters; a cut is then an error (handler called, buffer empty, -1) unless count
/// is all bits set (_TRUNCATE), which cuts like count = size - 1.
/// Errors call the invalid-parameter handler and, when it returns, give -1: a null buffer or
/// a zero size (buffer untouched), a null or malformed format (buffer set empty; nothing is
/// formatted, so no argument is read).
int VsnwprintfS(wchar_t* buffer, std::size_t size, std::size_t count, const wchar_t* format,
                va_list args) noexcept;

/// Wide formatted print to standard output (the format rules above), after whatever the C
/// runtime's stdout buffer holds, and unbuffered. A console gets wide text, a pipe or file
/// UTF-8. A null or malformed format prints nothing and calls no handler (the
/// invalid-parameter handlers print with it).
void ConsolePrint(const wchar_t* format, ...) noexcept;

/// Conversions. wchar_t is UTF-16 on Windows and UTF-32 elsewhere. Invalid input (an unpaired
/// surrogate, a value beyond U+10FFFF, an ill-formed UTF-8 sequence: one U+FFFD for each
/// maximal ill-formed part) becomes U+FFFD; they never fail. Embedded NULs are kept.
[[nodiscard]] std::string WideToUtf8(std::wstring_view text);
[[nodiscard]] std::wstring Utf8ToWide(std::string_view text);
[[nodiscard]] std::u16string WideToUtf16(std::wstring_view text);
[[nodiscard]] std::wstring Utf16ToWide(std::u16string_view text);

/// Reads little-endian UTF-16 code units from bytes (an odd last byte is ignored) up to the
/// first NUL or the end, whichever comes first, and never past byteCount.
[[nodiscard]] std::wstring WideFromUtf16LeBytes(const void* bytes, std::size_t byteCount);

}  // namespace platform
