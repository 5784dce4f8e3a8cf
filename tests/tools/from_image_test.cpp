// devsim create --from-image: a device whose chip is a dump read off a real
// chip. The dumps are written here byte by byte, as a programmer reads them,
// without devsim create's own writer; what is judged is the copy in nand.img,
// the bad blocks in nand.cfg, and what inspect and verify read on the device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "ecc/ecc.h"
#include "sim/nand_cfg.h"
#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

constexpr uint64_t k16MiBDump = 1024ull * 32 * kPage;  // ec:73

sim::NandConfig LoadCfg(const std::string& dir) {
  sim::NandConfig cfg;
  std::string err;
  EXPECT_TRUE(sim::ParseNandConfig(ReadText(dir + "/nand.cfg"), "nand.cfg", &cfg, &err)) << err;
  return cfg;
}

// A 16 MiB chip as it comes off a handheld: block 0 a loader of its own, the
// TOC at block 1 naming a 64-sector boot area at block 2 that holds a 30-sector
// boot loader, file-system pages further up, and blocks marked bad by the
// maker (block 7, both pages, as devsim create marks them) and by the system
// (block 300, only its second page, another value than 0).
//
// Three blocks carry spare byte 5 = 0 without being bad: the TOC block and
// the first area block (the whole boot record), block 3 of the area whose
// first page has a half-written record (00 00 00 00 ff 00 00 00: the 0xFC
// never came), and block 10, an old boot area the TOC no longer names
// (whole records).
struct ChipDump {
  TempDir t;
  std::string path = t / "chip.bin";
  std::string bootImage = t / "old.nb0";
  Bytes raw = Bytes(k16MiBDump, 0xFF);
  Bytes oldBoot = PseudoRandom(30 * 512 - 100, 31);

  uint8_t* Page(uint64_t p) { return &raw[p * kPage]; }

  // A sector as the device's software programs it: data, the codes of its
  // halves at spare 8-10 and 12-14, the record at spare 0-7.
  void Program(uint64_t p, const uint8_t* data, const uint8_t* record) {
    uint8_t* page = Page(p);
    std::memcpy(page, data, 512);
    EccGenerate(data, page + 520);
    EccGenerate(data + 256, page + 524);
    std::memcpy(page + 512, record, 8);
  }

  ChipDump() {
    Bytes loader = PseudoRandom(512, 1);
    const uint8_t loaderRecord[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (uint64_t p = 0; p < 4; ++p) Program(p, loader.data(), loaderRecord);

    Bytes toc(512, 0);
    const uint8_t sig[4] = {'N', 'T', 'O', 'C'};
    std::memcpy(toc.data(), sig, 4);
    toc[60] = 64;     // sectors
    toc[176] = 2;     // first block
    toc[100] = 0x17;  // not read by the device
    Program(32, toc.data(), kBootRecord);

    for (uint64_t i = 0; i < 30; ++i) {
      uint8_t chunk[512];
      std::memset(chunk, 0xFF, sizeof(chunk));
      const size_t n = std::min<size_t>(512, oldBoot.size() - i * 512);
      std::memcpy(chunk, oldBoot.data() + i * 512, n);
      Program(64 + i, chunk, kBootRecord);
    }
    // Area index 32, the first page of block 3.
    const uint8_t halfWritten[8] = {0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
    std::memcpy(Page(3 * 32) + 512, halfWritten, 8);

    Bytes stale = PseudoRandom(512, 2);
    for (uint64_t p = 10 * 32; p < 10 * 32 + 32; ++p) Program(p, stale.data(), kBootRecord);

    for (uint64_t p = 20 * 32; p < 31 * 32; ++p) {
      Bytes data = PseudoRandom(512, uint32_t(p));
      const uint8_t fsRecord[8] = {uint8_t(p), uint8_t(p >> 8), 0, 0, 0xFF, 0xFF, 0x01, 0x00};
      Program(p, data.data(), fsRecord);
    }

    Page(7 * 32)[517] = 0x00;
    Page(7 * 32 + 1)[517] = 0x00;
    Page(300 * 32 + 1)[517] = 0xF0;

    WriteBytes(path, raw);
    WriteBytes(bootImage, oldBoot);
  }
};

TEST(DevsimFromImage, TakesTheDumpAsItIsWithItsBadBlocks) {
  ChipDump dump;
  const std::string dev = dump.t / "dev";
  ToolRun r = Devsim({"create", dev, "--from-image", dump.path});
  ASSERT_EQ(0, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.out.find("chip ec:73 by its size")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("TOC: block 1 (sector 32): boot area at block 2, 64 sectors")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("bad blocks (from their marks): 7 300\n")) << r.out;

  Bytes img = ReadBytes(dev + "/nand.img");
  EXPECT_TRUE(img == dump.raw) << "nand.img is not the dump" << DiffBytes(dump.raw, img);
  Bytes after = ReadBytes(dump.path);
  EXPECT_TRUE(after == dump.raw) << "the dump was changed" << DiffBytes(dump.raw, after);

  sim::NandConfig cfg = LoadCfg(dev);
  EXPECT_EQ(0xECu, cfg.maker);
  EXPECT_EQ(0x73u, cfg.device);
  EXPECT_EQ((std::vector<uint32_t>{7, 300}), cfg.badBlocks) << "not the TOC block 1, the area 2-3, nor block 10";
  EXPECT_FALSE(cfg.HasFaults());
  EXPECT_TRUE(IsDir(dev + "/SDMMC Disk"));
  EXPECT_TRUE(IsDir(dev + "/windows"));

  ToolRun ins = Devsim({"inspect", dev, "--json"});
  ASSERT_EQ(0, ins.exit) << ins.All();
  nlohmann::json j = nlohmann::json::parse(ins.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << ins.out;
  EXPECT_EQ("device", j.at("kind").get<std::string>());
  EXPECT_EQ((std::vector<uint32_t>{7, 300}), j.at("badBlocks").get<std::vector<uint32_t>>());
  EXPECT_TRUE(j.at("toc").at("found").get<bool>()) << j.at("toc");
  EXPECT_EQ(1, j.at("toc").at("block").get<int>());
  const nlohmann::json& area = j.at("area");
  EXPECT_TRUE(area.at("usable").get<bool>()) << area;
  EXPECT_EQ(30, area.at("counts").at("clean").get<int>()) << area;
  EXPECT_EQ(1, area.at("counts").at("wrongSpare").get<int>()) << "the half-written record\n" << area;
  EXPECT_EQ(33, area.at("counts").at("erased").get<int>()) << area;

  ToolRun v = Devsim({"verify", dev, dump.bootImage});
  EXPECT_EQ(0, v.exit) << v.All();
  EXPECT_NE(std::string::npos, v.out.find("verify: OK: 30 sectors")) << v.out;
  // A different image fails, so the OK above was earned.
  WriteBytes(dump.t / "other.nb0", PseudoRandom(512, 99));
  EXPECT_EQ(1, Devsim({"verify", dev, dump.t / "other.nb0"}).exit);
}

TEST(DevsimFromImage, ChipOptionNamesTheMakerOrRefusesAnotherSize) {
  ChipDump dump;
  ToolRun given = Devsim({"create", dump.t / "dev", "--from-image", dump.path, "--chip", "98:73"});
  ASSERT_EQ(0, given.exit) << given.All();
  EXPECT_NE(std::string::npos, given.out.find("chip 98:73 as given")) << given.out;
  EXPECT_EQ(0x98u, LoadCfg(dump.t / "dev").maker);
  EXPECT_EQ(0x73u, LoadCfg(dump.t / "dev").device);
  EXPECT_EQ((std::vector<uint32_t>{7, 300}), LoadCfg(dump.t / "dev").badBlocks);

  // A chip off the table is taken (the driver will refuse it) when the size fits.
  ToolRun unknown = Devsim({"create", dump.t / "dev2", "--from-image", dump.path, "--chip", "2c:73"});
  ASSERT_EQ(0, unknown.exit) << unknown.All();
  EXPECT_NE(std::string::npos, unknown.out.find("2c:73 is not in the chip table")) << unknown.out;

  ToolRun wrong = Devsim({"create", dump.t / "dev3", "--from-image", dump.path, "--chip", "ec:75"});
  EXPECT_EQ(2, wrong.exit) << wrong.All();
  EXPECT_NE(std::string::npos, wrong.err.find("chip ec:75 needs 34603008")) << wrong.All();
  EXPECT_FALSE(IsDir(dump.t / "dev3"));
}

TEST(DevsimFromImage, DumpWithoutATocIsTakenAsItIsAndSaysSo) {
  TempDir t;
  Bytes raw(k16MiBDump, 0xFF);
  raw[5 * 32 * kPage + 517] = 0x00;  // a factory mark on block 5, page 0 only
  WriteBytes(t / "blank.bin", raw);
  ToolRun r = Devsim({"create", t / "dev", "--from-image", t / "blank.bin"});
  ASSERT_EQ(0, r.exit) << r.All();
  size_t tocLines = 0;
  for (size_t at = r.out.find("TOC"); at != std::string::npos; at = r.out.find("TOC", at + 1)) ++tocLines;
  EXPECT_EQ(1u, tocLines) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("TOC: none: no block in 1..100 has the boot spare record 00 00 00 00 fc 00 00 00 in its first "
                       "sector; taken as it is, the updater will not find the boot area\n"))
      << r.out;
  EXPECT_TRUE(ReadBytes(t / "dev/nand.img") == raw);
  EXPECT_EQ((std::vector<uint32_t>{5}), LoadCfg(t / "dev").badBlocks);
  ToolRun ins = Devsim({"inspect", t / "dev"});
  EXPECT_EQ(0, ins.exit) << ins.All();
  EXPECT_NE(std::string::npos, ins.out.find("TOC: not found")) << ins.out;
}

TEST(DevsimFromImage, RefusedDumpsAndOptionsLeaveNoDevice) {
  TempDir t;
  WriteBytes(t / "short.bin", Bytes(k16MiBDump - kPage, 0xFF));
  // A dump of a large-page chip's size; sparse, nothing in it is read.
  const std::string large = t / "large.bin";
  WriteBytes(large, Bytes());
  ASSERT_EQ(0, truncate(large.c_str(), off_t(2048ull * 64 * 2112)));
  WriteBytes(t / "ok.bin", Bytes(k16MiBDump, 0xFF));
  WriteBytes(t / "eboot.nb0", Bytes(512, 1));

  struct Case {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"--from-image", t / "short.bin"},
       "has 17300976 bytes, the raw image (pages of 528 or 2112 bytes) of no chip in the chip table"},
      {{"--from-image", large}, "--from-image takes dumps of the small-page chips"},
      {{"--from-image", t / "missing.bin"}, "cannot open " + t / "missing.bin"},
      {{"--from-image", t.Path()}, "is not a regular file"},
      {{"--from-image", t / "ok.bin", "--chip", "ec"}, "bad chip 'ec'"},
      {{"--from-image", t / "ok.bin", "--fill"}, "--fill shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--boot-image", t / "eboot.nb0"}, "--boot-image shapes a new flash"},
      {{"--toc-block", "3", "--from-image", t / "ok.bin"}, "--toc-block shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--boot-block", "4"}, "--boot-block shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--boot-sectors", "4"}, "--boot-sectors shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--no-toc"}, "--no-toc shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--bad-blocks", "9"}, "--bad-blocks shapes a new flash"},
      {{"--from-image", t / "ok.bin", "--from-image", t / "ok.bin"}, "--from-image given twice"},
  };
  for (const Case& c : cases) ExpectCreateRefused(t, c.options, c.message);
}

// The dump read back into its own device folder is not lost to the copy.
TEST(DevsimFromImage, RefusesToCopyADumpOntoItself) {
  TempDir t;
  Bytes raw(k16MiBDump, 0xFF);
  raw[12345] = 0x42;
  WriteBytes(t / "dump.bin", raw);
  ASSERT_EQ(0, Devsim({"create", t / "dev", "--from-image", t / "dump.bin"}).exit);
  ToolRun again = Devsim({"create", t / "dev", "--from-image", t / "dev/nand.img"});
  EXPECT_EQ(2, again.exit) << again.All();
  EXPECT_NE(std::string::npos, again.err.find("already holds a device")) << again.All();
  ToolRun forced = Devsim({"create", t / "dev", "--from-image", t / "dev/nand.img", "--force"});
  EXPECT_EQ(2, forced.exit) << forced.All();
  EXPECT_NE(std::string::npos, forced.err.find("is " + t / "dev/nand.img" + " itself")) << forced.All();
  EXPECT_TRUE(ReadBytes(t / "dev/nand.img") == raw) << "the dump was damaged";
}

}  // namespace
}  // namespace tooltest
