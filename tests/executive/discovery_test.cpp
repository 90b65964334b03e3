// Reading the plug-in list from the registry: filtering, order, duplicates, limits.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "executive/plugin_discovery.h"
#include "executive/plugin_mgr.h"
#include "platform/error.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PluginMgr;
using executive::ValueFate;
using namespace keltra::test;
using Paths = std::vector<std::wstring>;

constexpr wchar_t kFilter[] = L"svcbu";

// Records every step of a reading.
struct Recorder : executive::DiscoveryObserver {
    void OnCounted(const executive::PluginValue& value, bool exists) override {
        counted[value.name] = exists;
    }
    void OnFate(const executive::PluginValue& value, ValueFate fate) override {
        fates[value.name] = fate;
    }
    void OnEnumerationEnd(std::uint32_t index, platform::ErrorCode code) override {
        end = {index, code};
    }
    std::map<std::wstring, bool> counted;
    std::map<std::wstring, ValueFate> fates;
    std::pair<std::uint32_t, platform::ErrorCode> end;
};

class Discovery : public testing::Test {
  protected:
    Paths Read(const wchar_t* filter = kFilter, const TestRegistryKey* from = nullptr) {
        const wchar_t* path = (from != nullptr ? from : &key)->Path();
        Paths dlls = {L"stale entry"};
        EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, path, filter), 0u);
        Paths again;
        EXPECT_EQ(executive::ReadPluginList(again, path, filter, r), 0u);
        EXPECT_EQ(again, dlls);
        return dlls;
    }
    std::wstring File(const std::wstring& name) { return WriteFile(key.Dir(), name, "x"); }
    // UTF-16LE of text without its terminator, from memory whose next character is not NUL:
    // the registry looks past the data and, finding a NUL there, would store it too.
    std::string Unterminated(const std::wstring& text) { return Utf16Le(text + L"#"); }
    TestRegistryKey key;
    Recorder r;
};

TEST_F(Discovery, NameTypeAndExistenceRules) {
    const std::wstring a = File(L"a.dll"), b = File(L"b.dll"), c = File(L"c.dll");
    const std::string bytes = Utf16Le(c + L'\0');
    using namespace platform;
    const std::wstring filtered[] = {L"", L"Plugin", L"_svcbu"};  // "" is the default value
    const std::uint32_t types[] = {kRegExpandSz, kRegMultiSz, kRegBinary,
                                   kRegDword,    kRegQword,   kRegNone};
    for (const std::wstring& name : filtered) {
        key.SetString(name.c_str(), c);
    }
    for (std::uint32_t type : types) {
        key.SetRaw((L"s" + std::to_wstring(type)).c_str(), type, bytes,
                   type == kRegDword   ? 4
                   : type == kRegQword ? 8
                                       : -1);
    }
    // Taken ones and the missing file, in name order (Windows enumerates in insertion order).
    key.SetString(L"Beta", b);
    key.SetString(L"SVCBU2", c);  // case folded
    key.SetString(L"svcbu1", a);
    key.SetString(L"uMissing", key.Dir() + platform::kPathSeparator + L"missing.dll");
    key.SetString(L"vDirectory", key.Dir());  // a directory exists
    EXPECT_EQ(Read().size(), 4u);
    for (const std::wstring& name : filtered) {
        EXPECT_EQ(r.fates[name], ValueFate::NameFiltered) << platform::WideToUtf8(name);
    }
    for (std::uint32_t type : types) {
        EXPECT_EQ(r.fates[L"s" + std::to_wstring(type)], ValueFate::NotString) << type;
    }
    EXPECT_EQ(r.counted.size(), 5u);  // only what passed name and type was looked for
    EXPECT_EQ(r.fates[L"uMissing"], ValueFate::FileMissing);
    EXPECT_FALSE(r.counted.at(L"uMissing"));
    EXPECT_EQ(r.fates[L"svcbu1"], ValueFate::Taken);
    EXPECT_EQ(r.end, std::make_pair(14u, std::uint32_t(platform::kErrorNoMoreItems)));
}

TEST_F(Discovery, KeepsRegistryOrderDropsLaterDuplicatesAndComparesPathsExactly) {
    const std::wstring a = File(L"a.dll"), c = File(L"c.dll"), upper = File(L"C.DLL");
    for (const auto& [name, path] : std::vector<std::pair<const wchar_t*, std::wstring>>{
             {L"s1", c}, {L"s2", a}, {L"s3", c}, {L"s4", upper}, {L"s5", a}}) {
        key.SetString(name, path);
    }
    EXPECT_EQ(Read(), (Paths{c, a, upper}));
    EXPECT_EQ(r.fates[L"s3"], ValueFate::Duplicate);
    EXPECT_EQ(r.fates[L"s5"], ValueFate::Duplicate);
}

TEST_F(Discovery, MissingEmptyKeyFiltersAndBadArguments) {
    Paths dlls = {L"kept"};
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, nullptr, kFilter), 87u);
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), nullptr), 87u);
    EXPECT_EQ(dlls, Paths{L"kept"});
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 2u);  // no such key
    EXPECT_TRUE(dlls.empty());
    key.SetRaw(nullptr, 0, {});
    EXPECT_TRUE(Read().empty());
    const std::wstring a = File(L"a.dll");
    key.SetString(L"svcbu", a);
    EXPECT_TRUE(Read(L"").empty());
    EXPECT_TRUE(Read(L"xyz").empty());
    EXPECT_EQ(Read(L"s"), Paths{a});
}

// A name of 260 characters or more, or data over 520 bytes, stops the reading there.
TEST_F(Discovery, LimitsOfNameAndData) {
    const std::wstring a = File(L"a.dll"), b = File(L"b.dll");
    key.SetString(L"s1", a);
    key.SetString((L"s" + std::wstring(258, L'n')).c_str(), b);  // 259 characters: fits
    key.SetString((L"t" + std::wstring(259, L'n')).c_str(), a);  // 260: does not
    key.SetString(L"u9", b);
    EXPECT_EQ(Read(), (Paths{a, b}));
    EXPECT_EQ(r.end, std::make_pair(2u, std::uint32_t(platform::kErrorMoreData)));
    EXPECT_EQ(r.fates.count(L"u9"), 0u);  // never read
    TestRegistryKey other;
    other.SetString(L"s1", a);
    other.SetString(L"s2", key.Dir() + platform::kPathSeparator + std::wstring(300, L'd'));
    other.SetString(L"s3", b);
    EXPECT_EQ(Read(kFilter, &other), Paths{a});
    EXPECT_EQ(r.end, std::make_pair(1u, std::uint32_t(platform::kErrorMoreData)));
}

// A 259-character path with its terminator (520 bytes) is taken. Exactly 520 bytes with no
// terminator fill the buffer: reading them as a string would run past it, cutting them would
// name another file, so they are skipped. Shorter data without a terminator is read within
// its bytes.
TEST_F(Discovery, PathOfTheLimitIsTakenAndUnterminatedDataIsSkippedOrReadWithinItsBytes) {
    const std::wstring dir = key.Dir() + platform::kPathSeparator;
    const std::wstring name = std::wstring(259 - dir.size() - 4, L'f') + L".dll";
    const std::wstring longPath = File(name), a = File(L"a.dll");
    ASSERT_EQ(longPath.size(), 259u);
    File(name + L"x");
    key.SetRaw(L"s1", platform::kRegSz, Unterminated(a), 2 * a.size());
    key.SetRaw(L"s2", platform::kRegSz, Unterminated(longPath + L"x"), 520);
    key.SetString(L"s3", longPath);
    EXPECT_EQ(Read(), (Paths{a, longPath}));
    EXPECT_EQ(r.fates[L"s2"], ValueFate::DataUnterminated);
    EXPECT_EQ(r.end.second, platform::kErrorNoMoreItems);
}

}  // namespace
