// Fuzz target: message formatting and line framing. Any level, function name, line number and
// format (with valid arguments) must give either no line at all or exactly one whole line
// whose header and message are what they should be.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

using logfilesync::CLogFile;

// Arguments for every conversion: valid wide strings (also read as narrow ones, as integers
// or as pointers by other conversions, which is harmless on this platform's calling
// convention). One is long, so that widths and strings make the buffer grow.
const std::wstring kLong(3000, L'L');
#define KELTRA_FUZZ_ARGS L"", L"a", L"\u00e9\u20ac", kLong.c_str(), L"%s%d", L"x\r\ny", L"z", L"w"

CLogFile* g_log = nullptr;
std::wstring g_path;

std::string ReadFrom(std::uint64_t offset) {
    platform::UniqueHandle file(
        platform::CreateFile(g_path.c_str(), platform::kGenericRead,
                             platform::kFileShareRead | platform::kFileShareWrite, false,
                             platform::kOpenExisting, platform::kFileAttributeNormal));
    if (!file) {
        std::abort();
    }
    std::int32_t high = static_cast<std::int32_t>(offset >> 32);
    (void)platform::SetFilePointer(file.Get(), static_cast<std::int32_t>(offset), &high,
                                   platform::kFileBegin);
    std::string bytes;
    char chunk[65536];
    std::uint32_t got = 0;
    while (platform::ReadFile(file.Get(), chunk, sizeof chunk, &got) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

std::uint64_t FileSize() {
    return std::filesystem::file_size(platform::WideToUtf8(g_path));
}

void OpenLog(std::uint32_t append) {
    g_log->Close();
    (void)g_log->Configure(1, g_path.c_str(), append, 0);
    if (g_log->Open() != 1) {
        std::fprintf(stderr, "cannot open %ls\n", g_path.c_str());
        std::abort();
    }
}

std::string Utf16Le(const std::wstring& text) {
    std::string bytes;
    for (const char16_t unit : platform::WideToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
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

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_log_line: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The malformed-format report goes to standard output: keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 0;
    }
    char dir[] = "/tmp/keltra-fuzz-log-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::abort();
    }
    g_path = platform::Utf8ToWide(std::string(dir) + "/fuzz.log");
    static CLogFile log;
    g_log = &log;
    (void)log.Configure(1, g_path.c_str(), 0, 0);
    OpenLog(0);
    // The fuzzer ends through exit(): leave no file behind.
    static const std::string directory = dir;
    std::atexit([] {
        g_log->Close();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
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
    for (std::size_t i = 0; i < functionBytes; ++i) {
        if (data[7 + i] == 0) {
            break;
        }
        function.push_back(
            static_cast<wchar_t>(data[7 + i] < 0x80 ? data[7 + i] : 0x100 + data[7 + i]));
    }
    // The format: the rest as UTF-16LE, with at most 8 conversions, without "*" (widths from
    // arguments would be pointer bits), without floating-point conversions, and with runs of digits
    // cut to four (widths up to 9999 are enough to grow).
    std::wstring format;
    int digits = 0;
    int percents = 0;
    for (std::size_t i = 7 + functionBytes; i + 1 < size; i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        if (unit == L'*' || (unit == L'%' && ++percents > 8)) {
            continue;  // at most 8 conversions: 8 arguments are passed
        }
        // No floating point: nothing passes a double, and a garbage one prints differently
        // from call to call.
        if (std::wstring_view(L"eEfFgGaA").find(unit) != std::wstring_view::npos) {
            format.push_back(L'd');
            digits = 0;
            continue;
        }
        digits = (unit >= L'0' && unit <= L'9') ? digits + 1 : 0;
        if (digits > 4) {
            continue;
        }
        format.push_back(unit);
    }

    if (FileSize() > (32u << 20)) {
        OpenLog(0);
    }
    const std::uint64_t before = FileSize();

    // What the formatter gives outside the log (not guarded: a fault here is a finding).
    static std::vector<wchar_t> expected(1 << 16);  // not cleared: the call terminates it
    const int expectedChars =
        Expected(expected.data(), expected.size(), format.c_str(), KELTRA_FUZZ_ARGS);

    const int written = g_log->Log(level, function.c_str(), line, format.c_str(), KELTRA_FUZZ_ARGS);
    const std::uint64_t after = FileSize();
    Check(written == 0 || written == 1, "Log returned neither 0 nor 1");
    if (written == 0) {
        Check(after == before, "a refused line left bytes in the file");
        // A message that fits and a header that frames it must have been written.
        wchar_t tail[300];
        const bool framable =
            level != L'\0' && level != L'\r' && level != L'\n' &&
            function.find_first_of(L"\r\n") == std::wstring::npos &&
            platform::StringCchPrintfW(tail, 237, L"|%c|%06d|%06d|%s(L%d): ", level,
                                       static_cast<int>(platform::GetCurrentProcessId()),
                                       static_cast<int>(platform::GetCurrentThreadId()),
                                       function.c_str(), line) == platform::kSOk;
        Check(!(framable && expectedChars > 0), "a framable message was not written");
        return 0;
    }
    Check(expectedChars != 0, "an empty message was written");
    const std::string bytes = ReadFrom(before);
    Check(bytes.size() == after - before, "the file changed under the check");
    // The time stamp: "dddd/dd/dd dd:dd:dd.ddd".
    static const char kStamp[] = "9999/99/99 99:99:99.999";
    Check(bytes.size() > 46, "line shorter than a time stamp");
    for (std::size_t i = 0; i < 23; ++i) {
        const char c = bytes[2 * i];
        Check(bytes[2 * i + 1] == 0, "time stamp not ASCII");
        Check(kStamp[i] == '9' ? (c >= '0' && c <= '9') : c == kStamp[i], "bad time stamp");
    }
    wchar_t tail[300];
    Check(platform::StringCchPrintfW(tail, 300, L"|%c|%06d|%06d|%s(L%d): ", level,
                                     static_cast<int>(platform::GetCurrentProcessId()),
                                     static_cast<int>(platform::GetCurrentThreadId()),
                                     function.c_str(), line) == platform::kSOk,
          "header");
    const std::string rest = bytes.substr(46);
    const std::string header = Utf16Le(tail);
    Check(rest.compare(0, header.size(), header) == 0, "header differs");
    Check(rest.size() >= header.size() + 4 &&
              rest.compare(rest.size() - 4, 4, std::string("\r\0\n\0", 4)) == 0,
          "line does not end with CR LF");
    const std::string message = rest.substr(header.size(), rest.size() - header.size() - 4);
    if (expectedChars > 0 && std::getenv("KELTRA_FUZZ_DEBUG") != nullptr) {
        std::fprintf(stderr, "format [%s]\nexpected [%s]\n", platform::WideToUtf8(format).c_str(),
                     platform::WideToUtf8(
                         std::wstring(expected.data(), static_cast<std::size_t>(expectedChars)))
                         .c_str());
    }
    if (expectedChars > 0) {
        Check(message ==
                  Utf16Le(std::wstring(expected.data(), static_cast<std::size_t>(expectedChars))),
              "message differs from the formatter's text");
    }
    return 0;
}
