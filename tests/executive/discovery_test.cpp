// Reading the plug-in list from the registry: filtering, order, duplicates, limits.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "executive/plugin_discovery.h"
#include "executive/plugin_mgr.h"
#include "tests/executive/exec_test_support.h"

namespace {

using executive::PluginMgr;
using executive::ValueFate;
using keltra::test::TestRegistryKey;
using keltra::test::Utf16LeBytes;

constexpr wchar_t kFilter[] = L"svcbu";

// Records every step of a reading.
class Recorder : public executive::DiscoveryObserver {
  public:
    void OnOpenFailed(platform::ErrorCode error) override { openError = error; }
    void OnCounted(const executive::PluginValue& value, bool exists) override {
        counted[value.name] = exists;
    }
    void OnFate(const executive::PluginValue& value, ValueFate fate) override {
        fates[value.name] = fate;
    }
    void OnEnumerationEnd(std::uint32_t index, platform::ErrorCode code) override {
        endIndex = index;
        endCode = code;
    }
    platform::ErrorCode openError = 0;
    std::map<std::wstring, bool> counted;
    std::map<std::wstring, ValueFate> fates;
    std::uint32_t endIndex = 0;
    platform::ErrorCode endCode = 0;
};

class Discovery : public testing::Test {
  protected:
    void SetUp() override {
        dir = keltra::test::MakeTempDirectory(L"disc");
        fileA = keltra::test::WriteFile(dir, L"a.dll", "a");
        fileB = keltra::test::WriteFile(dir, L"b.dll", "b");
        fileC = keltra::test::WriteFile(dir, L"c.dll", "c");
    }
    std::wstring Missing() const { return dir + platform::kPathSeparator + L"missing.dll"; }

    TestRegistryKey key;
    std::wstring dir, fileA, fileB, fileC;
};

TEST_F(Discovery, NameTypeAndExistenceRules) {
    key.SetString(L"svcbu1", fileA);                           // counts
    key.SetString(L"Beta", fileB);                             // B counts
    key.SetString(L"Plugin", fileC);                           // P does not
    key.SetString(L"_svcbu", fileC);                           // underscore first
    key.SetString(L"SVCBU2", fileC);                           // folded: counts
    key.SetString(L"sExpand", fileC, platform::kRegExpandSz);  // not REG_SZ
    key.SetString(L"sMulti", fileC, platform::kRegMultiSz);    // not REG_SZ
    key.SetRaw(L"sBinary", platform::kRegBinary, Utf16LeBytes(fileC));
    key.SetDword(L"sDword", 1);
    key.SetRaw(L"sQword", platform::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0});
    key.SetRaw(L"sNone", platform::kRegNone, Utf16LeBytes(fileC));
    key.SetString(L"", fileC);              // default value
    key.SetString(L"uMissing", Missing());  // counted, missing
    key.SetString(L"vDirectory", dir);      // a directory exists

    std::vector<std::wstring> dlls = {L"stale entry"};
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    std::vector<std::wstring> expected;
    for (const std::wstring& name : key.EnumeratedNames()) {
        if (name == L"svcbu1")
            expected.push_back(fileA);
        if (name == L"Beta")
            expected.push_back(fileB);
        if (name == L"SVCBU2")
            expected.push_back(fileC);
        if (name == L"vDirectory")
            expected.push_back(dir);
    }
    EXPECT_EQ(dlls, expected);

    Recorder r;
    std::vector<std::wstring> again;
    ASSERT_EQ(executive::ReadPluginList(again, key.Path(), kFilter, r), 0u);
    EXPECT_EQ(again, dlls);
    EXPECT_EQ(r.fates[L"svcbu1"], ValueFate::Taken);
    EXPECT_EQ(r.fates[L"Plugin"], ValueFate::NameFiltered);
    EXPECT_EQ(r.fates[L"_svcbu"], ValueFate::NameFiltered);
    EXPECT_EQ(r.fates[L""], ValueFate::NameFiltered);
    EXPECT_EQ(r.fates[L"sExpand"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"sMulti"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"sBinary"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"sDword"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"sQword"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"sNone"], ValueFate::NotString);
    EXPECT_EQ(r.fates[L"uMissing"], ValueFate::FileMissing);
    EXPECT_EQ(r.counted.count(L"uMissing"), 1u);
    EXPECT_FALSE(r.counted[L"uMissing"]);
    EXPECT_EQ(r.counted.count(L"Plugin"), 0u);
    EXPECT_EQ(r.endCode, platform::kErrorNoMoreItems);
    EXPECT_EQ(r.endIndex, 14u);
}

TEST_F(Discovery, KeepsRegistryOrderAndDropsLaterDuplicates) {
    // Inserted in name order, so insertion order and name order agree.
    key.SetString(L"s1", fileC);
    key.SetString(L"s2", fileA);
    key.SetString(L"s3", fileC);  // duplicate of s1
    key.SetString(L"s4", fileB);
    key.SetString(L"s5", fileA);  // duplicate of s2
    std::vector<std::wstring> dlls;
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    EXPECT_EQ(dlls, (std::vector<std::wstring>{fileC, fileA, fileB}));
    Recorder r;
    ASSERT_EQ(executive::ReadPluginList(dlls, key.Path(), kFilter, r), 0u);
    EXPECT_EQ(r.fates[L"s3"], ValueFate::Duplicate);
    EXPECT_EQ(r.fates[L"s5"], ValueFate::Duplicate);
    EXPECT_EQ(r.fates[L"s1"], ValueFate::Taken);
}

TEST_F(Discovery, OrderIsWhateverThePlatformEnumerates) {
    // Not inserted in name order: the list follows the enumeration, with no sorting added.
    key.SetString(L"s3", fileC);
    key.SetString(L"s1", fileA);
    key.SetString(L"s2", fileB);
    std::map<std::wstring, std::wstring> byName = {{L"s1", fileA}, {L"s2", fileB}, {L"s3", fileC}};
    std::vector<std::wstring> expected;
    for (const std::wstring& name : key.EnumeratedNames()) {
        expected.push_back(byName[name]);
    }
    ASSERT_EQ(expected.size(), 3u);
    std::vector<std::wstring> dlls;
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    EXPECT_EQ(dlls, expected);
}

TEST_F(Discovery, PathsAreComparedExactly) {
    const std::wstring lower = keltra::test::WriteFile(dir, L"x.dll", "x");
    const std::wstring upper = keltra::test::WriteFile(dir, L"X.DLL", "X");
    key.SetString(L"s1", lower);
    key.SetString(L"s2", upper);
    std::vector<std::wstring> dlls;
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    EXPECT_EQ(dlls.size(), 2u);
}

TEST_F(Discovery, MissingEmptyAndBadArguments) {
    std::vector<std::wstring> dlls = {L"kept"};
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, nullptr, kFilter), 87u);
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), nullptr), 87u);
    EXPECT_EQ(dlls, std::vector<std::wstring>{L"kept"});

    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 2u);  // no such key
    EXPECT_TRUE(dlls.empty());

    key.CreateEmpty();
    dlls = {L"stale"};
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    EXPECT_TRUE(dlls.empty());

    key.SetString(L"svcbu", fileA);
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), L""), 0u);  // empty filter
    EXPECT_TRUE(dlls.empty());
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), L"xyz"), 0u);
    EXPECT_TRUE(dlls.empty());
    EXPECT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), L"s"), 0u);
    EXPECT_EQ(dlls, std::vector<std::wstring>{fileA});
}

TEST_F(Discovery, NameOfTheLimitCountsAndLongerStopsTheEnumeration) {
    const std::wstring longest = L"s" + std::wstring(258, L'n');  // 259 characters: fits
    const std::wstring tooLong = L"t" + std::wstring(259, L'n');  // 260: does not
    // Inserted in name order so that every platform enumerates them in this order.
    key.SetString(L"s1", fileA);
    key.SetString(longest.c_str(), fileB);
    key.SetString(tooLong.c_str(), fileC);
    key.SetString(L"u9", fileC);
    Recorder r;
    std::vector<std::wstring> dlls;
    ASSERT_EQ(executive::ReadPluginList(dlls, key.Path(), kFilter, r), 0u);
    EXPECT_EQ(dlls, (std::vector<std::wstring>{fileA, fileB}));
    EXPECT_EQ(r.endCode, platform::kErrorMoreData);
    EXPECT_EQ(r.endIndex, 2u);
    EXPECT_EQ(r.fates.count(L"u9"), 0u);  // never read
}

TEST_F(Discovery, DataOverTheLimitStopsTheEnumeration) {
    key.SetString(L"s1", fileA);
    key.SetString(L"s2", dir + platform::kPathSeparator + std::wstring(300, L'd'));  // > 520 B
    key.SetString(L"s3", fileB);
    Recorder r;
    std::vector<std::wstring> dlls;
    ASSERT_EQ(executive::ReadPluginList(dlls, key.Path(), kFilter, r), 0u);
    EXPECT_EQ(dlls, std::vector<std::wstring>{fileA});
    EXPECT_EQ(r.endCode, platform::kErrorMoreData);
    EXPECT_EQ(r.endIndex, 1u);
}

TEST_F(Discovery, PathOfTheLimitIsTakenAndUnterminatedDataIsSkipped) {
    // A 259-character path to a real file: 520 bytes with its terminator, just fits.
    std::wstring longPath = dir + platform::kPathSeparator;
    const std::wstring fileName = std::wstring(259 - longPath.size() - 4, L'f') + L".dll";
    longPath += fileName;
    ASSERT_EQ(longPath.size(), 259u);
    keltra::test::WriteFile(dir, fileName, "long");
    ASSERT_TRUE(platform::PathFileExists(longPath.c_str()));

    // 260 characters and no terminator: exactly fills the buffer. Reading it as a string would
    // run past the buffer; cutting it would name a different file. It is skipped.
    const std::wstring unterminated = longPath + L"x";
    keltra::test::WriteFile(dir, fileName + L"x", "cut");
    key.SetString(L"s1", fileA);
    key.SetRaw(L"s2", platform::kRegSz, Utf16LeBytes(unterminated, false));
    key.SetString(L"s3", longPath);
    Recorder r;
    std::vector<std::wstring> dlls;
    ASSERT_EQ(executive::ReadPluginList(dlls, key.Path(), kFilter, r), 0u);
    EXPECT_EQ(dlls, (std::vector<std::wstring>{fileA, longPath}));
    EXPECT_EQ(r.fates[L"s2"], ValueFate::DataUnterminated);
    EXPECT_EQ(r.endCode, platform::kErrorNoMoreItems);
}

TEST_F(Discovery, ShortDataWithoutTerminatorIsReadWithinItsBytes) {
    key.SetRaw(L"s1", platform::kRegSz, Utf16LeBytes(fileA, false));
    std::vector<std::wstring> dlls;
    ASSERT_EQ(PluginMgr::GetAllPluginDLLs(dlls, key.Path(), kFilter), 0u);
    EXPECT_EQ(dlls, std::vector<std::wstring>{fileA});
}

}  // namespace
