// The .reg text format on every platform: accepted forms, encodings, refusals with their line
// numbers, the writer's forms and round trips, and the shipped example file.
#include <fstream>
#include <iterator>

#include "regfile/registry_file_parser.h"
#include "regfile/registry_file_writer.h"
#include "tests/platform/registry_test_support.h"

namespace {

using namespace keltra::test;
using namespace platform::regfile;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n";

Document MustParse(const Bytes& bytes) {
    Document doc;
    ParseError error;
    EXPECT_TRUE(Parse(bytes.data(), bytes.size(), &doc, &error))
        << "line " << error.line << ": " << testing::PrintToString(error.message);
    return doc;
}

// Same keys and values: the writer's text, which holds every name, type and byte, is the same.
void ExpectSameRegistry(const Document& a, const Document& b) {
    EXPECT_TRUE(Serialize(a) == Serialize(b));
}

// A UTF-16LE file with its byte-order mark, as the Windows exporter writes it.
Bytes Utf16File(const std::wstring& text) {
    return Utf16Le(L"\uFEFF" + text, false);
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
        {L"\u03a9\u4e2d", "\"\xce\xa9\xe4\xb8\xad\"=\"\xf0\x9f\x98\x80\"", 1,
         Utf16Le(L"\U0001F600")},
    };
    std::string text = "\xef\xbb\xbf" + std::string(kHeader) +
                       "\n; a comment\n[HKEY_LOCAL_MACHINE\\Software\\K]\n";
    for (const auto& form : forms) {
        text += form.line + std::string("\n");
    }
    const Document doc = MustParse(Ascii(text));
    EXPECT_EQ(Encoding::kUtf8Bom, doc.encoding);
    const Key* k = doc.FindKey(L"SOFTWARE\\k");
    ASSERT_NE(nullptr, k);
    EXPECT_NE(nullptr, FindValue(*k, L"\u03c9\u4e2d")) << "names fold beyond ASCII";
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
    // Value "first" keeps its place and spelling; "second" and the tree under B are gone.
    ExpectSameRegistry(doc,
                       MustParse(Ascii("Windows Registry Editor Version 5.00\r\n"
                                       "[HKEY_LOCAL_MACHINE\\A]\r\n\"first\"=dword:00000001\r\n"
                                       "\"third\"=\"3\"\r\n")));
}

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
        {Bytes{0xFE, 0xFF, 0, 'W'}, 1, L"big-endian"},
        {oddUtf16, 3, L"middle of a UTF-16 character"},
        {Utf16File(L"Windows Registry Editor Version 5.00\r\n\r\nzzz\r\n"), 3, L"unexpected text"},
        {loneSurrogate, 3, L"unpaired UTF-16 surrogate"},
        {Ascii(h + sec + "\"a\"=\"\xff\"\n"), 3, L"invalid UTF-8"},
        {Ascii(h + "\n\n\xe4\xb8"), 4, L"ends inside a UTF-8"},
        {Ascii(h + sec + "\"a\"=\"x" + std::string(1, '\0') + "\"\n"), 3, L"NUL"},
        {Ascii(h + "\n[HKEY_LOCAL_MACHINE\\Software\n\"a\"=\"b\"\n"), 3, L"not closed with ']'"},
        {Ascii(h + "[HKEY_LOCAL_MACHINE\\Software\\\\K]\n"), 2, L"empty key name"},
        {Ascii(h + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n"), 2, L"longer than 255"},
        {Ascii(h + "[-HKEY_LOCAL_MACHINE]\n"), 2, L"cannot be deleted"},
        {Ascii(h + "\n\"a\"=\"b\"\n" + sec), 3, L"outside a key section"},
        {Ascii(h + "[-HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"b\"\n"), 3, L"deleted key"},
        {Ascii(h + sec + "\"a\"=\"b\"\nplugin=c:\\x.dll\n"), 4, L"unexpected text 'plugin="},
        {Ascii(h + sec + "\"a\"=\"C:\\Plugins\\a.dll\"\n"), 3, L"unknown escape '\\P'"},
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
        {Ascii(h + sec + "\"" + std::string(16384, 'n') + "\"=\"x\"\n"), 3, L"16383"},
        {Ascii("Windows Registry Editor Version 5.00\r\r[HKEY_LOCAL_MACHINE\\K]\r???\r"), 4,
         L"unexpected text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Document doc;
        ParseError error;
        ASSERT_FALSE(Parse(c.bytes.data(), c.bytes.size(), &doc, &error));
        EXPECT_EQ(c.line, error.line);
        EXPECT_NE(std::wstring::npos, error.message.find(c.fragment))
            << testing::PrintToString(error.message);
    }
}

TEST(RegistryFileTest, WritesTheExportersFormsAndReadsThemBack) {
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
        {L"", 1, Utf16Le(L"d"), "@=\"d\""},
        {L"unterminated", 1, Utf16Le(L"ab", false), "\"unterminated\"=hex(1):61,00,62,00"},
        {L"multi line", 1, Utf16Le(L"a\nb"), "\"multi line\"=hex(1):61,00,0a,00,62,00,00,00"},
        {L"short dword", 4, {1, 2}, "\"short dword\"=hex(4):01,02"},
        {L"\u00e9 \"\\[x]\U0001F600", 2, Utf16Le(L"%X%"),
         "\"\xc3\xa9 \\\"\\\\[x]\xf0\x9f\x98\x80\"=hex(2):25,00,58,00,25,00,00,00"},
        {L"long", 3, Bytes(30, 0xab),  // wrapped within 80 columns like the exporter's
         "\"long\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n  "
         "ab,ab,ab,ab,ab,ab,ab,ab"},
    };
    for (const auto& v : values) {
        SetValue(key, v.name, v.type, v.data);
    }
    const Bytes bytes = Serialize(doc);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(0u, text.find(std::string(kHeader) + "\n[HKEY_LOCAL_MACHINE\\Software]\n"));
    for (const auto& v : values) {
        // Found as a whole line: preceded by a line end.
        const size_t at = text.find(v.line);
        EXPECT_TRUE(at != std::string::npos && at > 0 && text[at - 1] == '\n') << v.line;
    }
    ExpectSameRegistry(doc, MustParse(bytes));
}

TEST(RegistryFileTest, TheExampleFileParses) {
    // The build copies resources/registry-example.reg beside the test programs.
    std::ifstream in(
        platform::WideToUtf8(platform::GetExecutableDirectory()) + "/registry-example.reg",
        std::ios::binary);
    const Document doc = MustParse(Bytes(std::istreambuf_iterator<char>(in), {}));
    const Key* plugins = doc.FindKey(L"Software\\Keltra\\Brismont Settings\\SvcPlugins");
    const Key* log = doc.FindKey(L"Software\\Keltra\\Brismont Settings\\DbgLog");
    ASSERT_TRUE(plugins && log && FindValue(*log, L"logpath"));
    EXPECT_GE(plugins->values.size(), 2u);
    EXPECT_LE(FindValue(*log, L"logpath")->data.size(), 520u) << "a log path of 259 characters";
}

}  // namespace
