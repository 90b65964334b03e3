// The parser of the system's wide formats, shared by both text backends so that a format is
// malformed on every platform or on none.
#include "text/text_format.h"

#include <climits>

namespace platform {

namespace text_detail {

namespace {

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Reads decimal digits at *p; false when the number exceeds INT_MAX.
bool ReadNumber(const wchar_t** p, int* value) {
    long long n = 0;
    while (IsDigit(**p)) {
        n = n * 10 + (**p - L'0');
        if (n > INT_MAX) {
            return false;
        }
        ++*p;
    }
    *value = static_cast<int>(n);
    return true;
}

bool IsIntegerSize(ArgSize size) {
    return size != ArgSize::kLongDouble && size != ArgSize::kWide;
}

bool SizeFitsType(ArgSize size, wchar_t type) {
    switch (type) {
        case L'd':
        case L'i':
        case L'o':
        case L'u':
        case L'x':
        case L'X':
            return IsIntegerSize(size);
        case L'e':
        case L'E':
        case L'f':
        case L'g':
        case L'G':
            return size == ArgSize::kDefault || size == ArgSize::kLong ||
                   size == ArgSize::kLongDouble;
        case L'c':
        case L'C':
        case L's':
        case L'S':
            return size == ArgSize::kDefault || size == ArgSize::kShort || size == ArgSize::kLong ||
                   size == ArgSize::kWide;
        case L'p':
        case L'%':
            return size == ArgSize::kDefault;
        default:
            return false;  // unknown conversions, and "%n", which would write through an argument
    }
}

// The length modifiers, longer before shorter where one starts another.
struct SizePrefix {
    const wchar_t* text;
    ArgSize size;
};
constexpr SizePrefix kSizePrefixes[] = {
    {L"I64", ArgSize::kInt64},    {L"I32", ArgSize::kInt32}, {L"I", ArgSize::kPointer},
    {L"ll", ArgSize::kLongLong},  {L"l", ArgSize::kLong},    {L"h", ArgSize::kShort},
    {L"z", ArgSize::kSizeT},      {L"j", ArgSize::kIntMax},  {L"t", ArgSize::kPtrDiff},
    {L"L", ArgSize::kLongDouble}, {L"w", ArgSize::kWide},
};

// Parses the conversion that starts at p (a '%'); null when malformed.
const wchar_t* ParseConversion(const wchar_t* p, Conversion* c) {
    *c = Conversion{};
    c->begin = p++;
    for (;; ++p) {
        if (*p == L'-') {
            c->leftAlign = true;
        } else if (*p == L'+') {
            c->plusSign = true;
        } else if (*p == L' ') {
            c->spaceSign = true;
        } else if (*p == L'#') {
            c->alternate = true;
        } else if (*p == L'0') {
            c->zeroPad = true;
        } else {
            break;
        }
    }
    if (*p == L'*') {
        c->widthFromArg = true;
        ++p;
    } else if (IsDigit(*p) && !ReadNumber(&p, &c->width)) {
        return nullptr;
    }
    if (*p == L'.') {
        ++p;
        if (*p == L'*') {
            c->precisionFromArg = true;
            ++p;
        } else if (!ReadNumber(&p, &c->precision)) {  // "." alone means precision 0
            return nullptr;
        }
    }
    c->sizeBegin = p;
    for (const SizePrefix& prefix : kSizePrefixes) {
        std::size_t n = 0;
        while (prefix.text[n] != L'\0' && p[n] == prefix.text[n]) {
            ++n;
        }
        if (prefix.text[n] == L'\0') {
            p += n;
            c->size = prefix.size;
            break;
        }
    }
    c->sizeEnd = p;
    c->type = *p;
    if (c->type == L'\0' || !SizeFitsType(c->size, c->type)) {
        return nullptr;
    }
    c->end = ++p;
    return p;
}

bool Walk(const wchar_t* format, FormatVisitor* visitor) {
    const wchar_t* p = format;
    while (*p != L'\0') {
        const wchar_t* literal = p;
        while (*p != L'\0' && *p != L'%') {
            ++p;
        }
        if (p != literal && visitor != nullptr && !visitor->Literal(literal, p)) {
            return false;
        }
        if (*p == L'\0') {
            break;
        }
        Conversion c;
        const wchar_t* next = ParseConversion(p, &c);
        if (next == nullptr) {
            return false;
        }
        if (visitor != nullptr && !visitor->Convert(c)) {
            return false;
        }
        p = next;
    }
    return true;
}

}  // namespace

bool ParseFormat(const wchar_t* format, FormatVisitor* visitor) noexcept {
    if (!Walk(format, nullptr)) {
        return false;
    }
    return visitor == nullptr || Walk(format, visitor);
}

}  // namespace text_detail

}  // namespace platform
