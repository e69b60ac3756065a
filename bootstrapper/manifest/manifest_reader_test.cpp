#include <gtest/gtest.h>

#include "bootstrapper/manifest/manifest.h"

namespace boot {
namespace {

constexpr char kExample[] = R"({"version":"1.4.0","launcher":"lorvanet.exe",
 "cleans":[
  {"path":"lorvanet.exe","fail_ok":false,"type":"file"},
  {"path":"lorvanet-helper.exe","fail_ok":false,"type":"file"},
  {"path":"lorvanet-filter.sys","fail_ok":true,"type":"file"},
  {"path":"data\\thumbs\\","fail_ok":true,"type":"dir"},
  {"path":"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\LorvanetFilter","fail_ok":true,"type":"registry"}],
 "updates":[
  {"path":"lorvanet.exe","size":16246362,"rtype":144,"rid":101}]})";

TEST(ManifestReaderTest, ReadsEveryFieldOfAFullManifest) {
  const UpdateManifest m = ReadUpdateManifest(kExample);
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.version, u"1.4.0");
  EXPECT_EQ(m.launcher, u"lorvanet.exe");
  ASSERT_EQ(m.cleans.size(), 5u);
  const CleanKind kinds[] = {CleanKind::File, CleanKind::File, CleanKind::File, CleanKind::Dir,
                             CleanKind::Registry};
  const bool fail_ok[] = {false, false, true, true, true};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m.cleans[i].kind, kinds[i]) << i;
    EXPECT_EQ(m.cleans[i].fail_ok, fail_ok[i]) << i;
  }
  EXPECT_EQ(m.cleans[3].path, u"data\\thumbs\\");
  EXPECT_EQ(m.cleans[4].path,
            u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\LorvanetFilter");
  ASSERT_EQ(m.updates.size(), 1u);
  EXPECT_EQ(m.updates[0].path, u"lorvanet.exe");
  EXPECT_EQ(m.updates[0].size, 16246362);
  EXPECT_EQ(m.updates[0].rtype, 144);
  EXPECT_EQ(m.updates[0].rid, 101);
  EXPECT_TRUE(m.updates[0].payload.empty());
}

TEST(ManifestReaderTest, ReadsExactlyTheGivenLengthWithoutATerminator) {
  const std::string text = R"({"version":"1","cleans":[],"updates":[{"path":"a","size":1,"rtype":2,"rid":3}]})";
  // A buffer that continues with garbage after the JSON: only text.size() bytes are read.
  const std::string padded = text + "\xFF\xFF garbage";
  EXPECT_TRUE(ReadUpdateManifest(std::string_view(padded.data(), text.size())).valid);
  // Cut one byte short: no longer JSON.
  EXPECT_FALSE(ReadUpdateManifest(std::string_view(text.data(), text.size() - 1)).valid);
}

struct ValidityRow {
  std::string name;
  std::string json;
  bool valid;
};

class ManifestValidityTest : public testing::TestWithParam<ValidityRow> {};

TEST_P(ManifestValidityTest, AcceptsOrRejectsTheWholeManifest) {
  const UpdateManifest m = ReadUpdateManifest(GetParam().json);
  EXPECT_EQ(m.valid, GetParam().valid);
  if (!m.valid) {
    // Nothing read before the fault survives.
    EXPECT_TRUE(m.version.empty());
    EXPECT_TRUE(m.launcher.empty());
    EXPECT_TRUE(m.cleans.empty());
    EXPECT_TRUE(m.updates.empty());
    EXPECT_TRUE(m.unchanged.empty());
  }
}

// A valid update list, and a manifest made of a version, cleans and updates.
const std::string kUpd = R"([{"path":"a.exe","size":10,"rtype":144,"rid":1}])";
std::string Manifest(const std::string& cleans, const std::string& updates = kUpd) {
  return R"({"version":"2.0","launcher":"a.exe","cleans":)" + cleans + R"(,"updates":)" + updates + "}";
}
std::string Clean(const std::string& members) { return Manifest("[{" + members + "}]"); }
std::string Update(const std::string& members) { return Manifest("[]", "[{" + members + "}]"); }
// A safe manifest with one update of `size` bytes, `members` after its sha256, and `top` after
// the updates.
const std::string kHex(64, 'a');
std::string Delta(const std::string& members, const std::string& top, int size = 5) {
  return R"({"version":"2","safe":true,"cleans":[],"updates":[{"path":"a","size":)" +
         std::to_string(size) + R"(,"rtype":1,"rid":1,"sha256":")" + kHex + "\"" + members + "}]" +
         top + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ManifestValidityTest,
    testing::Values(
        ValidityRow{"Empty", "", false},
        ValidityRow{"NotJson", "version: 1", false},
        ValidityRow{"WhitespaceOnly", "   \n", false},
        ValidityRow{"RootArray", "[" + Manifest("[]") + "]", false},
        ValidityRow{"RootString", R"("x")", false},
        ValidityRow{"Minimal", Manifest("[]"), true},
        ValidityRow{"LeadingWhitespaceAndTrailingText", "  \r\n" + Manifest("[]") + " trailing {", true},
        ValidityRow{"VersionMissing", R"({"cleans":[],"updates":)" + kUpd + "}", false},
        ValidityRow{"VersionNumber", R"({"version":2,"cleans":[],"updates":)" + kUpd + "}", false},
        ValidityRow{"VersionEmpty", R"({"version":"","cleans":[],"updates":)" + kUpd + "}", true},
        ValidityRow{"LauncherMissing", R"({"version":"1","cleans":[],"updates":)" + kUpd + "}", true},
        ValidityRow{"LauncherNull", R"({"version":"1","launcher":null,"cleans":[],"updates":)" + kUpd + "}", true},
        ValidityRow{"LauncherNumber", R"({"version":"1","launcher":7,"cleans":[],"updates":)" + kUpd + "}", true},
        ValidityRow{"CleansMissing", R"({"version":"1","updates":)" + kUpd + "}", false},
        ValidityRow{"CleansObject", Manifest("{}"), false},
        ValidityRow{"UpdatesMissing", R"({"version":"1","cleans":[]})", false},
        ValidityRow{"UpdatesEmpty", Manifest("[]", "[]"), false},
        ValidityRow{"UpdatesObject", Manifest("[]", R"({"path":"a","size":1,"rtype":1,"rid":1})"), false},
        ValidityRow{"CleanNotObject", Manifest(R"(["a.exe"])"), false},
        ValidityRow{"CleanArrayElement", Manifest(R"([["path","a"]])"), false},
        ValidityRow{"CleanValid", Clean(R"("path":"a","fail_ok":true,"type":"file")"), true},
        ValidityRow{"CleanPathMissing", Clean(R"("fail_ok":true,"type":"file")"), false},
        ValidityRow{"CleanPathEmpty", Clean(R"("path":"","fail_ok":true,"type":"file")"), false},
        ValidityRow{"CleanPathStartsWithZero", Clean(R"("path":"\u0000x","fail_ok":true,"type":"file")"), false},
        ValidityRow{"CleanPathNumber", Clean(R"("path":5,"fail_ok":true,"type":"file")"), false},
        ValidityRow{"CleanFailOkMissing", Clean(R"("path":"a","type":"file")"), false},
        ValidityRow{"CleanFailOkZero", Clean(R"("path":"a","fail_ok":0,"type":"file")"), false},
        ValidityRow{"CleanFailOkString", Clean(R"("path":"a","fail_ok":"false","type":"file")"), false},
        ValidityRow{"CleanFailOkNull", Clean(R"("path":"a","fail_ok":null,"type":"file")"), false},
        ValidityRow{"CleanTypeMissing", Clean(R"("path":"a","fail_ok":true)"), false},
        ValidityRow{"CleanTypeUnknown", Clean(R"("path":"a","fail_ok":true,"type":"folder")"), false},
        ValidityRow{"CleanTypeNumber", Clean(R"("path":"a","fail_ok":true,"type":1)"), false},
        ValidityRow{"CleanTypePrefix", Clean(R"("path":"a","fail_ok":true,"type":"files")"), false},
        ValidityRow{"OneBadCleanAmongGood",
                    Manifest(R"([{"path":"a","fail_ok":true,"type":"file"},{"path":"b","fail_ok":true,"type":"disk"}])"),
                    false},
        ValidityRow{"UpdateNotObject", Manifest("[]", "[1]"), false},
        ValidityRow{"UpdatePathMissing", Update(R"("size":1,"rtype":1,"rid":1)"), false},
        ValidityRow{"UpdatePathEmpty", Update(R"("path":"","size":1,"rtype":1,"rid":1)"), false},
        ValidityRow{"UpdateSizeMissing", Update(R"("path":"a","rtype":1,"rid":1)"), false},
        ValidityRow{"UpdateSizeString", Update(R"("path":"a","size":"16246362","rtype":1,"rid":1)"), false},
        ValidityRow{"UpdateRtypeString", Update(R"("path":"a","size":1,"rtype":"144","rid":1)"), false},
        ValidityRow{"UpdateRidMissing", Update(R"("path":"a","size":1,"rtype":1)"), false},
        ValidityRow{"UpdateRidBool", Update(R"("path":"a","size":1,"rtype":1,"rid":true)"), false},
        ValidityRow{"UpdateZeroAndNegativePass", Update(R"("path":"a","size":0,"rtype":-1,"rid":0)"), true},
        // The safe run's members: a boolean "safe", and "sha256" as 64 hex digits, which the
        // safe run requires on every entry (where a size of 0 is an empty file).
        ValidityRow{"Sha256Good", Update(R"("path":"a","size":1,"rtype":1,"rid":1,"sha256":")" + std::string(64, 'A') + "\""), true},
        ValidityRow{"Sha256Short", Update(R"("path":"a","size":1,"rtype":1,"rid":1,"sha256":")" + std::string(63, 'a') + "\""), false},
        ValidityRow{"Sha256Long", Update(R"("path":"a","size":1,"rtype":1,"rid":1,"sha256":")" + std::string(65, 'a') + "\""), false},
        ValidityRow{"Sha256NotHex", Update(R"("path":"a","size":1,"rtype":1,"rid":1,"sha256":")" + std::string(63, 'a') + "g\""), false},
        ValidityRow{"Sha256Number", Update(R"("path":"a","size":1,"rtype":1,"rid":1,"sha256":12)"), false},
        ValidityRow{"SafeFalseWithoutSha256", R"({"version":"1","safe":false,"cleans":[],"updates":)" + kUpd + "}", true},
        ValidityRow{"SafeWithoutSha256", R"({"version":"1","safe":true,"cleans":[],"updates":)" + kUpd + "}", false},
        ValidityRow{"SafeNotBoolean", R"({"version":"1","safe":1,"cleans":[],"updates":)" + kUpd + "}", false},
        ValidityRow{"SafeEmptyFile", R"({"version":"1","safe":true,"cleans":[],"updates":[{"path":"a","size":0,"rtype":1,"rid":1,"sha256":")" + std::string(64, '0') + R"("}]})", true},
        ValidityRow{"SafeNegativeSize", R"({"version":"1","safe":true,"cleans":[],"updates":[{"path":"a","size":-1,"rtype":1,"rid":1,"sha256":")" + std::string(64, '0') + R"("}]})", false},
        ValidityRow{"OneBadUpdateAmongGood",
                    Manifest("[]", R"([{"path":"a","size":1,"rtype":1,"rid":1},{"path":"b","size":1,"rtype":1}])"),
                    false},
        // A delta's members, read in a safe manifest only: a patch needs a payload and 64 hex
        // digits; "unchanged" is an array of {path, sha256}.
        ValidityRow{"SafePatch", Delta(R"(,"from_sha256":")" + kHex + "\"", ""), true},
        ValidityRow{"SafePatchOfEmptyFile", Delta(R"(,"from_sha256":")" + kHex + "\"", "", 0), false},
        ValidityRow{"SafePatchShortDigest", Delta(R"(,"from_sha256":"abc")", ""), false},
        ValidityRow{"SafePatchDigestNumber", Delta(R"(,"from_sha256":1)", ""), false},
        ValidityRow{"SafeUnchanged", Delta("", R"(,"unchanged":[{"path":"b","sha256":")" + kHex + "\"}]"), true},
        ValidityRow{"SafeUnchangedEmptyArray", Delta("", R"(,"unchanged":[])"), true},
        ValidityRow{"SafeUnchangedObject", Delta("", R"(,"unchanged":{})"), false},
        ValidityRow{"SafeUnchangedWithoutDigest", Delta("", R"(,"unchanged":[{"path":"b"}])"), false},
        ValidityRow{"SafeUnchangedEmptyPath", Delta("", R"(,"unchanged":[{"path":"","sha256":")" + kHex + "\"}]"), false},
        ValidityRow{"CompatibleIgnoresDeltaMembers",
                    Update(R"("path":"a","size":1,"rtype":1,"rid":1,"from_sha256":7)"), true}),
    [](const auto& row) { return row.param.name; });

TEST(ManifestReaderTest, ReadsADeltasPatchesAndUnchangedFiles) {
  const UpdateManifest m = ReadUpdateManifest(
      Delta(R"(,"from_sha256":")" + std::string(62, '0') + "7f\"",
            R"(,"unchanged":[{"path":"b\\c","sha256":")" + std::string(63, '0') + "1\"}]"));
  ASSERT_TRUE(m.valid);
  EXPECT_TRUE(m.updates[0].is_patch);
  EXPECT_EQ(m.updates[0].from_sha256[31], 0x7F);
  ASSERT_EQ(m.unchanged.size(), 1u);
  EXPECT_EQ(m.unchanged[0].path, u"b\\c");
  EXPECT_EQ(m.unchanged[0].sha256[31], 0x01);
  EXPECT_FALSE(ReadUpdateManifest(Manifest("[]")).updates[0].is_patch);
}

TEST(ManifestReaderTest, MatchesMemberNamesAndTypeWordsIgnoringCase) {
  const UpdateManifest m = ReadUpdateManifest(
      R"({"VERSION":"3","Launcher":"x.exe","Cleans":[{"PATH":"a","Fail_OK":true,"TYPE":"FILE"},)"
      R"({"path":"b","fail_ok":false,"type":"Dir"},{"path":"HKEY_CURRENT_USER\\X","fail_ok":false,"type":"REGISTRY"}],)"
      R"("UPDATES":[{"Path":"x.exe","SIZE":5,"RType":7,"RID":8}]})");
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.version, u"3");
  EXPECT_EQ(m.launcher, u"x.exe");
  ASSERT_EQ(m.cleans.size(), 3u);
  EXPECT_EQ(m.cleans[0].kind, CleanKind::File);
  EXPECT_TRUE(m.cleans[0].fail_ok);
  EXPECT_EQ(m.cleans[1].kind, CleanKind::Dir);
  EXPECT_EQ(m.cleans[2].kind, CleanKind::Registry);
  EXPECT_EQ(m.updates[0].rtype, 7);
  EXPECT_EQ(m.updates[0].rid, 8);
}

TEST(ManifestReaderTest, ReadsTheSafeFlagAndEachDigest) {
  const UpdateManifest m = ReadUpdateManifest(
      R"({"version":"1","SAFE":true,"cleans":[],"updates":[{"path":"a","size":3,"rtype":1,"rid":1,)"
      R"("sha256":"00ff10Ab000000000000000000000000000000000000000000000000000000e1"}]})");
  ASSERT_TRUE(m.valid);
  EXPECT_TRUE(m.safe);
  ASSERT_TRUE(m.updates[0].has_sha256);
  EXPECT_EQ(m.updates[0].sha256[0], 0x00);
  EXPECT_EQ(m.updates[0].sha256[1], 0xFF);
  EXPECT_EQ(m.updates[0].sha256[3], 0xAB);
  EXPECT_EQ(m.updates[0].sha256[31], 0xE1);
  EXPECT_FALSE(ReadUpdateManifest(Manifest("[]")).safe);
  EXPECT_FALSE(ReadUpdateManifest(Manifest("[]")).updates[0].has_sha256);
}

TEST(ManifestReaderTest, UsesTheFirstOfRepeatedMembersAndIgnoresUnknownOnes) {
  const UpdateManifest m = ReadUpdateManifest(
      R"({"extra":{"deep":[1,2]},"version":"first","VERSION":"second","cleans":[],)"
      R"("updates":[{"path":"one","PATH":"two","size":1,"rtype":1,"rid":1,"sha":"x"}]})");
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.version, u"first");
  EXPECT_EQ(m.updates[0].path, u"one");
}

struct NumberRow {
  std::string json_number;
  std::int64_t size;
};

class ManifestNumberTest : public testing::TestWithParam<NumberRow> {};

TEST_P(ManifestNumberTest, TruncatesTowardZeroAndClampsToInt32) {
  const UpdateManifest m = ReadUpdateManifest(
      R"({"version":"1","cleans":[],"updates":[{"path":"a","size":)" + GetParam().json_number +
      R"(,"rtype":)" + GetParam().json_number + R"(,"rid":1}]})");
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.updates[0].size, GetParam().size);
  EXPECT_EQ(m.updates[0].rtype, static_cast<std::int32_t>(GetParam().size));
}

INSTANTIATE_TEST_SUITE_P(Rows, ManifestNumberTest,
                         testing::Values(NumberRow{"16246362", 16246362},
                                         NumberRow{"16246362.9", 16246362},
                                         NumberRow{"-7.9", -7}, NumberRow{"-1", -1},
                                         NumberRow{"3e9", 2147483647},
                                         NumberRow{"2147483647", 2147483647},
                                         NumberRow{"2147483648", 2147483647},
                                         NumberRow{"-2147483648", -2147483648LL},
                                         NumberRow{"-1e12", -2147483648LL},
                                         NumberRow{"0", 0}));

TEST(ManifestReaderTest, DecodesStringValuesAsUtf8) {
  // Cyrillic and CJK as raw UTF-8, an escape above U+007F, an astral escape pair, and a
  // malformed byte that becomes U+FFFD rather than an error.
  const UpdateManifest m = ReadUpdateManifest(
      "{\"version\":\"\xD0\xB2\xD0\xB5\xD1\x80\xD1\x81\xD0\xB8\xD1\x8F 2\","
      "\"launcher\":\"\\u00e9\\ud83d\\ude00.exe\",\"cleans\":[],"
      "\"updates\":[{\"path\":\"\xE6\x9B\xB4\xE6\x96\xB0\\\\bad\xFFname\",\"size\":1,\"rtype\":1,\"rid\":1}]}");
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.version, u"\u0432\u0435\u0440\u0441\u0438\u044F 2");
  EXPECT_EQ(m.launcher, u"\u00E9\U0001F600.exe");
  EXPECT_EQ(m.updates[0].path, u"\u66F4\u65B0\\bad\uFFFDname");
}

TEST(ManifestReaderTest, TakesStringValuesUpToTheirFirstZero) {
  const UpdateManifest m = ReadUpdateManifest(
      R"({"version":"1.0\u0000hidden","cleans":[],"updates":[{"path":"a.exe\u0000.txt","size":1,"rtype":1,"rid":1}]})");
  ASSERT_TRUE(m.valid);
  EXPECT_EQ(m.version, u"1.0");
  EXPECT_EQ(m.updates[0].path, u"a.exe");
}

TEST(ManifestReaderTest, KeepsEntriesInDocumentOrder) {
  std::string updates = "[";
  for (int i = 0; i < 50; ++i) {
    updates += (i ? "," : "") + std::string(R"({"path":"f)") + std::to_string(i) +
               R"(","size":1,"rtype":10,"rid":)" + std::to_string(i + 1) + "}";
  }
  const UpdateManifest m = ReadUpdateManifest(Manifest("[]", updates + "]"));
  ASSERT_TRUE(m.valid);
  ASSERT_EQ(m.updates.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(m.updates[i].rid, i + 1);
    EXPECT_EQ(m.updates[i].path, Utf8ToUtf16("f" + std::to_string(i)));
  }
}

}  // namespace
}  // namespace boot
