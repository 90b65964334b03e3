// POSIX text backend: formats the system's wide formats with the Windows conventions, holds
// the invalid-parameter handler and writes to standard output.
//
// glibc's wide printf reads "%s" as a narrow string and fails outright on text that does not
// fit, so conversions are walked here one by one into a bounded sink; numbers go through
// snprintf. Narrow strings ("%hs", "%S") are read as UTF-8.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "text/text.h"
#include "text/text_codec.h"
#include "text/text_format.h"

namespace platform {

namespace text_detail {

namespace {

std::atomic<InvalidParameterHandler> g_invalidParameterHandler{nullptr};

// Writes into the caller's buffer up to its capacity and notes whether anything was lost.
class BoundedSink {
  public:
    BoundedSink(wchar_t* buffer, std::size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

    bool Put(wchar_t c) {
        if (m_written == m_capacity) {
            m_overflow = true;
            return false;
        }
        m_buffer[m_written++] = c;
        return true;
    }
    bool Repeat(wchar_t c, std::size_t n) {
        for (; n != 0; --n) {
            if (!Put(c)) {
                return false;
            }
        }
        return true;
    }
    std::size_t Written() const { return m_written; }
    bool Overflow() const { return m_overflow; }

  private:
    wchar_t* m_buffer;
    std::size_t m_capacity;
    std::size_t m_written = 0;
    bool m_overflow = false;
};

// Walks the conversions of a validated format, taking each argument from args in turn.
class Formatter final : public FormatVisitor {
  public:
    Formatter(BoundedSink* sink, va_list* args) : m_sink(sink), m_args(args) {}

    bool Literal(const wchar_t* begin, const wchar_t* end) override {
        for (; begin != end; ++begin) {
            if (!m_sink->Put(*begin)) {
                return false;
            }
        }
        return true;
    }

    bool Convert(const Conversion& c) override {
        Conversion conv = c;
        if (conv.widthFromArg) {
            const int w = va_arg(*m_args, int);
            if (w < 0) {
                conv.leftAlign = true;
                conv.width = w == INT32_MIN ? INT32_MAX : -w;
            } else {
                conv.width = w;
            }
        }
        if (conv.precisionFromArg) {
            const int p = va_arg(*m_args, int);
            conv.precision = p < 0 ? -1 : p;
        }
        switch (conv.type) {
            case L'%':
                return m_sink->Put(L'%');
            case L'c':
            case L'C':
                return Character(conv);
            case L's':
            case L'S':
                return String(conv);
            case L'p':
                return Pointer(conv);
            case L'd':
            case L'i':
                return SignedInteger(conv);
            case L'o':
            case L'u':
            case L'x':
            case L'X':
                return UnsignedInteger(conv);
            default:
                return Floating(conv);
        }
    }

  private:
    // In a wide format "%c"/"%s" are wide and "%C"/"%S" narrow; 'h' makes either narrow and
    // 'l' or 'w' wide.
    static bool IsNarrow(const Conversion& c) {
        if (c.size == ArgSize::kShort) {
            return true;
        }
        if (c.size == ArgSize::kLong || c.size == ArgSize::kWide) {
            return false;
        }
        return c.type == L'C' || c.type == L'S';
    }

    // Pads to the width around length characters produced by emit(); the C runtime pads
    // characters and strings with '0' too when asked to.
    template <typename Emit>
    bool Padded(const Conversion& c, std::size_t length, wchar_t pad, Emit&& emit) {
        const std::size_t width = c.width > 0 ? static_cast<std::size_t>(c.width) : 0;
        const std::size_t fill = width > length ? width - length : 0;
        if (!c.leftAlign && !m_sink->Repeat(pad, fill)) {
            return false;
        }
        if (!emit()) {
            return false;
        }
        return !c.leftAlign || m_sink->Repeat(L' ', fill);
    }

    wchar_t PadChar(const Conversion& c) const { return c.zeroPad && !c.leftAlign ? L'0' : L' '; }

    bool Character(const Conversion& c) {
        const int value = va_arg(*m_args, int);
        wchar_t units[2];
        std::size_t n;
        if (IsNarrow(c)) {
            const auto byte = static_cast<unsigned char>(value);
            units[0] = byte < 0x80 ? static_cast<wchar_t>(byte) : L'\xFFFD';
            n = 1;
        } else {
            units[0] = static_cast<wchar_t>(value);
            n = 1;
        }
        return Padded(c, n, PadChar(c), [&] {
            for (std::size_t i = 0; i < n; ++i) {
                if (!m_sink->Put(units[i])) {
                    return false;
                }
            }
            return true;
        });
    }

    bool String(const Conversion& c) {
        const void* arg = va_arg(*m_args, const void*);
        const std::size_t limit =
            c.precision >= 0 ? static_cast<std::size_t>(c.precision) : SIZE_MAX;
        if (arg == nullptr || !IsNarrow(c)) {
            const wchar_t* text = arg != nullptr ? static_cast<const wchar_t*>(arg) : L"(null)";
            std::size_t length = 0;
            while (length < limit && text[length] != L'\0') {
                ++length;
            }
            return Padded(c, length, PadChar(c), [&] {
                for (std::size_t i = 0; i < length; ++i) {
                    if (!m_sink->Put(text[i])) {
                        return false;
                    }
                }
                return true;
            });
        }
        // Narrow: decode UTF-8; the precision counts wide characters produced.
        const char* bytes = static_cast<const char*>(arg);
        const std::size_t size = std::strlen(bytes);
        auto walk = [&](bool emit, std::size_t* produced) {
            std::size_t read = 0;
            std::size_t n = 0;
            while (read != size) {
                const utf::Decoded d = utf::DecodeUtf8(bytes + read, size - read);
                wchar_t units[utf::kMaxWideUnits];
                const std::size_t count = utf::EncodeWide(d.codePoint, units);
                if (n + count > limit) {
                    break;
                }
                for (std::size_t i = 0; i < count; ++i) {
                    if (emit && !m_sink->Put(units[i])) {
                        return false;
                    }
                }
                n += count;
                read += d.length;
            }
            *produced = n;
            return true;
        };
        std::size_t length = 0;
        walk(false, &length);
        return Padded(c, length, PadChar(c), [&] {
            std::size_t ignored;
            return walk(true, &ignored);
        });
    }

    // The C runtime prints a pointer as 16 upper-case hexadecimal digits, without "0x".
    bool Pointer(const Conversion& c) {
        const auto value = reinterpret_cast<std::uintptr_t>(va_arg(*m_args, void*));
        char digits[2 * sizeof value + 1];
        std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof value),
                      static_cast<unsigned long long>(value));
        const std::size_t length = std::strlen(digits);
        return Padded(c, length, L' ', [&] { return Ascii(digits, length); });
    }

    // Reads an integer argument of the conversion's size as T (long long or its unsigned
    // twin), with the sign rules of that size.
    template <typename T>
    T IntegerArgument(ArgSize size) {
        constexpr bool kSigned = std::is_signed_v<T>;
        using Int = std::conditional_t<kSigned, int, unsigned int>;
        using Short = std::conditional_t<kSigned, short, unsigned short>;
        using Long = std::conditional_t<kSigned, long, unsigned long>;
        using Size = std::conditional_t<kSigned, std::ptrdiff_t, std::size_t>;
        using Max = std::conditional_t<kSigned, std::intmax_t, std::uintmax_t>;
        switch (size) {
            case ArgSize::kShort:
                return static_cast<Short>(va_arg(*m_args, Int));
            case ArgSize::kLong:
                return va_arg(*m_args, Long);
            case ArgSize::kLongLong:
            case ArgSize::kInt64:
                return va_arg(*m_args, T);
            case ArgSize::kPointer:
            case ArgSize::kPtrDiff:
            case ArgSize::kSizeT:
                return va_arg(*m_args, Size);
            case ArgSize::kIntMax:
                return va_arg(*m_args, Max);
            default:
                return va_arg(*m_args, Int);
        }
    }

    bool SignedInteger(const Conversion& c) {
        return Number(c, "ll", IntegerArgument<long long>(c.size));
    }

    bool UnsignedInteger(const Conversion& c) {
        return Number(c, "ll", IntegerArgument<unsigned long long>(c.size));
    }

    bool Floating(const Conversion& c) {
        if (c.size == ArgSize::kLongDouble) {
            return Number(c, "L", va_arg(*m_args, long double));
        }
        return Number(c, "", va_arg(*m_args, double));
    }

    // Formats one number with snprintf, then widens it (its characters are ASCII).
    template <typename T>
    bool Number(const Conversion& c, const char* length, T value) {
        char pattern[32];
        char* s = pattern;
        *s++ = '%';
        if (c.leftAlign) {
            *s++ = '-';
        }
        if (c.plusSign) {
            *s++ = '+';
        }
        if (c.spaceSign) {
            *s++ = ' ';
        }
        if (c.alternate) {
            *s++ = '#';
        }
        if (c.zeroPad) {
            *s++ = '0';
        }
        *s++ = '*';
        *s++ = '.';
        *s++ = '*';
        for (const char* l = length; *l != '\0'; ++l) {
            *s++ = *l;
        }
        *s++ = static_cast<char>(c.type);
        *s = '\0';
        const int width = c.width > 0 ? c.width : 0;
        const int precision = c.precision;  // a negative precision means "none" to snprintf
        char local[128];
        const int needed = std::snprintf(local, sizeof local, pattern, width, precision, value);
        if (needed < 0) {
            return false;
        }
        const auto length64 = static_cast<std::size_t>(needed);
        if (length64 < sizeof local) {
            return Ascii(local, length64);
        }
        char* heap = static_cast<char*>(std::malloc(length64 + 1));
        if (heap == nullptr) {
            return false;
        }
        std::snprintf(heap, length64 + 1, pattern, width, precision, value);
        const bool ok = Ascii(heap, length64);
        std::free(heap);
        return ok;
    }

    bool Ascii(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            if (!m_sink->Put(static_cast<wchar_t>(static_cast<unsigned char>(text[i])))) {
                return false;
            }
        }
        return true;
    }

    BoundedSink* m_sink;
    va_list* m_args;
};

}  // namespace

int FormatBounded(wchar_t* buffer, std::size_t count, const wchar_t* format,
                  va_list args) noexcept {
    BoundedSink sink(buffer, count);
    va_list copy;
    va_copy(copy, args);
    Formatter formatter(&sink, &copy);
    const bool complete = ParseFormat(format, &formatter);
    va_end(copy);
    if (!complete || sink.Overflow()) {
        return -1;
    }
    return static_cast<int>(sink.Written());
}

void InvokeInvalidParameterHandler(const wchar_t* expression, const wchar_t* function,
                                   const wchar_t* file, unsigned int line) noexcept {
    if (InvalidParameterHandler handler = g_invalidParameterHandler.load()) {
        handler(expression, function, file, line, 0);
    }
}

void WriteStandardOutput(const wchar_t* text, std::size_t length) noexcept {
    std::fflush(stdout);
    char chunk[1024];
    while (length != 0) {
        // Whole UTF-8 sequences only, so a chunk never ends inside a character.
        const utf::Converted part = utf::Convert(text, length, chunk, sizeof chunk);
        text += part.read;
        length -= part.read;
        std::size_t n = part.written;
        const char* out = chunk;
        while (n != 0) {
            const ssize_t w = ::write(STDOUT_FILENO, out, n);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;  // nowhere to report it: standard output is the report channel
            }
            out += w;
            n -= static_cast<std::size_t>(w);
        }
    }
}

}  // namespace text_detail

InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) noexcept {
    return text_detail::g_invalidParameterHandler.exchange(handler);
}

}  // namespace platform
