// Fuzz target: the log reader. Any bytes, fed whole or in pieces, must give the same valid
// UTF-8 lines, and header parsing must stay within the line it is given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diagnostics/log_reader.h"
#include "text/text_codec.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_log_reader: %s\n", what);
        std::abort();
    }
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
    // Strict UTF-8 as the codec decodes it: no overlong forms, surrogates, or past U+10FFFF.
    Check(platform::utf::Convert(wholeText.data(), wholeText.size(),
                                 static_cast<char16_t*>(nullptr), 0)
                  .firstInvalid == platform::utf::kAllValid,
          "output is not valid UTF-8");
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
