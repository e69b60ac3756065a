#include "bootpack/manifest_writer.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

// Every written manifest must come back through the stub's reader as exactly what was written.
TEST(ManifestWriterTest, TheStubsReaderReadsBackEveryTrickyString) {
  const std::string texts[] = {
      "plain",
      "quote \" and backslash \\ and slash /",
      "controls \n\r\t\x01\x1f end",
      "\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0 \xE2\x82\xAC \xF0\x9F\x93\xA6",  // бета € 📦
      "",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    Package package;
    package.version = text;
    package.launcher = text.empty() ? "" : "bin\\" + text;
    package.cleans = {{"c\\" + text, CleanKind::Dir, true, ""},
                      {"HKEY_CURRENT_USER\\" + text, CleanKind::Registry, false, ""}};
    package.updates = {{"u\\" + text, {}, ""}, {"second.dll", {}, ""}};
    const std::vector<StoredPayload> payloads = {{2147483647, 256, 1}, {5, 65535, 65535}};
    const UpdateManifest m = ReadUpdateManifest(WriteManifestText(package, payloads));
    ASSERT_TRUE(m.valid);
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
  }
}

TEST(ManifestWriterTest, LeavesTheLauncherOutWhenThePackageHasNone) {
  Package package;
  package.version = "1";
  package.updates = {{"app.exe", {}, ""}};
  const std::string text = WriteManifestText(package, {{10, 256, 1}});
  EXPECT_EQ(text.find("launcher"), std::string::npos) << text;
  EXPECT_TRUE(ReadUpdateManifest(text).valid);
}

TEST(ManifestWriterTest, QuotesJsonStrings) {
  const std::pair<std::string, std::string> rows[] = {
      {"a", "\"a\""},
      {"\"\\", "\"\\\"\\\\\""},
      {std::string("\0\x1f", 2), "\"\\u0000\\u001f\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(QuoteJson(in), out);
}

}  // namespace
}  // namespace boot
