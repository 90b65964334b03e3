// Reading registry export text: a line-by-line parser over the file's UTF-16 code units that
// fills the in-memory registry.
#include "regfile/registry_file_parser.h"

#include <algorithm>
#include <cwchar>

#include "platform/registry.h"
#include "regfile/registry_file_encoding.h"
#include "text/text.h"

namespace platform::regfile {
namespace {

constexpr std::wstring_view kRootName = L"HKEY_LOCAL_MACHINE";

// A short, printable excerpt of file text for a message.
std::wstring Excerpt(std::u16string_view text) {
    constexpr std::size_t kMax = 40;
    std::wstring out = Utf16ToWide(text.substr(0, kMax));
    if (text.size() > kMax) {
        out += L"...";
    }
    return out;
}

bool Fail(ParseError* error, std::size_t line, std::wstring message) {
    error->line = line;
    error->message = std::move(message);
    return false;
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

// 1 to 8 hex digits.
bool ParseHexNumber(std::u16string_view digits, std::uint32_t* value) {
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), [](char16_t c) { return HexDigit(c) >= 0; })) {
        return false;
    }
    *value = 0;
    for (char16_t c : digits) {
        *value = (*value << 4) | static_cast<std::uint32_t>(HexDigit(c));
    }
    return true;
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
        if (line != kFileHeader) {
            if (line == u"REGEDIT4") {
                return Fail(L"REGEDIT4 files are not supported; use the header '" +
                            Utf16ToWide(kFileHeader) + L"' (UTF-8 or UTF-16LE)");
            }
            return Fail(L"the first line must be '" + Utf16ToWide(kFileHeader) + L"', not '" +
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
        if (FoldName(Utf16ToWide(root)) != kRootName) {
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
        if (!IsWellFormed(rest)) {
            return Fail(L"key name with an unpaired UTF-16 surrogate in section '" + Excerpt(line) +
                        L"'");
        }
        const std::wstring path = Utf16ToWide(rest);
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
                    return Fail(L"unknown escape '\\" + Utf16ToWide(line.substr(i + 1, 1)) +
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

    // "name"=data or @=data: the name, the '=', then the data in one of its forms.
    bool ParseValue(std::u16string_view line) {
        if (m_inRemovedSection) {
            return Fail(L"value in the section of a deleted key [-...]");
        }
        if (m_current == nullptr) {
            return Fail(L"value outside a key section: '" + Excerpt(line) + L"'");
        }
        std::wstring name;
        std::size_t i = 0;
        if (!ParseValueName(line, &i, &name) || !SkipEquals(line, &i)) {
            return false;
        }
        const std::u16string_view data = line.substr(i);
        if (data == u"-") {
            DeleteValue(*m_current, name);
            return true;
        }
        std::uint32_t type = 0;
        std::vector<std::uint8_t> bytes;
        if (!ParseData(data, &type, &bytes)) {
            return false;
        }
        SetValue(*m_current, name, type, std::move(bytes));
        return true;
    }

    // The quoted name, or the '@' of the default value (an empty name).
    bool ParseValueName(std::u16string_view line, std::size_t* i, std::wstring* name) {
        std::u16string units;
        if (line.front() == u'@') {
            *i = 1;
        } else if (!ParseQuoted(line, i, &units)) {
            return false;
        }
        if (units.size() > kMaxValueNameChars) {
            return Fail(L"value name longer than 16383 characters");
        }
        if (!IsWellFormed(units)) {
            return Fail(L"value name with an unpaired UTF-16 surrogate");
        }
        *name = Utf16ToWide(units);
        return true;
    }

    // Blanks, '=', blanks.
    bool SkipEquals(std::u16string_view line, std::size_t* i) {
        while (*i < line.size() && IsBlank(line[*i])) {
            ++*i;
        }
        if (*i >= line.size() || line[*i] != u'=') {
            return Fail(L"expected '=' after the value name in '" + Excerpt(line) + L"'");
        }
        ++*i;
        while (*i < line.size() && IsBlank(line[*i])) {
            ++*i;
        }
        return true;
    }

    bool ParseData(std::u16string_view data, std::uint32_t* type,
                   std::vector<std::uint8_t>* bytes) {
        if (!data.empty() && data.front() == u'"') {
            *type = kRegSz;
            return ParseStringData(data, bytes);
        }
        if (StartsWithNoCase(data, u"dword:")) {
            *type = kRegDword;
            return ParseDwordData(data.substr(6), bytes);
        }
        if (StartsWithNoCase(data, u"hex:")) {
            *type = kRegBinary;
            return ParseHexList(data.substr(4), bytes);
        }
        if (StartsWithNoCase(data, u"hex(")) {
            return ParseTypedHex(data, type, bytes);
        }
        return Fail(L"unknown value data '" + Excerpt(data) +
                    L"': expected \"text\", dword:, hex:, hex(N): or -");
    }

    // "text": UTF-16LE bytes with the terminating NUL.
    bool ParseStringData(std::u16string_view data, std::vector<std::uint8_t>* bytes) {
        std::size_t end = 0;
        std::u16string text;
        if (!ParseQuoted(data, &end, &text)) {
            return false;
        }
        if (!TrimBlanks(data.substr(end)).empty()) {
            return Fail(L"unexpected text after the string: '" + Excerpt(data.substr(end)) + L"'");
        }
        text.push_back(u'\0');
        AppendUtf16Le(text, bytes);
        return true;
    }

    // The digits after "dword:": four little-endian bytes.
    bool ParseDwordData(std::u16string_view digits, std::vector<std::uint8_t>* bytes) {
        std::uint32_t v = 0;
        if (!ParseHexNumber(digits, &v)) {
            return Fail(L"bad dword '" + Excerpt(digits) +
                        L"': expected 1 to 8 hex digits, as in dword:0000002a");
        }
        for (int k = 0; k < 4; ++k) {
            bytes->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        }
        return true;
    }

    // hex(N):list, with the type N in hex.
    bool ParseTypedHex(std::u16string_view data, std::uint32_t* type,
                       std::vector<std::uint8_t>* bytes) {
        const std::size_t close = data.find(u')');
        if (close == std::u16string_view::npos || close + 1 >= data.size() ||
            data[close + 1] != u':' || !ParseHexNumber(data.substr(4, close - 4), type)) {
            return Fail(L"bad value type in '" + Excerpt(data) +
                        L"': expected hex(N): with N in hex, as in hex(7):");
        }
        return ParseHexList(data.substr(close + 2), bytes);
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

}  // namespace

bool Parse(const std::uint8_t* bytes, std::size_t size, Document* doc, ParseError* error) {
    *doc = Document{};
    std::u16string text;
    if (!DecodeFile(bytes, size, &doc->encoding, &text, error)) {
        return false;
    }
    const std::size_t firstEnd = text.find_first_of(u"\r\n");
    doc->crlf = firstEnd != std::u16string::npos && text[firstEnd] == u'\r' &&
                firstEnd + 1 < text.size() && text[firstEnd + 1] == u'\n';
    if (text.find_first_not_of(u" \t\r\n") == std::u16string::npos) {
        return true;
    }
    return Parser(text, doc, error).Run();
}

std::wstring DescribeError(std::wstring_view fileName, const ParseError& error) {
    std::wstring out(fileName);
    out += L":" + std::to_wstring(error.line) + L": " + error.message;
    return out;
}

}  // namespace platform::regfile
