// Fuzz target: the log reader. Any bytes, fed whole or in pieces, must give the same valid
// UTF-8 lines, and header parsing must stay within the line it is given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diagnostics/log_reader.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_log_reader: %s\n", what);
        std::abort();
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool ValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t n;
        char32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        const char32_t minimum = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint32_t minRank = data[0] % 6;
    const std::size_t step = 1 + data[1] % 7;
    const std::uint8_t* bytes = data + 2;
    const std::size_t count = size - 2;

    logfilesync::LogTextReader whole(minRank);
    std::string wholeText;
    whole.Feed(bytes, count, &wholeText);
    whole.Flush(&wholeText);

    logfilesync::LogTextReader pieces(minRank);
    std::string piecesText;
    for (std::size_t at = 0; at < count; at += step) {
        pieces.Feed(bytes + at, std::min(step, count - at), &piecesText);
    }
    pieces.Flush(&piecesText);

    Check(wholeText == piecesText, "pieces and whole differ");
    Check(ValidUtf8(wholeText), "output is not valid UTF-8");
    Check(wholeText.empty() || wholeText.back() == '\n', "output does not end a line");
    Check(!whole.HasPartialLine(), "a partial line survived Flush");

    // Header parsing on the units as they are.
    std::u16string units;
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    logfilesync::LogHeader header;
    if (logfilesync::ParseLogHeader(units, &header)) {
        Check(header.length <= units.size(), "header longer than its line");
        Check(header.function.data() >= units.data() &&
                  header.function.data() + header.function.size() <= units.data() + units.size(),
              "function outside the line");
        Check(header.month >= 1 && header.month <= 12 && header.hour <= 23, "fields out of range");
    }
    return 0;
}
