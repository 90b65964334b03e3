// The pieces of one trace log line: time stamp, header fields, message and line end.
#include "diagnostics/log_line.h"

#include <cstdint>

#include "platform/time.h"
#include "text/text_codec.h"

namespace logfilesync {

char16_t* CopyAsUtf16(char16_t* out, const wchar_t* text, std::size_t count) noexcept {
    std::size_t ascii = 0;
    while (ascii < count && static_cast<std::uint32_t>(text[ascii]) < 0x80) {
        out[ascii] = static_cast<char16_t>(text[ascii]);
        ++ascii;
    }
    out += ascii;
    return out +
           platform::utf::Convert(text + ascii, count - ascii, out, (count - ascii) * 2).written;
}

char16_t* PutDecimal(char16_t* out, int value, int width) noexcept {
    char16_t digits[12];
    int count = 0;
    std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *out++ = u'-';
        --width;
    }
    for (int pad = width - count; pad > 0; --pad) {
        *out++ = u'0';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

std::size_t DecimalChars(int value, int width) noexcept {
    char16_t scratch[16];
    return static_cast<std::size_t>(PutDecimal(scratch, value, width) - scratch);
}

char16_t* PutStamp(char16_t* out) noexcept {
    platform::LocalTime now{};
    platform::GetLocalTime(&now);
    const int fields[7] = {now.year,   now.month,  now.day,         now.hour,
                           now.minute, now.second, now.milliseconds};
    constexpr int kWidths[7] = {4, 2, 2, 2, 2, 2, 3};
    constexpr char16_t kAfter[7] = {u'/', u'/', u' ', u':', u':', u'.', 0};
    for (int i = 0; i < 7; ++i) {
        out = PutDecimal(out, fields[i], kWidths[i]);
        if (kAfter[i] != 0) {
            *out++ = kAfter[i];
        }
    }
    return out;
}

char16_t* PutTail(char16_t* tail, wchar_t level, int processId, int threadId,
                  const wchar_t* function, std::size_t functionChars, int line,
                  const wchar_t* message, std::size_t messageChars) noexcept {
    char16_t* end = tail;
    *end++ = u'|';
    end = CopyAsUtf16(end, &level, 1);
    *end++ = u'|';
    end = PutDecimal(end, processId, 6);
    *end++ = u'|';
    end = PutDecimal(end, threadId, 6);
    *end++ = u'|';
    end = CopyAsUtf16(end, function, functionChars);
    *end++ = u'(';
    *end++ = u'L';
    end = PutDecimal(end, line, 1);
    *end++ = u')';
    *end++ = u':';
    *end++ = u' ';
    end = CopyAsUtf16(end, message, messageChars);
    *end++ = u'\r';
    *end++ = u'\n';
    return end;
}

}  // namespace logfilesync
