// Fuzz target: message formatting and line framing. Any level, function name, line number and
// format (with valid arguments) must give either no line at all or exactly one whole line
// whose header and message are what they should be.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "diagnostics/log_file.h"
#include "platform/thread.h"
#include "text/text.h"

namespace {

// Arguments for every conversion: valid wide strings (also read as narrow ones, as integers
// or as pointers by other conversions, which is harmless on this platform's calling
// convention). One is long, so that widths and strings make the buffer grow.
const std::wstring kLong(3000, L'L');
#define KELTRA_FUZZ_ARGS L"", L"a", L"\u00e9\u20ac", kLong.c_str(), L"%s%d", L"x\r\ny", L"z", L"w"

logfilesync::CLogFile* g_log = nullptr;
std::string g_path;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_log_line: %s\n", what);
        std::abort();
    }
}

void OpenLog() {
    g_log->Close();
    (void)g_log->Configure(1, platform::Utf8ToWide(g_path).c_str(), 0, 0);
    Check(g_log->Open() == 1, "cannot open the log");
}

std::string Utf16Le(const std::wstring& text) {
    std::string bytes;
    for (const char16_t unit : platform::WideToUtf16(text)) {
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    }
    return bytes;
}

int Expected(wchar_t* buffer, std::size_t size, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = platform::VsnwprintfS(buffer, size, size - 1, format, args);
    va_end(args);
    return result;
}

// The line header after the time stamp, printed into cap characters; false when it does not fit.
bool Header(wchar_t level, const std::wstring& function, std::int32_t line, std::size_t cap,
            std::wstring* out) {
    wchar_t text[300];
    const bool fits = platform::StringCchPrintfW(text, cap, L"|%c|%06d|%06d|%s(L%d): ", level,
                                                 static_cast<int>(platform::GetCurrentProcessId()),
                                                 static_cast<int>(platform::GetCurrentThreadId()),
                                                 function.c_str(), line) == platform::kSOk;
    *out = text;
    return fits;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The malformed-format report goes to standard output: keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 0;
    }
    char dir[] = "/tmp/keltra-fuzz-log-XXXXXX";
    Check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_path = std::string(dir) + "/fuzz.log";
    static logfilesync::CLogFile log;
    g_log = &log;
    OpenLog();
    // The fuzzer ends through exit(): leave no file behind.
    std::atexit([] {
        g_log->Close();
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(g_path).parent_path(), ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) {
        return 0;
    }
    const auto level = static_cast<wchar_t>(data[0] | (data[1] << 8));
    std::int32_t line;
    std::memcpy(&line, data + 2, 4);
    const std::size_t functionBytes = std::min<std::size_t>(data[6] % 64, size - 7);
    std::wstring function;
    for (std::size_t i = 7; i < 7 + functionBytes && data[i] != 0; ++i) {
        function.push_back(static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0x100 + data[i]));
    }
    // The format: the rest as UTF-16LE, with at most 8 conversions (8 arguments are passed),
    // without "*" (widths from arguments would be pointer bits), with floating-point
    // conversions made "d" (nothing passes a double, and a garbage one prints differently from
    // call to call), and with runs of digits cut to four (widths up to 9999 are enough to grow).
    std::wstring format;
    int digits = 0, percents = 0;
    for (std::size_t i = 7 + functionBytes; i + 1 < size; i += 2) {
        auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        if (unit == L'*' || (unit == L'%' && ++percents > 8)) {
            continue;
        }
        if (std::wstring_view(L"eEfFgGaA").find(unit) != std::wstring_view::npos) {
            unit = L'd';
        }
        digits = (unit >= L'0' && unit <= L'9') ? digits + 1 : 0;
        if (digits <= 4) {
            format.push_back(unit);
        }
    }

    if (std::filesystem::file_size(g_path) > (32u << 20)) {
        OpenLog();
    }
    const std::uint64_t before = std::filesystem::file_size(g_path);
    // What the formatter gives outside the log (not guarded: a fault here is a finding).
    static wchar_t expected[1 << 16];  // not cleared: the call terminates it
    const int expectedChars =
        Expected(expected, std::size(expected), format.c_str(), KELTRA_FUZZ_ARGS);
    const int written = g_log->Log(level, function.c_str(), line, format.c_str(), KELTRA_FUZZ_ARGS);
    std::ifstream in(g_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(before));
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    Check(written == 0 || written == 1, "Log returned neither 0 nor 1");
    std::wstring header;
    if (written == 0) {
        Check(bytes.empty(), "a refused line left bytes in the file");
        // A message that fits and a header that frames it must have been written.
        const bool framable = level != L'\0' && level != L'\r' && level != L'\n' &&
                              function.find_first_of(L"\r\n") == std::wstring::npos &&
                              Header(level, function, line, 237, &header);
        Check(!(framable && expectedChars > 0), "a framable message was not written");
        return 0;
    }
    Check(expectedChars != 0, "an empty message was written");
    // The time stamp: "dddd/dd/dd dd:dd:dd.ddd".
    static const char kStamp[] = "9999/99/99 99:99:99.999";
    Check(bytes.size() > 46, "line shorter than a time stamp");
    for (std::size_t i = 0; i < 23; ++i) {
        const char c = bytes[2 * i];
        Check(bytes[2 * i + 1] == 0, "time stamp not ASCII");
        Check(kStamp[i] == '9' ? (c >= '0' && c <= '9') : c == kStamp[i], "bad time stamp");
    }
    Check(Header(level, function, line, 300, &header), "header");
    const std::string rest = bytes.substr(46);
    const std::string head = Utf16Le(header);
    Check(rest.compare(0, head.size(), head) == 0, "header differs");
    Check(rest.size() >= head.size() + 4 &&
              rest.compare(rest.size() - 4, 4, std::string("\r\0\n\0", 4)) == 0,
          "line does not end with CR LF");
    Check(expectedChars < 0 || rest.substr(head.size(), rest.size() - head.size() - 4) ==
                                   Utf16Le(std::wstring(expected, expectedChars)),
          "message differs from the formatter's text");
    return 0;
}
