// Writing registry export text: each key's section and each value in the form the Windows
// exporter uses.
#include "regfile/registry_file_writer.h"

#include <cstdio>

#include "platform/registry.h"
#include "regfile/registry_file_encoding.h"
#include "text/text.h"

namespace platform::regfile {
namespace {

void AppendEscaped(std::u16string* out, std::u16string_view text) {
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') {
            out->push_back(u'\\');
        }
        out->push_back(c);
    }
}

// The code units of string data without its terminating NUL.
std::u16string StringUnits(const std::vector<std::uint8_t>& data) {
    std::u16string units;
    for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return units;
}

// REG_SZ data that the "text" form gives back byte for byte: terminated, and nothing in it
// that a name could not hold either.
bool WritableAsString(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 ||
        data[data.size() - 2] != 0) {
        return false;
    }
    const std::u16string units = StringUnits(data);
    return IsWellFormed(units) && IsWritableName(Utf16ToWide(units));
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
        AppendEscaped(out, WideToUtf16(v.name));
        out->push_back(u'"');
    }
    out->push_back(u'=');
    if (v.type == kRegSz && WritableAsString(v.data)) {
        out->push_back(u'"');
        AppendEscaped(out, StringUnits(v.data));
        out->push_back(u'"');
        out->append(nl);
        return;
    }
    char buf[32];
    if (v.type == kRegDword && v.data.size() == 4) {
        const std::uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                (static_cast<std::uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
        AppendAscii(out, buf);
        out->append(nl);
        return;
    }
    if (v.type == kRegBinary) {
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

}  // namespace

std::vector<std::uint8_t> Serialize(const Document& doc) {
    const std::u16string_view nl = doc.crlf ? u"\r\n" : u"\n";
    std::u16string text(kFileHeader);
    text.append(nl);
    for (const Key& key : doc.Keys()) {
        text.append(nl);
        text.append(u"[HKEY_LOCAL_MACHINE");
        if (!key.path.empty()) {
            text.push_back(u'\\');
            text.append(WideToUtf16(key.path));
        }
        text.push_back(u']');
        text.append(nl);
        for (const Value& v : key.values) {
            AppendValue(&text, v, nl);
        }
    }
    return EncodeFile(text, doc.encoding);
}

}  // namespace platform::regfile
