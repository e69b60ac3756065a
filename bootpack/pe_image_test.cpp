#include "bootpack/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "bootpack/file_io.h"
#include "bootpack/test_image.h"

namespace boot {
namespace {

using testutil::BuildRelocations;
using testutil::BuildResourceTree;
using testutil::BuildTestImage;
using testutil::Bytes;
using testutil::Read16;
using testutil::Read32;
using testutil::TestImageSpec;
using testutil::TestLeaf;
using testutil::TestSectionRva;
using testutil::Write32;
using testutil::kTestOptionalHeader;
using testutil::kTestSectionTable;

PeResource Leaf(std::uint16_t type, std::uint16_t name, std::uint16_t language,
                std::string_view data) {
  PeResource r;
  r.type.id = type;
  r.name.id = name;
  r.language = language;
  r.data = Bytes(data);
  return r;
}

PeResource NamedLeaf(std::u16string type, std::u16string name, std::string_view data) {
  PeResource r;
  r.type.text = std::move(type);
  r.name.text = std::move(name);
  r.data = Bytes(data);
  return r;
}

// The resources a freshly built stub-like image carries: a manifest and version info.
std::vector<TestLeaf> StubLeaves() {
  return {{16, 1, 0x409, Bytes("version info bytes")}, {24, 1, 0, Bytes("<assembly/>")}};
}

std::vector<std::uint8_t> Code() { return std::vector<std::uint8_t>(0x300, 0xC3); }

// .text, .rsrc, .reloc: the order GNU ld gives the stub.
TestImageSpec RsrcThenReloc() {
  TestImageSpec spec;
  spec.sections.push_back({".text", Code(), 0, 0x60000020});
  spec.sections.push_back({".rsrc", {}, 0, 0xC0000040});
  spec.sections.push_back({".reloc", BuildRelocations(0x1000), 0, 0x42000040});
  spec.sections[1].data = BuildResourceTree(TestSectionRva(spec, 1), StubLeaves());
  spec.directories = {{2, 1, 0, static_cast<std::uint32_t>(spec.sections[1].data.size())},
                      {5, 2, 0, 12}};
  return spec;
}

// .text, .rsrc, .data: the resources are followed by a section code refers to.
TestImageSpec RsrcThenData() {
  TestImageSpec spec = RsrcThenReloc();
  spec.sections[2] = {".data", Bytes("initialized data"), 0, 0xC0000040};
  spec.directories.pop_back();
  return spec;
}

// .text, .rsrc: resources last.
TestImageSpec RsrcLast() {
  TestImageSpec spec = RsrcThenReloc();
  spec.sections.pop_back();
  spec.directories.pop_back();
  return spec;
}

TestImageSpec NoResources() {
  TestImageSpec spec;
  spec.sections.push_back({".text", Code(), 0, 0x60000020});
  return spec;
}

PeImage Parse(std::vector<std::uint8_t> bytes) {
  PeImage image;
  std::string error;
  EXPECT_TRUE(ParsePeImage(std::move(bytes), image, error)) << error;
  return image;
}

std::vector<PeResource> ReadAll(const PeImage& image) {
  std::vector<PeResource> resources;
  std::string error;
  EXPECT_TRUE(ReadPeResources(image, resources, error)) << error;
  return resources;
}

void ExpectSameResources(const std::vector<PeResource>& got, std::vector<PeResource> want) {
  std::sort(want.begin(), want.end(), [](const PeResource& a, const PeResource& b) {
    if (!(a.type == b.type)) return a.type < b.type;
    if (!(a.name == b.name)) return a.name < b.name;
    return a.language < b.language;
  });
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(DescribeResourceKey(want[i].type) + "/" + DescribeResourceKey(want[i].name));
    EXPECT_TRUE(got[i].type == want[i].type);
    EXPECT_TRUE(got[i].name == want[i].name);
    EXPECT_EQ(got[i].language, want[i].language);
    EXPECT_EQ(got[i].codepage, want[i].codepage);
    EXPECT_EQ(got[i].data, want[i].data);
  }
}

// The raw bytes of the section called `name`.
std::vector<std::uint8_t> SectionBytes(const PeImage& image, const std::string& name) {
  for (const PeSection& s : image.sections) {
    if (s.name == name) {
      const std::uint32_t n = std::min(s.raw_size, s.virtual_size ? s.virtual_size : s.raw_size);
      return std::vector<std::uint8_t>(image.bytes.begin() + s.raw_offset,
                                       image.bytes.begin() + s.raw_offset + n);
    }
  }
  return {};
}

// Writes `resources` into `input` and checks everything a loader relies on in the result.
PeImage WriteAndCheck(const std::vector<std::uint8_t>& input,
                      const std::vector<PeResource>& resources, PeWriteReport& report) {
  const PeImage before = Parse(input);
  std::vector<std::uint8_t> out;
  std::string error;
  EXPECT_TRUE(WritePeResources(before, resources, out, report, error)) << error;
  // Left in pieces, the resources' data referenced rather than copied, it is the same file.
  PeImagePieces pieces;
  PeWriteReport pieces_report;
  EXPECT_TRUE(WritePeResourcesInPieces(before, resources, pieces, pieces_report, error)) << error;
  std::vector<std::uint8_t> joined;
  for (const auto piece : pieces.pieces) joined.insert(joined.end(), piece.begin(), piece.end());
  EXPECT_EQ(joined, out);
  PeImage after = Parse(out);
  ExpectSameResources(ReadAll(after), resources);
  EXPECT_EQ(ComputePeChecksum(after.bytes, after.optional_header_offset + 64), after.checksum);
  // SizeOfImage covers the last section, rounded to the section alignment.
  const PeSection& last = after.sections.back();
  EXPECT_EQ(Read32(after.bytes, after.optional_header_offset + 56),
            (last.virtual_address + last.virtual_size + 0xFFF) / 0x1000 * 0x1000);
  // SizeOfInitializedData moves by exactly the change in initialized raw data.
  auto initialized_raw = [](const PeImage& image) {
    std::int64_t sum = 0;
    for (const PeSection& s : image.sections) sum += (s.characteristics & 0x40) ? s.raw_size : 0;
    return sum;
  };
  EXPECT_EQ(static_cast<std::int64_t>(Read32(after.bytes, after.optional_header_offset + 8)) -
                Read32(before.bytes, before.optional_header_offset + 8),
            initialized_raw(after) - initialized_raw(before));
  // Every section but the resources keeps its bytes.
  for (const PeSection& s : before.sections) {
    if (s.name != ".rsrc") {
      EXPECT_EQ(SectionBytes(after, s.name), SectionBytes(before, s.name)) << s.name;
    }
  }
  // Sections stay in ascending, non-overlapping order in memory and in the file.
  for (std::size_t i = 1; i < after.sections.size(); ++i) {
    const PeSection& a = after.sections[i - 1];
    const PeSection& b = after.sections[i];
    EXPECT_GE(b.virtual_address, a.virtual_address + a.virtual_size);
    if (a.raw_size != 0 && b.raw_size != 0) {
      EXPECT_GE(b.raw_offset, a.raw_offset + a.raw_size);
    }
    EXPECT_EQ(b.raw_offset % 0x200, 0u);
  }
  return after;
}

std::vector<PeResource> NewResources() {
  std::vector<PeResource> r = {Leaf(16, 1, 0x409, "version info bytes"), Leaf(24, 1, 0, "<assembly/>")};
  r.push_back(Leaf(42, 42, 0, R"({"version":"1"})"));
  r.push_back(Leaf(256, 1, 0, std::string(5000, 'x')));
  r.push_back(Leaf(256, 2, 0, "odd"));
  r.push_back(NamedLeaf(u"BLOB", u"CONFIG", "named type and name"));
  return r;
}

TEST(PeChecksumTest, SumsWordsWithCarriesSkipsTheFieldAndAddsTheLength) {
  struct Row {
    std::vector<std::uint8_t> bytes;
    std::uint32_t field;
    std::uint32_t expected;
  };
  const Row rows[] = {
      {{0x01, 0x00, 0x02, 0x00}, 100, 3 + 4},
      {{0xFF, 0xFF, 0x02, 0x00}, 100, 2 + 4},  // 0x10001 folds to 0x0002
      {{0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x05}, 2, 1 + 5 + 7},  // field skipped, odd tail
      {{0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x02}, 1, 1 + 2 + 7},  // field at an odd offset
      {{}, 0, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ComputePeChecksum(row.bytes, row.field), row.expected);
  }

  // Files of any length, all-ones (a carry at every word) or mixed, the field anywhere: the same
  // as adding word after word with the carry folded in each time.
  const auto word_by_word = [](const std::vector<std::uint8_t>& b, std::uint32_t field) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < b.size(); i += 2) {
      const auto at = [&](std::size_t k) -> std::uint32_t {
        return k >= b.size() || (k >= field && k - field < 4) ? 0 : b[k];
      };
      sum += at(i) | at(i + 1) << 8;
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(sum + b.size());
  };
  std::uint32_t x = 12345;
  for (const std::size_t size : {std::size_t{9}, std::size_t{16}, std::size_t{4099}, std::size_t{1} << 20,
                                 (std::size_t{1} << 20) + 7}) {
    for (const bool ones : {true, false}) {
      std::vector<std::uint8_t> bytes(size, 0xFF);
      if (!ones) {
        for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24);
      }
      for (const std::uint32_t field : {0u, 7u, static_cast<std::uint32_t>(size - 3), 1u << 30}) {
        EXPECT_EQ(ComputePeChecksum(bytes, field), word_by_word(bytes, field))
            << size << " bytes, field at " << field << (ones ? ", all ones" : "");
      }
    }
  }
}

TEST(PeImageTest, RefusesMalformedHeaders) {
  struct Row {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    const char* error;
  };
  const Row rows[] = {
      {"no MZ", [](auto& b) { b[0] = 'X'; }, "no MZ header"},
      {"too short", [](auto& b) { b.resize(40); }, "no MZ header"},
      {"PE offset past the end", [](auto& b) { Write32(b, 0x3C, 0xFFFFFFF0); }, "no PE signature"},
      {"no PE signature", [](auto& b) { b[0x80] = 'N'; }, "no PE signature"},
      {"PE32", [](auto& b) { b[kTestOptionalHeader] = 0x0B; b[kTestOptionalHeader + 1] = 0x01; }, "PE32"},
      {"unknown magic", [](auto& b) { b[kTestOptionalHeader + 1] = 0x07; }, "magic"},
      {"optional header too small", [](auto& b) { b[0x80 + 4 + 16] = 100; }, "optional header"},
      {"too many directories", [](auto& b) { Write32(b, kTestOptionalHeader + 108, 17); }, "directory count"},
      {"file alignment not a power of two", [](auto& b) { Write32(b, kTestOptionalHeader + 36, 0x300); }, "alignment"},
      {"file alignment above section alignment", [](auto& b) { Write32(b, kTestOptionalHeader + 36, 0x2000); }, "alignment"},
      {"no sections", [](auto& b) { b[0x80 + 6] = 0; }, "section count"},
      {"section table past SizeOfHeaders", [](auto& b) { Write32(b, kTestOptionalHeader + 60, 0x100); }, "SizeOfHeaders"},
      {"raw data past the end", [](auto& b) { Write32(b, kTestSectionTable + 40 + 16, 0x10000); }, "beyond the end"},
      {"raw data over the headers", [](auto& b) { Write32(b, kTestSectionTable + 40 + 20, 0x200); }, "overlaps the headers"},
      {"sections overlap in memory", [](auto& b) { Write32(b, kTestSectionTable + 40 + 12, 0x1000); }, "misplaced"},
      {"section not aligned in memory", [](auto& b) { Write32(b, kTestSectionTable + 80 + 12, 0x3100); }, "misplaced"},
      {"section beyond 4 GiB", [](auto& b) { Write32(b, kTestSectionTable + 80 + 8, 0xFFFFF000); }, "4 GiB"},
      {"certificate past the end", [](auto& b) { Write32(b, kTestOptionalHeader + 112 + 32, 0xC00); Write32(b, kTestOptionalHeader + 112 + 36, 8); }, "certificate"},
      {"certificate inside a section", [](auto& b) { Write32(b, kTestOptionalHeader + 112 + 32, 0x400); Write32(b, kTestOptionalHeader + 112 + 36, 8); }, "certificate"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> bytes = BuildTestImage(RsrcThenReloc());
    row.damage(bytes);
    PeImage image;
    std::string error;
    EXPECT_FALSE(ParsePeImage(bytes, image, error));
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
}

TEST(PeResourcesTest, ReadsEveryLeafOfAHandBuiltTree) {
  TestImageSpec spec = RsrcThenReloc();
  const std::vector<TestLeaf> leaves = {{3, 1, 0, Bytes("icon")},
                                        {3, 2, 0, Bytes("icon two")},
                                        {6, 1, 0x407, Bytes("hallo")},
                                        {6, 1, 0x409, Bytes("hello")},
                                        {24, 1, 0, Bytes("")}};
  spec.sections[1].data = BuildResourceTree(TestSectionRva(spec, 1), leaves);
  spec.directories[0].size = static_cast<std::uint32_t>(spec.sections[1].data.size());
  const std::vector<PeResource> got = ReadAll(Parse(BuildTestImage(spec)));
  ASSERT_EQ(got.size(), leaves.size());
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    EXPECT_EQ(got[i].type.id, leaves[i].type);
    EXPECT_TRUE(got[i].type.text.empty());
    EXPECT_EQ(got[i].name.id, leaves[i].name);
    EXPECT_EQ(got[i].language, leaves[i].language);
    EXPECT_EQ(got[i].data, leaves[i].data);
  }
  ASSERT_NE(FindPeResource(got, 6, 1), nullptr);
  EXPECT_EQ(FindPeResource(got, 6, 1)->language, 0x407);  // no neutral one: the lowest
  EXPECT_EQ(FindPeResource(got, 6, 2), nullptr);
}

TEST(PeResourcesTest, RefusesMalformedTrees) {
  // Offsets inside the tree BuildResourceTree writes for StubLeaves(): root at 0, type
  // directories at 0x20 and 0x38, language directories at 0x50 and 0x68, data entries at 0x80.
  const std::size_t rsrc = 0x800;  // file offset of the resource section
  struct Row {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    const char* error;
  };
  const Row rows[] = {
      {"directory points at itself", [&](auto& b) { Write32(b, rsrc + 0x20 + 16 + 4, 0x80000020); }, "reached twice"},
      {"two types share a directory", [&](auto& b) { Write32(b, rsrc + 16 + 12, 0x80000020); }, "reached twice"},
      {"subdirectory out of bounds", [&](auto& b) { Write32(b, rsrc + 16 + 4, 0x80001000); }, "out of bounds"},
      {"entry count out of bounds", [&](auto& b) { b[rsrc + 14] = 0xFF; }, "entries out of bounds"},
      {"data entry where a directory belongs", [&](auto& b) { Write32(b, rsrc + 16 + 4, 0x80); }, "three levels"},
      {"directory where data belongs", [&](auto& b) { Write32(b, rsrc + 0x50 + 16 + 4, 0x80000020); }, "three levels"},
      {"data outside every section", [&](auto& b) { Write32(b, rsrc + 0x80, 0x9000); }, "outside the image"},
      {"data longer than its section", [&](auto& b) { Write32(b, rsrc + 0x80 + 4, 0x5000); }, "outside the image"},
      {"unsorted types", [&](auto& b) { Write32(b, rsrc + 16, 30); }, "unsorted"},
      {"id above 65535", [&](auto& b) { Write32(b, rsrc + 16, 0x10000); }, "above 65535"},
      {"named entry counted as numbered", [&](auto& b) { Write32(b, rsrc + 16, 0x80000100); }, "mixed"},
      {"name string out of bounds", [&](auto& b) { Write32(b, rsrc + 16, 0x80001000); b[rsrc + 12] = 1; b[rsrc + 14] = 1; }, "out of bounds"},
      {"language given as a string", [&](auto& b) { Write32(b, rsrc + 0x50 + 16, 0x80000010); b[rsrc + 0x50 + 12] = 1; b[rsrc + 0x50 + 14] = 0; }, "language given as a string"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> bytes = BuildTestImage(RsrcThenReloc());
    row.damage(bytes);
    const PeImage image = Parse(bytes);
    std::vector<PeResource> resources;
    std::string error;
    EXPECT_FALSE(ReadPeResources(image, resources, error));
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
    EXPECT_TRUE(resources.empty());
  }
}

TEST(PeResourcesTest, LeavesMayShareDataButNotOutgrowTheFile) {
  TestImageSpec spec = RsrcThenReloc();
  spec.sections[0].data.assign(0x1000, 0xC3);
  spec.sections[1].data = BuildResourceTree(TestSectionRva(spec, 1), StubLeaves());
  std::vector<std::uint8_t> bytes = BuildTestImage(spec);
  const std::size_t rsrc = 0x1400;  // data entries at 0x80 and 0x90 of the tree
  // Both leaves name the first half of .text: two copies still fit in the file.
  for (const std::size_t entry : {rsrc + 0x80, rsrc + 0x90}) {
    Write32(bytes, entry, 0x1000);
    Write32(bytes, entry + 4, 0x800);
  }
  const std::vector<PeResource> shared = ReadAll(Parse(bytes));
  ASSERT_EQ(shared.size(), 2u);
  EXPECT_EQ(shared[1].data, std::vector<std::uint8_t>(0x800, 0xC3));
  // Both name all of it: the copies would outgrow the file.
  Write32(bytes, rsrc + 0x80 + 4, 0x1000);
  Write32(bytes, rsrc + 0x90 + 4, 0x1000);
  std::vector<PeResource> resources;
  std::string error;
  EXPECT_FALSE(ReadPeResources(Parse(bytes), resources, error));
  EXPECT_NE(error.find("adds up"), std::string::npos) << error;
}

TEST(PeWriterTest, RewritesEveryLayoutIntoAValidImage) {
  TestImageSpec shrink = RsrcThenReloc();
  shrink.sections[1].data = BuildResourceTree(TestSectionRva(shrink, 1),
                                              {{256, 1, 0, std::vector<std::uint8_t>(9000, 7)}});
  shrink.directories = {{2, 1, 0, static_cast<std::uint32_t>(shrink.sections[1].data.size())},
                        {5, 2, 0, 12}};
  TestImageSpec patched = RsrcThenReloc();
  patched.sections[2].data = BuildRelocations(0x2000);  // a fixup inside the resources
  TestImageSpec signed_stub = RsrcThenReloc();
  signed_stub.certificate = std::vector<std::uint8_t>(64, 0x30);
  struct Row {
    const char* name;
    TestImageSpec spec;
    std::vector<PeResource> resources;
    bool appended;
    std::size_t sections;
  };
  const Row rows[] = {
      {"grows in place, the relocations move up", RsrcThenReloc(), NewResources(), false, 3},
      {"shrinks in place, the relocations move down", shrink, {Leaf(24, 1, 0, "small")}, false, 3},
      {"last section, rebuilt in place", RsrcLast(), NewResources(), false, 2},
      {"followed by data code refers to: a new section", RsrcThenData(), NewResources(), true, 4},
      {"no resources yet: a new section", NoResources(), NewResources(), true, 2},
      {"patched by a relocation: a new section", patched, NewResources(), true, 4},
      {"signed: the certificate goes", signed_stub, NewResources(), false, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PeWriteReport report;
    const PeImage after = WriteAndCheck(BuildTestImage(row.spec), row.resources, report);
    EXPECT_EQ(report.section_appended, row.appended);
    EXPECT_EQ(report.certificate_removed, !row.spec.certificate.empty());
    ASSERT_EQ(after.sections.size(), row.sections);
    EXPECT_EQ(Read16(after.bytes, 0x80 + 6), row.sections);
    const PeSection& rsrc = after.sections[row.appended ? row.sections - 1 : 1];
    EXPECT_EQ(rsrc.name, ".rsrc");
    if (!row.appended) {
      EXPECT_EQ(rsrc.virtual_address, 0x2000u);
    }
    EXPECT_EQ(after.directories[kResourceDirectory].rva, rsrc.virtual_address);
    EXPECT_EQ(after.directories[kResourceDirectory].size, rsrc.virtual_size);
    EXPECT_EQ(after.directories[kCertificateDirectory].size, 0u);
    EXPECT_EQ(after.bytes.size(), after.sections_end);
    for (const PeSection& s : after.sections) {
      if (s.name == ".reloc") {
        EXPECT_EQ(after.directories[kRelocationDirectory].rva, s.virtual_address);
      }
    }
    // Writing the result again never adds another section: the new one is last now.
    PeWriteReport again;
    EXPECT_EQ(WriteAndCheck(after.bytes, {Leaf(24, 1, 0, "x")}, again).sections.size(), row.sections);
    EXPECT_FALSE(again.section_appended);
  }
}

TEST(PeWriterTest, RefusesImagesItCannotRewriteSafely) {
  struct Row {
    const char* name;
    TestImageSpec spec;
    std::vector<PeResource> resources;
    const char* error;
  };
  TestImageSpec overlay = RsrcThenReloc();
  overlay.overlay = Bytes("symbol table");
  TestImageSpec crowded = RsrcThenData();
  crowded.crowded_headers = true;
  TestImageSpec after_certificate = RsrcThenReloc();
  after_certificate.certificate = std::vector<std::uint8_t>(16, 1);
  const Row rows[] = {
      {"data after the last section", overlay, NewResources(), "after its last section"},
      {"no room for a section header", crowded, NewResources(), "no room"},
      {"a leaf given twice", RsrcLast(), {Leaf(24, 1, 0, "a"), Leaf(24, 1, 0, "b")}, "given twice"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const PeImage image = Parse(BuildTestImage(row.spec));
    std::vector<std::uint8_t> out;
    PeWriteReport report;
    std::string error;
    EXPECT_FALSE(WritePeResources(image, row.resources, out, report, error));
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
  // Bytes after a certificate table are refused too.
  std::vector<std::uint8_t> bytes = BuildTestImage(after_certificate);
  bytes.push_back(0x55);
  const PeImage image = Parse(bytes);
  std::vector<std::uint8_t> out;
  PeWriteReport report;
  std::string error;
  EXPECT_FALSE(WritePeResources(image, NewResources(), out, report, error));
  EXPECT_NE(error.find("after its certificate"), std::string::npos) << error;
}

// Path of the image GNU ld and windres built for these tests; empty when the cross tools were
// missing at configure time.
std::string FixturePath() {
#ifdef BOOTPACK_FIXTURE_EXE
  std::string path = BOOTPACK_FIXTURE_EXE;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
  return path;
#else
  return {};
#endif
}

TEST(PeWriterTest, RoundTripsAnImageMadeByTheGnuToolchain) {
  if (FixturePath().empty()) GTEST_SKIP() << "no MinGW cross tools when configured";
  std::vector<std::uint8_t> bytes;
  std::string why;
  ASSERT_TRUE(ReadWholeFile(FixturePath(), bytes, why)) << why;
  const PeImage image = Parse(bytes);
  // The linker's own checksum agrees with ours.
  EXPECT_NE(image.checksum, 0u);
  EXPECT_EQ(ComputePeChecksum(image.bytes, image.optional_header_offset + 64), image.checksum);
  std::vector<PeResource> resources = ReadAll(image);
  // windres wrote: named type BLOB, icon, two string tables, named RCDATA, group icon, version,
  // manifest.
  ASSERT_EQ(resources.size(), 8u);
  EXPECT_EQ(resources[0].type.text, u"BLOB");
  EXPECT_EQ(resources[0].name.id, 7);
  EXPECT_EQ(resources[0].data, Bytes(std::string_view("a named type\0", 13)));
  const PeResource* config = nullptr;
  for (const PeResource& r : resources) {
    if (r.name.text == u"CONFIG") config = &r;
  }
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->type.id, 10);
  EXPECT_EQ(config->data, Bytes(std::string_view("config bytes\0", 13)));
  const PeResource* manifest = FindPeResource(resources, 24, 1);
  ASSERT_NE(manifest, nullptr);
  EXPECT_NE(std::string(manifest->data.begin(), manifest->data.end()).find("asInvoker"),
            std::string::npos);

  resources.push_back(Leaf(42, 42, 0, "{}"));
  resources.push_back(Leaf(256, 1, 0, std::string(70000, 'z')));
  PeWriteReport report;
  const PeImage after = WriteAndCheck(bytes, resources, report);
  EXPECT_FALSE(report.section_appended);
  EXPECT_EQ(after.sections.back().name, ".reloc");
  EXPECT_EQ(after.directories[kRelocationDirectory].rva, after.sections.back().virtual_address);
}

}  // namespace
}  // namespace boot
