// The .reg text format on every platform: accepted forms, encodings, refusals with their line
// numbers, the writer's forms and round trips, and the shipped example file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/registry_file_parser.h"
#include "platform/registry_file_writer.h"
#include "tests/platform/registry_test_support.h"

namespace {

using keltra::test::Ascii;
using keltra::test::Bytes;
using keltra::test::Utf16Le;
using platform::regfile::Document;
using platform::regfile::Encoding;
using platform::regfile::Key;
using platform::regfile::ParseError;
using platform::regfile::Value;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n";

Document MustParse(const Bytes& bytes) {
    Document doc;
    ParseError error;
    EXPECT_TRUE(platform::regfile::Parse(bytes.data(), bytes.size(), &doc, &error))
        << "line " << error.line << ": " << testing::PrintToString(error.message);
    return doc;
}

const Value* Find(const Document& doc, std::wstring_view key, std::wstring_view name) {
    const Key* k = doc.FindKey(key);
    return k == nullptr ? nullptr : platform::regfile::FindValue(*k, name);
}

// Same keys and values: the writer's text, which holds every name, type and byte, is the same.
void ExpectSameRegistry(const Document& a, const Document& b) {
    EXPECT_TRUE(platform::regfile::Serialize(a) == platform::regfile::Serialize(b));
}

Bytes Utf16File(std::wstring_view text) {
    Bytes out = {0xFF, 0xFE};
    const Bytes body = Utf16Le(text, false);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(RegistryFileTest, ReadsEveryValueFormInFileOrder) {
    const struct {
        const wchar_t* name;
        const char* line;
        std::uint32_t type;
        Bytes data;
    } forms[] = {
        {L"svcbuA", "\"svcbuA\"=\"C:\\\\Plugins\\\\a.dll\"", 1, Utf16Le(L"C:\\Plugins\\a.dll")},
        {L"", "@=\"default \\\"quoted\\\"\"", 1, Utf16Le(L"default \"quoted\"")},
        {L"dword", "\"dword\"=dword:0000002a", 4, {0x2a, 0, 0, 0}},
        {L"short dword", "\"short dword\"=DWORD:7", 4, {7, 0, 0, 0}},
        {L"binary", "\"binary\"=hex:00,01,ff,Fe", 3, {0, 1, 0xff, 0xfe}},
        {L"empty binary", "\"empty binary\"=hex:", 3, {}},
        {L"raw sz", "\"raw sz\"=hex(1):61,00,62,00", 1, Utf16Le(L"ab", false)},
        {L"big type", "\"big type\"=hex(ffffffff):01", 0xffffffff, {1}},
        {L"continued", "\"continued\"=hex:01,02,\\\n  03,04,\\\n\t05", 3, {1, 2, 3, 4, 5}},
        {L"spaced", "  \"spaced\" = \"x\"  ", 1, Utf16Le(L"x")},
        {L"odd=name;[x]", "\"odd=name;[x]\"=\"a;b\"", 1, Utf16Le(L"a;b")},
    };
    std::string text = std::string(kHeader) + "\n; a comment\n[HKEY_LOCAL_MACHINE\\Software\\K]\n";
    for (const auto& form : forms) {
        text += form.line + std::string("\n");
    }
    const Document doc = MustParse(Ascii(text));
    const Key* k = doc.FindKey(L"SOFTWARE\\k");
    ASSERT_NE(nullptr, k);
    ASSERT_EQ(std::size(forms), k->values.size());
    for (std::size_t i = 0; i < std::size(forms); ++i) {
        EXPECT_EQ(forms[i].name, k->values[i].name) << "value " << i << " in file order";
        EXPECT_EQ(forms[i].type, k->values[i].type) << i;
        EXPECT_TRUE(forms[i].data == k->values[i].data) << i;
    }
    EXPECT_TRUE(doc.KeyExists(L"Software")) << "parents of a section exist";
}

TEST(RegistryFileTest, SectionsMergeValuesReplaceAndDeletionsApplyInOrder) {
    const Document doc = MustParse(Ascii(
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"first\"=\"1\"\r\n"
        "\"second\"=\"2\"\r\n[hkey_local_machine\\B\\Gone]\r\n\"x\"=\"x\"\r\n"
        "[HKEY_LOCAL_MACHINE\\a]\r\n\"FIRST\"=dword:00000001\r\n\"third\"=\"3\"\r\n"
        "\"second\"=-\r\n[-HKEY_LOCAL_MACHINE\\B]\r\n[-HKEY_LOCAL_MACHINE\\Never\\Existed]\r\n"));
    const Key* a = doc.FindKey(L"A");
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(2u, a->values.size());
    EXPECT_EQ(L"first", a->values[0].name) << "a value set again keeps its place and spelling";
    EXPECT_EQ(4u, a->values[0].type);
    EXPECT_EQ(L"third", a->values[1].name);
    EXPECT_FALSE(doc.KeyExists(L"B\\Gone"));
    EXPECT_TRUE(doc.crlf);
}

TEST(RegistryFileTest, ReadsAndWritesBackUtf8WithAndWithoutBomAndUtf16Le) {
    const std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\\xc3\x89t\xc3\xa9 \xe4\xb8\xad]\r\n"
        "\"\xce\xa9 name\"=\"\xc3\xa9 \xd0\x96 \xf0\x9f\x98\x80\"\r\n";
    const std::wstring wide =
        L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\\u00c9t\u00e9 "
        L"\u4e2d]\r\n\"\u03a9 name\"=\"\u00e9 \u0416 \U0001F600\"\r\n";
    const struct {
        Bytes bytes;
        Encoding encoding;
        std::size_t markBytes;
    } cases[] = {{Ascii(utf8), Encoding::kUtf8, 0},
                 {Ascii("\xef\xbb\xbf" + utf8), Encoding::kUtf8Bom, 3},
                 {Utf16File(wide), Encoding::kUtf16Le, 2}};
    for (const auto& c : cases) {
        const Document doc = MustParse(c.bytes);
        EXPECT_EQ(c.encoding, doc.encoding);
        const Value* v = Find(doc, L"Software\\\u00c9T\u00c9 \u4e2d", L"\u03c9 NAME");
        ASSERT_NE(nullptr, v) << "names fold beyond ASCII";
        EXPECT_EQ(L"\u03a9 name", v->name);
        EXPECT_TRUE(Utf16Le(L"\u00e9 \u0416 \U0001F600") == v->data);
        const Bytes again = platform::regfile::Serialize(doc);
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.begin() + c.markBytes, again.begin()));
        ExpectSameRegistry(doc, MustParse(again));
    }
}

TEST(RegistryFileTest, EmptyFilesAreEmptyRegistries) {
    for (const Bytes& bytes :
         {Bytes{}, Bytes{0xEF, 0xBB, 0xBF}, Bytes{0xFF, 0xFE}, Ascii(" \r\n\n"), Ascii(kHeader)}) {
        EXPECT_TRUE(MustParse(bytes).Keys().empty());
    }
}

// Every way a file is refused, with the line the refusal names and a piece of its reason.
TEST(RegistryFileTest, RefusesMalformedFilesWithTheRightLine) {
    const std::string h = kHeader;
    const std::string sec = "[HKEY_LOCAL_MACHINE\\Software\\K]\n";
    Bytes oddUtf16 =
        Utf16File(L"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n");
    oddUtf16.push_back(0x22);
    Bytes loneSurrogate =
        Utf16File(L"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"");
    loneSurrogate.insert(loneSurrogate.end(), {0x00, 0xD8, 0x22, 0x00, 0x3D, 0x00, 0x2D, 0x00});
    const struct {
        Bytes bytes;
        std::size_t line;
        const wchar_t* fragment;
    } cases[] = {
        {Ascii(sec), 1, L"first line must be"},
        {Ascii("REGEDIT4\n" + sec), 1, L"REGEDIT4"},
        {Bytes{0xFE, 0xFF, 0, 'W'}, 1, L"big-endian"},
        {Bytes{'W', 0, 'i', 0}, 1, L"byte-order mark"},
        {oddUtf16, 3, L"middle of a UTF-16 character"},
        {Utf16File(L"Windows Registry Editor Version 5.00\r\n\r\nzzz\r\n"), 3, L"unexpected text"},
        {loneSurrogate, 3, L"unpaired UTF-16 surrogate"},
        {Ascii(h + sec + "\"a\"=\"\xff\"\n"), 3, L"invalid UTF-8"},
        {Ascii(h + "\n\n\xe4\xb8"), 4, L"ends inside a UTF-8"},
        {Ascii(h + sec + "\"a\"=\"x" + std::string(1, '\0') + "\"\n"), 3, L"NUL"},
        {Ascii(h + "\n[HKEY_LOCAL_MACHINE\\Software\n\"a\"=\"b\"\n"), 3, L"not closed with ']'"},
        {Ascii(h + "[]\n"), 2, L"empty section"},
        {Ascii(h + "[HKEY_LOCAL_MACHINE\\Software\\\\K]\n"), 2, L"empty key name"},
        {Ascii(h + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n"), 2, L"longer than 255"},
        {Ascii(h + "[-HKEY_LOCAL_MACHINE]\n"), 2, L"cannot be deleted"},
        {Ascii(h + "\n\"a\"=\"b\"\n" + sec), 3, L"outside a key section"},
        {Ascii(h + "[-HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"b\"\n"), 3, L"deleted key"},
        {Ascii(h + sec + "\"a\"=\"b\"\nplugin=c:\\x.dll\n"), 4, L"unexpected text 'plugin="},
        {Ascii(h + sec + "\"a\"=\"C:\\Plugins\\a.dll\"\n"), 3, L"unknown escape '\\P'"},
        {Ascii(h + sec + "\"a\"=\"b\\\n"), 3, L"not closed"},
        {Ascii(h + sec + "\"a\" \"b\"\n"), 3, L"expected '='"},
        {Ascii(h + sec + "\"a\"=\"b\" ; note\n"), 3, L"unexpected text after the string"},
        {Ascii(h + sec + "\"a\"=qword:1\n"), 3, L"unknown value data"},
        {Ascii(h + sec + "\"a\"=dword:000000001\n"), 3, L"bad dword"},
        {Ascii(h + sec + "\"a\"=hex:01,123\n"), 3, L"bad hex byte '123'"},
        {Ascii(h + sec + "\"a\"=hex:01 02\n"), 3, L"expected ','"},
        {Ascii(h + sec + "\"a\"=hex:01,02,\n\"b\"=\"c\"\n"), 3, L"ends with ','"},
        {Ascii(h + sec + "\"a\"=hex(x):01\n"), 3, L"bad value type"},
        {Ascii(h + sec + "\"a\"=hex:01,\\\n"), 3, L"past the end of the file"},
        {Ascii(h + sec + "\"a\"=hex:01,\\\n\n02\n"), 4, L"empty continuation line"},
        {Ascii(h + sec + "\"a\"=hex:01,\\\n  02,\\\n  zz\n"), 5, L"bad hex byte 'zz'"},
        {Ascii(h + sec + "\"a\"=hex:01\\\n  02\n"), 3, L"expected ','"},
        {Ascii(h + sec + "\"a\"=hex:01,\\ x\n  02\n"), 3, L"after the continuation"},
        {Ascii(h + sec + "\"" + std::string(16384, 'n') + "\"=\"x\"\n"), 3, L"16383"},
        {Ascii("Windows Registry Editor Version 5.00\r\r[HKEY_LOCAL_MACHINE\\K]\r???\r"), 4,
         L"unexpected text"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Document doc;
        ParseError error;
        ASSERT_FALSE(
            platform::regfile::Parse(cases[i].bytes.data(), cases[i].bytes.size(), &doc, &error))
            << "case " << i;
        EXPECT_EQ(cases[i].line, error.line) << "case " << i;
        EXPECT_NE(std::wstring::npos, error.message.find(cases[i].fragment))
            << "case " << i << ": " << testing::PrintToString(error.message);
    }
}

TEST(RegistryFileTest, WritesTheExportersFormsAndReadsThemBackInEveryEncoding) {
    Document doc;
    Key& key = doc.CreateKey(L"Software\\Keltra\\DbgLog");
    const struct {
        const wchar_t* name;
        std::uint32_t type;
        Bytes data;
        const char* line;  // as written
    } values[] = {
        {L"logpath", 1, Utf16Le(L"C:\\Logs\\\"svc\".log"),
         "\"logpath\"=\"C:\\\\Logs\\\\\\\"svc\\\".log\""},
        {L"enabled", 4, {1, 0, 0, 0}, "\"enabled\"=dword:00000001"},
        {L"", 1, Utf16Le(L"d"), "@=\"d\""},
        {L"unterminated", 1, Utf16Le(L"ab", false), "\"unterminated\"=hex(1):61,00,62,00"},
        {L"multi line", 1, Utf16Le(L"a\nb"), "\"multi line\"=hex(1):61,00,0a,00,62,00,00,00"},
        {L"short dword", 4, {1, 2}, "\"short dword\"=hex(4):01,02"},
        {L"\u00e9 \"\\[x]\U0001F600", 2, Utf16Le(L"%X%"),
         "\"\xc3\xa9 \\\"\\\\[x]\xf0\x9f\x98\x80\"=hex(2):25,00,58,00,25,00,00,00"},
        {L"binary", 3, Bytes(100, 0xab), "\"binary\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,"},
    };
    for (const auto& v : values) {
        platform::regfile::SetValue(key, v.name, v.type, v.data);
    }
    const Bytes bytes = platform::regfile::Serialize(doc);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(0u, text.find(std::string(kHeader) + "\n[HKEY_LOCAL_MACHINE\\Software]\n"));
    for (const auto& v : values) {
        EXPECT_NE(std::string::npos, text.find("\n" + std::string(v.line))) << v.line;
    }
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        EXPECT_LE(end - start, 80u) << "hex lists wrap like the exporter's";
    }
    for (int variant = 0; variant < 6; ++variant) {
        doc.encoding = static_cast<Encoding>(variant % 3);
        doc.crlf = variant >= 3;
        const Document back = MustParse(platform::regfile::Serialize(doc));
        ExpectSameRegistry(doc, back);
        EXPECT_EQ(doc.encoding, back.encoding);
        EXPECT_EQ(doc.crlf, back.crlf);
    }
}

TEST(RegistryFileTest, TheExampleFileParses) {
    // The build copies resources/registry-example.reg beside the test programs.
    const std::wstring path =
        platform::GetExecutableDirectory() + platform::kPathSeparator + L"registry-example.reg";
    std::ifstream in(platform::WideToUtf8(path), std::ios::binary);
    ASSERT_TRUE(in) << platform::WideToUtf8(path);
    const Document doc =
        MustParse(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    const Key* plugins = doc.FindKey(L"Software\\Keltra\\Brismont Settings\\SvcPlugins");
    ASSERT_NE(nullptr, plugins);
    EXPECT_GE(plugins->values.size(), 2u);
    const Value* logpath = Find(doc, L"Software\\Keltra\\Brismont Settings\\DbgLog", L"logpath");
    ASSERT_NE(nullptr, logpath);
    EXPECT_LE(logpath->data.size(), 520u) << "the log path must fit 260 characters";
}

}  // namespace
