// The pieces of one trace log line as UTF-16 units, written into a buffer of the caller's:
// the time stamp, and the rest of the header with the message and CR LF.
//
// Threads: any (nothing is shared). Failure: none; the caller gives enough room.
#pragma once

#include <cstddef>

namespace logfilesync {

/// Characters of the time stamp "yyyy/mm/dd hh:mm:ss.mmm" for years of four digits.
inline constexpr std::size_t kStampChars = 23;

/// Wide text as UTF-16 units (room for 2 × count): an ASCII run is copied as it is, the rest
/// goes through the one codec, where a value that is no code point (a lone surrogate) becomes
/// U+FFFD, so the file always decodes. Returns the end of what was written.
char16_t* CopyAsUtf16(char16_t* out, const wchar_t* text, std::size_t count) noexcept;

/// The digits of value as "%0<width>d" prints an int (a minus sign counts in the width), room
/// for 12; returns their end.
char16_t* PutDecimal(char16_t* out, int value, int width) noexcept;

/// How many characters PutDecimal writes for value and width.
[[nodiscard]] std::size_t DecimalChars(int value, int width) noexcept;

/// "yyyy/mm/dd hh:mm:ss.mmm" of the local time (room for 32); returns its end.
char16_t* PutStamp(char16_t* out) noexcept;

/// "|L|pid|tid|function(Lnn): " (ids zero-padded to six digits), the message and CR LF from
/// tail on (room for 2 × (functionChars + messageChars) + 64); returns their end.
char16_t* PutTail(char16_t* tail, wchar_t level, int processId, int threadId,
                  const wchar_t* function, std::size_t functionChars, int line,
                  const wchar_t* message, std::size_t messageChars) noexcept;

}  // namespace logfilesync
