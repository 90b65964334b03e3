// The UTF-8 / UTF-16 / wide-text codec: decoders and encoders of one code point, and the run
// conversions built on them. Pure functions over caller memory.
#include "text/text_codec.h"

namespace platform::utf {

namespace {

constexpr bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

constexpr bool IsScalar(char32_t c) {
    return c <= 0x10FFFF && !IsSurrogate(c);
}

constexpr Decoded Invalid(std::size_t length) {
    return {kReplacement, length, false};
}

// UTF-16 from any 16-bit unit type (char16_t, and wchar_t on Windows), without casting
// one pointer type to the other.
template <typename Unit>
Decoded DecodePair(const Unit* text, std::size_t size) noexcept {
    const char32_t first = static_cast<char16_t>(text[0]);
    if (!IsSurrogate(first)) {
        return {first, 1, true};
    }
    if (first <= 0xDBFF && size > 1) {
        const char32_t second = static_cast<char16_t>(text[1]);
        if (second >= 0xDC00 && second <= 0xDFFF) {
            return {0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00), 2, true};
        }
    }
    return Invalid(1);
}

template <typename Unit>
std::size_t EncodePair(char32_t c, Unit* out) noexcept {
    if (!IsScalar(c)) {
        c = kReplacement;
    }
    if (c < 0x10000) {
        out[0] = static_cast<Unit>(c);
        return 1;
    }
    out[0] = static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10));
    out[1] = static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF));
    return 2;
}

Decoded Decode(const char* text, std::size_t size) noexcept {
    return DecodeUtf8(text, size);
}
Decoded Decode(const char16_t* text, std::size_t size) noexcept {
    return DecodeUtf16(text, size);
}
Decoded Decode(const wchar_t* text, std::size_t size) noexcept {
    return DecodeWide(text, size);
}

std::size_t Encode(char32_t c, char* out) noexcept {
    return EncodeUtf8(c, out);
}
std::size_t Encode(char32_t c, char16_t* out) noexcept {
    return EncodeUtf16(c, out);
}
std::size_t Encode(char32_t c, wchar_t* out) noexcept {
    return EncodeWide(c, out);
}

template <typename In, typename Out>
Converted Run(const In* in, std::size_t size, Out* out, std::size_t capacity) noexcept {
    Converted result{0, 0, kAllValid};
    while (result.read < size) {
        const Decoded d = Decode(in + result.read, size - result.read);
        if (!d.valid && result.firstInvalid == kAllValid) {
            result.firstInvalid = result.read;
        }
        Out units[4];
        const std::size_t n = Encode(d.codePoint, units);
        if (out != nullptr) {
            if (capacity - result.written < n) {
                if (result.firstInvalid == result.read) {
                    result.firstInvalid = kAllValid;  // not read after all
                }
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                out[result.written + i] = units[i];
            }
        }
        result.written += n;
        result.read += d.length;
    }
    return result;
}

}  // namespace

Decoded DecodeUtf8(const char* text, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    // The well-formed sequences: the second byte's range depends on the lead byte, the others
    // are 80..BF. An ill-formed one ends at its longest valid prefix.
    std::size_t more;
    unsigned char low = 0x80, high = 0xBF;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        c = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing beyond U+10FFFF
        }
    } else {
        return Invalid(1);
    }
    for (std::size_t i = 1; i <= more; ++i) {
        if (i == size || p[i] < low || p[i] > high) {
            return Invalid(i);
        }
        c = (c << 6) | (p[i] & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {c, more + 1, true};
}

Decoded DecodeUtf16(const char16_t* text, std::size_t size) noexcept {
    return DecodePair(text, size);
}

Decoded DecodeWide(const wchar_t* text, std::size_t size) noexcept {
    if constexpr (sizeof(wchar_t) == 2) {
        return DecodePair(text, size);
    } else {
        const auto c = static_cast<char32_t>(text[0]);
        return IsScalar(c) ? Decoded{c, 1, true} : Invalid(1);
    }
}

std::size_t EncodeUtf8(char32_t c, char* out) noexcept {
    if (!IsScalar(c)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

std::size_t EncodeUtf16(char32_t c, char16_t* out) noexcept {
    return EncodePair(c, out);
}

std::size_t EncodeWide(char32_t c, wchar_t* out) noexcept {
    if constexpr (sizeof(wchar_t) == 2) {
        return EncodePair(c, out);
    } else {
        out[0] = static_cast<wchar_t>(IsScalar(c) ? c : kReplacement);
        return 1;
    }
}

Converted Convert(const char* in, std::size_t size, char16_t* out, std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}
Converted Convert(const char* in, std::size_t size, wchar_t* out, std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}
Converted Convert(const char16_t* in, std::size_t size, char* out, std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}
Converted Convert(const char16_t* in, std::size_t size, wchar_t* out,
                  std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}
Converted Convert(const wchar_t* in, std::size_t size, char* out, std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}
Converted Convert(const wchar_t* in, std::size_t size, char16_t* out,
                  std::size_t capacity) noexcept {
    return Run(in, size, out, capacity);
}

}  // namespace platform::utf
