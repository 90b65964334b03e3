// Decoding a .reg file's bytes into UTF-16 code units and encoding text back into bytes.
#include "platform/registry_file_encoding.h"

#include <cwchar>

namespace platform::regfile {
namespace {

// The file is read whole into memory; a registry this large is a mistake, not a deployment.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

bool IsHighSurrogate(std::uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

bool Fail(ParseError* error, std::size_t line, std::wstring message) {
    error->line = line;
    error->message = std::move(message);
    return false;
}

std::wstring Hex2(unsigned v) {
    wchar_t buf[8];
    std::swprintf(buf, 8, L"%02X", v & 0xFF);
    return buf;
}

// Line number of a position, counting CR LF, LF and a lone CR as one line end each.
template <typename Unit>
std::size_t LineAt(const Unit* text, std::size_t pos) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < pos; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= pos || text[i + 1] != '\n'))) {
            ++line;
        }
    }
    return line;
}

bool DecodeUtf8(const std::uint8_t* p, std::size_t n, std::u16string* out, ParseError* error) {
    out->reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            out->push_back(b);
            ++i;
            continue;
        }
        std::uint32_t cp = 0;
        std::size_t len = 0;
        if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1Fu;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0Fu;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07u;
            len = 4;
        } else {
            return Fail(error, LineAt(p, i),
                        L"invalid UTF-8 byte 0x" + Hex2(b) +
                            L" (the file must be UTF-8, or UTF-16LE with a byte-order mark)");
        }
        if (n - i < len) {
            return Fail(error, LineAt(p, i), L"the file ends inside a UTF-8 character");
        }
        for (std::size_t k = 1; k < len; ++k) {
            const std::uint8_t c = p[i + k];
            if ((c & 0xC0) != 0x80) {
                return Fail(error, LineAt(p, i),
                            L"invalid UTF-8 sequence at byte 0x" + Hex2(b) +
                                L" (the file must be UTF-8, or UTF-16LE with a byte-order mark)");
            }
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return Fail(error, LineAt(p, i),
                        L"invalid UTF-8 sequence (overlong or not a character)");
        }
        if (cp >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

void EncodeUtf8(std::u16string_view units, std::vector<std::uint8_t>* out) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (IsHighSurrogate(cp) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00u);
        } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
            cp = 0xFFFD;  // not representable in UTF-8; callers keep such names out
        }
        if (cp < 0x80) {
            out->push_back(static_cast<std::uint8_t>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<std::uint8_t>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<std::uint8_t>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
        }
    }
}

}  // namespace

bool DecodeFile(const std::uint8_t* bytes, std::size_t size, Encoding* encoding,
                std::u16string* text, ParseError* error) {
    *encoding = Encoding::kUtf8;
    text->clear();
    if (size > kMaxFileBytes) {
        return Fail(error, 1, L"the file is larger than 1 GiB");
    }
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        *encoding = Encoding::kUtf16Le;
        const std::size_t units = (size - 2) / 2;
        text->reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            text->push_back(static_cast<char16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8)));
        }
        if ((size - 2) % 2 != 0) {
            return Fail(error, LineAt(text->data(), text->size()),
                        L"the file ends in the middle of a UTF-16 character (odd byte count)");
        }
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return Fail(error, 1, L"UTF-16 big-endian files are not supported; use UTF-16LE or UTF-8");
    } else {
        std::size_t skip = 0;
        if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            *encoding = Encoding::kUtf8Bom;
            skip = 3;
        }
        if (!DecodeUtf8(bytes + skip, size - skip, text, error)) {
            return false;
        }
    }
    const std::size_t nul = text->find(u'\0');
    if (nul != std::u16string::npos) {
        return Fail(error, LineAt(text->data(), nul),
                    *encoding == Encoding::kUtf16Le
                        ? L"NUL character in the text"
                        : L"NUL character in the text (a UTF-16 file needs its byte-order mark)");
    }
    return true;
}

std::vector<std::uint8_t> EncodeFile(std::u16string_view text, Encoding encoding) {
    std::vector<std::uint8_t> out;
    switch (encoding) {
        case Encoding::kUtf16Le:
            out = {0xFF, 0xFE};
            AppendUtf16Le(text, &out);
            break;
        case Encoding::kUtf8Bom:
            out = {0xEF, 0xBB, 0xBF};
            EncodeUtf8(text, &out);
            break;
        case Encoding::kUtf8:
            EncodeUtf8(text, &out);
            break;
    }
    return out;
}

void AppendUtf16Le(std::u16string_view units, std::vector<std::uint8_t>* out) {
    for (char16_t u : units) {
        out->push_back(static_cast<std::uint8_t>(u & 0xFF));
        out->push_back(static_cast<std::uint8_t>(u >> 8));
    }
}

}  // namespace platform::regfile
