// devsim inspect --map: the chip as a map of blocks, as text and as a picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

// The row of the text map that starts at block 0, without its block number.
std::string FirstRow(const std::string& map) {
  std::string row = map.substr(0, map.find('\n'));
  return row.substr(row.find_first_not_of(' ', row.find(' ', row.find_first_not_of(' '))));
}

// A 16 MiB device (1024 blocks): TOC at block 1, a 40-sector boot loader in
// the two-block area at 2-3, a factory bad block at 6, data in block 8 only.
struct MapDevice {
  TempDir t;
  std::string dir = t / "dev";
  std::string img = dir + "/nand.img";
  MapDevice() {
    WriteBytes(t / "eboot.nb0", PseudoRandom(40 * 512, 9));
    ToolRun r = Devsim({"create", dir, "--chip", "ec:73", "--boot-sectors", "64", "--boot-image", t / "eboot.nb0",
                        "--bad-blocks", "6"});
    EXPECT_EQ(0, r.exit) << r.All();
    WritePage(img, 8 * 32 + 3, Bytes(528, 0x5A));
  }
  std::string Map() {
    ToolRun r = Devsim({"inspect", dir, "--map"});
    EXPECT_EQ(0, r.exit) << r.All();
    return r.out;
  }
};

TEST(DevsimMap, TextMapNamesEveryKindOfBlock) {
  MapDevice d;
  std::string map = d.Map();
  std::string row = FirstRow(map);
  ASSERT_EQ(128u, row.size()) << map;
  EXPECT_EQ(".TBB..X.d.", row.substr(0, 10)) << map;
  EXPECT_EQ(std::string(118, '.'), row.substr(10)) << map;
  EXPECT_EQ(8u, std::count(map.begin(), map.end(), '\n') - 1) << "1024 blocks, 128 a row, then the legend\n" << map;
  EXPECT_NE(std::string::npos, map.find("legend: . erased; d other data; X factory bad; T TOC;")) << map;

  // The second block of the area partly written: still written. A flipped
  // data bit makes its block "corrected"; a whole page of zeros "uncorrectable".
  FlipBit(d.img, 2 * 32 + 5, 100, 3);
  EXPECT_EQ(".TcB", FirstRow(d.Map()).substr(0, 4));
  WritePage(d.img, 3 * 32 + 1, Bytes(528, 0x00));
  EXPECT_EQ(".TcU", FirstRow(d.Map()).substr(0, 4));
}

TEST(DevsimMap, AnErasedAreaAndABareImage) {
  TempDir t;
  ASSERT_EQ(0, Devsim({"create", t / "dev", "--chip", "ec:73", "--boot-sectors", "40"}).exit);
  ToolRun dev = Devsim({"inspect", t / "dev", "--map"});
  ASSERT_EQ(0, dev.exit) << dev.All();
  EXPECT_EQ(".Tee.", FirstRow(dev.out).substr(0, 5)) << dev.out;
  // The same flash as a bare dump: its size names the chip.
  ToolRun bare = Devsim({"inspect", t / "dev/nand.img", "--map"});
  ASSERT_EQ(0, bare.exit) << bare.All();
  EXPECT_EQ(dev.out, bare.out);
}

TEST(DevsimMap, PictureHasOneSquareABlockAndItsLegend) {
  MapDevice d;
  ToolRun r = Devsim({"inspect", d.dir, "--map", d.t / "map.png"});
  ASSERT_EQ(0, r.exit) << r.All();
  Bytes png = ReadBytes(d.t / "map.png");
  ASSERT_GT(png.size(), 33u);
  const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(Bytes(signature, signature + 8), Bytes(png.begin(), png.begin() + 8));
  // IHDR: width = 64 blocks of 6 pixels; height = 1024 / 64 rows, a blank
  // row and the legend row, 6 pixels each.
  auto be32 = [&](size_t at) { return uint32_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]; };
  EXPECT_EQ(64u * 6, be32(16));
  EXPECT_EQ((1024u / 64 + 2) * 6, be32(20));
}

TEST(DevsimMap, RefusedWithJsonAndOnAFileThatCannotBeWritten) {
  MapDevice d;
  EXPECT_EQ(2, Devsim({"inspect", d.dir, "--map", "--json"}).exit);
  EXPECT_EQ(2, Devsim({"inspect", d.dir, "--map", "/nonexistent-dir/map.png"}).exit);
}

}  // namespace
}  // namespace tooltest
