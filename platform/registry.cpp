// The registry export text format: the in-memory registry, the parser and the writer.
//
// Holds only system-independent code: it is compiled on every platform so that .reg files can
// be checked and the format tested everywhere. The file is decoded into UTF-16 code units
// first, so that string data keeps exactly the units the file holds on every platform.
#include "platform/registry_file.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace platform::regfile {
namespace {

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;
constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kRootName = L"HKEY_LOCAL_MACHINE";
// The file is read whole into memory; a registry this large is a mistake, not a deployment.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

wchar_t FoldChar(wchar_t c) noexcept {
    const auto u = static_cast<std::uint32_t>(c);
    if (u < 0x80) {
        return (u >= 'a' && u <= 'z') ? static_cast<wchar_t>(u - 0x20) : c;
    }
    std::uint32_t r = u;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F)) {
        r = u - 0x20;
    } else if (u == 0xFF) {
        r = 0x178;
    } else if (u == 0x3C2) {
        r = 0x3A3;
    } else if (u >= 0x450 && u <= 0x45F) {
        r = u - 0x50;
    } else if (((u >= 0x101 && u <= 0x12F) || (u >= 0x133 && u <= 0x137) ||
                (u >= 0x14B && u <= 0x177)) &&
               (u & 1) != 0) {
        r = u - 1;
    } else if (((u >= 0x13A && u <= 0x148) || (u >= 0x17A && u <= 0x17E)) && (u & 1) == 0) {
        r = u - 1;
    }
    return static_cast<wchar_t>(r);
}

bool IsHighSurrogate(std::uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// UTF-16 units to wide text. Unpaired surrogates are kept as they are, so that names read
// from a UTF-16 file come back unchanged.
std::wstring WideFromUnits(std::u16string_view units) {
    std::wstring out;
    out.reserve(units.size());
    if constexpr (sizeof(wchar_t) == 2) {
        for (char16_t u : units) {
            out.push_back(static_cast<wchar_t>(u));
        }
    } else {
        for (std::size_t i = 0; i < units.size(); ++i) {
            const std::uint32_t u = units[i];
            if (IsHighSurrogate(u) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
                const std::uint32_t lo = units[++i];
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
            } else {
                out.push_back(static_cast<wchar_t>(u));
            }
        }
    }
    return out;
}

std::u16string UnitsFromWide(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        if (u >= 0x10000 && u <= 0x10FFFF) {
            out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
        } else if (u > 0x10FFFF) {
            out.push_back(u'\xFFFD');
        } else {
            out.push_back(static_cast<char16_t>(u));
        }
    }
    return out;
}

bool HasUnpairedSurrogate(std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (IsHighSurrogate(units[i])) {
            if (i + 1 >= units.size() || !IsLowSurrogate(units[i + 1])) {
                return true;
            }
            ++i;
        } else if (IsLowSurrogate(units[i])) {
            return true;
        }
    }
    return false;
}

// A short, printable excerpt of file text for a message.
std::wstring Excerpt(std::u16string_view text) {
    constexpr std::size_t kMax = 40;
    std::wstring out = WideFromUnits(text.substr(0, kMax));
    if (text.size() > kMax) {
        out += L"...";
    }
    return out;
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

bool Fail(ParseError* error, std::size_t line, std::wstring message) {
    error->line = line;
    error->message = std::move(message);
    return false;
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

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view TrimBlanks(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

bool IsWordChar(char16_t c) {
    return HexDigit(c) >= 0 || (c >= u'g' && c <= u'z') || (c >= u'G' && c <= u'Z') || c == u'_';
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = s[i];
        if (a >= u'A' && a <= u'Z') {
            a = static_cast<char16_t>(a + 0x20);
        }
        if (a != prefix[i]) {
            return false;
        }
    }
    return true;
}

void AppendUnitsLe(std::vector<std::uint8_t>* out, std::u16string_view units) {
    for (char16_t u : units) {
        out->push_back(static_cast<std::uint8_t>(u & 0xFF));
        out->push_back(static_cast<std::uint8_t>(u >> 8));
    }
}

// Reads the text of one file line by line and fills the document.
class Parser {
  public:
    Parser(std::u16string_view text, Document* doc, ParseError* error)
        : m_text(text), m_doc(doc), m_error(error) {}

    bool Run() {
        std::u16string_view line;
        if (!NextLine(&line)) {
            return true;
        }
        line = TrimBlanks(line);
        if (line != kHeader) {
            if (line == u"REGEDIT4") {
                return Fail(L"REGEDIT4 files are not supported; use the header '" +
                            WideFromUnits(kHeader) + L"' (UTF-8 or UTF-16LE)");
            }
            return Fail(L"the first line must be '" + WideFromUnits(kHeader) + L"', not '" +
                        Excerpt(line) + L"'");
        }
        while (NextLine(&line)) {
            line = TrimBlanks(line);
            if (line.empty() || line.front() == u';') {
                continue;
            }
            bool ok = false;
            if (line.front() == u'[') {
                ok = ParseSection(line);
            } else if (line.front() == u'"' || line.front() == u'@') {
                ok = ParseValue(line);
            } else {
                ok = Fail(L"unexpected text '" + Excerpt(line) +
                          L"': expected a [section], a \"value\"=, @= or a ; comment");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

  private:
    bool Fail(std::wstring message) { return regfile::Fail(m_error, m_line, std::move(message)); }

    bool NextLine(std::u16string_view* line) {
        if (m_pos >= m_text.size()) {
            return false;
        }
        std::size_t end = m_pos;
        while (end < m_text.size() && m_text[end] != u'\n' && m_text[end] != u'\r') {
            ++end;
        }
        *line = m_text.substr(m_pos, end - m_pos);
        if (end < m_text.size()) {
            const bool crlf =
                m_text[end] == u'\r' && end + 1 < m_text.size() && m_text[end + 1] == u'\n';
            end += crlf ? 2 : 1;
        }
        m_pos = end;
        ++m_line;
        return true;
    }

    bool ParseSection(std::u16string_view line) {
        if (line.back() != u']') {
            return Fail(L"section header '" + Excerpt(line) + L"' is not closed with ']'");
        }
        std::u16string_view inner = line.substr(1, line.size() - 2);
        const bool remove = !inner.empty() && inner.front() == u'-';
        if (remove) {
            inner.remove_prefix(1);
        }
        const std::size_t slash = inner.find(u'\\');
        const std::u16string_view root = inner.substr(0, slash);
        if (root.empty()) {
            return Fail(L"empty section header '" + Excerpt(line) + L"'");
        }
        if (FoldName(WideFromUnits(root)) != kRootName) {
            return Fail(L"only keys under HKEY_LOCAL_MACHINE can be kept here, not under '" +
                        Excerpt(root) + L"'");
        }
        std::u16string_view rest;
        if (slash != std::u16string_view::npos) {
            rest = inner.substr(slash + 1);
            std::size_t start = 0;
            for (;;) {
                const std::size_t next = rest.find(u'\\', start);
                const std::size_t len =
                    (next == std::u16string_view::npos ? rest.size() : next) - start;
                if (len == 0) {
                    return Fail(L"empty key name in section '" + Excerpt(line) + L"'");
                }
                if (len > kMaxKeyNameChars) {
                    return Fail(L"key name longer than 255 characters in section '" +
                                Excerpt(line) + L"'");
                }
                if (next == std::u16string_view::npos) {
                    break;
                }
                start = next + 1;
            }
        }
        const std::wstring path = WideFromUnits(rest);
        m_current = nullptr;
        m_inRemovedSection = remove;
        if (remove) {
            if (path.empty()) {
                return Fail(L"HKEY_LOCAL_MACHINE itself cannot be deleted");
            }
            m_doc->DeleteTree(path);
            return true;
        }
        m_current = &m_doc->CreateKey(path);
        return true;
    }

    // A quoted string from line[*pos] (the opening quote) to its closing quote.
    bool ParseQuoted(std::u16string_view line, std::size_t* pos, std::u16string* out) {
        std::size_t i = *pos + 1;
        while (i < line.size()) {
            const char16_t c = line[i];
            if (c == u'"') {
                *pos = i + 1;
                return true;
            }
            if (c == u'\\') {
                if (i + 1 >= line.size()) {
                    break;
                }
                const char16_t e = line[i + 1];
                if (e != u'\\' && e != u'"') {
                    return Fail(L"unknown escape '\\" + WideFromUnits(line.substr(i + 1, 1)) +
                                L"' in a string: write a backslash as \\\\ and a quote as \\\"");
                }
                out->push_back(e);
                i += 2;
                continue;
            }
            out->push_back(c);
            ++i;
        }
        return Fail(L"string not closed with '\"' in '" + Excerpt(line) + L"'");
    }

    bool ParseValue(std::u16string_view line) {
        if (m_inRemovedSection) {
            return Fail(L"value in the section of a deleted key [-...]");
        }
        if (m_current == nullptr) {
            return Fail(L"value outside a key section: '" + Excerpt(line) + L"'");
        }
        std::u16string nameUnits;
        std::size_t i = 1;
        if (line.front() == u'"') {
            i = 0;
            if (!ParseQuoted(line, &i, &nameUnits)) {
                return false;
            }
        }
        if (nameUnits.size() > kMaxValueNameChars) {
            return Fail(L"value name longer than 16383 characters");
        }
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i >= line.size() || line[i] != u'=') {
            return Fail(L"expected '=' after the value name in '" + Excerpt(line) + L"'");
        }
        ++i;
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        const std::wstring name = WideFromUnits(nameUnits);
        const std::u16string_view data = line.substr(i);
        std::vector<std::uint8_t> bytes;
        std::uint32_t type = 0;
        if (!data.empty() && data.front() == u'"') {
            std::size_t end = 0;
            std::u16string text;
            if (!ParseQuoted(data, &end, &text)) {
                return false;
            }
            if (!TrimBlanks(data.substr(end)).empty()) {
                return Fail(L"unexpected text after the string: '" + Excerpt(data.substr(end)) +
                            L"'");
            }
            text.push_back(u'\0');
            AppendUnitsLe(&bytes, text);
            type = kTypeSz;
        } else if (data == u"-") {
            DeleteValue(*m_current, name);
            return true;
        } else if (StartsWithNoCase(data, u"dword:")) {
            const std::u16string_view digits = data.substr(6);
            std::uint32_t v = 0;
            if (digits.empty() || digits.size() > 8 ||
                !std::all_of(digits.begin(), digits.end(),
                             [](char16_t c) { return HexDigit(c) >= 0; })) {
                return Fail(L"bad dword '" + Excerpt(digits) +
                            L"': expected 1 to 8 hex digits, as in dword:0000002a");
            }
            for (char16_t c : digits) {
                v = (v << 4) | static_cast<std::uint32_t>(HexDigit(c));
            }
            for (int k = 0; k < 4; ++k) {
                bytes.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
            }
            type = kTypeDword;
        } else if (StartsWithNoCase(data, u"hex:")) {
            type = kTypeBinary;
            if (!ParseHexList(data.substr(4), &bytes)) {
                return false;
            }
        } else if (StartsWithNoCase(data, u"hex(")) {
            const std::size_t close = data.find(u')');
            const std::u16string_view digits =
                close == std::u16string_view::npos ? data.substr(4) : data.substr(4, close - 4);
            if (close == std::u16string_view::npos || digits.empty() || digits.size() > 8 ||
                close + 1 >= data.size() || data[close + 1] != u':' ||
                !std::all_of(digits.begin(), digits.end(),
                             [](char16_t c) { return HexDigit(c) >= 0; })) {
                return Fail(L"bad value type in '" + Excerpt(data) +
                            L"': expected hex(N): with N in hex, as in hex(7):");
            }
            for (char16_t c : digits) {
                type = (type << 4) | static_cast<std::uint32_t>(HexDigit(c));
            }
            if (!ParseHexList(data.substr(close + 2), &bytes)) {
                return false;
            }
        } else {
            return Fail(L"unknown value data '" + Excerpt(data) +
                        L"': expected \"text\", dword:, hex:, hex(N): or -");
        }
        SetValue(*m_current, name, type, std::move(bytes));
        return true;
    }

    // Comma-separated bytes of two hex digits, continued on the next line after ",\".
    bool ParseHexList(std::u16string_view rest, std::vector<std::uint8_t>* out) {
        bool any = false;
        bool afterComma = false;
        std::size_t i = 0;
        for (;;) {
            while (i < rest.size() && IsBlank(rest[i])) {
                ++i;
            }
            if (i == rest.size()) {
                if (afterComma) {
                    return Fail(
                        L"hex list ends with ','; continue it on the next line with a "
                        L"final backslash");
                }
                return true;
            }
            const char16_t c = rest[i];
            if (c == u'\\') {
                if (!TrimBlanks(rest.substr(i + 1)).empty()) {
                    return Fail(L"unexpected text after the continuation backslash");
                }
                if (any && !afterComma) {
                    return Fail(L"expected ',' before the continuation backslash");
                }
                if (!NextLine(&rest)) {
                    return Fail(L"hex list continued past the end of the file");
                }
                rest = TrimBlanks(rest);
                if (rest.empty()) {
                    return Fail(L"empty continuation line in a hex list");
                }
                i = 0;
                continue;
            }
            if (any && !afterComma) {
                if (c != u',') {
                    return Fail(L"expected ',' between hex bytes, found '" +
                                Excerpt(rest.substr(i)) + L"'");
                }
                afterComma = true;
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < rest.size() && IsWordChar(rest[j])) {
                ++j;
            }
            if (j == i || j - i > 2 || HexDigit(rest[i]) < 0 ||
                (j - i == 2 && HexDigit(rest[i + 1]) < 0)) {
                const std::size_t shown = j == i ? 1 : j - i;
                return Fail(L"bad hex byte '" + Excerpt(rest.substr(i, shown)) +
                            L"': expected two hex digits, as in 0a");
            }
            int v = HexDigit(rest[i]);
            if (j - i == 2) {
                v = v * 16 + HexDigit(rest[i + 1]);
            }
            out->push_back(static_cast<std::uint8_t>(v));
            any = true;
            afterComma = false;
            i = j;
        }
    }

    std::u16string_view m_text;
    Document* m_doc;
    ParseError* m_error;
    std::size_t m_pos = 0;
    std::size_t m_line = 0;
    Key* m_current = nullptr;
    bool m_inRemovedSection = false;
};

void AppendEscaped(std::u16string* out, std::u16string_view text) {
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') {
            out->push_back(u'\\');
        }
        out->push_back(c);
    }
}

// REG_SZ data that the "text" form gives back byte for byte.
bool WritableAsString(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 ||
        data[data.size() - 2] != 0) {
        return false;
    }
    std::u16string units;
    for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
        const auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (u == 0 || u == u'\r' || u == u'\n') {
            return false;
        }
        units.push_back(u);
    }
    return !HasUnpairedSurrogate(units);
}

void AppendAscii(std::u16string* out, const char* text) {
    for (; *text != 0; ++text) {
        out->push_back(static_cast<char16_t>(*text));
    }
}

void AppendValue(std::u16string* out, const Value& v, std::u16string_view nl) {
    const std::size_t lineStart = out->size();
    if (v.name.empty()) {
        out->push_back(u'@');
    } else {
        out->push_back(u'"');
        AppendEscaped(out, UnitsFromWide(v.name));
        out->push_back(u'"');
    }
    out->push_back(u'=');
    if (v.type == kTypeSz && WritableAsString(v.data)) {
        std::u16string units;
        for (std::size_t i = 0; i + 2 < v.data.size(); i += 2) {
            units.push_back(static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8)));
        }
        out->push_back(u'"');
        AppendEscaped(out, units);
        out->push_back(u'"');
        out->append(nl);
        return;
    }
    char buf[32];
    if (v.type == kTypeDword && v.data.size() == 4) {
        const std::uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                (static_cast<std::uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
        AppendAscii(out, buf);
        out->append(nl);
        return;
    }
    if (v.type == kTypeBinary) {
        AppendAscii(out, "hex:");
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        AppendAscii(out, buf);
    }
    // Lines of at most 80 characters, continued with "\" and an indent of two, like the
    // Windows exporter.
    std::size_t column = out->size() - lineStart;
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        const bool last = i + 1 == v.data.size();
        if (i > 0 && column + (last ? 2 : 3) > 78) {
            out->push_back(u'\\');
            out->append(nl);
            out->append(u"  ");
            column = 2;
        }
        std::snprintf(buf, sizeof buf, last ? "%02x" : "%02x,", static_cast<unsigned>(v.data[i]));
        AppendAscii(out, buf);
        column += last ? 2 : 3;
    }
    out->append(nl);
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

std::wstring FoldName(std::wstring_view name) {
    std::wstring out(name);
    for (wchar_t& c : out) {
        c = FoldChar(c);
    }
    return out;
}

Key* Document::FindKey(std::wstring_view path) noexcept {
    const auto it = m_index.find(FoldName(path));
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

const Key* Document::FindKey(std::wstring_view path) const noexcept {
    const auto it = m_index.find(FoldName(path));
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

bool Document::KeyExists(std::wstring_view path) const noexcept {
    return path.empty() || FindKey(path) != nullptr;
}

Key& Document::CreateKey(std::wstring_view path) {
    if (Key* existing = FindKey(path)) {
        return *existing;
    }
    for (std::size_t pos = path.find(L'\\'); pos != std::wstring_view::npos;
         pos = path.find(L'\\', pos + 1)) {
        const std::wstring_view parent = path.substr(0, pos);
        if (FindKey(parent) == nullptr) {
            m_index.emplace(FoldName(parent), m_keys.size());
            m_keys.push_back(Key{std::wstring(parent), {}});
        }
    }
    m_index.emplace(FoldName(path), m_keys.size());
    m_keys.push_back(Key{std::wstring(path), {}});
    return m_keys.back();
}

bool Document::DeleteTree(std::wstring_view path) {
    if (path.empty()) {
        m_keys.clear();
        m_index.clear();
        return true;
    }
    if (FindKey(path) == nullptr) {
        return false;
    }
    const std::wstring folded = FoldName(path);
    std::erase_if(m_keys, [&folded](const Key& key) {
        const std::wstring k = FoldName(key.path);
        return k.size() >= folded.size() && k.compare(0, folded.size(), folded) == 0 &&
               (k.size() == folded.size() || k[folded.size()] == L'\\');
    });
    Reindex();
    return true;
}

void Document::Reindex() {
    m_index.clear();
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
        m_index.emplace(FoldName(m_keys[i].path), i);
    }
}

Value* FindValue(Key& key, std::wstring_view name) noexcept {
    const std::wstring folded = FoldName(name);
    for (Value& v : key.values) {
        if (v.name.size() == folded.size() && FoldName(v.name) == folded) {
            return &v;
        }
    }
    return nullptr;
}

const Value* FindValue(const Key& key, std::wstring_view name) noexcept {
    return FindValue(const_cast<Key&>(key), name);
}

void SetValue(Key& key, std::wstring_view name, std::uint32_t type,
              std::vector<std::uint8_t> data) {
    if (Value* v = FindValue(key, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    key.values.push_back(Value{std::wstring(name), type, std::move(data)});
}

bool DeleteValue(Key& key, std::wstring_view name) {
    Value* v = FindValue(key, name);
    if (v == nullptr) {
        return false;
    }
    key.values.erase(key.values.begin() + (v - key.values.data()));
    return true;
}

std::uint32_t CanonicalKeyPath(std::wstring_view path, std::wstring* canonical) {
    canonical->clear();
    if (!path.empty() && path.front() == L'\\') {
        return 161;  // ERROR_BAD_PATHNAME, as the Windows registry answers
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t next = path.find(L'\\', start);
        if (next == std::wstring_view::npos) {
            next = path.size();
        }
        const std::wstring_view part = path.substr(start, next - start);
        if (part.size() > kMaxKeyNameChars) {
            canonical->clear();
            return 87;
        }
        if (!part.empty()) {
            if (!canonical->empty()) {
                canonical->push_back(L'\\');
            }
            canonical->append(part);
        }
        start = next + 1;
    }
    return 0;
}

std::wstring JoinKeyPath(std::wstring_view parent, std::wstring_view child) {
    if (parent.empty()) {
        return std::wstring(child);
    }
    if (child.empty()) {
        return std::wstring(parent);
    }
    std::wstring out(parent);
    out.push_back(L'\\');
    out.append(child);
    return out;
}

bool IsWritableName(std::wstring_view name) noexcept {
    for (wchar_t c : name) {
        if (c == L'\0' || c == L'\r' || c == L'\n') {
            return false;
        }
    }
    return !HasUnpairedSurrogate(UnitsFromWide(name));
}

bool Parse(const std::uint8_t* bytes, std::size_t size, Document* doc, ParseError* error) {
    *doc = Document{};
    if (size > kMaxFileBytes) {
        return Fail(error, 1, L"the file is larger than 1 GiB");
    }
    std::u16string text;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        doc->encoding = Encoding::kUtf16Le;
        const std::size_t units = (size - 2) / 2;
        text.reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            text.push_back(static_cast<char16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8)));
        }
        if ((size - 2) % 2 != 0) {
            return Fail(error, LineAt(text.data(), text.size()),
                        L"the file ends in the middle of a UTF-16 character (odd byte count)");
        }
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return Fail(error, 1, L"UTF-16 big-endian files are not supported; use UTF-16LE or UTF-8");
    } else {
        std::size_t skip = 0;
        if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            doc->encoding = Encoding::kUtf8Bom;
            skip = 3;
        }
        if (!DecodeUtf8(bytes + skip, size - skip, &text, error)) {
            return false;
        }
    }
    const std::size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos) {
        return Fail(error, LineAt(text.data(), nul),
                    doc->encoding == Encoding::kUtf16Le
                        ? L"NUL character in the text"
                        : L"NUL character in the text (a UTF-16 file needs its byte-order mark)");
    }
    const std::size_t firstEnd = text.find_first_of(u"\r\n");
    doc->crlf = firstEnd != std::u16string::npos && text[firstEnd] == u'\r' &&
                firstEnd + 1 < text.size() && text[firstEnd + 1] == u'\n';
    if (text.find_first_not_of(u" \t\r\n") == std::u16string::npos) {
        return true;
    }
    const Encoding encoding = doc->encoding;
    const bool crlf = doc->crlf;
    if (!Parser(text, doc, error).Run()) {
        return false;
    }
    doc->encoding = encoding;
    doc->crlf = crlf;
    return true;
}

std::wstring DescribeError(std::wstring_view fileName, const ParseError& error) {
    std::wstring out(fileName);
    out += L":" + std::to_wstring(error.line) + L": " + error.message;
    return out;
}

std::vector<std::uint8_t> Serialize(const Document& doc) {
    const std::u16string_view nl = doc.crlf ? u"\r\n" : u"\n";
    std::u16string text(kHeader);
    text.append(nl);
    for (const Key& key : doc.Keys()) {
        text.append(nl);
        text.append(u"[HKEY_LOCAL_MACHINE");
        if (!key.path.empty()) {
            text.push_back(u'\\');
            text.append(UnitsFromWide(key.path));
        }
        text.push_back(u']');
        text.append(nl);
        for (const Value& v : key.values) {
            AppendValue(&text, v, nl);
        }
    }
    std::vector<std::uint8_t> out;
    switch (doc.encoding) {
        case Encoding::kUtf16Le:
            out.reserve(2 + 2 * text.size());
            out.push_back(0xFF);
            out.push_back(0xFE);
            AppendUnitsLe(&out, text);
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

}  // namespace platform::regfile
