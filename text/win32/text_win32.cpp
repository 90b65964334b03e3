// Windows text backend: formatting by the C runtime (msvcrt), its invalid-parameter handler,
// and standard output.
//
// mingw's C++ library turns on its own ISO printf family, in which a wide format's "%s" is a
// narrow string. The system's formats follow the Windows convention, so the msvcrt entry
// points are named explicitly here, never through the <stdio.h> names.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/windows_lean.h"
#include "text/text.h"
#include "text/text_codec.h"
#include "text/text_format.h"

// msvcrt's own _vsnwprintf, bound by its export name whatever <stdio.h> maps the name to.
extern "C" int __cdecl MsvcrtVsnwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format,
                                        va_list args) __asm__("_vsnwprintf");

namespace platform {

namespace text_detail {

namespace {

// Copies a format, replacing the length modifiers that msvcrt may not know ("ll", "z", "j",
// "t"; all 64-bit on x64) with its own "I64".
class MsvcrtFormat final : public FormatVisitor {
  public:
    explicit MsvcrtFormat(const wchar_t* format) : m_format(format) {
        if (ParseFormat(format, this) && !m_failed && m_rewrite) {
            m_result = m_buffer;
        }
    }
    ~MsvcrtFormat() override {
        if (m_buffer != m_local) {
            std::free(m_buffer);
        }
    }
    MsvcrtFormat(const MsvcrtFormat&) = delete;
    MsvcrtFormat& operator=(const MsvcrtFormat&) = delete;

    /// The format to hand to msvcrt, or null when memory ran out.
    const wchar_t* Get() const { return m_failed ? nullptr : m_result; }

    bool Literal(const wchar_t* begin, const wchar_t* end) override { return Append(begin, end); }

    bool Convert(const Conversion& c) override {
        const bool is64 = c.size == ArgSize::kLongLong || c.size == ArgSize::kSizeT ||
                          c.size == ArgSize::kIntMax || c.size == ArgSize::kPtrDiff;
        if (!is64) {
            return Append(c.begin, c.end);
        }
        m_rewrite = true;
        static const wchar_t kI64[] = L"I64";
        return Append(c.begin, c.sizeBegin) && Append(kI64, kI64 + 3) && Append(c.sizeEnd, c.end);
    }

  private:
    bool Append(const wchar_t* begin, const wchar_t* end) {
        const std::size_t n = static_cast<std::size_t>(end - begin);
        if (!Reserve(m_length + n + 1)) {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            m_buffer[m_length++] = begin[i];
        }
        m_buffer[m_length] = L'\0';
        return true;
    }

    bool Reserve(std::size_t needed) {
        if (needed <= m_capacity) {
            return true;
        }
        std::size_t capacity = m_capacity * 2;
        while (capacity < needed) {
            capacity *= 2;
        }
        auto* grown = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
        if (grown == nullptr) {
            m_failed = true;
            return false;
        }
        for (std::size_t i = 0; i < m_length; ++i) {
            grown[i] = m_buffer[i];
        }
        if (m_buffer != m_local) {
            std::free(m_buffer);
        }
        m_buffer = grown;
        m_capacity = capacity;
        return true;
    }

    const wchar_t* m_format;
    const wchar_t* m_result = m_format;
    wchar_t m_local[256];
    wchar_t* m_buffer = m_local;
    std::size_t m_capacity = sizeof m_local / sizeof m_local[0];
    std::size_t m_length = 0;
    bool m_rewrite = false;
    bool m_failed = false;
};

}  // namespace

int FormatBounded(wchar_t* buffer, std::size_t count, const wchar_t* format,
                  va_list args) noexcept {
    MsvcrtFormat translated(format);
    if (translated.Get() == nullptr) {
        return -1;
    }
    return MsvcrtVsnwprintf(buffer, count, translated.Get(), args);
}

void InvokeInvalidParameterHandler(const wchar_t* expression, const wchar_t* function,
                                   const wchar_t* file, unsigned int line) noexcept {
    if (_invalid_parameter_handler handler = _get_invalid_parameter_handler()) {
        handler(expression, function, file, line, 0);
    }
}

void WriteStandardOutput(const wchar_t* text, std::size_t length) noexcept {
    std::fflush(stdout);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;  // a service has no standard output
    }
    DWORD mode = 0;
    const bool console = GetConsoleMode(out, &mode) != 0;
    while (length != 0) {
        const DWORD units = length > 4096 ? 4096 : static_cast<DWORD>(length);
        DWORD done = 0;
        if (console) {
            if (!WriteConsoleW(out, text, units, &done, nullptr) || done == 0) {
                return;
            }
            text += done;
            length -= done;
            continue;
        }
        // A pipe or a file gets UTF-8, as on the other platforms, in whole characters.
        char bytes[4096 * 3];
        const utf::Converted part = utf::Convert(text, length, bytes, sizeof bytes);
        const char* p = bytes;
        DWORD left = static_cast<DWORD>(part.written);
        while (left != 0) {
            if (!WriteFile(out, p, left, &done, nullptr) || done == 0) {
                return;
            }
            p += done;
            left -= done;
        }
        text += part.read;
        length -= part.read;
    }
}

}  // namespace text_detail

InvalidParameterHandler SetInvalidParameterHandler(InvalidParameterHandler handler) noexcept {
    return _set_invalid_parameter_handler(handler);
}

}  // namespace platform
