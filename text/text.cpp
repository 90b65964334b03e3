// Portable text code: the bounded copy and print, the secure format call's rules, console
// print and the string conversions between wchar_t, UTF-8 and UTF-16.
//
// Only system-independent code lives here; formatting itself and the invalid-parameter handler
// are the backends' (text_win32.cpp, text_posix.cpp).
#include "text/text.h"

#include <cstdlib>
#include <cwchar>

#include "text/text_codec.h"
#include "text/text_format.h"

namespace platform {

using namespace text_detail;

namespace {

// Measures, then converts into a string of exactly that size.
template <typename Out, typename In>
Out ConvertAll(In text) {
    using Unit = typename Out::value_type;
    Out out(utf::Convert(text.data(), text.size(), static_cast<Unit*>(nullptr), 0).written, Unit{});
    utf::Convert(text.data(), text.size(), out.data(), out.size());
    return out;
}

// The bounded calls' destination rules: false for a null dest or a capacity of 0 or above
// kStrsafeMaxCch, with dest emptied when it has room.
bool ValidDestination(wchar_t* dest, std::size_t cch) {
    if (dest == nullptr) {
        return false;
    }
    if (cch == 0 || cch > kStrsafeMaxCch) {
        if (cch != 0) {
            dest[0] = L'\0';
        }
        return false;
    }
    return true;
}

}  // namespace

std::int32_t StringCchCopyW(wchar_t* dest, std::size_t cch, const wchar_t* src) noexcept {
    if (!ValidDestination(dest, cch)) {
        return kStrsafeEInvalidParameter;
    }
    if (src == nullptr) {
        src = L"";
    }
    std::size_t i = 0;
    for (; i < cch - 1 && src[i] != L'\0'; ++i) {
        dest[i] = src[i];
    }
    dest[i] = L'\0';
    return src[i] == L'\0' ? kSOk : kStrsafeEInsufficientBuffer;
}

std::int32_t StringCchVPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format,
                               va_list args) noexcept {
    if (!ValidDestination(dest, cch)) {
        return kStrsafeEInvalidParameter;
    }
    // A malformed format is refused before formatting: it could read arguments that were
    // never passed.
    if (format == nullptr || !ParseFormat(format, nullptr)) {
        dest[0] = L'\0';
        return kStrsafeEInvalidParameter;
    }
    va_list copy;
    va_copy(copy, args);
    const int written = FormatBounded(dest, cch - 1, format, copy);
    va_end(copy);
    if (written < 0) {
        dest[cch - 1] = L'\0';
        return kStrsafeEInsufficientBuffer;
    }
    dest[written] = L'\0';
    return kSOk;
}

std::int32_t StringCchPrintfW(wchar_t* dest, std::size_t cch, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const std::int32_t result = StringCchVPrintfW(dest, cch, format, args);
    va_end(args);
    return result;
}

int VsnwprintfS(wchar_t* buffer, std::size_t size, std::size_t count, const wchar_t* format,
                va_list args) noexcept {
    static const wchar_t kFile[] = L"text/text.cpp";
    static const wchar_t kFunction[] = L"VsnwprintfS";
    if (count == 0 && buffer == nullptr && size == 0) {
        return 0;  // the C runtime's "measure nothing" case
    }
    if (buffer == nullptr || size == 0) {
        InvokeInvalidParameterHandler(L"buffer != nullptr && size > 0", kFunction, kFile, __LINE__);
        return -1;
    }
    if (format == nullptr) {
        buffer[0] = L'\0';
        InvokeInvalidParameterHandler(L"format != nullptr", kFunction, kFile, __LINE__);
        return -1;
    }
    if (!ParseFormat(format, nullptr)) {
        buffer[0] = L'\0';
        InvokeInvalidParameterHandler(L"(\"Incorrect format specifier\", 0)", kFunction, kFile,
                                      __LINE__);
        return -1;
    }
    // count below size cuts the text at count characters; count at or above size allows only
    // size - 1 and, unless it is the "truncate" value (all bits set), a cut is an error.
    const bool truncateAllowed = count < size || count == static_cast<std::size_t>(-1);
    const std::size_t limit = count < size ? count : size - 1;
    va_list copy;
    va_copy(copy, args);
    const int written = FormatBounded(buffer, limit, format, copy);
    va_end(copy);
    if (written >= 0) {
        buffer[written] = L'\0';
        return written;
    }
    buffer[limit] = L'\0';
    if (!truncateAllowed) {
        buffer[0] = L'\0';
        InvokeInvalidParameterHandler(L"(\"Buffer too small\", 0)", kFunction, kFile, __LINE__);
    }
    return -1;
}

void ConsolePrint(const wchar_t* format, ...) noexcept {
    // Called from invalid-parameter handlers: a malformed format prints nothing rather than
    // calling the handler again.
    if (format == nullptr || !ParseFormat(format, nullptr)) {
        return;
    }
    wchar_t local[512];
    wchar_t* buffer = local;
    std::size_t capacity = sizeof local / sizeof local[0];
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = FormatBounded(buffer, capacity, format, args);
        va_end(args);
        if (written >= 0) {
            WriteStandardOutput(buffer, static_cast<std::size_t>(written));
            break;
        }
        if (buffer != local) {
            std::free(buffer);
        }
        capacity *= 2;
        if (capacity > (std::size_t{1} << 29)) {
            return;
        }
        buffer = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
        if (buffer == nullptr) {
            return;
        }
    }
    if (buffer != local) {
        std::free(buffer);
    }
}

std::string WideToUtf8(std::wstring_view text) {
    return ConvertAll<std::string>(text);
}

std::wstring Utf8ToWide(std::string_view text) {
    return ConvertAll<std::wstring>(text);
}

std::u16string WideToUtf16(std::wstring_view text) {
    return ConvertAll<std::u16string>(text);
}

std::wstring Utf16ToWide(std::u16string_view text) {
    return ConvertAll<std::wstring>(text);
}

std::wstring WideFromUtf16LeBytes(const void* bytes, std::size_t byteCount) {
    if (bytes == nullptr) {
        return {};
    }
    const auto* b = static_cast<const unsigned char*>(bytes);
    std::u16string units;
    for (std::size_t i = 0; i + 1 < byteCount; i += 2) {
        const auto unit = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return Utf16ToWide(units);
}

}  // namespace platform
