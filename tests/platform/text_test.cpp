// Tests of platform/text.h: bounded copy and print, the secure format call, the format
// convention on this platform's C runtime, console output and the UTF conversions.
#include "platform/text.h"
#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using platform::kSOk;
using platform::kStrsafeEInsufficientBuffer;
using platform::kStrsafeEInvalidParameter;

constexpr wchar_t kSentinel = L'\x2603';

// A destination of cch characters followed by sentinels that must survive every call.
struct Dest {
    explicit Dest(std::size_t cch) : cch(cch), storage(cch + 8, kSentinel) {}
    wchar_t* data() { return storage.data(); }
    std::wstring Text() const { return std::wstring(storage.data()); }
    bool TailIntact() const {
        for (std::size_t i = cch; i < storage.size(); ++i) {
            if (storage[i] != kSentinel) {
                return false;
            }
        }
        return true;
    }
    std::size_t cch;
    std::vector<wchar_t> storage;
};

// Counts invalid-parameter calls while installed; puts the previous handler back.
class HandlerSpy {
  public:
    HandlerSpy() {
        s_calls = 0;
        s_allStrings = true;
        m_previous = platform::SetInvalidParameterHandler(&HandlerSpy::OnInvalid);
    }
    ~HandlerSpy() { platform::SetInvalidParameterHandler(m_previous); }
    HandlerSpy(const HandlerSpy&) = delete;
    HandlerSpy& operator=(const HandlerSpy&) = delete;
    int Calls() const { return s_calls.load(); }
    static const std::wstring& LastExpression() { return s_expression; }

  private:
    static void OnInvalid(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                          unsigned int, std::uintptr_t) {
        ++s_calls;
        s_expression = expression != nullptr ? expression : L"<null>";
        s_allStrings = s_allStrings && function != nullptr && file != nullptr;
    }
    platform::InvalidParameterHandler m_previous = nullptr;

  public:
    static inline std::atomic<int> s_calls{0};
    static inline std::wstring s_expression;
    static inline bool s_allStrings = true;
};

int Snw(wchar_t* buffer, std::size_t size, std::size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = platform::VsnwprintfS(buffer, size, count, format, args);
    va_end(args);
    return result;
}

std::wstring Print(const wchar_t* format, ...) {
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    const std::int32_t hr = platform::StringCchVPrintfW(buffer, 512, format, args);
    va_end(args);
    EXPECT_EQ(hr, kSOk) << "format: " << platform::WideToUtf8(format);
    return buffer;
}

TEST(StringCchCopyW, CopiesWhatFitsAndCutsTheRestAtCapacityMinusOne) {
    {
        Dest d(8);
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, L"abc"), kSOk);
        EXPECT_EQ(d.Text(), L"abc");
    }
    {
        Dest d(8);  // 7 characters and the terminator fit exactly
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, L"1234567"), kSOk);
        EXPECT_EQ(d.Text(), L"1234567");
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(8);
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, L"12345678"),
                  kStrsafeEInsufficientBuffer);
        EXPECT_EQ(d.Text(), L"1234567");
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(1);
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, L"x"), kStrsafeEInsufficientBuffer);
        EXPECT_EQ(d.Text(), L"");
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, L""), kSOk);
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(4);
        EXPECT_EQ(platform::StringCchCopyW(d.data(), d.cch, nullptr), kSOk);
        EXPECT_EQ(d.Text(), L"");
    }
}

TEST(StringCchCopyW, RejectsZeroAndOversizedCapacities) {
    Dest d(4);
    EXPECT_EQ(platform::StringCchCopyW(d.data(), 0, L"abc"), kStrsafeEInvalidParameter);
    EXPECT_EQ(d.storage[0], kSentinel) << "a zero capacity must not be written";
    EXPECT_EQ(platform::StringCchCopyW(d.data(), platform::kStrsafeMaxCch + 1, L"abc"),
              kStrsafeEInvalidParameter);
    EXPECT_EQ(d.storage[0], L'\0') << "an oversized capacity empties the destination";
    EXPECT_EQ(d.storage[1], kSentinel);
    EXPECT_EQ(platform::StringCchCopyW(nullptr, 4, L"abc"), kStrsafeEInvalidParameter);
}

TEST(StringCchPrintfW, FollowsTheCopyRulesForFitAndCut) {
    {
        Dest d(8);
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), d.cch, L"%s-%d", L"ab", 1234), kSOk);
        EXPECT_EQ(d.Text(), L"ab-1234");  // exactly capacity - 1
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(8);
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), d.cch, L"%s-%d", L"ab", 12345),
                  kStrsafeEInsufficientBuffer);
        EXPECT_EQ(d.Text(), L"ab-1234");
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(260);  // a long argument cut in the middle of a conversion
        const std::wstring longPath(1000, L'p');
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), d.cch, L"[%s]", longPath.c_str()),
                  kStrsafeEInsufficientBuffer);
        EXPECT_EQ(d.Text(), L"[" + std::wstring(258, L'p'));
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(4);
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), 0, L"x"), kStrsafeEInvalidParameter);
        EXPECT_EQ(d.storage[0], kSentinel);
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), platform::kStrsafeMaxCch + 1, L"x"),
                  kStrsafeEInvalidParameter);
        EXPECT_EQ(d.Text(), L"");
    }
}

TEST(StringCchPrintfW, RefusesMalformedFormatsWithoutReadingArguments) {
    HandlerSpy spy;
    int target = 7;
    for (const wchar_t* format : {L"%n", L"abc%", L"%y", L"%hh", L"%I64s", L"%Lu", L"%5"}) {
        Dest d(32);
        EXPECT_EQ(platform::StringCchPrintfW(d.data(), d.cch, format, &target),
                  kStrsafeEInvalidParameter)
            << platform::WideToUtf8(format);
        EXPECT_EQ(d.Text(), L"");
    }
    EXPECT_EQ(target, 7) << "%n must never write through an argument";
    EXPECT_EQ(spy.Calls(), 0);
}

TEST(FormatConvention, StringsAndCharactersAreWideUnlessMarkedNarrow) {
    // mingw's ISO printf reads "%s" in a wide format as narrow: this fails there if the
    // C runtime entry points are not the msvcrt ones.
    EXPECT_EQ(Print(L"<%s>", L"wide"), L"<wide>");
    EXPECT_EQ(Print(L"<%c%c>", L'W', L'\x263A'), L"<W\x263A>");
    EXPECT_EQ(Print(L"<%ls|%ws|%lc>", L"l", L"w", L'c'), L"<l|w|c>");
    EXPECT_EQ(Print(L"<%hs|%S>", "narrow", "upper"), L"<narrow|upper>");
    EXPECT_EQ(Print(L"<%hc%C>", 'n', 'C'), L"<nC>");
    EXPECT_EQ(Print(L"<%s>", static_cast<const wchar_t*>(nullptr)), L"<(null)>");
    EXPECT_EQ(Print(L"<%5s|%-5s|%.2s|%*s>", L"ab", L"cd", L"efgh", 3, L"i"),
              L"<   ab|cd   |ef|  i>");
    const std::wstring astral = platform::Utf8ToWide("\xF0\x9F\x98\x80");  // U+1F600
    EXPECT_EQ(Print(L"%s", astral.c_str()), astral);
    EXPECT_EQ(Print(L"100%%"), L"100%");
}

TEST(FormatConvention, IntegerSizesArePinned) {
    EXPECT_EQ(Print(L"%d|%u|%x|%X|%08X|%o", -5, 4000000000u, 0xbeefu, 0xbeefu, 0x1Au, 8u),
              L"-5|4000000000|beef|BEEF|0000001A|10");
    EXPECT_EQ(Print(L"%I64d|%I64u", INT64_MIN, UINT64_MAX),
              L"-9223372036854775808|18446744073709551615");
    EXPECT_EQ(Print(L"%lld|%llu|%zu", -1LL << 40, 1ULL << 40, SIZE_MAX),
              L"-1099511627776|1099511627776|" + std::to_wstring(SIZE_MAX));
    EXPECT_EQ(Print(L"%I32d|%hd|%hu", -7, 70000, 70000), L"-7|4464|4464");
    // Arguments after a 64-bit one are still found: a wrong size shifts every later value.
    EXPECT_EQ(Print(L"%I64u %s %d", 1ULL << 33, L"after", 9), L"8589934592 after 9");
    EXPECT_EQ(Print(L"%+d|% d|%-4d|%04d|%.3d|%#x", 5, 5, 5, 5, 5, 255u),
              L"+5| 5|5   |0005|005|0xff");
    EXPECT_EQ(Print(L"%.2f|%5.1f", 1.5, 2.34), L"1.50|  2.3");
}

TEST(FormatConvention, PointersAreSixteenUpperCaseHexDigits) {
    auto* p = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xABCDEF12u));
    EXPECT_EQ(Print(L"%p", p), L"00000000ABCDEF12");
    EXPECT_EQ(Print(L"[%p]", nullptr), L"[0000000000000000]");
}

TEST(VsnwprintfS, ReturnsTheLengthOrMinusOneWithTheCutTextAsTheLogUsesIt) {
    HandlerSpy spy;
    {
        Dest d(16);
        EXPECT_EQ(Snw(d.data(), 16, 15, L"%s=%d", L"key", 42), 6);
        EXPECT_EQ(d.Text(), L"key=42");
    }
    {
        Dest d(16);  // 15 characters: the largest text that fits
        EXPECT_EQ(Snw(d.data(), 16, 15, L"%s", L"123456789012345"), 15);
        EXPECT_EQ(d.Text(), L"123456789012345");
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(16);  // glibc's vswprintf would fail here without writing: the cut text must stay
        EXPECT_EQ(Snw(d.data(), 16, 15, L"%s", L"1234567890123456"), -1);
        EXPECT_EQ(d.Text(), L"123456789012345");
        EXPECT_TRUE(d.TailIntact());
    }
    {
        Dest d(16);
        EXPECT_EQ(Snw(d.data(), 16, 4, L"%d", 123456), -1);
        EXPECT_EQ(d.Text(), L"1234");
    }
    {
        Dest d(16);
        EXPECT_EQ(Snw(d.data(), 16, 15, L""), 0);
        EXPECT_EQ(d.Text(), L"");
    }
    {
        Dest d(16);  // all bits set: cut at size - 1 without complaint
        EXPECT_EQ(Snw(d.data(), 16, static_cast<std::size_t>(-1), L"%s", L"abcdefghijklmnopq"), -1);
        EXPECT_EQ(d.Text(), L"abcdefghijklmno");
    }
    EXPECT_EQ(spy.Calls(), 0);
}

TEST(VsnwprintfS, TheLogsGrowingBufferBoundaryFallsAt1023Characters) {
    std::vector<wchar_t> buffer(1024);
    const std::wstring fits(1023, L'a');
    const std::wstring oneMore(1024, L'a');
    EXPECT_EQ(Snw(buffer.data(), 1024, 1023, L"%s", fits.c_str()), 1023);
    EXPECT_EQ(Snw(buffer.data(), 1024, 1023, L"%s", oneMore.c_str()), -1);
    std::vector<wchar_t> twice(2048);
    EXPECT_EQ(Snw(twice.data(), 2048, 2047, L"%s", oneMore.c_str()), 1024);
    EXPECT_EQ(std::wstring(twice.data()), oneMore);
}

TEST(VsnwprintfS, MalformedFormatsCallTheHandlerAndYieldMinusOneWithAnEmptyBuffer) {
    HandlerSpy spy;
    int target = 7;
    const wchar_t* malformed[] = {L"%n", L"tail %", L"%-", L"%y",   L"%hh",           L"%I",
                                  L"%F", L"%a",     L"%Z", L"%5.3", L"%99999999999d", L"%Ls"};
    int expectedCalls = 0;
    for (const wchar_t* format : malformed) {
        Dest d(32);
        d.storage[0] = L'x';
        EXPECT_EQ(Snw(d.data(), 32, 31, format, &target), -1) << platform::WideToUtf8(format);
        EXPECT_EQ(d.Text(), L"") << platform::WideToUtf8(format);
        EXPECT_EQ(spy.Calls(), ++expectedCalls) << platform::WideToUtf8(format);
    }
    EXPECT_EQ(target, 7);
    EXPECT_TRUE(HandlerSpy::s_allStrings) << "the handler gets text for function and file";
}

TEST(VsnwprintfS, ParameterErrorsCallTheHandler) {
    HandlerSpy spy;
    EXPECT_EQ(Snw(nullptr, 0, 0, L"x"), 0) << "the measure-nothing case is not an error";
    EXPECT_EQ(spy.Calls(), 0);
    EXPECT_EQ(Snw(nullptr, 8, 7, L"x"), -1);
    EXPECT_EQ(spy.Calls(), 1);
    wchar_t buffer[8] = {L'x'};
    EXPECT_EQ(Snw(buffer, 0, 0, L"x"), -1);
    EXPECT_EQ(buffer[0], L'x');
    EXPECT_EQ(spy.Calls(), 2);
    EXPECT_EQ(Snw(buffer, 8, 7, nullptr), -1);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(spy.Calls(), 3);
    // A count of size or more that would cut is a "buffer too small" error, unlike _TRUNCATE.
    EXPECT_EQ(Snw(buffer, 8, 8, L"%s", L"0123456789"), -1);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(spy.Calls(), 4);
    EXPECT_EQ(Snw(buffer, 8, 100, L"%s", L"0123"), 4) << "fits: no error";
    EXPECT_EQ(spy.Calls(), 4);
}

TEST(VsnwprintfS, WithoutAHandlerAMalformedFormatJustFails) {
    const platform::InvalidParameterHandler previous =
        platform::SetInvalidParameterHandler(nullptr);
    wchar_t buffer[8];
    EXPECT_EQ(Snw(buffer, 8, 7, L"%q"), -1);
    EXPECT_EQ(buffer[0], L'\0');
    platform::SetInvalidParameterHandler(previous);
}

TEST(VsnwprintfS, FormatsLongTextExactly) {
    std::wstring part(5000, L'z');
    part[4999] = L'!';
    std::vector<wchar_t> buffer(20001);
    EXPECT_EQ(Snw(buffer.data(), buffer.size(), buffer.size() - 1, L"%s%s%s%s", part.c_str(),
                  part.c_str(), part.c_str(), part.c_str()),
              20000);
    EXPECT_EQ(std::wstring(buffer.data()), part + part + part + part);
}

KELTRA_CHILD_ROLE(text_console_print) {
    // The parent reads back what reached standard output, redirected here to a file.
    if (args.size() != 1 ||
        std::freopen(platform::WideToUtf8(args[0]).c_str(), "w", stdout) == nullptr) {
        return 2;
    }
    std::printf("stdio first;");
    platform::ConsolePrint(L"%s|%d|%hs|%c\n", L"wide \x263A", 42, "narrow", L'x');
    platform::ConsolePrint(L"malformed %q\n", 1);  // prints nothing
    platform::ConsolePrint(L"%s", std::wstring(3000, L'L').c_str());
    std::fflush(stdout);
    return 0;
}

TEST(ConsolePrint, WritesUtf8AfterPendingStdioOutputAndSkipsMalformedFormats) {
    const std::wstring dir = keltra::test::MakeTempDirectory(L"console");
    const std::wstring file = dir + L"/out.txt";
    ASSERT_EQ(keltra::test::RunChild("text_console_print", {file}), 0u);
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "stdio first;wide \xE2\x98\xBA|42|narrow|x\n" + std::string(3000, 'L'));
}

TEST(Conversions, RoundTripEveryEncodingLength) {
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € U+1F600 z
    const std::wstring wide = platform::Utf8ToWide(utf8);
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 6u : 5u);
    EXPECT_EQ(platform::WideToUtf8(wide), utf8);
    const std::u16string utf16 = platform::WideToUtf16(wide);
    EXPECT_EQ(utf16, (std::u16string{u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(platform::Utf16ToWide(utf16), wide);
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(platform::Utf8ToWide(withNul), std::wstring(L"a\0b", 3));
    EXPECT_EQ(platform::WideToUtf8(L""), "");
}

TEST(Conversions, IllFormedUtf8BecomesOneReplacementPerMaximalPart) {
    const std::wstring r = L"\xFFFD";
    EXPECT_EQ(platform::Utf8ToWide("a\x80z"), L"a" + r + L"z");          // stray continuation
    EXPECT_EQ(platform::Utf8ToWide("\xC0\xAF"), r + r);                  // overlong
    EXPECT_EQ(platform::Utf8ToWide("\xED\xA0\x80"), r + r + r);          // encoded surrogate
    EXPECT_EQ(platform::Utf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
    EXPECT_EQ(platform::Utf8ToWide("\xE2\x82"), r);                      // cut at the end
    EXPECT_EQ(platform::Utf8ToWide("\xE2\x82z"), r + L"z");              // cut before ASCII
    EXPECT_EQ(platform::Utf8ToWide("\xF0\x9F\x98"), r);
    EXPECT_EQ(platform::Utf8ToWide("\xFF\xFE"), r + r);
}

TEST(Conversions, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(platform::Utf16ToWide(std::u16string{u'a', 0xD800, u'b'}),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(platform::Utf16ToWide(std::u16string{0xDC00}), L"\xFFFD");
    EXPECT_EQ(platform::Utf16ToWide(std::u16string{0xD83D}), L"\xFFFD") << "high surrogate at end";
    EXPECT_EQ(platform::Utf16ToWide(std::u16string{0xDE00, 0xD83D}), L"\xFFFD\xFFFD")
        << "reversed pair";
    std::wstring lone(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(platform::WideToUtf8(lone), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::WideToUtf16(lone), std::u16string{0xFFFD});
}

TEST(Conversions, WideValuesBeyondUnicodeBecomeReplacementCharacters) {
    if (sizeof(wchar_t) == 2) {
        GTEST_SKIP() << "wchar_t is UTF-16 here: no value beyond U+10FFFF exists";
    }
    std::wstring beyond(1, static_cast<wchar_t>(0x110000));
    EXPECT_EQ(platform::WideToUtf8(beyond), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::WideToUtf16(beyond), std::u16string{0xFFFD});
}

TEST(TextCodec, WritesOnlyWholeCodePointsThatFitAndSaysWhereItStopped) {
    namespace utf = platform::utf;
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € U+1F600 z
    EXPECT_EQ(utf::Convert(utf8.data(), utf8.size(), static_cast<char16_t*>(nullptr), 0).written,
              6u);
    struct Case {
        std::size_t capacity, read, written;
    } cases[] = {{0, 0, 0}, {1, 1, 1}, {3, 6, 3}, {4, 6, 3}, {5, 10, 5}, {6, 11, 6}, {8, 11, 6}};
    for (const Case& c : cases) {
        char16_t out[8];
        std::fill(std::begin(out), std::end(out), u'#');
        const utf::Converted r = utf::Convert(utf8.data(), utf8.size(), out, c.capacity);
        EXPECT_EQ(r.read, c.read) << c.capacity;
        EXPECT_EQ(r.written, c.written) << c.capacity;
        EXPECT_EQ(r.firstInvalid, utf::kAllValid);
        EXPECT_EQ(std::u16string(out + c.written, out + 8), std::u16string(8 - c.written, u'#'));
    }
    char bytes[8];
    const char16_t lone[] = {u'x', 0xDC00, u'y'};
    const utf::Converted r = utf::Convert(lone, 3, bytes, sizeof bytes);
    EXPECT_EQ(std::string(bytes, r.written), "x\xEF\xBF\xBDy");
    EXPECT_EQ(r.firstInvalid, 1u);
    const utf::Decoded cut = utf::DecodeUtf8("\xF0\x9F\x98z", 4);
    EXPECT_FALSE(cut.valid);
    EXPECT_EQ(cut.codePoint, utf::kReplacement);
    EXPECT_EQ(cut.length, 3u) << "a cut sequence must not swallow the next character";
}

TEST(WideFromUtf16LeBytes, StopsAtNulOrTheEndAndNeverReadsFurther) {
    // Exact-size heap blocks: a read past byteCount is an address-sanitizer error natively.
    auto bytes = [](std::initializer_list<unsigned char> list) {
        auto block = std::make_unique<unsigned char[]>(list.size());
        std::copy(list.begin(), list.end(), block.get());
        return block;
    };
    auto text = bytes({'h', 0, 'i', 0, 0x3D, 0xD8, 0x00, 0xDE});  // "hi" U+1F600
    EXPECT_EQ(platform::WideFromUtf16LeBytes(text.get(), 8),
              L"hi" + platform::Utf8ToWide("\xF0\x9F\x98\x80"));
    auto odd = bytes({'a', 0, 'b'});  // the odd last byte is ignored
    EXPECT_EQ(platform::WideFromUtf16LeBytes(odd.get(), 3), L"a");
    auto nul = bytes({'a', 0, 0, 0, 'b', 0});
    EXPECT_EQ(platform::WideFromUtf16LeBytes(nul.get(), 6), L"a");
    auto high = bytes({0x34, 0x12});
    EXPECT_EQ(platform::WideFromUtf16LeBytes(high.get(), 2), L"\x1234") << "little-endian";
    auto cutPair = bytes({0x3D, 0xD8});
    EXPECT_EQ(platform::WideFromUtf16LeBytes(cutPair.get(), 2), L"\xFFFD");
    EXPECT_EQ(platform::WideFromUtf16LeBytes(text.get(), 0), L"");
    EXPECT_EQ(platform::WideFromUtf16LeBytes(nullptr, 10), L"");
    auto unaligned = bytes({0xEE, 'o', 0, 'k', 0});
    EXPECT_EQ(platform::WideFromUtf16LeBytes(unaligned.get() + 1, 4), L"ok");
}

}  // namespace
