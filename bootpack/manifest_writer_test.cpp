#include "bootpack/manifest_writer.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

// Every written manifest must come back through the stub's reader as exactly what was written,
// in either mode; the compatible one has no "safe" member at all, for stubs that predate it.
TEST(ManifestWriterTest, TheStubsReaderReadsBackEveryTrickyStringInEitherMode) {
  const std::pair<std::string, UpdateMode> rows[] = {
      {"plain", UpdateMode::Safe},
      {"plain", UpdateMode::Compatible},
      {"quote \" and backslash \\ and slash /", UpdateMode::Safe},
      {"controls \n\r\t\x01\x1f end", UpdateMode::Compatible},
      {"\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0 \xE2\x82\xAC \xF0\x9F\x93\xA6", UpdateMode::Safe},  // бета € 📦
      {"", UpdateMode::Compatible},
  };
  for (const auto& [text, mode] : rows) {
    SCOPED_TRACE(text + (mode == UpdateMode::Safe ? " (safe)" : " (compatible)"));
    Package package;
    package.version = text;
    package.launcher = text.empty() ? "" : "bin\\" + text;
    package.cleans = {{"c\\" + text, CleanKind::Dir, true, ""},
                      {"HKEY_CURRENT_USER\\" + text, CleanKind::Registry, false, ""}};
    package.updates = {{"u\\" + text, {}, ""}, {"second.dll", {}, ""}};
    const Sha256Digest first{0xA5, 0, 7}, second{0, 1};
    const std::vector<StoredPayload> payloads = {{2147483647, 256, 1, first}, {0, 65535, 65535, second}};
    const std::string written = WriteManifestText(package, payloads, mode);
    const UpdateManifest m = ReadUpdateManifest(written);
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(m.safe, mode == UpdateMode::Safe);
    EXPECT_EQ(written.find("\"safe\"") == std::string::npos, mode == UpdateMode::Compatible);
    EXPECT_EQ(m.version, Utf8ToUtf16(text));
    EXPECT_EQ(m.launcher, Utf8ToUtf16(package.launcher));
    ASSERT_EQ(m.cleans.size(), 2u);
    EXPECT_EQ(m.cleans[0].path, Utf8ToUtf16("c\\" + text));
    EXPECT_EQ(m.cleans[0].kind, CleanKind::Dir);
    EXPECT_TRUE(m.cleans[0].fail_ok);
    EXPECT_EQ(m.cleans[1].kind, CleanKind::Registry);
    EXPECT_FALSE(m.cleans[1].fail_ok);
    ASSERT_EQ(m.updates.size(), 2u);
    EXPECT_EQ(m.updates[0].path, Utf8ToUtf16("u\\" + text));
    EXPECT_EQ(m.updates[0].size, 2147483647);
    EXPECT_EQ(m.updates[0].rtype, 256);
    EXPECT_EQ(m.updates[0].rid, 1);
    EXPECT_EQ(m.updates[1].rtype, 65535);
    EXPECT_TRUE(m.updates[0].has_sha256 && m.updates[0].sha256 == first);
    EXPECT_TRUE(m.updates[1].has_sha256 && m.updates[1].sha256 == second);
  }
}

TEST(ManifestWriterTest, LeavesTheLauncherOutWhenThePackageHasNone) {
  Package package;
  package.version = "1";
  package.updates = {{"app.exe", {}, ""}};
  const std::string text = WriteManifestText(package, {{10, 256, 1, {}}}, UpdateMode::Safe);
  EXPECT_EQ(text.find("launcher"), std::string::npos) << text;
  EXPECT_TRUE(ReadUpdateManifest(text).valid);
}

}  // namespace
}  // namespace boot
