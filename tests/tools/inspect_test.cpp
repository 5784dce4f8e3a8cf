// devsim inspect on devices damaged the way flash gets damaged (bits flipped
// in nand.img), on TOCs the device would reject, and on a raw dump built here
// byte by byte without the tool's help.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>

#include <nlohmann/json.hpp>

#include "ecc/ecc.h"
#include "sim/soc_state.h"
#include "tests/tools/inspect_support.h"
#include "tests/tools/tool_test_support.h"
#include "tools/devsim/block_map.h"
#include "tools/devsim/device_ops.h"

namespace tooltest {
namespace {


TEST(DevsimInspect, FreshDeviceShowsChipTocAreaAndRecord) {
  SmallDevice d({"--bad-blocks", "20"});
  Json j = InspectJson({d.dir});
  EXPECT_EQ("device", j.at("kind").get<std::string>());
  EXPECT_EQ("ec:73", j.at("chip").at("id").get<std::string>());
  EXPECT_EQ(1024, j.at("chip").at("blocks").get<int64_t>());
  EXPECT_EQ(1024 * 32 * 528, j.at("chip").at("imageBytes").get<int64_t>());
  ASSERT_EQ(1u, Items(j.at("badBlocks")));
  EXPECT_EQ(20, j.at("badBlocks").at(0).get<int64_t>());
  EXPECT_TRUE(j.at("toc").at("found").get<bool>());
  EXPECT_EQ(1, j.at("toc").at("block").get<int64_t>());
  EXPECT_EQ(32, j.at("toc").at("sector").get<int64_t>());
  EXPECT_EQ("4e 54 4f 43", j.at("toc").at("signature").get<std::string>());
  EXPECT_EQ(512, j.at("toc").at("sectorCount").get<int64_t>());
  EXPECT_EQ(2, j.at("toc").at("firstBlock").get<int64_t>());
  const Json& a = j.at("area");
  EXPECT_TRUE(a.at("usable").get<bool>());
  EXPECT_EQ(64, a.at("firstSector").get<int64_t>());
  EXPECT_EQ(16, a.at("blocks").get<int64_t>());
  EXPECT_EQ(4, a.at("counts").at("clean").get<int64_t>());
  EXPECT_EQ(508, a.at("counts").at("erased").get<int64_t>());
  ASSERT_EQ(1u, Items(a.at("erasedRanges")));
  EXPECT_EQ(4, a.at("erasedRanges").at(0).at(0).get<int64_t>());
  EXPECT_EQ(511, a.at("erasedRanges").at(0).at(1).get<int64_t>());
  EXPECT_EQ(0u, Items(a.at("notClean")));
  EXPECT_FALSE(j.at("record").is_null());
  EXPECT_EQ(0, j.at("record").at("violationCount").get<int64_t>());
  EXPECT_TRUE(j.at("record").at("error").is_null());

  ToolRun text = Devsim({"inspect", d.dir});
  ASSERT_EQ(0, text.exit) << text.All();
  EXPECT_NE(std::string::npos, text.out.find("TOC: block 1 (sector 32): signature 4e 54 4f 43, sector count 512"))
      << text.out;
  EXPECT_NE(std::string::npos, text.out.find("4 clean, 508 erased, 0 corrected, 0 uncorrectable")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("protocol checker: 0 violations")) << text.out;
}

TEST(DevsimInspect, DamageInTheAreaShowsAsEachSectorsState) {
  struct Case {
    const char* name;
    std::function<void(const std::string& img)> damage;  // on area index 1 (sector 65)
    const char* state;                                   // nullptr: erased
    const char* detail;
  } cases[] = {
      {"one data bit, first half", [](const std::string& i) { FlipBit(i, 65, 17, 3); }, "corrected",
       "data 0-255: ECC corrected data byte 17 bit 3"},
      {"one data bit, second half", [](const std::string& i) { FlipBit(i, 65, 511, 7); }, "corrected",
       "data 256-511: ECC corrected data byte 511 bit 7"},
      {"one bit of a stored code", [](const std::string& i) { FlipBit(i, 65, 525, 4); }, "corrected",
       "stored ECC (spare 12-14) has a flipped bit"},
      {"two data bits in one half",
       [](const std::string& i) {
         FlipBit(i, 65, 300, 1);
         FlipBit(i, 65, 301, 5);
       },
       "uncorrectable", "data 256-511: uncorrectable"},
      {"two data bits, one in each half",  // each half repairs its own
       [](const std::string& i) {
         FlipBit(i, 65, 3, 0);
         FlipBit(i, 65, 400, 2);
       },
       "corrected", "data 256-511: ECC corrected data byte 400 bit 2"},
      {"record not the boot record", [](const std::string& i) { SetByte(i, 65, 516, 0xFF); }, "wrong spare record",
       "spare record 00 00 00 00 ff 00 00 00"},
      {"erased", [](const std::string& i) { WritePage(i, 65, Bytes(kPage, 0xFF)); }, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallDevice d;
    c.damage(d.img);
    Json j = InspectJson({d.dir});
    const Json& a = j.at("area");
    const Json& e = Entry(a, 1);
    if (!c.state) {
      EXPECT_TRUE(e.is_null());
      EXPECT_EQ(509, a.at("counts").at("erased").get<int64_t>());
      ASSERT_EQ(2u, Items(a.at("erasedRanges")));
      EXPECT_EQ(1, a.at("erasedRanges").at(0).at(0).get<int64_t>());
      EXPECT_EQ(1, a.at("erasedRanges").at(0).at(1).get<int64_t>());
      continue;
    }
    ASSERT_FALSE(e.is_null()) << "index 1 not listed";
    EXPECT_EQ(65, e.at("sector").get<int64_t>());
    EXPECT_EQ(c.state, e.at("state").get<std::string>());
    const std::string detail = e.at("detail").get<std::string>();
    EXPECT_NE(std::string::npos, detail.find(c.detail)) << detail;
    EXPECT_EQ(3, a.at("counts").at("clean").get<int64_t>()) << "the other image sectors stay clean";
    EXPECT_EQ(1u, Items(a.at("notClean")));

    ToolRun text = Devsim({"inspect", d.dir});
    EXPECT_NE(std::string::npos, text.out.find(std::string("  index 1 (sector 65): ") + c.state + ": ")) << text.out;
  }
}

// Rewrites a sector's data keeping what a writer of that data would store.
void RewriteSector(const std::string& img, uint64_t sector, const Bytes& data, const uint8_t* record) {
  Bytes raw(kPage, 0xFF);
  std::memcpy(raw.data(), data.data(), 512);
  EccGenerate(&raw[0], &raw[520]);
  EccGenerate(&raw[256], &raw[524]);
  std::memcpy(&raw[512], record, 8);
  WritePage(img, sector, raw);
}

// A device made with some create options, its TOC sector possibly damaged,
// and what inspect has to say of its TOC and its area.
struct TocCase {
  const char* name;
  std::vector<std::string> create;
  std::function<void(const std::string& img)> damage;
  bool found;
  int64_t block;        // the block the device stops at; -1 none
  const char* problem;  // in toc.problem, or area.problem when found
};

// Where the marked block lies, inside blocks 1..100 or not.
std::vector<TocCase> TocPlacementCases() {
  return {
      {"no TOC", {"--no-toc"}, nullptr, false, -1, "no block in 1..100 has the boot spare record"},
      {"TOC at block 100", {"--toc-block", "100", "--boot-block", "101"}, nullptr, true, 100, ""},
      {"TOC at block 101", {"--toc-block", "101", "--boot-block", "102"}, nullptr, false, -1, "no block in 1..100"},
      {"TOC only at block 0", {"--toc-block", "0"}, nullptr, false, -1, "no block in 1..100"},
  };
}

// A marked TOC sector that is damaged or no TOC, and a record that is no mark.
std::vector<TocCase> TocSectorCases() {
  return {
      {"signature reversed",
       {},
       [](const std::string& i) {
         Bytes d = ReadPage(i, 32);
         d.resize(512);
         d[0] = 0x43, d[1] = 0x4F, d[2] = 0x54, d[3] = 0x4E;
         RewriteSector(i, 32, d, kBootRecord);
       },
       false,
       1,
       "begins 43 4f 54 4e, not the signature 4e 54 4f 43"},
      {"TOC sector uncorrectable",
       {},
       [](const std::string& i) {
         FlipBit(i, 32, 60, 0);
         FlipBit(i, 32, 61, 0);
       },
       false,
       1,
       "sector 32 cannot be read (data 0-255: uncorrectable"},
      {"lower of two marked blocks without signature",
       {"--toc-block", "7", "--boot-block", "8"},
       [](const std::string& i) { RewriteSector(i, 3 * 32, Bytes(512, 0), kBootRecord); },
       false,
       3,
       "TOC block 3: sector 96 begins 00 00 00 00"},
      {"record with bBadBlock 0xff is no mark",
       {"--toc-block", "7", "--boot-block", "8"},
       [](const std::string& i) {
         const uint8_t rec[8] = {0, 0, 0, 0, 0xFC, 0xFF, 0, 0};
         RewriteSector(i, 3 * 32, Bytes(512, 0), rec);
       },
       true,
       7,
       ""},
  };
}

// A TOC whose boot area the device cannot use.
std::vector<TocCase> AreaCases() {
  return {
      {"area not after the TOC",
       {"--toc-block", "4", "--boot-block", "4"},
       nullptr,
       true,
       4,
       "boot area at block 4, not after the TOC block 4"},
      {"area beyond the chip",
       {"--boot-block", "1020", "--boot-sectors", "129"},
       nullptr,
       true,
       1,
       "does not lie inside the device's 1024 blocks"},
      {"sector count that wraps",
       {"--boot-block", "2", "--boot-sectors", "0xffffffff"},
       nullptr,
       true,
       1,
       "does not lie inside"},
      {"area end that wraps in 32 bits",
       {"--boot-block", "0xffffffff", "--boot-sectors", "64"},
       nullptr,
       true,
       1,
       "does not lie inside"},
  };
}

void ExpectTocJudged(const TocCase& c) {
  SCOPED_TRACE(c.name);
  TempDir t;
  std::vector<std::string> args = {"create", t / "dev", "--chip", "ec:73"};
  args.insert(args.end(), c.create.begin(), c.create.end());
  ToolRun made = Devsim(args);
  ASSERT_EQ(0, made.exit) << made.All();
  if (c.damage) c.damage(t / "dev/nand.img");
  Json j = InspectJson({t / "dev"});
  const Json& toc = j.at("toc");
  EXPECT_EQ(c.found, toc.at("found").get<bool>());
  if (c.block >= 0)
    EXPECT_EQ(c.block, toc.at("block").get<int64_t>());
  else
    EXPECT_FALSE(toc.at("marked").get<bool>());
  if (!c.found) {
    const std::string problem = toc.at("problem").get<std::string>();
    EXPECT_NE(std::string::npos, problem.find(c.problem)) << problem;
    EXPECT_TRUE(j.at("area").is_null());
  } else if (*c.problem) {
    EXPECT_FALSE(j.at("area").at("usable").get<bool>());
    const std::string problem = j.at("area").at("problem").get<std::string>();
    EXPECT_NE(std::string::npos, problem.find(c.problem)) << problem;
  } else {
    EXPECT_TRUE(j.at("area").at("usable").get<bool>());
  }
}

TEST(DevsimInspect, TocTheDeviceWouldNotUseIsExplained) {
  for (const std::vector<TocCase>& group : {TocPlacementCases(), TocSectorCases(), AreaCases()})
    for (const TocCase& c : group) {
      ExpectTocJudged(c);
      if (::testing::Test::HasFatalFailure()) return;  // a device that could not be made
    }
}

// A raw dump of a 16 MiB chip as a programmer would read it, made here byte
// by byte: the tool has to find its TOC and judge its area by the on-flash
// format alone. Codes are chosen so no ECC computation is needed for the
// area: a half of all 0x00 or all 0xFF has the code ff ff ff.
struct HandMadeDump {
  TempDir t;
  std::string path = t / "dump.bin";
  Bytes raw = Bytes(1024ull * 32 * kPage, 0xFF);

  uint8_t* Page(uint64_t p) { return &raw[p * kPage]; }
  HandMadeDump() {
    // TOC at block 3: area at block 4, 4 sectors; its codes from the ECC.
    uint8_t* toc = Page(3 * 32);
    std::memset(toc, 0, 512);
    const uint8_t sig[4] = {'N', 'T', 'O', 'C'};
    std::memcpy(toc, sig, 4);
    toc[60] = 4;
    toc[176] = 4;
    EccGenerate(toc, toc + 520);
    EccGenerate(toc + 256, toc + 524);
    std::memcpy(toc + 512, kBootRecord, 8);
    toc[523] = 0x5A;  // spare 11 and 15 mean nothing
    toc[527] = 0xA5;
    // Area index 0 and 1: zero data; index 2: 0xFF data with the boot
    // record (written, though its data looks erased); index 3 erased.
    for (int i = 0; i < 3; ++i) {
      uint8_t* p = Page(4 * 32 + i);
      if (i < 2) std::memset(p, 0x00, 512);
      std::memcpy(p + 512, kBootRecord, 8);
    }
    // Something outside the area that must not matter.
    std::memset(Page(200), 0x00, kPage);
    WriteBytes(path, raw);
  }
};

TEST(DevsimInspect, ReadsARawDumpItDidNotMake) {
  HandMadeDump dump;
  for (const std::vector<std::string>& chip : std::vector<std::vector<std::string>>{{}, {"--chip", "ad:73"}}) {
    SCOPED_TRACE(testing::PrintToString(chip));
    std::vector<std::string> args = {dump.path};
    args.insert(args.end(), chip.begin(), chip.end());
    Json j = InspectJson(args);
    EXPECT_EQ("image", j.at("kind").get<std::string>());
    EXPECT_EQ(chip.empty() ? "ec:73" : "ad:73", j.at("chip").at("id").get<std::string>());
    EXPECT_TRUE(j.at("record").is_null());
    EXPECT_TRUE(j.at("badBlocks").is_null());
    EXPECT_TRUE(j.at("toc").at("found").get<bool>()) << j.at("toc").at("problem");
    EXPECT_EQ(3, j.at("toc").at("block").get<int64_t>());
    EXPECT_EQ(4, j.at("toc").at("sectorCount").get<int64_t>());
    EXPECT_EQ(4, j.at("toc").at("firstBlock").get<int64_t>());
    EXPECT_EQ("", j.at("toc").at("ecc").get<std::string>());
    const Json& a = j.at("area");
    EXPECT_TRUE(a.at("usable").get<bool>());
    EXPECT_EQ(128, a.at("firstSector").get<int64_t>());
    EXPECT_EQ(3, a.at("counts").at("clean").get<int64_t>());
    EXPECT_EQ(1, a.at("counts").at("erased").get<int64_t>());
    EXPECT_EQ(0u, Items(a.at("notClean")));
  }

  // Its content, through verify and extract: 1024 zero bytes, then 0xFF.
  Bytes expected(1024, 0x00);
  expected.resize(1536, 0xFF);
  WriteBytes(dump.t / "expected.bin", expected);
  ToolRun v = Devsim({"verify", dump.path, dump.t / "expected.bin"});
  EXPECT_EQ(0, v.exit) << v.All();
  ToolRun x = Devsim({"extract", dump.path, "-o", dump.t / "out.bin"});
  EXPECT_EQ(0, x.exit) << x.All();
  Bytes out = ReadBytes(dump.t / "out.bin");
  expected.resize(2048, 0xFF);
  EXPECT_EQ(expected, out) << DiffBytes(expected, out);
}

// A dump already in memory (how the fuzz target reads one) is read as its
// file is: the same report, the same refusals, and nothing written to it.
TEST(DevsimInspect, ADumpInMemoryReadsAsItsFile) {
  HandMadeDump dump;
  devsim::NandImage file, memory;
  std::string err;
  ASSERT_TRUE(file.OpenBare(dump.path, std::nullopt, false, &err)) << err;
  ASSERT_TRUE(memory.OpenBareBytes(dump.path, dump.raw.data(), dump.raw.size(), std::nullopt, &err)) << err;
  const devsim::InspectReport fromFile = devsim::InspectImage(file, std::nullopt);
  const devsim::InspectReport fromMemory = devsim::InspectImage(memory, std::nullopt);
  EXPECT_EQ(devsim::InspectJson(file, fromFile), devsim::InspectJson(memory, fromMemory));
  EXPECT_EQ(devsim::InspectText(file, fromFile), devsim::InspectText(memory, fromMemory));
  EXPECT_TRUE(fromMemory.toc.found);
  EXPECT_EQ(devsim::MapBlocks(file, fromFile), devsim::MapBlocks(memory, fromMemory));

  // A block's pages at once, as the map reads them: from the file and from
  // memory the bytes the dump holds there, and none past the chip's end.
  std::vector<uint8_t> buffer;
  const uint64_t pages = file.Shape().Pages();
  for (uint64_t first : {uint64_t(0), uint64_t(32), pages - 32}) {
    SCOPED_TRACE(first);
    const uint8_t* got = file.ReadPages(first, 32, &buffer, &err);
    ASSERT_NE(nullptr, got) << err;
    EXPECT_EQ(0, memcmp(dump.raw.data() + first * kPage, got, 32 * kPage));
    got = memory.ReadPages(first, 32, &buffer, &err);
    ASSERT_NE(nullptr, got) << err;
    EXPECT_EQ(dump.raw.data() + first * kPage, got) << "an image in memory is not copied";
  }
  EXPECT_EQ(nullptr, file.ReadPages(pages - 31, 32, &buffer, &err));
  EXPECT_NE(std::string::npos, err.find("beyond")) << err;
  EXPECT_EQ(nullptr, memory.ReadPages(pages, 1, &buffer, &err));

  Bytes page(kPage, 0x00);
  EXPECT_FALSE(memory.WritePage(0, page.data(), &err));
  EXPECT_NE(std::string::npos, err.find("in memory")) << err;
  EXPECT_TRUE(AllFF(dump.raw.data(), kPage)) << "the bytes are only read";

  devsim::NandImage shorter;
  std::string fileErr;
  EXPECT_FALSE(shorter.OpenBareBytes("dump.bin", dump.raw.data(), dump.raw.size() - 1, std::nullopt, &err));
  WriteBytes(dump.t / "short.bin", Bytes(dump.raw.begin(), dump.raw.end() - 1));
  EXPECT_FALSE(file.OpenBare(dump.t / "short.bin", std::nullopt, false, &fileErr));
  EXPECT_EQ(fileErr.substr(fileErr.find(" has ")), err.substr(err.find(" has ")));
}

TEST(DevsimInspect, ImagesOfNoChipOrTheWrongChipAreRefused) {
  HandMadeDump dump;
  Bytes longer = dump.raw;
  longer.push_back(0xFF);
  WriteBytes(dump.t / "long.bin", longer);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"inspect", dump.t / "long.bin"}, "has 17301505 bytes, the raw image (pages of 528 or 2112 bytes) of no chip"},
      {{"inspect", dump.path, "--chip", "ec:76"}, "chip ec:76 needs 69206016"},
      {{"inspect", dump.t / "none.bin"}, "cannot open " + dump.t / "none.bin"},
      {{"inspect", dump.t.Path()}, "nand.cfg"},
      {{"inspect", dump.path, "--chip", "76"}, "bad chip '76'"},
  };
  for (const Case& c : cases) {
    ToolRun r = Devsim(c.args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.All();
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

TEST(DevsimInspect, AreaOptionLooksAtSectorsWithoutAToc) {
  SmallDevice d({"--no-toc"});
  Json j = InspectJson({d.dir, "--area", "2:6"});
  EXPECT_FALSE(j.at("toc").at("found").get<bool>());
  EXPECT_EQ("option", j.at("area").at("source").get<std::string>());
  EXPECT_EQ(4, j.at("area").at("counts").at("clean").get<int64_t>());
  EXPECT_EQ(2, j.at("area").at("counts").at("erased").get<int64_t>());
}

// What the simulation remembers of a device's runs, as the models leave it in
// soc.state, comes out of inspect as it is.
TEST(DevsimInspect, ShowsTheCheckerRecordAndTheSimulatedClock) {
  SmallDevice d;
  std::unique_ptr<sim::SocHeader> h(new sim::SocHeader());
  h->magic = sim::kSocStateMagic;
  h->version = sim::kSocStateVersion;
  h->clock.nowNs = 123456789;
  h->clock.chipBusyNs = 4567;
  h->chip.ops = 42;
  h->power.poweredOff = 1;
  h->checker.count = 3;
  h->checker.stored = 1;
  std::snprintf(h->checker.first[0].text, sizeof(h->checker.first[0].text), "NAND_CMD written without the bus");
  const uint8_t* p = reinterpret_cast<const uint8_t*>(h.get());
  WriteBytes(d.dir + "/soc.state", Bytes(p, p + sizeof(sim::SocHeader)));

  Json j = InspectJson({d.dir});
  const Json& r = j.at("record");
  EXPECT_EQ(123456789, r.at("clockNs").get<int64_t>());
  EXPECT_EQ(4567, r.at("chipBusyNs").get<int64_t>());
  EXPECT_EQ(42, r.at("chipOps").get<int64_t>());
  EXPECT_TRUE(r.at("poweredOff").get<bool>());
  EXPECT_EQ(3, r.at("violationCount").get<int64_t>());
  ASSERT_EQ(1u, Items(r.at("violations")));
  const std::string violation = r.at("violations").at(0).get<std::string>();
  EXPECT_NE(std::string::npos, violation.find("NAND_CMD written without the bus")) << violation;

  ToolRun text = Devsim({"inspect", d.dir});
  EXPECT_EQ(0, text.exit) << text.All();
  EXPECT_NE(std::string::npos, text.out.find("protocol checker: 3 violations")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("NAND_CMD written without the bus")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("simulated clock: 123456789 ns")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("power lost")) << text.out;

  // A state that is not one: everything else is still shown, and the exit
  // code says the input could not all be read.
  WriteBytes(d.dir + "/soc.state", Bytes(100, 0x55));
  ToolRun bad = Devsim({"inspect", d.dir});
  EXPECT_EQ(2, bad.exit) << bad.All();
  EXPECT_NE(std::string::npos, bad.out.find("4 clean")) << bad.out;
  EXPECT_NE(std::string::npos, bad.err.find("soc.state")) << bad.All();
}

}  // namespace
}  // namespace tooltest
