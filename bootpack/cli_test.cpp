// bootpack's commands end to end on the native side: real files in a scratch folder, a small
// hand-laid-out stub image, and the output read back with the packer's own reader and the
// stub's manifest reader.
#include "bootpack/cli.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "cJSON.h"

#include "bootpack/file_io.h"
#include "bootpack/escape.h"
#include "bootpack/pe_image.h"
#include "bootstrapper/payload/sha256.h"
#include "bootpack/test_folder.h"
#include "bootpack/test_image.h"
#include "bootpack/update_check.h"
#include "bootstrapper/resources/stub_marker.h"
#include "lznt1/lznt1.h"

namespace boot {
namespace {

namespace fs = std::filesystem;
using testutil::Bytes;
using testutil::TempFolder;

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

CommandRun Bootpack(const std::vector<std::string>& args, bool terminal = false) {
  std::ostringstream out, err;
  CommandRun run;
  run.status = RunBootpack(args, out, err, terminal);
  run.out = out.str();
  run.err = err.str();
  return run;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A stub-like image: code, resources (the stub marker and an application manifest),
// relocations.
std::string StubBytes(const std::vector<std::uint8_t>& certificate = {}, bool marker = true) {
  testutil::TestImageSpec spec;
  spec.sections.push_back({".text", std::vector<std::uint8_t>(0x300, 0xC3), 0, 0x60000020});
  spec.sections.push_back({".rsrc", {}, 0, 0xC0000040});
  spec.sections.push_back({".reloc", testutil::BuildRelocations(0x1000), 0, 0x42000040});
  spec.sections[1].data = testutil::BuildResourceTree(
      testutil::TestSectionRva(spec, 1),
      {{10, BOOT_STUB_MARKER_ID, 0x409, Bytes(marker ? BOOT_STUB_MARKER_TEXT : "some data")},
       {24, 1, 0, Bytes("<assembly>asInvoker</assembly>")}});
  spec.directories = {{2, 1, 0, static_cast<std::uint32_t>(spec.sections[1].data.size())},
                      {5, 2, 0, 12}};
  spec.certificate = certificate;
  const std::vector<std::uint8_t> b = testutil::BuildTestImage(spec);
  return std::string(b.begin(), b.end());
}

// Text that compresses like source code: words drawn from a small vocabulary.
std::string TextLike(std::size_t size, unsigned seed) {
  static const char* words[] = {"update ", "stub ", "payload ", "resource ", "manifest ",
                                "\n", "{ ", "} ", "return ", "0x42 "};
  std::string s;
  unsigned x = seed;
  while (s.size() < size) {
    x = x * 1103515245 + 12345;
    s += words[(x >> 16) % 10];
  }
  s.resize(size);
  return s;
}

std::vector<PeResource> ResourcesOf(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::string why;
  EXPECT_TRUE(ReadWholeFile(PathFromUtf8(path), bytes, why)) << why;
  PeImage image;
  std::vector<PeResource> resources;
  EXPECT_TRUE(ParsePeImage(std::move(bytes), image, why)) << why;
  EXPECT_TRUE(ReadPeResources(image, resources, why)) << why;
  return resources;
}

std::string FileText(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (!ReadWholeFile(PathFromUtf8(path), bytes, why)) return "<missing: " + why + ">";
  return std::string(bytes.begin(), bytes.end());
}

// A scratch folder with a stub, four release files (one empty) and a description naming them.
struct Scene {
  TempFolder dir;
  std::string app = TextLike(200000, 1);
  std::string big = TextLike(300000, 2);
  std::string readme = "read me\r\n";
  Scene() {
    dir.Write("stub.exe", StubBytes());
    dir.Write("release/app.exe", app);
    dir.Write("release/data/big.bin", big);
    dir.Write("release/readme.txt", readme);
    dir.Write("release/empty.txt", "");
    dir.Write("package.json", R"({"version": "1.2.3", "launcher": "app.exe",
      "cleans": [{"path": "old.dll", "fail_ok": true, "type": "file"},
                 {"path": "HKEY_CURRENT_USER\\Software\\Demo", "fail_ok": true, "type": "registry"}],
      "updates": [{"path": "app.exe", "source": "release/app.exe"},
                  {"path": "data/big.bin", "source": "release/data/big.bin"},
                  {"path": "readme.txt", "source": "release/readme.txt"},
                  {"path": "logs/empty.txt", "source": "release/empty.txt"}]})");
  }
  std::vector<std::string> Pack(const std::string& output, const std::string& stub = "stub.exe") const {
    return {"pack", "--stub", dir / stub, "--package", dir / "package.json", "-o", dir / output};
  }
};

TEST(BootpackTest, PacksInspectsAndExtractsAPackage) {
  Scene scene;
  const CommandRun pack = Bootpack(scene.Pack("update.exe"));
  ASSERT_EQ(pack.status, kExitOk) << pack.err;
  EXPECT_EQ(pack.err, "");  // no terminal: no progress, and nothing went wrong
  EXPECT_TRUE(Contains(pack.out, "version 1.2.3, 4 files, 2 cleans, launcher app.exe")) << pack.out;
  EXPECT_TRUE(Contains(pack.out, "2 stub resources kept")) << pack.out;
  EXPECT_EQ(scene.dir.List(),
            (std::vector<std::string>{"package.json", "release", "stub.exe", "update.exe"}));

  // The stub's own resources, version information made for the package, the manifest and one
  // payload per non-empty file, nothing else.
  const std::vector<PeResource> resources = ResourcesOf(scene.dir / "update.exe");
  ASSERT_EQ(resources.size(), 7u);
  EXPECT_EQ(resources[0].type.id, 10);
  EXPECT_EQ(resources[0].data, Bytes(BOOT_STUB_MARKER_TEXT));
  EXPECT_EQ(resources[1].type.id, 16);
  EXPECT_EQ(resources[2].type.id, 24);
  EXPECT_EQ(resources[2].data, Bytes("<assembly>asInvoker</assembly>"));
  EXPECT_EQ(resources[3].type.id, 42);
  EXPECT_EQ(resources[3].name.id, 42);
  EXPECT_EQ(resources[3].language, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(resources[4 + i].type.id, 256);
    EXPECT_EQ(resources[4 + i].name.id, i + 1);
    EXPECT_EQ(resources[4 + i].language, 0);
  }
  UpdateCheck check;
  ASSERT_TRUE(CheckUpdate(resources, check));
  EXPECT_TRUE(check.manifest.safe);
  EXPECT_EQ(check.manifest.version, u"1.2.3");
  EXPECT_EQ(check.manifest.launcher, u"app.exe");
  ASSERT_EQ(check.manifest.cleans.size(), 2u);
  EXPECT_EQ(check.manifest.cleans[1].kind, CleanKind::Registry);
  ASSERT_EQ(check.entries.size(), 4u);
  EXPECT_EQ(check.entries[1].path, "data\\big.bin");
  EXPECT_EQ(check.entries[1].expanded, scene.big.size());
  EXPECT_EQ(check.entries[1].sha256, Sha256Hex(Sha256Of(Bytes(scene.big))));
  EXPECT_FALSE(check.entries[3].has_resource);
  EXPECT_EQ(static_cast<std::uint64_t>(check.entries[1].size), resources[5].data.size());

  const CommandRun inspect = Bootpack({"inspect", scene.dir / "update.exe"});
  EXPECT_EQ(inspect.status, kExitOk) << inspect.err;
  EXPECT_TRUE(Contains(inspect.out, check.manifest_text)) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "data\\big.bin")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, std::to_string(scene.big.size()))) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "256/2")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "mode: safe (")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, check.entries[1].sha256)) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "ok: the stub will stage every entry")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "\nsignature: none\n")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "\nchecksum: ok (0x")) << inspect.out;

  // A checksum that no longer matches the file is reported; the update itself is still good.
  std::string changed = FileText(scene.dir / "update.exe");
  PeImage image;
  std::string why;
  ASSERT_TRUE(ParsePeImage(Bytes(changed), image, why)) << why;
  changed[image.optional_header_offset + 64] ^= 1;
  scene.dir.Write("changed.exe", changed);
  const CommandRun mismatch = Bootpack({"inspect", scene.dir / "changed.exe"});
  EXPECT_EQ(mismatch.status, kExitOk);
  EXPECT_TRUE(Contains(mismatch.out, "\nchecksum: MISMATCH: the header says 0x")) << mismatch.out;
  EXPECT_TRUE(Contains(mismatch.err, "bootpack: warning: " + (scene.dir / "changed.exe") +
                                         ": the PE checksum is wrong")) << mismatch.err;

  const CommandRun extract = Bootpack({"extract", scene.dir / "update.exe", scene.dir / "out"});
  EXPECT_EQ(extract.status, kExitOk) << extract.err;
  EXPECT_EQ(FileText(scene.dir / "out/app.exe"), scene.app);
  EXPECT_EQ(FileText(scene.dir / "out/data/big.bin"), scene.big);
  EXPECT_EQ(FileText(scene.dir / "out/readme.txt"), scene.readme);
  EXPECT_EQ(FileText(scene.dir / "out/logs/empty.txt"), "");
}

// A file of 32 MiB or more is read, hashed and compressed a window (16 MiB) at a time; it still
// comes out whole.
TEST(BootpackTest, AFileLargerThanAReadWindowComesOutWhole) {
  TempFolder dir;
  dir.Write("stub.exe", StubBytes());
  const std::string large = TextLike((std::size_t{32} << 20) + 4097, 3);
  dir.Write("release/large.bin", large);
  dir.Write("package.json", R"({"version": "1", "updates": [{"path": "large.bin", "source": "release/large.bin"}]})");
  const CommandRun pack = Bootpack({"pack", "--stub", dir / "stub.exe", "--package", dir / "package.json",
                                    "-o", dir / "update.exe", "--level", "fast"});
  ASSERT_EQ(pack.status, kExitOk) << pack.err;
  const CommandRun extract = Bootpack({"extract", dir / "update.exe", dir / "out"});
  ASSERT_EQ(extract.status, kExitOk) << extract.err;
  EXPECT_TRUE(FileText(dir / "out/large.bin") == large);  // (not EXPECT_EQ: 32 MiB in a message)
}

TEST(BootpackTest, PackingIsDeterministicAndRepackingReplacesTheEarlierUpdate) {
  Scene scene;
  ASSERT_EQ(Bootpack(scene.Pack("first.exe")).status, kExitOk);
  ASSERT_EQ(Bootpack(scene.Pack("second.exe")).status, kExitOk);
  EXPECT_EQ(FileText(scene.dir / "first.exe"), FileText(scene.dir / "second.exe"));

  // Packing the packed exe again with the same package: the old manifest and payloads go, and
  // the result is byte for byte the pack of the bare stub.
  const CommandRun again = Bootpack(scene.Pack("third.exe", "first.exe"));
  ASSERT_EQ(again.status, kExitOk) << again.err;
  EXPECT_TRUE(Contains(again.out, "3 earlier payloads replaced")) << again.out;
  EXPECT_EQ(FileText(scene.dir / "third.exe"), FileText(scene.dir / "first.exe"));

  // A smaller package over it: exactly one payload remains. (An output never replaces its stub.)
  scene.dir.Write("package.json", R"({"version": "2", "updates": [{"path": "readme.txt", "source": "release/readme.txt"}]})");
  const CommandRun smaller = Bootpack(scene.Pack("fourth.exe", "first.exe"));
  ASSERT_EQ(smaller.status, kExitOk) << smaller.err;
  const std::vector<PeResource> resources = ResourcesOf(scene.dir / "fourth.exe");
  ASSERT_EQ(resources.size(), 5u);
  EXPECT_EQ(resources[4].type.id, 256);
  EXPECT_EQ(resources[4].name.id, 1);
  EXPECT_EQ(Bootpack({"inspect", scene.dir / "fourth.exe"}).status, kExitOk);
}

TEST(BootpackTest, ARefusedPackWritesNothing) {
  Scene scene;
  scene.dir.Write("update.exe", "previous output");
  scene.dir.Write("package.json", R"({"version": "1",
      "cleans": [{"path": "HKLM\\Software\\Demo", "fail_ok": true, "type": "registry"},
                 {"path": "data", "fail_ok": true, "type": "dir"}],
      "updates": [{"path": "app.exe", "source": "release/missing.exe"},
                  {"path": "empty.txt", "source": "release/empty.txt"},
                  {"path": "APP.EXE", "source": "release/app.exe"},
                  {"path": "data/readme.txt", "source": "release/readme.txt"}]})");
  std::vector<std::string> args = scene.Pack("update.exe");
  args.push_back("--compat");
  const CommandRun run = Bootpack(args);
  EXPECT_EQ(run.status, kExitFailed);
  const std::string json = scene.dir / "package.json";
  EXPECT_TRUE(Contains(run.err, "bootpack: " + json + ": cleans[0] \"HKLM\\Software\\Demo\": unknown registry root")) << run.err;
  EXPECT_TRUE(Contains(run.err, "bootpack: " + json + ": updates[0] \"app.exe\": source \"")) << run.err;
  EXPECT_TRUE(Contains(run.err, "missing.exe\" not found")) << run.err;
  EXPECT_TRUE(Contains(run.err, "updates[1] \"empty.txt\": source")) << run.err;
  EXPECT_TRUE(Contains(run.err, "an empty file cannot be delivered")) << run.err;
  EXPECT_TRUE(Contains(run.err, "updates[2] \"APP.EXE\": same file as")) << run.err;
  EXPECT_TRUE(Contains(run.err, "updates[3] \"data\\readme.txt\": the directory clean")) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(FileText(scene.dir / "update.exe"), "previous output");
  EXPECT_EQ(scene.dir.List(),
            (std::vector<std::string>{"package.json", "release", "stub.exe", "update.exe"}));

  // A stub that is not an image is refused the same way.
  scene.dir.Write("package.json", R"({"version": "1", "updates": [{"path": "a", "source": "release/readme.txt"}]})");
  scene.dir.Write("stub.exe", "not a program");
  const CommandRun bad_stub = Bootpack(scene.Pack("update.exe"));
  EXPECT_EQ(bad_stub.status, kExitFailed);
  EXPECT_TRUE(Contains(bad_stub.err, "bootpack: stub \"" + (scene.dir / "stub.exe") +
                                         "\": not a PE image (no MZ header)"))
      << bad_stub.err;
  EXPECT_EQ(FileText(scene.dir / "update.exe"), "previous output");

  // So is a program that is not an update stub, and inspect says what it is.
  const std::string not_a_stub = ": not an update stub (it lacks the stub marker";
  scene.dir.Write("stub.exe", StubBytes({}, /*marker=*/false));
  const CommandRun other = Bootpack(scene.Pack("update.exe"));
  EXPECT_EQ(other.status, kExitFailed);
  EXPECT_TRUE(Contains(other.err, "bootpack: stub \"" + (scene.dir / "stub.exe") + "\"" + not_a_stub))
      << other.err;
  const CommandRun inspected = Bootpack({"inspect", scene.dir / "stub.exe"});
  EXPECT_EQ(inspected.status, kExitFailed);
  EXPECT_TRUE(Contains(inspected.err, "bootpack: " + (scene.dir / "stub.exe") + not_a_stub))
      << inspected.err;
  EXPECT_EQ(FileText(scene.dir / "update.exe"), "previous output");
}

// The members of a --json document, read back with cJSON (null when the text is not JSON).
struct JsonDocument {
  cJSON* root;
  explicit JsonDocument(const std::string& text) : root(cJSON_ParseWithLength(text.data(), text.size())) {}
  ~JsonDocument() { cJSON_Delete(root); }
  const cJSON* operator[](const char* key) const { return cJSON_GetObjectItemCaseSensitive(root, key); }
};

TEST(BootpackTest, FromAddsAFolderAndTheOutputModesShowWhatTheyPromise) {
  Scene scene;
  scene.dir.Write("package.json", R"({"version": "3", "launcher": "app.exe"})");
  std::vector<std::string> args = scene.Pack("update.exe");
  args.insert(args.end(), {"--from", scene.dir / "release", "--level", "fast"});
  const CommandRun plain = Bootpack(args);
  ASSERT_EQ(plain.status, kExitOk) << plain.err;
  EXPECT_EQ(plain.err, "");
  EXPECT_TRUE(Contains(plain.out, "level fast")) << plain.out;
  UpdateCheck check;
  ASSERT_TRUE(CheckUpdate(ResourcesOf(scene.dir / "update.exe"), check));
  ASSERT_EQ(check.entries.size(), 4u);
  EXPECT_EQ(check.entries[0].path, "app.exe");
  EXPECT_EQ(check.entries[1].path, "data\\big.bin");
  EXPECT_EQ(check.entries[3].path, "readme.txt");

  // On a terminal: a progress line per file (at least the first and the last), wiped at the end.
  const CommandRun shown = Bootpack(args, true);
  ASSERT_EQ(shown.status, kExitOk) << shown.err;
  EXPECT_TRUE(Contains(shown.err, "\r[1/4] 0 bytes of 488.3 KiB  app.exe (195.3 KiB)")) << shown.err;
  EXPECT_TRUE(Contains(shown.err, "\r[4/4] ")) << shown.err;
  EXPECT_TRUE(Contains(shown.err, "  readme.txt (9 bytes)")) << shown.err;
  EXPECT_EQ(shown.err.back(), '\r');

  std::vector<std::string> quiet_args = args;
  quiet_args.push_back("--quiet");
  const CommandRun quiet = Bootpack(quiet_args, true);
  ASSERT_EQ(quiet.status, kExitOk) << quiet.err;
  EXPECT_EQ(quiet.out + quiet.err, "");

  std::vector<std::string> json_args = args;
  json_args.push_back("--json");
  const CommandRun json = Bootpack(json_args, true);
  ASSERT_EQ(json.status, kExitOk) << json.err;
  EXPECT_EQ(json.err, "");
  const JsonDocument packed(json.out);
  ASSERT_NE(packed.root, nullptr) << json.out;
  EXPECT_TRUE(cJSON_IsTrue(packed["ok"]));
  EXPECT_STREQ(cJSON_GetStringValue(packed["launcher"]), "app.exe");
  EXPECT_EQ(cJSON_GetNumberValue(packed["exe_bytes"]), fs::file_size(scene.dir / "update.exe"));
  ASSERT_EQ(cJSON_GetArraySize(packed["files"]), 4);
  const cJSON* big = cJSON_GetArrayItem(packed["files"], 1);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(big, "path")), "data\\big.bin");
  EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(big, "stored_bytes")), check.entries[1].stored);

  const CommandRun inspected = Bootpack({"inspect", "--json", scene.dir / "update.exe"});
  ASSERT_EQ(inspected.status, kExitOk) << inspected.err;
  const JsonDocument report(inspected.out);
  ASSERT_NE(report.root, nullptr) << inspected.out;
  EXPECT_TRUE(cJSON_IsTrue(report["ok"]));
  EXPECT_STREQ(cJSON_GetStringValue(report["manifest"]), check.manifest_text.c_str());
  EXPECT_STREQ(cJSON_GetStringValue(report["mode"]), "safe");
  ASSERT_EQ(cJSON_GetArraySize(report["entries"]), 4);
  const cJSON* entry = cJSON_GetArrayItem(report["entries"], 1);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(entry, "sha256")), check.entries[1].sha256.c_str());
  EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(entry, "problem")));

  // An output inside the folder is an earlier run's update exe, never part of the next one.
  std::vector<std::string> inside = args;
  inside[6] = scene.dir / "release/update.exe";
  ASSERT_EQ(Bootpack(inside).status, kExitOk);
  ASSERT_EQ(Bootpack(inside).status, kExitOk);
  UpdateCheck again;
  ASSERT_TRUE(CheckUpdate(ResourcesOf(scene.dir / "release/update.exe"), again));
  EXPECT_EQ(again.entries.size(), 4u);

  // A refused pack still prints its document, with the reason.
  scene.dir.Write("package.json", R"({"version": "3", "launcher": "app.exe", "bogus": 1})");
  const CommandRun refused = Bootpack(json_args);
  EXPECT_EQ(refused.status, kExitFailed);
  const JsonDocument failed(refused.out);
  ASSERT_NE(failed.root, nullptr) << refused.out;
  EXPECT_TRUE(cJSON_IsFalse(failed["ok"]));
  EXPECT_EQ(cJSON_GetArraySize(failed["problems"]), 1);
}

// A delta against the installed release: the unchanged file is only named, the changed one is
// a patch much smaller than the file, and extract rebuilds the whole release only from the very
// release it was made against.
TEST(BootpackTest, ADeltaUpdateCarriesPatchesAndIsRebuiltFromThePreviousRelease) {
  Scene scene;
  scene.dir.Write("package.json", R"({"version": "3", "launcher": "app.exe"})");
  std::string old_app = scene.app;
  for (std::size_t at = 1000; at < old_app.size(); at += 5000) old_app[at] = '#';
  old_app.insert(70000, TextLike(3000, 9));
  scene.dir.Write("old/app.exe", old_app);
  scene.dir.Write("old/data/big.bin", scene.big);
  scene.dir.Write("old/readme.txt", "read me, version 1\r\n");
  scene.dir.Write("old/gone.txt", "dropped");
  std::vector<std::string> args = scene.Pack("update.exe");
  args.insert(args.end(), {"--from", scene.dir / "release", "--previous", scene.dir / "old", "--json"});
  const CommandRun pack = Bootpack(args);
  ASSERT_EQ(pack.status, kExitOk) << pack.err;
  const JsonDocument packed(pack.out);
  ASSERT_EQ(cJSON_GetArraySize(packed["unchanged"]), 1) << pack.out;
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(cJSON_GetArrayItem(packed["unchanged"], 0), "path")),
               "data\\big.bin");
  const cJSON* app = cJSON_GetArrayItem(packed["files"], 0);
  ASSERT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(app, "patch"))) << pack.out;
  EXPECT_LT(cJSON_GetNumberValue(cJSON_GetObjectItem(app, "stored_bytes")),
            cJSON_GetNumberValue(cJSON_GetObjectItem(app, "whole_stored_bytes")) / 5) << pack.out;

  const CommandRun inspected = Bootpack({"inspect", "--json", scene.dir / "update.exe"});
  ASSERT_EQ(inspected.status, kExitOk) << inspected.err;
  const JsonDocument report(inspected.out);
  const cJSON* patch = cJSON_GetObjectItem(cJSON_GetArrayItem(report["entries"], 0), "patch");
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(patch, "from_sha256")),
               Sha256Hex(Sha256Of(Bytes(old_app))).c_str()) << inspected.out;
  EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(patch, "from_bytes")), old_app.size());
  EXPECT_EQ(cJSON_GetArraySize(report["unchanged"]), 1);

  // Without the previous release, or from another one, nothing is extracted.
  const CommandRun alone = Bootpack({"extract", scene.dir / "update.exe", scene.dir / "out"});
  EXPECT_EQ(alone.status, kExitFailed);
  EXPECT_TRUE(Contains(alone.err, "give --previous OLD_DIR")) << alone.err;
  scene.dir.Write("other/app.exe", scene.app);
  scene.dir.Write("other/data/big.bin", scene.big);
  const CommandRun other = Bootpack({"extract", "--previous", scene.dir / "other", scene.dir / "update.exe",
                                     scene.dir / "out"});
  EXPECT_EQ(other.status, kExitFailed);
  EXPECT_TRUE(Contains(other.err, "not the one the patch was made against")) << other.err;
  EXPECT_FALSE(fs::exists(scene.dir.path() / "out"));

  const CommandRun extracted = Bootpack({"extract", "--previous", scene.dir / "old",
                                         scene.dir / "update.exe", scene.dir / "out"});
  ASSERT_EQ(extracted.status, kExitOk) << extracted.err;
  EXPECT_EQ(FileText(scene.dir / "out/app.exe"), scene.app);
  EXPECT_EQ(FileText(scene.dir / "out/data/big.bin"), scene.big);
  EXPECT_EQ(FileText(scene.dir / "out/readme.txt"), scene.readme);
  EXPECT_FALSE(fs::exists(scene.dir.path() / "out/gone.txt"));

  // --full, and the compatible run, carry every file whole.
  for (const char* flag : {"--full", "--compat"}) {
    std::vector<std::string> whole = args;
    whole.push_back(flag);
    if (std::string(flag) == "--compat") whole.insert(whole.end(), {"--exclude", "empty.txt"});
    const CommandRun run = Bootpack(whole);
    ASSERT_EQ(run.status, kExitOk) << run.err;
    const JsonDocument doc(run.out);
    EXPECT_EQ(cJSON_GetArraySize(doc["unchanged"]), 0) << flag;
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(cJSON_GetArrayItem(doc["files"], 0), "patch"))) << flag;
  }
}

TEST(JsonStringTest, EscapesWhatJsonAndTerminalsCannotTakeAndReplacesBrokenUtf8) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain \"q\" \\", R"("plain \"q\" \\")"},
      {std::string("\0\x1f", 2), R"("\u0000\u001f")"},
      {"\x1b[2J\x7f\t\n", R"("\u001b[2J\u007f\t\n")"},
      {"caf\xc3\xa9 \xe2\x80\xa8", "\"caf\xc3\xa9 \\u2028\""},
      {"\xff\xc3(\xed\xa0\x80\xf0\x9f\x98", R"("\ufffd\ufffd(\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")"},
      {"\xc0\xaf\xf4\x90\x80\x80 ok \xf0\x9f\x98\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd ok \xf0\x9f\x98\x80\""},
  };
  for (const auto& [text, quoted] : rows) EXPECT_EQ(JsonString(text), quoted);
}

TEST(BootpackTest, RefusesAnOutputThatIsAnInputOrNotARegularFile) {
  struct Row {
    const char* output;  // in the scene's folder
    const char* make;  // what is made there first: "" (an input itself), "link", "dir", "fifo", "device"
    std::string expected;
  };
  const Row rows[] = {
      {"package.json", "", "is the same file as the package description"},
      {"stub.exe", "", "is the same file as the stub"},
      {"release/app.exe", "", "package.json: updates[0] \"app.exe\"; packing would replace it"},
      {"readme-link.txt", "link", "package.json: updates[2] \"readme.txt\"; packing would replace it"},
      {"folder.exe", "dir", "exists and is a folder"},
#ifndef _WIN32
      {"pipe.exe", "fifo", "exists and is a pipe"},
      {"null.exe", "device", "exists and is a device"},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    Scene scene;
    const fs::path output = PathFromUtf8(scene.dir / row.output);
    const std::string make = row.make;
    if (make == "link") fs::create_hard_link(PathFromUtf8(scene.dir / "release/readme.txt"), output);
    if (make == "dir") fs::create_directory(output);
#ifndef _WIN32
    if (make == "fifo") ASSERT_EQ(::mkfifo(output.c_str(), 0600), 0);
    // /dev/null's numbers; making a device needs privileges a test run may not have.
    if (make == "device" && ::mknod(output.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
      std::cout << "skipped the device row: mknod is not permitted here\n";
      continue;
    }
#endif
    const fs::file_type type = fs::symlink_status(output).type();
    const std::vector<std::string> before = scene.dir.List();
    const CommandRun run = Bootpack(scene.Pack(row.output));
    EXPECT_EQ(run.status, kExitFailed);
    EXPECT_TRUE(Contains(run.err, "bootpack: \"" + (scene.dir / row.output) + "\": ")) << run.err;
    EXPECT_TRUE(Contains(run.err, row.expected)) << run.err;
    EXPECT_EQ(fs::symlink_status(output).type(), type);
    EXPECT_EQ(scene.dir.List(), before);
    EXPECT_EQ(FileText(scene.dir / "release/app.exe"), scene.app);
    EXPECT_EQ(FileText(scene.dir / "release/readme.txt"), scene.readme);
    EXPECT_EQ(FileText(scene.dir / "stub.exe"), StubBytes());
    EXPECT_TRUE(Contains(FileText(scene.dir / "package.json"), "\"version\": \"1.2.3\""));
  }
}

TEST(BootpackTest, RefusesInputsThatAreNotRegularFilesOrTooLarge) {
  struct Row {
    const char* input;  // "package", "stub" or "source" (release/app.exe)
    const char* make;  // "fifo", "zero" (/dev/zero), "dir", or a size for a sparse file
    std::string expected;
  };
  const Row rows[] = {
#ifndef _WIN32
      {"package", "fifo", "not a regular file (a pipe)"},
      {"stub", "zero", "not a regular file (a device)"},
      {"source", "fifo", "is not a file"},
#endif
      {"package", "dir", "not a regular file (a folder)"},
      {"package", "67108865", "has 67108865 bytes, more than the 67108864 allowed"},
      {"stub", "4294967296", "has 4294967296 bytes, more than the 4294967295 allowed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.input) + " " + row.make);
    Scene scene;
    const std::string input = row.input;
    std::string path = scene.dir / (input == "package" ? "package.json" : input == "stub" ? "stub.exe" : "release/app.exe");
    const std::string make = row.make;
    if (make == "zero") {
      path = "/dev/zero";
    } else {
      fs::remove(PathFromUtf8(path));
    }
#ifndef _WIN32
    if (make == "fifo") ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
#endif
    if (make == "dir") fs::create_directory(PathFromUtf8(path));
    if (std::isdigit(static_cast<unsigned char>(make[0]))) {
      std::ofstream(PathFromUtf8(path), std::ios::binary).put('{');
      fs::resize_file(PathFromUtf8(path), std::stoull(make));
    }
    std::vector<std::string> args = scene.Pack("update.exe");
    if (input == "stub") args[2] = path;
    const CommandRun run = Bootpack(args);
    EXPECT_EQ(run.status, kExitFailed);
    EXPECT_TRUE(Contains(run.err, row.expected)) << run.err;
    EXPECT_FALSE(fs::exists(PathFromUtf8(scene.dir / "update.exe")));
  }
}

TEST(BootpackTest, ASignedStubLosesItsSignatureWithAWarning) {
  Scene scene;
  scene.dir.Write("stub.exe", StubBytes(std::vector<std::uint8_t>(40, 0x30)));
  const CommandRun run = Bootpack(scene.Pack("update.exe"));
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_TRUE(Contains(run.err, "bootpack: warning: stub \"" + (scene.dir / "stub.exe") +
                                    "\": was signed; the signature was removed"))
      << run.err;
  EXPECT_EQ(Bootpack({"inspect", scene.dir / "update.exe"}).status, kExitOk);
}

// Writes an update exe whose manifest and payloads are given directly, for updates bootpack
// itself would never produce.
void WriteCraftedUpdate(const std::string& path, const std::string& manifest,
                        const std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>>& payloads) {
  const std::string stub = StubBytes();
  PeImage image;
  std::string why;
  ASSERT_TRUE(ParsePeImage(std::vector<std::uint8_t>(stub.begin(), stub.end()), image, why));
  std::vector<PeResource> resources;
  ASSERT_TRUE(ReadPeResources(image, resources, why)) << why;  // the stub's, its marker included
  PeResource& manifest_resource = resources.emplace_back();
  manifest_resource.type.id = 42;
  manifest_resource.name.id = 42;
  manifest_resource.data = Bytes(manifest);
  for (const auto& [id, data] : payloads) {
    PeResource r;
    r.type.id = 256;
    r.name.id = id;
    r.data = data;
    resources.push_back(r);
  }
  std::vector<std::uint8_t> out;
  PeWriteReport report;
  ASSERT_TRUE(WritePeResources(image, resources, out, report, why)) << why;
  ASSERT_TRUE(WriteWholeFile(PathFromUtf8(path), out, why)) << why;
}

std::vector<std::uint8_t> Stream(const std::string& content) {
  return lznt1::Compress(reinterpret_cast<const std::uint8_t*>(content.data()), content.size(),
                         lznt1::Level::Default);
}

TEST(BootpackTest, InspectAndExtractRefuseWhatTheStubWouldRefuse) {
  TempFolder dir;
  const std::vector<std::uint8_t> good = Stream("good file");
  const std::vector<std::uint8_t> zeros = Stream(std::string(100000, '\0'));  // expands > 4x
  ASSERT_GT(100000u, zeros.size() * 4);
  std::vector<std::uint8_t> corrupt = good;
  corrupt[0] ^= 0x70;  // breaks the chunk signature
  std::vector<std::uint8_t> flipped = good;
  flipped.back() ^= 0x01;  // the last literal: still a sound stream, of other bytes
  const std::string good_sha256 = Sha256Hex(Sha256Of(Bytes("good file")));
  const std::string manifest =
      R"({"version":"9","cleans":[],"updates":[)"
      R"({"path":"good.txt","size":)" + std::to_string(good.size()) + R"(,"rtype":256,"rid":1},)"
      R"({"path":"wrong-size.txt","size":)" + std::to_string(good.size() + 1) + R"(,"rtype":256,"rid":1},)"
      R"({"path":"missing.txt","size":5,"rtype":256,"rid":9},)"
      R"({"path":"zeros.bin","size":)" + std::to_string(zeros.size()) + R"(,"rtype":256,"rid":2},)"
      R"({"path":"corrupt.bin","size":)" + std::to_string(corrupt.size()) + R"(,"rtype":65792,"rid":3},)"
      R"({"path":"flipped.txt","size":)" + std::to_string(flipped.size()) + R"(,"rtype":256,"rid":4,"sha256":")" + good_sha256 + R"("},)"
      R"({"path":"empty.txt","size":0,"rtype":256,"rid":8},)"
      R"({"path":"cut.txt\u0000.dll","size":)" + std::to_string(good.size()) + R"(,"rtype":256,"rid":1}]})";
  WriteCraftedUpdate(dir / "bad.exe", manifest, {{1, good}, {2, zeros}, {3, corrupt}, {4, flipped}});

  const CommandRun inspect = Bootpack({"inspect", dir / "bad.exe"});
  EXPECT_EQ(inspect.status, kExitFailed);
  const std::string at = "bootpack: " + (dir / "bad.exe") + ": ";
  EXPECT_FALSE(Contains(inspect.err, "good.txt")) << inspect.err;
  EXPECT_TRUE(Contains(inspect.err, at + "updates[1] \"wrong-size.txt\": the manifest says")) << inspect.err;
  EXPECT_TRUE(Contains(inspect.err, at + "updates[2] \"missing.txt\": no payload resource 256/9")) << inspect.err;
  EXPECT_TRUE(Contains(inspect.err, at + "updates[3] \"zeros.bin\": does not decode within four times")) << inspect.err;
  // rtype 65792 is 256 in its low 16 bits, as the stub reads it.
  EXPECT_TRUE(Contains(inspect.err, at + "updates[4] \"corrupt.bin\": does not decode")) << inspect.err;
  EXPECT_TRUE(Contains(inspect.err, at + "updates[5] \"flipped.txt\": sha256 mismatch")) << inspect.err;
  // Only a safe manifest delivers an entry of size 0 as an empty file without a resource.
  EXPECT_TRUE(Contains(inspect.err, at + "updates[6] \"empty.txt\": no payload resource 256/8")) << inspect.err;
  // The stub would act on "cut.txt", not on the path the manifest shows.
  EXPECT_TRUE(Contains(inspect.err, at + "the update manifest's updates[7]: \"path\" holds \\u0000")) << inspect.err;
  EXPECT_TRUE(Contains(inspect.out, "the stub would refuse this update")) << inspect.out;

  const CommandRun extract = Bootpack({"extract", dir / "bad.exe", dir / "out"});
  EXPECT_EQ(extract.status, kExitFailed);
  EXPECT_FALSE(fs::exists(dir.path() / "out"));

  // An invalid manifest, and no manifest at all.
  WriteCraftedUpdate(dir / "invalid.exe", R"({"version":"1","cleans":[],"updates":[]})", {});
  EXPECT_TRUE(Contains(Bootpack({"inspect", dir / "invalid.exe"}).err, "not valid for the stub"));
  const std::string stub = StubBytes();
  dir.Write("bare.exe", stub);
  const CommandRun bare = Bootpack({"inspect", dir / "bare.exe"});
  EXPECT_EQ(bare.status, kExitFailed);
  EXPECT_TRUE(Contains(bare.err, "no update manifest")) << bare.err;
}

TEST(BootpackTest, ExtractRefusesPathsThatLeaveTheTargetFolder) {
  TempFolder dir;
  const std::vector<std::uint8_t> good = Stream("payload");
  for (const char* path : {"..\\\\escaped.txt", "C:\\\\evil.txt", "\\\\rooted.txt"}) {
    SCOPED_TRACE(path);
    WriteCraftedUpdate(dir / "update.exe",
                       std::string(R"({"version":"1","cleans":[],"updates":[{"path":")") + path +
                           R"(","size":)" + std::to_string(good.size()) + R"(,"rtype":256,"rid":1}]})",
                       {{1, good}});
    const CommandRun run = Bootpack({"extract", dir / "update.exe", dir / "out"});
    EXPECT_EQ(run.status, kExitFailed);
    EXPECT_TRUE(Contains(run.err, "not extracted")) << run.err;
    EXPECT_FALSE(fs::exists(dir.path() / "out"));
    EXPECT_FALSE(fs::exists(dir.path() / "escaped.txt"));
  }
}

TEST(BootpackTest, InspectEscapesControlCharactersFromTheManifest) {
  TempFolder dir;
  const std::string content = "hello";
  // A raw ESC, a C1 control, and U+202E (which would show the rest of the line reversed).
  WriteCraftedUpdate(dir / "update.exe",
                     "{\"version\":\"1\x1b]0;owned\x07\xc2\x9b\xe2\x80\xae\",\"cleans\":[],\"updates\":["
                     "{\"path\":\"a\xe2\x80\xaetxt.exe\",\"size\":5,\"rtype\":256,\"rid\":1}]}",
                     {{1, Stream(content)}});
  const CommandRun inspect = Bootpack({"inspect", dir / "update.exe"});
  const std::string all = inspect.out + inspect.err;
  for (const std::string raw : {"\x1b", "\x07", "\xc2\x9b", "\xe2\x80\xae"}) {
    EXPECT_FALSE(Contains(all, raw)) << all;
  }
  EXPECT_TRUE(Contains(inspect.out, "1\\x1b]0;owned\\x07\\u009b\\u202e")) << inspect.out;
  EXPECT_TRUE(Contains(inspect.out, "a\\u202etxt.exe")) << inspect.out;
}

#ifndef _WIN32
TEST(BootpackTest, ExtractNeverWritesThroughALinkInTheTargetFolder) {
  Scene scene;
  ASSERT_EQ(Bootpack(scene.Pack("update.exe")).status, kExitOk);
  fs::create_directories(PathFromUtf8(scene.dir / "out"));
  fs::create_directories(PathFromUtf8(scene.dir / "outside"));
  fs::create_directory_symlink("../outside", PathFromUtf8(scene.dir / "out/logs"));
  const CommandRun run = Bootpack({"extract", scene.dir / "update.exe", scene.dir / "out"});
  EXPECT_EQ(run.status, kExitFailed);
  EXPECT_TRUE(Contains(run.err, "out/logs\" is a symbolic link; nothing is written through one"))
      << run.err;
  EXPECT_TRUE(fs::is_empty(PathFromUtf8(scene.dir / "outside")));
  // logs/empty.txt comes last: the files before it and the folder data/ made for one are gone.
  EXPECT_EQ(TempFolder::ListOf(PathFromUtf8(scene.dir / "out")), std::vector<std::string>{"logs"});
}

// A pack killed while it writes the update exe leaves neither its temporary file nor an output.
TEST(BootpackTest, ATerminatedPackLeavesNothingBehind) {
  TempFolder dir;
  dir.Write("stub.exe", StubBytes());
  // Random bytes do not compress, so writing and checking the exe take a while.
  std::mt19937_64 random(7);
  std::string noise(std::size_t{48} << 20, '\0');
  for (std::size_t i = 0; i + 8 <= noise.size(); i += 8) {
    const std::uint64_t word = random();
    std::memcpy(noise.data() + i, &word, 8);
  }
  dir.Write("release/noise.bin", noise);
  noise = std::string();
  dir.Write("package.json", R"({"version": "1", "updates": [{"path": "noise.bin", "source": "release/noise.bin"}]})");
  const std::vector<std::string> args = {BOOTPACK_EXE, "pack", "--stub", dir / "stub.exe", "--package",
                                         dir / "package.json", "-o", dir / "update.exe", "--level", "fast"};
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, BOOTPACK_EXE, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto has_temp = [&] {
    for (const std::string& name : dir.List()) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) return true;
    }
    return false;
  };
  // Waits for the temporary file to appear, then terminates the pack.
  int status = 0;
  bool seen = false;
  while (!(seen = has_temp()) && ::waitpid(child, &status, WNOHANG) == 0) ::usleep(200);
  ASSERT_TRUE(seen) << "the pack ended before its temporary file was seen (status " << status << ")";
  ::kill(child, SIGTERM);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"package.json", "release", "stub.exe"}));
}
#endif

TEST(BootpackTest, UsageErrorsAndHelp) {
  struct Row {
    std::vector<std::string> args;
    int status;
    const char* text;  // expected in stdout for status 0, in stderr otherwise
  };
  const Row rows[] = {
      {{}, kExitUsage, "usage: bootpack <command>"},
      {{"--help"}, kExitOk, "usage: bootpack <command>"},
      {{"frob"}, kExitUsage, "bootpack: \"frob\": unknown command"},
      {{"pack", "--help"}, kExitOk, "usage: bootpack pack --stub"},
      {{"inspect", "-h"}, kExitOk, "usage: bootpack inspect"},
      {{"extract", "--help"}, kExitOk, "usage: bootpack extract"},
      {{"compress", "--help"}, kExitOk, ""},
      {{"pack"}, kExitUsage, "bootpack: pack: --stub is required"},
      {{"pack", "--stub=s.exe"}, kExitUsage, "bootpack: pack: --package is required"},
      {{"pack", "--stub", "s", "--package", "p"}, kExitUsage, "bootpack: pack: -o is required"},
      {{"pack", "--stub"}, kExitUsage, "bootpack: pack: --stub needs a value"},
      {{"pack", "--level", "ultra"}, kExitUsage, "bootpack: pack: unknown level \"ultra\""},
      {{"pack", "--frob"}, kExitUsage, "bootpack: pack: unexpected argument \"--frob\""},
      {{"pack", "--stub", "s", "--package", "p", "-o", "u", "--exclude", "*.pdb"}, kExitUsage,
       "bootpack: pack: --exclude applies to --from, which is missing"},
      {{"pack", "--stub", "s", "--package", "p", "-o", "o", "--sign", "signtool sign o"},
       kExitUsage, "bootpack: pack: --sign needs {file}"},
      {{"inspect"}, kExitUsage, "bootpack: inspect: expects one update exe"},
      {{"extract", "a.exe"}, kExitUsage, "bootpack: extract: expects an update exe and a folder"},
      {{"inspect", "/nonexistent/update.exe"}, kExitFailed, "bootpack: /nonexistent/update.exe: "},
      {{"--version"}, kExitOk, "bootpack 1."},
      {{"pack", "--json", "-q"}, kExitUsage, "bootpack: pack: --json and --quiet exclude each other"},
      {{"inspect", "--quiet", "--json", "u.exe"}, kExitUsage, "--json and --quiet exclude each other"},
      {{"extract", "--json", "u.exe", "out"}, kExitUsage, "bootpack: extract: has no --json output"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    const CommandRun run = Bootpack(row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_TRUE(Contains(row.status == kExitOk ? run.out : run.err, row.text)) << run.out << run.err;
  }
}

}  // namespace
}  // namespace boot
