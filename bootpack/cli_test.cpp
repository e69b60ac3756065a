// bootpack's commands end to end on the native side: real files in a scratch folder, a small
// hand-laid-out stub image, and the output read back with the packer's own reader and the
// stub's manifest reader.
#include "bootpack/cli.h"

#include <gtest/gtest.h>

#include <sstream>

#include "bootpack/file_io.h"
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

  // A smaller package over it: exactly one payload remains.
  scene.dir.Write("package.json", R"({"version": "2", "updates": [{"path": "readme.txt", "source": "release/readme.txt"}]})");
  const CommandRun smaller = Bootpack(scene.Pack("first.exe", "first.exe"));
  ASSERT_EQ(smaller.status, kExitOk) << smaller.err;
  const std::vector<PeResource> resources = ResourcesOf(scene.dir / "first.exe");
  ASSERT_EQ(resources.size(), 5u);
  EXPECT_EQ(resources[4].type.id, 256);
  EXPECT_EQ(resources[4].name.id, 1);
  EXPECT_EQ(Bootpack({"inspect", scene.dir / "first.exe"}).status, kExitOk);
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

TEST(BootpackTest, FromAddsAFolderAndProgressShowsOnlyOnATerminal) {
  Scene scene;
  scene.dir.Write("package.json", R"({"version": "3", "launcher": "app.exe"})");
  std::vector<std::string> args = scene.Pack("update.exe");
  args.insert(args.end(), {"--from", scene.dir / "release", "--level", "fast"});
  const CommandRun quiet = Bootpack(args);
  ASSERT_EQ(quiet.status, kExitOk) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_TRUE(Contains(quiet.out, "level fast")) << quiet.out;
  UpdateCheck check;
  ASSERT_TRUE(CheckUpdate(ResourcesOf(scene.dir / "update.exe"), check));
  ASSERT_EQ(check.entries.size(), 4u);
  EXPECT_EQ(check.entries[0].path, "app.exe");
  EXPECT_EQ(check.entries[1].path, "data\\big.bin");
  EXPECT_EQ(check.entries[3].path, "readme.txt");

  const CommandRun shown = Bootpack(args, true);
  ASSERT_EQ(shown.status, kExitOk) << shown.err;
  EXPECT_TRUE(Contains(shown.err, "\r[1/4] app.exe (195.3 KiB)")) << shown.err;
  EXPECT_TRUE(Contains(shown.err, "\r[4/4] readme.txt")) << shown.err;
  EXPECT_EQ(shown.err.back(), '\r');  // the progress line is wiped before the summary
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
      R"({"path":"empty.txt","size":0,"rtype":256,"rid":8}]})";
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
      {{"pack", "--stub", "s", "--package", "p", "-o", "o", "--sign", "signtool sign o"},
       kExitUsage, "bootpack: pack: --sign needs {file}"},
      {{"inspect"}, kExitUsage, "bootpack: inspect: expects one update exe"},
      {{"extract", "a.exe"}, kExitUsage, "bootpack: extract: expects an update exe and a folder"},
      {{"inspect", "/nonexistent/update.exe"}, kExitFailed, "bootpack: /nonexistent/update.exe: "},
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
