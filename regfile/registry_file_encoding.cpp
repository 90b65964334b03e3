// Decoding a .reg file's bytes into UTF-16 code units and encoding text back into bytes.
#include "regfile/registry_file_encoding.h"

#include <cwchar>

#include "text/text_codec.h"

namespace platform::regfile {
namespace {

// The file is read whole into memory; a registry this large is a mistake, not a deployment.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

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

bool DecodeUtf8(const std::uint8_t* bytes, std::size_t size, std::u16string* out,
                ParseError* error) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    const utf::Converted need = utf::Convert(text, size, static_cast<char16_t*>(nullptr), 0);
    if (need.firstInvalid != utf::kAllValid) {
        const std::size_t at = need.firstInvalid;
        const std::size_t length = utf::DecodeUtf8(text + at, size - at).length;
        const bool cut = at + length == size && bytes[at] >= 0xC2 && bytes[at] <= 0xF4;
        return Fail(error, LineAt(bytes, at),
                    cut ? L"the file ends inside a UTF-8 character"
                        : L"invalid UTF-8 sequence at byte 0x" + Hex2(bytes[at]) +
                              L" (the file must be UTF-8, or UTF-16LE with a byte-order mark)");
    }
    out->resize(need.written);
    (void)utf::Convert(text, size, out->data(), out->size());
    return true;
}

void EncodeUtf8(std::u16string_view units, std::vector<std::uint8_t>* out) {
    const std::size_t start = out->size();
    out->resize(start +
                utf::Convert(units.data(), units.size(), static_cast<char*>(nullptr), 0).written);
    (void)utf::Convert(units.data(), units.size(), reinterpret_cast<char*>(out->data() + start),
                       out->size() - start);
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
