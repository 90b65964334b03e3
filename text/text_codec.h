// The one UTF-8 / UTF-16 / wide-text codec of the system: one code point at a time, or whole
// runs into caller buffers.
//
// Every call is noexcept, allocates nothing, takes no lock and reads no locale, so it may be
// used anywhere, a signal handler or the crash path included.
//
// Encodings: "UTF-8" is char, "UTF-16" is char16_t, "wide" is wchar_t (UTF-16 on Windows,
// UTF-32 elsewhere).
//
// Invalid input, the same on every path: an ill-formed UTF-8 sequence gives one U+FFFD for
// each maximal ill-formed part (a cut sequence never swallows the next character; overlong
// forms, encoded surrogates and values beyond U+10FFFF are ill-formed); an unpaired UTF-16
// surrogate, a lone surrogate or a value beyond U+10FFFF in wide text gives one U+FFFD. The
// result reports that it happened (Decoded::valid, Converted::firstInvalid), so a caller that
// must refuse such text can.
#pragma once

#include <cstddef>

namespace platform::utf {

/// What invalid input turns into.
inline constexpr char32_t kReplacement = 0xFFFD;

/// The most units one code point takes in each encoding.
inline constexpr std::size_t kMaxUtf8Units = 4;
inline constexpr std::size_t kMaxUtf16Units = 2;
inline constexpr std::size_t kMaxWideUnits = sizeof(wchar_t) == 2 ? 2 : 1;

/// One decoded code point.
struct Decoded {
    char32_t codePoint;  // kReplacement when !valid
    std::size_t length;  // input units consumed: at least 1
    bool valid;          // false when the units were ill-formed
};

/// Decodes the code point at the start of [text, text + size); size must be at least 1.
Decoded DecodeUtf8(const char* text, std::size_t size) noexcept;
Decoded DecodeUtf16(const char16_t* text, std::size_t size) noexcept;
Decoded DecodeWide(const wchar_t* text, std::size_t size) noexcept;

/// Encodes codePoint into out (room for kMax*Units) and returns the units written. A surrogate
/// or a value beyond U+10FFFF is written as kReplacement.
std::size_t EncodeUtf8(char32_t codePoint, char* out) noexcept;
std::size_t EncodeUtf16(char32_t codePoint, char16_t* out) noexcept;
std::size_t EncodeWide(char32_t codePoint, wchar_t* out) noexcept;

/// The outcome of converting a run.
struct Converted {
    std::size_t read;          // input units consumed
    std::size_t written;       // output units written (with a null out: needed)
    std::size_t firstInvalid;  // input offset of the first ill-formed part, or kAllValid
    bool Complete(std::size_t size) const noexcept { return read == size; }
};
inline constexpr std::size_t kAllValid = static_cast<std::size_t>(-1);

/// Converts [in, in + size) into out, whose capacity is in output units. Only whole code
/// points are written: conversion stops before the first one that does not fit, and read
/// says where (so a caller can go on with a fresh buffer). No terminator is written. With a
/// null out nothing is written and written is the capacity the whole input needs. Embedded
/// NULs are converted like any other character. A null in is allowed only with size 0.
Converted Convert(const char* in, std::size_t size, char16_t* out, std::size_t capacity) noexcept;
Converted Convert(const char* in, std::size_t size, wchar_t* out, std::size_t capacity) noexcept;
Converted Convert(const char16_t* in, std::size_t size, char* out, std::size_t capacity) noexcept;
Converted Convert(const char16_t* in, std::size_t size, wchar_t* out,
                  std::size_t capacity) noexcept;
Converted Convert(const wchar_t* in, std::size_t size, char* out, std::size_t capacity) noexcept;
Converted Convert(const wchar_t* in, std::size_t size, char16_t* out,
                  std::size_t capacity) noexcept;

}  // namespace platform::utf
