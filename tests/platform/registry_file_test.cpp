// The .reg text format on every platform: accepted forms, encodings, refusals with their line
// numbers, writer round trips, a large file, random damage and the shipped example file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/registry_file_parser.h"
#include "platform/registry_file_writer.h"

namespace {

using platform::regfile::Document;
using platform::regfile::Encoding;
using platform::regfile::Key;
using platform::regfile::ParseError;
using platform::regfile::Value;
using Bytes = std::vector<std::uint8_t>;

Bytes Ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// UTF-16 code units of text (surrogate pairs above U+FFFF).
std::u16string Units(std::wstring_view text) {
    std::u16string out;
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        if (u >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(u));
        }
    }
    return out;
}

Bytes Utf16Le(std::wstring_view text, bool terminator = true) {
    Bytes out;
    std::u16string units = Units(text);
    if (terminator) {
        units.push_back(0);
    }
    for (char16_t u : units) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

// A whole file as UTF-16LE with its byte-order mark, as the Windows exporter writes it.
Bytes Utf16File(std::wstring_view text) {
    Bytes out = {0xFF, 0xFE};
    const Bytes body = Utf16Le(text, false);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool ParseBytes(const Bytes& bytes, Document* doc, ParseError* error) {
    return platform::regfile::Parse(bytes.data(), bytes.size(), doc, error);
}

Document MustParse(const Bytes& bytes) {
    Document doc;
    ParseError error;
    EXPECT_TRUE(ParseBytes(bytes, &doc, &error))
        << "line " << error.line << ": " << testing::PrintToString(error.message);
    return doc;
}

const Value* Find(const Document& doc, std::wstring_view key, std::wstring_view name) {
    const Key* k = doc.FindKey(key);
    return k == nullptr ? nullptr : platform::regfile::FindValue(*k, name);
}

// Same keys (case-insensitive paths, same order) and same values (names, types, bytes).
void ExpectSameRegistry(const Document& a, const Document& b) {
    ASSERT_EQ(a.Keys().size(), b.Keys().size());
    for (std::size_t i = 0; i < a.Keys().size(); ++i) {
        const Key& ka = a.Keys()[i];
        const Key& kb = b.Keys()[i];
        EXPECT_EQ(platform::regfile::FoldName(ka.path), platform::regfile::FoldName(kb.path));
        ASSERT_EQ(ka.values.size(), kb.values.size()) << testing::PrintToString(ka.path);
        for (std::size_t j = 0; j < ka.values.size(); ++j) {
            EXPECT_EQ(ka.values[j].name, kb.values[j].name);
            EXPECT_EQ(ka.values[j].type, kb.values[j].type);
            EXPECT_TRUE(ka.values[j].data == kb.values[j].data)
                << testing::PrintToString(ka.values[j].name);
        }
    }
}

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n";

TEST(RegistryFileTest, ReadsEveryValueForm) {
    const Document doc =
        MustParse(Ascii("Windows Registry Editor Version 5.00\n"
                        "\n"
                        "; a comment, then a section with every kind of value\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Keltra\\Brismont Settings\\SvcPlugins]\n"
                        "\"svcbuA\"=\"C:\\\\Plugins\\\\a.dll\"\n"
                        "@=\"default \\\"quoted\\\"\"\n"
                        "\"dword\"=dword:0000002a\n"
                        "\"short dword\"=dword:7\n"
                        "\"DWORD upper\"=DWORD:FFFFFFFF\n"
                        "\"binary\"=hex:00,01,ff,Fe\n"
                        "\"empty binary\"=hex:\n"
                        "\"expand\"=hex(2):25,00,41,00,25,00,00,00\n"
                        "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
                        "\"qword\"=hex(b):01,02,03,04,05,06,07,08\n"
                        "\"none\"=hex(0):\n"
                        "\"raw sz\"=hex(1):61,00,62,00\n"
                        "\"big type\"=hex(ffffffff):01\n"
                        "\"continued\"=hex:01,02,\\\n"
                        "  03,04,\\\n"
                        "\t05\n"
                        "  \"spaced\" = \"x\"  \n"
                        "\"odd=name;[x]\"=\"a;b\"\n"));
    const std::wstring key = L"Software\\Keltra\\Brismont Settings\\SvcPlugins";
    struct Expect {
        const wchar_t* name;
        std::uint32_t type;
        Bytes data;
    };
    const Expect expected[] = {
        {L"svcbuA", 1, Utf16Le(L"C:\\Plugins\\a.dll")},
        {L"", 1, Utf16Le(L"default \"quoted\"")},
        {L"dword", 4, {0x2a, 0, 0, 0}},
        {L"short dword", 4, {7, 0, 0, 0}},
        {L"DWORD upper", 4, {0xff, 0xff, 0xff, 0xff}},
        {L"binary", 3, {0, 1, 0xff, 0xfe}},
        {L"empty binary", 3, {}},
        {L"expand", 2, Utf16Le(L"%A%")},
        {L"multi", 7, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}},
        {L"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"none", 0, {}},
        {L"raw sz", 1, Utf16Le(L"ab", false)},
        {L"big type", 0xffffffff, {1}},
        {L"continued", 3, {1, 2, 3, 4, 5}},
        {L"spaced", 1, Utf16Le(L"x")},
        {L"odd=name;[x]", 1, Utf16Le(L"a;b")},
    };
    const Key* k = doc.FindKey(key);
    ASSERT_NE(nullptr, k);
    ASSERT_EQ(std::size(expected), k->values.size());
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(expected[i].name, k->values[i].name) << "value " << i << " in file order";
        EXPECT_EQ(expected[i].type, k->values[i].type) << testing::PrintToString(expected[i].name);
        EXPECT_TRUE(expected[i].data == k->values[i].data)
            << testing::PrintToString(expected[i].name);
    }
    // Parents of a section exist as keys; lookups ignore case.
    EXPECT_TRUE(doc.KeyExists(L"Software"));
    EXPECT_TRUE(doc.KeyExists(L"SOFTWARE\\keltra\\BRISMONT SETTINGS"));
    EXPECT_FALSE(doc.KeyExists(L"Software\\Other"));
}

TEST(RegistryFileTest, SectionsMergeValuesReplaceAndDeletionsApplyInOrder) {
    const Document doc =
        MustParse(Ascii("Windows Registry Editor Version 5.00\r\n"
                        "[HKEY_LOCAL_MACHINE\\A]\r\n"
                        "\"first\"=\"1\"\r\n"
                        "\"second\"=\"2\"\r\n"
                        "[hkey_local_machine\\B\\Gone]\r\n"
                        "\"x\"=\"x\"\r\n"
                        "[HKEY_LOCAL_MACHINE\\a]\r\n"
                        "\"FIRST\"=dword:00000001\r\n"
                        "\"third\"=\"3\"\r\n"
                        "\"second\"=-\r\n"
                        "[-HKEY_LOCAL_MACHINE\\B]\r\n"
                        "[-HKEY_LOCAL_MACHINE\\Never\\Existed]\r\n"));
    const Key* a = doc.FindKey(L"A");
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(2u, a->values.size());
    EXPECT_EQ(L"first", a->values[0].name) << "a value set again keeps its place and spelling";
    EXPECT_EQ(4u, a->values[0].type);
    EXPECT_EQ(L"third", a->values[1].name);
    EXPECT_FALSE(doc.KeyExists(L"B"));
    EXPECT_FALSE(doc.KeyExists(L"B\\Gone"));
    EXPECT_TRUE(doc.crlf);
}

TEST(RegistryFileTest, ReadsUtf8WithAndWithoutBomAndUtf16Le) {
    const std::wstring text =
        L"Windows Registry Editor Version 5.00\r\n\r\n"
        L"[HKEY_LOCAL_MACHINE\\Software\\\u00c9t\u00e9 \u4e2d]\r\n"
        L"\"\u03a9 name\"=\"\u00e9 \u0416 \U0001F600\"\r\n";
    const Bytes expectedData = Utf16Le(L"\u00e9 \u0416 \U0001F600");
    // UTF-8 bytes of the same text, written out by hand.
    const std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\\xc3\x89t\xc3\xa9 \xe4\xb8\xad]\r\n"
        "\"\xce\xa9 name\"=\"\xc3\xa9 \xd0\x96 \xf0\x9f\x98\x80\"\r\n";
    Bytes withBom = {0xEF, 0xBB, 0xBF};
    withBom.insert(withBom.end(), utf8.begin(), utf8.end());
    struct Case {
        const char* what;
        Bytes bytes;
        Encoding encoding;
    };
    const Case cases[] = {{"UTF-8", Ascii(utf8), Encoding::kUtf8},
                          {"UTF-8 with BOM", withBom, Encoding::kUtf8Bom},
                          {"UTF-16LE", Utf16File(text), Encoding::kUtf16Le}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Document doc = MustParse(c.bytes);
        EXPECT_EQ(c.encoding, doc.encoding);
        const Value* v = Find(doc, L"Software\\\u00c9T\u00c9 \u4e2d", L"\u03c9 NAME");
        ASSERT_NE(nullptr, v) << "names fold beyond ASCII";
        EXPECT_EQ(L"\u03a9 name", v->name);
        EXPECT_TRUE(expectedData == v->data);
        // Written back in the encoding it came in, and read back the same.
        const Bytes again = platform::regfile::Serialize(doc);
        if (c.encoding == Encoding::kUtf16Le) {
            EXPECT_EQ(0xFF, again[0]);
            EXPECT_EQ(0xFE, again[1]);
        } else if (c.encoding == Encoding::kUtf8Bom) {
            EXPECT_EQ(0xEF, again[0]);
        } else {
            EXPECT_EQ('W', again[0]);
        }
        ExpectSameRegistry(doc, MustParse(again));
    }
}

TEST(RegistryFileTest, EmptyFilesAreEmptyRegistries) {
    for (const Bytes& bytes :
         {Bytes{}, Bytes{0xEF, 0xBB, 0xBF}, Bytes{0xFF, 0xFE}, Ascii(" \r\n\n")}) {
        const Document doc = MustParse(bytes);
        EXPECT_TRUE(doc.Keys().empty());
    }
    const Document headerOnly = MustParse(Ascii(kHeader));
    EXPECT_TRUE(headerOnly.Keys().empty());
}

struct Malformed {
    const char* what;
    Bytes bytes;
    std::size_t line;
    const wchar_t* fragment;
};

std::vector<Malformed> MalformedFiles() {
    const std::string h = kHeader;
    const std::string sec = "[HKEY_LOCAL_MACHINE\\Software\\K]\n";
    Bytes oddUtf16 =
        Utf16File(L"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n");
    oddUtf16.push_back(0x22);
    Bytes utf16Garbage = Utf16File(
        L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\nzzz\r\n");
    Bytes nulInUtf8 = Ascii(h + sec + "\"a\"=\"x");
    nulInUtf8.push_back(0);
    nulInUtf8.push_back('"');
    return {
        {"no header", Ascii(sec), 1, L"first line must be"},
        {"misspelt header", Ascii("Windows Registry Editor Version 4.00\n" + sec), 1,
         L"first line must be"},
        {"REGEDIT4", Ascii("REGEDIT4\n" + sec), 1, L"REGEDIT4"},
        {"UTF-16BE", Bytes{0xFE, 0xFF, 0, 'W'}, 1, L"big-endian"},
        {"UTF-16 without its byte-order mark", Bytes{'W', 0, 'i', 0}, 1, L"byte-order mark"},
        {"truncated UTF-16", oddUtf16, 3, L"middle of a UTF-16 character"},
        {"garbage in UTF-16", utf16Garbage, 4, L"unexpected text 'zzz'"},
        {"invalid UTF-8", Ascii(h + sec + "\"a\"=\"\xff\"\n"), 3, L"invalid UTF-8"},
        {"overlong UTF-8", Ascii(h + "\n\xc0\xaf\n"), 3, L"invalid UTF-8"},
        {"UTF-8 cut short", Ascii(h + "\n\n\xe4\xb8"), 4, L"ends inside a UTF-8"},
        {"NUL in UTF-8", nulInUtf8, 3, L"NUL"},
        {"unterminated section", Ascii(h + "\n[HKEY_LOCAL_MACHINE\\Software\n\"a\"=\"b\"\n"), 3,
         L"not closed with ']'"},
        {"empty section", Ascii(h + "[]\n"), 2, L"empty section"},
        {"other root", Ascii(h + "[HKEY_CURRENT_USER\\Software]\n"), 2, L"HKEY_CURRENT_USER"},
        {"empty key name", Ascii(h + "[HKEY_LOCAL_MACHINE\\Software\\\\K]\n"), 2,
         L"empty key name"},
        {"trailing backslash in section", Ascii(h + "[HKEY_LOCAL_MACHINE\\Software\\]\n"), 2,
         L"empty key name"},
        {"key name too long", Ascii(h + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n"), 2,
         L"longer than 255"},
        {"delete the root", Ascii(h + "[-HKEY_LOCAL_MACHINE]\n"), 2, L"cannot be deleted"},
        {"value outside a section", Ascii(h + "\n\"a\"=\"b\"\n" + sec), 3,
         L"outside a key section"},
        {"value in a deleted section", Ascii(h + "[-HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"b\"\n"), 3,
         L"deleted key"},
        {"garbage line", Ascii(h + sec + "\"a\"=\"b\"\nplugin=c:\\x.dll\n"), 4,
         L"unexpected text 'plugin=c:\\x.dll'"},
        {"unknown escape", Ascii(h + sec + "\"a\"=\"C:\\Plugins\\a.dll\"\n"), 3,
         L"unknown escape '\\P'"},
        {"unterminated string", Ascii(h + sec + "\"a\"=\"no end\n"), 3, L"not closed"},
        {"unterminated name", Ascii(h + sec + "\"a=\"b\n"), 3, L"expected '='"},
        {"backslash at the end of a string", Ascii(h + sec + "\"a\"=\"b\\\n"), 3, L"not closed"},
        {"missing '='", Ascii(h + sec + "\"a\" \"b\"\n"), 3, L"expected '='"},
        {"text after a string", Ascii(h + sec + "\"a\"=\"b\" ; note\n"), 3,
         L"unexpected text after the string"},
        {"unknown type", Ascii(h + sec + "\"a\"=qword:1\n"), 3, L"unknown value data"},
        {"bare number", Ascii(h + sec + "\"a\"=42\n"), 3, L"unknown value data"},
        {"empty data", Ascii(h + sec + "\"a\"=\n"), 3, L"unknown value data"},
        {"dword too long", Ascii(h + sec + "\"a\"=dword:000000001\n"), 3, L"bad dword"},
        {"dword not hex", Ascii(h + sec + "\"a\"=dword:0000002g\n"), 3, L"bad dword"},
        {"dword empty", Ascii(h + sec + "\"a\"=dword:\n"), 3, L"bad dword"},
        {"dword negative", Ascii(h + sec + "\"a\"=dword:-1\n"), 3, L"bad dword"},
        {"bad hex byte", Ascii(h + sec + "\"a\"=hex:01,0g\n"), 3, L"bad hex byte '0g'"},
        {"hex byte too long", Ascii(h + sec + "\"a\"=hex:01,123\n"), 3, L"bad hex byte '123'"},
        {"hex list starting with ','", Ascii(h + sec + "\"a\"=hex:,01\n"), 3, L"bad hex byte ','"},
        {"missing comma", Ascii(h + sec + "\"a\"=hex:01 02\n"), 3, L"expected ','"},
        {"trailing comma", Ascii(h + sec + "\"a\"=hex:01,02,\n\"b\"=\"c\"\n"), 3, L"ends with ','"},
        {"bad type", Ascii(h + sec + "\"a\"=hex(x):01\n"), 3, L"bad value type"},
        {"type without colon", Ascii(h + sec + "\"a\"=hex(2)01\n"), 3, L"bad value type"},
        {"type not closed", Ascii(h + sec + "\"a\"=hex(2:01\n"), 3, L"bad value type"},
        {"type too long", Ascii(h + sec + "\"a\"=hex(123456789):01\n"), 3, L"bad value type"},
        {"continuation at end of file", Ascii(h + sec + "\"a\"=hex:01,\\\n"), 3,
         L"past the end of the file"},
        {"empty continuation line", Ascii(h + sec + "\"a\"=hex:01,\\\n\n02\n"), 4,
         L"empty continuation line"},
        {"bad byte on a continuation line", Ascii(h + sec + "\"a\"=hex:01,\\\n  02,\\\n  zz\n"), 5,
         L"bad hex byte 'zz'"},
        {"continuation without comma", Ascii(h + sec + "\"a\"=hex:01\\\n  02\n"), 3,
         L"expected ','"},
        {"text after continuation", Ascii(h + sec + "\"a\"=hex:01,\\ x\n  02\n"), 3,
         L"after the continuation"},
        {"value name too long", Ascii(h + sec + "\"" + std::string(16384, 'n') + "\"=\"x\"\n"), 3,
         L"16383"},
        {"CR line ends count",
         Ascii(std::string("Windows Registry Editor Version 5.00\r\r") +
               "[HKEY_LOCAL_MACHINE\\K]\r???\r"),
         4, L"unexpected text"},
    };
}

TEST(RegistryFileTest, RefusesMalformedFilesWithTheRightLine) {
    for (const Malformed& m : MalformedFiles()) {
        SCOPED_TRACE(m.what);
        Document doc;
        ParseError error;
        ASSERT_FALSE(ParseBytes(m.bytes, &doc, &error));
        EXPECT_EQ(m.line, error.line) << testing::PrintToString(error.message);
        EXPECT_NE(std::wstring::npos, error.message.find(m.fragment))
            << testing::PrintToString(error.message);
    }
}

TEST(RegistryFileTest, DescribesAnErrorWithFileAndLine) {
    ParseError error;
    error.line = 12;
    error.message = L"bad dword";
    EXPECT_EQ(L"/etc/keltra/registry.reg:12: bad dword",
              platform::regfile::DescribeError(L"/etc/keltra/registry.reg", error));
}

TEST(RegistryFileTest, WritesStringsDwordsAndWrappedHexListsLikeTheExporter) {
    Document doc;
    Key& key = doc.CreateKey(L"Software\\Keltra\\Brismont Settings\\DbgLog");
    platform::regfile::SetValue(key, L"logpath", 1, Utf16Le(L"C:\\Logs\\\"svc\".log"));
    platform::regfile::SetValue(key, L"enabled", 4, {1, 0, 0, 0});
    platform::regfile::SetValue(key, L"", 1, Utf16Le(L"d"));
    platform::regfile::SetValue(key, L"unterminated", 1, Utf16Le(L"ab", false));
    platform::regfile::SetValue(key, L"multi line", 1, Utf16Le(L"a\r\nb"));
    platform::regfile::SetValue(key, L"short dword", 4, {1, 2});
    Bytes long_(100);
    for (std::size_t i = 0; i < long_.size(); ++i) {
        long_[i] = static_cast<std::uint8_t>(i);
    }
    platform::regfile::SetValue(key, L"binary", 3, long_);
    platform::regfile::SetValue(key, L"expand", 2, Utf16Le(L"%X%"));
    const Bytes bytes = platform::regfile::Serialize(doc);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\Software]\n\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Keltra]\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\n\"logpath\"=\"C:\\\\Logs\\\\\\\"svc\\\".log\"\n"));
    EXPECT_NE(std::string::npos, text.find("\n\"enabled\"=dword:00000001\n"));
    EXPECT_NE(std::string::npos, text.find("\n@=\"d\"\n"));
    EXPECT_NE(std::string::npos, text.find("\n\"unterminated\"=hex(1):61,00,62,00\n"));
    EXPECT_NE(std::string::npos,
              text.find("\n\"multi line\"=hex(1):61,00,0d,00,0a,00,62,00,00,00\n"));
    EXPECT_NE(std::string::npos, text.find("\n\"short dword\"=hex(4):01,02\n"));
    EXPECT_NE(std::string::npos, text.find("\n\"expand\"=hex(2):25,00,58,00,25,00,00,00\n"));
    EXPECT_NE(std::string::npos, text.find("\"binary\"=hex:00,01,02,03,"));
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
        start = end + 1;
    }
    ExpectSameRegistry(doc, MustParse(bytes));
}

// A registry of random keys and values; names and data drawn from awkward characters.
Document RandomDocument(std::mt19937& rng, int keys, int valuesPerKey) {
    // Whole characters: one above U+FFFF is two wchar_t on Windows.
    const std::vector<std::wstring> alphabet = {
        L"a", L"b", L"c", L"X",      L"Y",      L"Z",      L"0",         L"9",
        L" ", L"_", L"-", L".",      L"\"",     L"\\",     L"=",         L"[",
        L"]", L";", L"@", L"\u00e9", L"\u0416", L"\u4e2d", L"\U0001F600"};
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    auto name = [&](std::size_t maxLen, bool allowBackslash) {
        std::wstring s;
        const std::size_t len = 1 + pick(maxLen);
        for (std::size_t i = 0; i < len;) {
            const std::wstring& c = alphabet[pick(alphabet.size())];
            if (c != L"\\" || allowBackslash) {
                s += c;
                ++i;
            }
        }
        return s;
    };
    Document doc;
    for (int k = 0; k < keys; ++k) {
        std::wstring path = L"Software\\" + name(12, false);
        if (pick(2) == 0) {
            path += L"\\" + name(12, false);
        }
        Key& key = doc.CreateKey(path);
        for (int v = 0; v < valuesPerKey; ++v) {
            const std::uint32_t types[] = {0, 1, 2, 3, 4, 7, 11, 0x4242};
            const std::uint32_t type = types[pick(std::size(types))];
            Bytes data(pick(70));
            for (auto& b : data) {
                b = static_cast<std::uint8_t>(pick(256));
            }
            if (type == 1 && pick(2) == 0) {
                data = Utf16Le(name(30, true));
            }
            platform::regfile::SetValue(key, pick(8) == 0 ? std::wstring() : name(20, true), type,
                                        std::move(data));
        }
    }
    return doc;
}

TEST(RegistryFileTest, WhatIsWrittenReadsBackTheSameInEveryEncoding) {
    std::mt19937 rng(20240601);
    for (int round = 0; round < 20; ++round) {
        Document doc = RandomDocument(rng, 8, 10);
        doc.encoding = static_cast<Encoding>(round % 3);
        doc.crlf = round % 2 == 0;
        const Bytes bytes = platform::regfile::Serialize(doc);
        const Document back = MustParse(bytes);
        ExpectSameRegistry(doc, back);
        EXPECT_EQ(doc.encoding, back.encoding);
        EXPECT_EQ(doc.crlf, back.crlf);
        EXPECT_TRUE(bytes == platform::regfile::Serialize(back)) << "writing is stable";
    }
}

TEST(RegistryFileTest, ReadsAHugeFile) {
    std::string text = kHeader;
    constexpr int kKeys = 2000;
    constexpr int kValues = 20;
    for (int k = 0; k < kKeys; ++k) {
        text += "\n[HKEY_LOCAL_MACHINE\\Software\\Huge\\Key" + std::to_string(k) + "]\n";
        for (int v = 0; v < kValues; ++v) {
            text += "\"v" + std::to_string(v) + "\"=dword:" + std::to_string(k % 10) + "\n";
        }
    }
    // One value of 2 MiB over continuation lines.
    constexpr std::size_t kBig = 2u << 20;
    constexpr char kHex[] = "0123456789abcdef";
    text += "\n[HKEY_LOCAL_MACHINE\\Software\\Huge\\Big]\n\"blob\"=hex:";
    text.reserve(text.size() + kBig * 4);
    for (std::size_t i = 0; i < kBig; ++i) {
        text += kHex[(i >> 4) & 0xF];
        text += kHex[i & 0xF];
        if (i + 1 < kBig) {
            text += (i % 25 == 24) ? ",\\\n  " : ",";
        }
    }
    text += "\n";
    const Document doc = MustParse(Ascii(text));
    EXPECT_EQ(static_cast<std::size_t>(kKeys + 3), doc.Keys().size());
    const Value* last = Find(doc, L"software\\huge\\key1999", L"V19");
    ASSERT_NE(nullptr, last);
    EXPECT_EQ((Bytes{9, 0, 0, 0}), last->data);
    const Value* blob = Find(doc, L"Software\\Huge\\Big", L"blob");
    ASSERT_NE(nullptr, blob);
    ASSERT_EQ(kBig, blob->data.size());
    EXPECT_EQ(0xFF, blob->data[kBig - 1]);
    EXPECT_EQ(0x12, blob->data[0x312]);
}

// Random damage to a valid file never crashes the parser or makes it read out of bounds; a
// refusal names a line of the file, and whatever is accepted writes back to the same registry.
TEST(RegistryFileTest, RandomlyDamagedFilesAreReadOrRefusedSafely) {
    std::mt19937 rng(7);
    Document seed = RandomDocument(rng, 6, 6);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const char* const kFragments[] = {"\\\n", "\"", "[", "]", ",",  "hex(", "dword:", "\n",
                                      "\r",   "=",  "@", ";", "\\", "-",    "\xc3",   "\xff"};
    constexpr int kRounds = 1500;
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
        seed.encoding = static_cast<Encoding>(round % 3);
        Bytes bytes = platform::regfile::Serialize(seed);
        const int mutations = 1 + static_cast<int>(pick(4));
        for (int m = 0; m < mutations && !bytes.empty(); ++m) {
            const std::size_t at = pick(bytes.size());
            switch (pick(6)) {
                case 0:
                    bytes[at] = static_cast<std::uint8_t>(pick(256));
                    break;
                case 1:
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                 static_cast<std::uint8_t>(pick(256)));
                    break;
                case 2:
                    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                bytes.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(bytes.size(), at + 1 + pick(16))));
                    break;
                case 3:
                    bytes.resize(at);
                    break;
                default: {
                    const char* f = kFragments[pick(std::size(kFragments))];
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), f,
                                 f + std::strlen(f));
                    break;
                }
            }
        }
        // An exact-size heap copy, so that the sanitizers catch any read past the end.
        auto exact = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
        std::memcpy(exact.get(), bytes.data(), bytes.size());
        Document doc;
        ParseError error;
        if (platform::regfile::Parse(exact.get(), bytes.size(), &doc, &error)) {
            ++accepted;
            const Bytes again = platform::regfile::Serialize(doc);
            const Document back = MustParse(again);
            ExpectSameRegistry(doc, back);
        } else {
            std::size_t lines = 1;
            for (std::uint8_t b : bytes) {
                lines += b == '\n' || b == '\r';
            }
            EXPECT_GE(error.line, 1u);
            EXPECT_LE(error.line, lines);
            EXPECT_FALSE(error.message.empty());
        }
        if (HasFailure()) {
            break;
        }
    }
    // Both outcomes must have occurred for the loop to have tested anything.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, kRounds);
}

TEST(RegistryFileTest, TheExampleFileParses) {
    // The repository's resources/ directory, found from this source file's path.
    std::string path = __FILE__;
    const std::size_t tests = path.rfind("tests");
    ASSERT_NE(std::string::npos, tests);
    path = path.substr(0, tests) + "resources/registry-example.reg";
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f) << path;
    Bytes bytes;
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(f);
    const Document doc = MustParse(bytes);

    const Key* plugins = doc.FindKey(L"Software\\Keltra\\Brismont Settings\\SvcPlugins");
    ASSERT_NE(nullptr, plugins);
    int libraries = 0;
    for (const Value& v : plugins->values) {
        if (v.type == platform::kRegSz && !v.name.empty()) {
            ++libraries;
            ASSERT_GE(v.data.size(), 2u);
            EXPECT_EQ(0, v.data[v.data.size() - 1] | v.data[v.data.size() - 2]);
        }
    }
    EXPECT_GE(libraries, 2);

    const std::wstring log = L"Software\\Keltra\\Brismont Settings\\DbgLog";
    for (const wchar_t* dword : {L"enabled", L"append", L"loglevel"}) {
        const Value* v = Find(doc, log, dword);
        ASSERT_NE(nullptr, v) << testing::PrintToString(std::wstring(dword));
        EXPECT_EQ(platform::kRegDword, v->type);
        EXPECT_EQ(4u, v->data.size());
    }
    const Value* logpath = Find(doc, log, L"logpath");
    ASSERT_NE(nullptr, logpath);
    EXPECT_EQ(platform::kRegSz, logpath->type);
    EXPECT_LE(logpath->data.size(), 520u) << "the log path must fit 260 characters";
}

}  // namespace
