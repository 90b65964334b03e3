// Text: bounded copy and print, the secure format call, the format convention on this
// platform's C runtime, console output, and the UTF codec with the string conversions.
#include "text/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>
#include <vector>

#include "tests/support/test_support.h"
#include "text/text_codec.h"

namespace platform {
namespace {

using namespace keltra::test;

constexpr wchar_t kSentinel = L'\x2603';

// Installs a handler that counts its calls; a buffer of cch characters followed by sentinels
// that every call must leave alone.
class TextTest : public ::testing::Test {
  protected:
    TextTest() : m_previous(SetInvalidParameterHandler(&OnInvalid)) { s_calls = 0; }
    ~TextTest() override { SetInvalidParameterHandler(m_previous); }
    wchar_t* Buffer(std::size_t cch) {
        m_cch = cch;
        m_storage.assign(cch + 8, kSentinel);
        return m_storage.data();
    }
    // The text in the buffer (the sentinel itself when the call wrote nothing at all).
    std::wstring Text() const {
        EXPECT_TRUE(std::all_of(m_storage.begin() + m_cch, m_storage.end(),
                                [](wchar_t c) { return c == kSentinel; }));
        return m_cch == 0 || m_storage[0] == kSentinel ? std::wstring(1, m_storage[0])
                                                       : m_storage.data();
    }
    static int Snw(wchar_t* buffer, std::size_t size, std::size_t count, const wchar_t* format,
                   ...) {
        va_list args;
        va_start(args, format);
        const int result = VsnwprintfS(buffer, size, count, format, args);
        va_end(args);
        return result;
    }
    static std::wstring Print(const wchar_t* format, ...) {
        wchar_t buffer[512];
        va_list args;
        va_start(args, format);
        EXPECT_EQ(kSOk, StringCchVPrintfW(buffer, 512, format, args)) << WideToUtf8(format);
        va_end(args);
        return buffer;
    }
    static void OnInvalid(const wchar_t* expr, const wchar_t* function, const wchar_t* file,
                          unsigned int, std::uintptr_t) {
        s_calls += expr && function && file ? 1 : 1000;
    }
    static inline int s_calls = 0;
    std::size_t m_cch = 0;
    std::vector<wchar_t> m_storage;
    InvalidParameterHandler m_previous;
};

TEST_F(TextTest, BoundedCopyAndPrintCutAtCapacityMinusOneAndRefuseBadCapacities) {
    // Capacity, source (copied, and printed through "%s"), result, text in the buffer.
    const std::tuple<std::size_t, const wchar_t*, std::int32_t, std::wstring> cases[] = {
        {8, L"1234567", kSOk, L"1234567"},
        {8, L"12345678", kStrsafeEInsufficientBuffer, L"1234567"},
        {1, L"x", kStrsafeEInsufficientBuffer, L""},
        {0, L"abc", kStrsafeEInvalidParameter, L"\x2603"},  // not written at all
        {kStrsafeMaxCch + 1, L"abc", kStrsafeEInvalidParameter, L""},
    };
    for (const auto& [capacity, source, result, text] : cases) {
        const std::size_t cch = std::min<std::size_t>(capacity, 8);
        EXPECT_EQ(result, StringCchCopyW(Buffer(cch), capacity, source));
        EXPECT_EQ(text, Text()) << capacity;
        EXPECT_EQ(result, StringCchPrintfW(Buffer(cch), capacity, L"%s", source));
        EXPECT_EQ(text, Text()) << capacity;
    }
    EXPECT_EQ(kSOk, StringCchCopyW(Buffer(4), 4, nullptr));
    EXPECT_EQ(kStrsafeEInvalidParameter, StringCchCopyW(nullptr, 4, L"abc"));
}

TEST_F(TextTest, MalformedFormatsAreRefusedWithoutReadingArguments) {
    int target = 7;
    int calls = 0;
    for (const wchar_t* format :
         {L"%n", L"tail %", L"%-", L"%y", L"%hh", L"%I", L"%F", L"%a", L"%Z", L"%5.3",
          L"%99999999999d", L"%Ls", L"%I64s", L"%Lu", L"%5"}) {
        EXPECT_EQ(kStrsafeEInvalidParameter, StringCchPrintfW(Buffer(32), 32, format, &target));
        EXPECT_EQ(L"", Text()) << WideToUtf8(format);
        EXPECT_EQ(-1, Snw(Buffer(32), 32, 31, format, &target)) << WideToUtf8(format);
        EXPECT_EQ(L"", Text()) << WideToUtf8(format);
        EXPECT_EQ(++calls, s_calls) << "only the secure call reports, with every text given";
    }
    EXPECT_EQ(7, target) << "%n must never write through an argument";
    SetInvalidParameterHandler(nullptr);
    EXPECT_EQ(-1, Snw(Buffer(8), 8, 7, L"%q")) << "without a handler it just fails";
}

TEST_F(TextTest, StringsAndCharactersAreWideUnlessMarkedNarrowAndSizesArePinned) {
    // mingw's ISO printf reads "%s" in a wide format as narrow: this fails there if the C
    // runtime entry points are not the msvcrt ones.
    EXPECT_EQ(L"<wide|W\x263A|l|w|c>",
              Print(L"<%s|%c%c|%ls|%ws|%lc>", L"wide", L'W', L'\x263A', L"l", L"w", L'c'));
    EXPECT_EQ(L"<narrow|upper|nC|(null)>", Print(L"<%hs|%S|%hc%C|%s>", "narrow", "upper", 'n', 'C',
                                                 static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(L"<   ab|cd   |ef|  i>",
              Print(L"<%5s|%-5s|%.2s|%*s>", L"ab", L"cd", L"efgh", 3, L"i"));
    const std::wstring astral = Utf8ToWide("\xF0\x9F\x98\x80");  // U+1F600
    EXPECT_EQ(astral + L"100%", Print(L"%s100%%", astral.c_str()));
    EXPECT_EQ(L"-5|4000000000|beef|BEEF|0000001A|10|-7|4464|4464",
              Print(L"%d|%u|%x|%X|%08X|%o|%I32d|%hd|%hu", -5, 4000000000u, 0xbeefu, 0xbeefu, 0x1Au,
                    8u, -7, 70000, 70000));
    // Arguments after a 64-bit one are still found: a wrong size shifts every later value.
    EXPECT_EQ(L"-9223372036854775808|18446744073709551615|-1099511627776|1099511627776|" +
                  std::to_wstring(SIZE_MAX) + L" after 9",
              Print(L"%I64d|%I64u|%lld|%llu|%zu %s %d", INT64_MIN, UINT64_MAX, -1LL << 40,
                    1ULL << 40, SIZE_MAX, L"after", 9));
    EXPECT_EQ(L"+5| 5|5   |0005|005|0xff|1.50|  2.3|00000000ABCDEF12|0000000000000000",
              Print(L"%+d|% d|%-4d|%04d|%.3d|%#x|%.2f|%5.1f|%p|%p", 5, 5, 5, 5, 5, 255u, 1.5, 2.34,
                    reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xABCDEF12u)), nullptr));
}

TEST_F(TextTest, SecureFormatReturnsTheLengthOrMinusOneWithTheCutTextAsTheLogUsesIt) {
    // Size, count, length of the text printed ("!" included), result, characters left in the
    // buffer, calls of the invalid-parameter handler.
    using Case = std::tuple<std::size_t, std::size_t, std::size_t, int, std::size_t, int>;
    const Case cases[] = {
        // clang-format off
        {16, 15, 15, 15, 15, 0}, {16, 15, 16, -1, 15, 0},  // glibc would not write the cut text
        {16, 4, 6, -1, 4, 0},    {16, ~std::size_t{0}, 17, -1, 15, 0}, {16, 16, 17, -1, 0, 1},
        {16, 100, 4, 4, 4, 0},   {1024, 1023, 1023, 1023, 1023, 0},  // the log's growing steps
        {1024, 1023, 1024, -1, 1023, 0}, {2048, 2047, 1024, 1024, 1024, 0},
        // clang-format on
    };
    for (const auto& [size, count, length, result, kept, calls] : cases) {
        s_calls = 0;
        const std::wstring printed = std::wstring(length - 1, L'a') + L"!";
        EXPECT_EQ(result, Snw(Buffer(size), size, count, L"%s", printed.c_str()))
            << size << " " << count << " " << length;
        EXPECT_EQ(printed.substr(0, kept), Text());
        EXPECT_EQ(calls, s_calls);
    }
    s_calls = 0;
    EXPECT_EQ(0, Snw(nullptr, 0, 0, L"x")) << "the measure-nothing case is not an error";
    EXPECT_EQ(-1, Snw(nullptr, 8, 7, L"x"));
    EXPECT_EQ(-1, Snw(Buffer(8), 0, 0, L"x"));
    EXPECT_EQ(std::wstring(1, kSentinel), Text()) << "a zero size must not be written";
    EXPECT_EQ(-1, Snw(Buffer(8), 8, 7, nullptr));
    EXPECT_EQ(L"", Text());
    EXPECT_EQ(3, s_calls);
}

KELTRA_CHILD_ROLE(text_console_print) {
    // The parent reads back what reached standard output, redirected here to a file.
    if (std::freopen(WideToUtf8(args.at(0)).c_str(), "w", stdout) == nullptr) {
        return 2;
    }
    std::printf("stdio first;");
    ConsolePrint(L"%s|%d|%hs|%c\n", L"wide \x263A", 42, "narrow", L'x');
    ConsolePrint(L"malformed %q\n", 1);  // prints nothing
    ConsolePrint(L"%s", std::wstring(3000, L'L').c_str());
    std::fflush(stdout);
    return 0;
}

TEST(ConsolePrint, WritesUtf8AfterPendingStdioOutputAndSkipsMalformedFormats) {
    const std::wstring file = MakeTempDirectory(L"console") + L"/out.txt";
    ASSERT_EQ(RunChild("text_console_print", {file}), 0u);
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "stdio first;wide \xE2\x98\xBA|42|narrow|x\n" + std::string(3000, 'L'));
}

TEST(TextCodec, ConvertsBothWaysReplacesEachIllFormedPartAndFillsOnlyWhatFits) {
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € U+1F600 z
    const std::u16string utf16 = {u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'};
    EXPECT_EQ(utf16, WideToUtf16(Utf8ToWide(utf8)));
    EXPECT_EQ(utf8, WideToUtf8(Utf16ToWide(utf16)));
    EXPECT_EQ(std::wstring(L"a\0b", 3), Utf8ToWide(std::string("a\0b", 3))) << "NULs are kept";
    // Stray continuation, overlong, encoded surrogate, beyond U+10FFFF, cut sequences (which
    // never swallow the next character): one U+FFFD for each maximal ill-formed part.
    EXPECT_EQ(L"a\xFFFDz\xFFFD\xFFFD|\xFFFD\xFFFD\xFFFD|\xFFFD\xFFFD\xFFFD\xFFFD|\xFFFDz\xFFFD",
              Utf8ToWide("a\x80z\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82z\xF0\x9F\x98"));
    EXPECT_EQ(L"\uFFFDa\uFFFD\uFFFD", Utf16ToWide(std::u16string{0xDC00, u'a', 0xDE00, 0xD83D}));
    const std::wstring bad(1, static_cast<wchar_t>(sizeof(wchar_t) == 2 ? 0xD800 : 0x110000));
    EXPECT_EQ("\xEF\xBF\xBD", WideToUtf8(bad));
    // Capacity, input read, output written.
    const std::tuple<std::size_t, std::size_t, std::size_t> cases[] = {
        {0, 0, 0}, {1, 1, 1}, {3, 6, 3}, {4, 6, 3}, {5, 10, 5}, {8, 11, 6}};
    for (const auto& [capacity, read, written] : cases) {
        std::u16string out(8, u'#');
        const utf::Converted r = utf::Convert(utf8.data(), utf8.size(), out.data(), capacity);
        EXPECT_EQ(read, r.read) << capacity;
        EXPECT_EQ(written, r.written) << capacity;
        EXPECT_EQ(std::u16string(8 - written, u'#'), out.substr(written));
    }
    char bytes[8];
    const char16_t lone[] = {u'x', 0xDC00, u'y'};
    const utf::Converted r = utf::Convert(lone, 3, bytes, sizeof bytes);
    EXPECT_EQ("x\xEF\xBF\xBDy", std::string(bytes, r.written));
    EXPECT_EQ(1u, r.firstInvalid);
    EXPECT_EQ(6u,
              utf::Convert(utf8.data(), utf8.size(), static_cast<char16_t*>(nullptr), 0).written);
}

TEST(TextCodec, Utf16LeBytesStopAtNulOrTheEndAndNeverReadFurther) {
    // Exact-size heap blocks: a read past the count is an address-sanitizer error natively.
    const unsigned char bytes[] = {0xEE, 'h', 0, 0x3D, 0xD8, 0x00, 0xDE, 0x34, 0x12, 0, 0, 'b'};
    auto block = std::make_unique<unsigned char[]>(sizeof bytes);
    std::copy(std::begin(bytes), std::end(bytes), block.get());
    const std::wstring smiley = Utf8ToWide("\xF0\x9F\x98\x80");
    EXPECT_EQ(L"h" + smiley + L"\x1234", WideFromUtf16LeBytes(block.get() + 1, 11));  // NUL ends
    EXPECT_EQ(L"h\xFFFD", WideFromUtf16LeBytes(block.get() + 1, 5)) << "pair cut, odd byte";
    EXPECT_EQ(L"", WideFromUtf16LeBytes(nullptr, 10));
}

}  // namespace
}  // namespace platform
