// Internal to the text backends: the parser of the system's wide formats.
//
// Both backends validate a format with the same parser, so that one format is malformed on
// every platform or on none. The Windows backend then hands the format to the C runtime (after
// rewriting the length modifiers that the system's C runtime may not know); the POSIX backend
// formats it itself.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace platform::text_detail {

/// The length modifier of one conversion.
enum class ArgSize : std::uint8_t {
    kDefault,
    kShort,       // h
    kLong,        // l
    kLongLong,    // ll
    kInt32,       // I32
    kInt64,       // I64
    kPointer,     // I
    kSizeT,       // z
    kIntMax,      // j
    kPtrDiff,     // t
    kLongDouble,  // L
    kWide,        // w
};

/// One conversion of a format, as parsed. Pointers point into the format.
struct Conversion {
    const wchar_t* begin = nullptr;      // the '%'
    const wchar_t* end = nullptr;        // one past the conversion character
    const wchar_t* sizeBegin = nullptr;  // the length modifier, empty if none
    const wchar_t* sizeEnd = nullptr;
    bool leftAlign = false;  // '-'
    bool plusSign = false;   // '+'
    bool spaceSign = false;  // ' '
    bool alternate = false;  // '#'
    bool zeroPad = false;    // '0'
    bool widthFromArg = false;
    bool precisionFromArg = false;
    int width = -1;      // -1: none
    int precision = -1;  // -1: none
    ArgSize size = ArgSize::kDefault;
    wchar_t type = 0;  // d i o u x X e E f g G c C s S p, or '%' for a literal percent sign
};

/// Receives the pieces of a format in order.
class FormatVisitor {
  public:
    virtual ~FormatVisitor() = default;
    /// Literal text [begin, end). Returns false to stop.
    virtual bool Literal(const wchar_t* begin, const wchar_t* end) = 0;
    /// One conversion. Returns false to stop.
    virtual bool Convert(const Conversion& conversion) = 0;
};

/// Parses format (not null) and feeds its pieces to visitor, or, with a null visitor, only
/// checks it. Returns false for a malformed format: an unknown conversion character, "%n", a
/// length modifier that does not fit the conversion, a width or precision beyond INT_MAX, or
/// a format that ends inside a conversion. A malformed format is detected before any piece
/// is fed to the visitor. Also false when the visitor stops.
bool ParseFormat(const wchar_t* format, FormatVisitor* visitor) noexcept;

}  // namespace platform::text_detail

// ---- Backend hooks: one implementation per platform (text_win32.cpp, text_posix.cpp). ----

namespace platform::text_detail {

/// Formats a format that ParseFormat accepted, like the C runtime's _vsnwprintf: writes at
/// most count characters and no terminator into buffer, and returns how many it wrote, or -1
/// when the whole text needs more than count characters (buffer then holds the first count).
int FormatBounded(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) noexcept;

/// Calls the process's invalid-parameter handler, if one is installed, and returns.
void InvokeInvalidParameterHandler(const wchar_t* expression, const wchar_t* function,
                                   const wchar_t* file, unsigned int line) noexcept;

/// Writes length characters of text to standard output, after anything the C runtime's
/// standard output buffer holds.
void WriteStandardOutput(const wchar_t* text, std::size_t length) noexcept;

}  // namespace platform::text_detail
