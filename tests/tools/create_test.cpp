// devsim create, judged by the bytes it leaves in nand.img and the keys in
// nand.cfg: what the device's driver and chip model will meet.
#include <gtest/gtest.h>

#include <cstring>

#include "ecc/ecc.h"
#include "sim/nand_cfg.h"
#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

// A sector as the device's software programs it: data, the two codes at
// spare 8-10 and 12-14, the record at spare 0-7; 11 and 15 never programmed.
Bytes DriverPage(const uint8_t* data, const uint8_t* record) {
  Bytes raw(kPage, 0xFF);
  std::memcpy(raw.data(), data, 512);
  EccGenerate(data, &raw[520]);
  EccGenerate(data + 256, &raw[524]);
  if (record) std::memcpy(&raw[512], record, 8);
  return raw;
}

Bytes TocData(uint32_t sectorCount, uint32_t firstBlock) {
  Bytes d(512, 0);
  d[0] = 0x4E, d[1] = 0x54, d[2] = 0x4F, d[3] = 0x43;
  for (int i = 0; i < 4; ++i) {
    d[60 + i] = uint8_t(sectorCount >> (8 * i));
    d[176 + i] = uint8_t(firstBlock >> (8 * i));
  }
  return d;
}

sim::NandConfig LoadCfg(const std::string& dir) {
  sim::NandConfig cfg;
  std::string err;
  EXPECT_TRUE(sim::ParseNandConfig(ReadText(dir + "/nand.cfg"), "nand.cfg", &cfg, &err)) << err;
  return cfg;
}

// Every page of the image not in `except` is erased.
void ExpectErasedExcept(const Bytes& img, const std::vector<uint64_t>& except) {
  uint64_t bad = 0;
  for (uint64_t p = 0; p < img.size() / kPage; ++p) {
    bool skip = false;
    for (uint64_t e : except) skip = skip || e == p;
    if (skip || AllFF(&img[p * kPage], kPage)) continue;
    if (bad++ < 5) ADD_FAILURE() << "page " << p << " is not erased";
  }
  EXPECT_EQ(0u, bad) << "pages not erased";
}

Bytes PageOf(const Bytes& img, uint64_t p) { return Bytes(img.begin() + p * kPage, img.begin() + (p + 1) * kPage); }

TEST(DevsimCreate, DefaultDeviceIsAnErasedChipWithTheTocOnly) {
  TempDir t;
  const std::string dev = t / "dev";
  ToolRun r = Devsim({"create", dev});
  ASSERT_EQ(0, r.exit) << r.All();

  Bytes img = ReadBytes(dev + "/nand.img");
  ASSERT_EQ(4096ull * 32 * kPage, img.size());
  Bytes toc = TocData(512, 2);
  EXPECT_EQ(DriverPage(toc.data(), kBootRecord), PageOf(img, 32))
      << DiffBytes(DriverPage(toc.data(), kBootRecord), PageOf(img, 32));
  ExpectErasedExcept(img, {32});

  sim::NandConfig cfg = LoadCfg(dev);
  EXPECT_EQ(0xECu, cfg.maker);
  EXPECT_EQ(0x76u, cfg.device);
  EXPECT_TRUE(cfg.badBlocks.empty());
  EXPECT_FALSE(cfg.HasFaults());
  EXPECT_TRUE(IsDir(dev + "/SDMMC Disk"));
  EXPECT_TRUE(IsDir(dev + "/windows"));
}

TEST(DevsimCreate, ChipAndTocOptionsShapeTheImage) {
  struct Case {
    std::vector<std::string> options;
    uint32_t blocks;
    int64_t tocBlock;  // -1: none
    uint32_t sectorCount, firstBlock;
  } cases[] = {
      {{"--chip", "ec:73"}, 1024, 1, 512, 2},
      {{"--chip", "98:75", "--toc-block", "100", "--boot-block", "0x65", "--boot-sectors", "64"}, 2048, 100, 64, 101},
      {{"--chip", "ad:73", "--no-toc"}, 1024, -1, 0, 0},
      // Fields that do not fit the chip are still written as given: the
      // device's own checks are what is tested with them.
      {{"--chip", "ec:73", "--toc-block", "3", "--boot-block", "0xffffffff", "--boot-sectors", "4294967295"},
       1024,
       3,
       0xFFFFFFFF,
       0xFFFFFFFF},
      {{"--chip", "ec:73", "--toc-block", "0", "--boot-block", "0"}, 1024, 0, 512, 0},
      // Numbers are decimal unless 0x-prefixed: a leading zero is no octal.
      {{"--chip=ec:73", "--toc-block=010", "--boot-block", "011", "--boot-sectors", "0X20"}, 1024, 10, 32, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.options));
    TempDir t;
    std::vector<std::string> args = {"create", t / "dev"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ToolRun r = Devsim(args);
    ASSERT_EQ(0, r.exit) << r.All();
    Bytes img = ReadBytes(t / "dev/nand.img");
    ASSERT_EQ(uint64_t(c.blocks) * 32 * kPage, img.size());
    std::vector<uint64_t> written;
    if (c.tocBlock >= 0) {
      Bytes toc = TocData(c.sectorCount, c.firstBlock);
      uint64_t p = uint64_t(c.tocBlock) * 32;
      EXPECT_EQ(DriverPage(toc.data(), kBootRecord), PageOf(img, p));
      written.push_back(p);
    }
    ExpectErasedExcept(img, written);
  }
}

TEST(DevsimCreate, BootImageIsWrittenSectorBySectorAsTheUpdaterDoes) {
  for (size_t size : {size_t(0), size_t(1), size_t(511), size_t(512), size_t(1000), size_t(1536)}) {
    SCOPED_TRACE(size);
    TempDir t;
    Bytes image = PseudoRandom(size, uint32_t(size) + 7);
    WriteBytes(t / "eboot.nb0", image);
    ToolRun r = Devsim({"create", t / "dev", "--chip", "ec:73", "--boot-block", "5", "--boot-sectors", "40",
                        "--boot-image", t / "eboot.nb0"});
    ASSERT_EQ(0, r.exit) << r.All();
    Bytes img = ReadBytes(t / "dev/nand.img");
    const uint64_t sectors = (size + 511) / 512;
    std::vector<uint64_t> written = {32};
    for (uint64_t i = 0; i < sectors; ++i) {
      uint8_t chunk[512];
      std::memset(chunk, 0xFF, sizeof(chunk));
      std::memcpy(chunk, image.data() + i * 512, std::min<size_t>(512, size - i * 512));
      // The area at block 5: index 0 is sector 160.
      Bytes want = DriverPage(chunk, kBootRecord);
      EXPECT_EQ(want, PageOf(img, 160 + i)) << "index " << i << DiffBytes(want, PageOf(img, 160 + i));
      written.push_back(160 + i);
    }
    ExpectErasedExcept(img, written);
  }
}

TEST(DevsimCreate, FillMarksEveryGoodBlockOutsideTheTocBlockAndTheArea) {
  TempDir t;
  const std::string dev = t / "dev";
  WriteBytes(t / "eboot.nb0", PseudoRandom(700, 1));
  ToolRun r = Devsim({"create", dev, "--chip", "ec:73", "--fill", "--bad-blocks", "40,1023", "--boot-sectors", "40",
                      "--boot-image", t / "eboot.nb0"});
  ASSERT_EQ(0, r.exit) << r.All();
  Bytes img = ReadBytes(dev + "/nand.img");
  ASSERT_EQ(1024ull * 32 * kPage, img.size());
  // The area (block 2, 40 sectors) covers blocks 2 and 3; its sectors after
  // the image stay erased.
  for (uint64_t p = 66; p < 128; ++p) EXPECT_TRUE(AllFF(&img[p * kPage], kPage)) << "area sector " << p;
  for (uint64_t p = 33; p < 64; ++p) EXPECT_TRUE(AllFF(&img[p * kPage], kPage)) << "TOC block page " << p;
  for (uint32_t bad : {40u, 1023u}) {
    for (uint32_t p = 0; p < 32; ++p) {
      Bytes want(kPage, 0xFF);
      if (p < 2) want[512 + 5] = 0x00;
      EXPECT_EQ(want, PageOf(img, bad * 32 + p)) << "bad block " << bad << " page " << p;
    }
  }
  std::vector<uint8_t> previous;
  for (uint32_t b : {0u, 4u, 39u, 41u, 1022u}) {
    for (uint32_t p = 0; p < 32; ++p) {
      const uint64_t sector = uint64_t(b) * 32 + p;
      Bytes page = PageOf(img, sector);
      SCOPED_TRACE("block " + std::to_string(b) + " page " + std::to_string(p));
      // Readable through the page ECC, recognisable, and not a boot record.
      EXPECT_EQ(ECC_NO_ERROR, EccCorrect(&page[0], &page[520]));
      EXPECT_EQ(ECC_NO_ERROR, EccCorrect(&page[256], &page[524]));
      std::string text(page.begin(), page.begin() + 512);
      EXPECT_NE(std::string::npos, text.find("block " + std::to_string(b) + " page " + std::to_string(p) + " "));
      EXPECT_EQ(sector, Le32(&page[512]));
      EXPECT_EQ(0xFF, page[516]);
      EXPECT_EQ(0xFF, page[517]);
      EXPECT_NE(previous, Bytes(page.begin(), page.begin() + 512));
      previous.assign(page.begin(), page.begin() + 512);
    }
  }
  EXPECT_EQ((std::vector<uint32_t>{40, 1023}), LoadCfg(dev).badBlocks);
}

TEST(DevsimCreate, LargePageChipGetsAnErasedImageOfItsSizeAndNoToc) {
  TempDir t;
  ToolRun r = Devsim({"create", t / "dev", "--chip", "98:da", "--bad-blocks", "3"});
  ASSERT_EQ(0, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.out.find("TOC: none")) << r.out;
  const std::string img = t / "dev/nand.img";
  const uint64_t page = 2048 + 64;
  ASSERT_EQ(2048ull * 64 * page, FileSize(img));
  // The maker's mark of a bad block on these chips: spare byte 0 of its first page.
  Bytes want(4 * 64 * page, 0xFF);
  Bytes head = ReadRange(img, 0, want.size());
  want[3 * 64 * page + 2048] = 0x00;
  EXPECT_EQ(want, head) << DiffBytes(want, head);
  EXPECT_EQ(0x98u, LoadCfg(t / "dev").maker);
  EXPECT_EQ(0xDAu, LoadCfg(t / "dev").device);
}

TEST(DevsimCreate, RefusesWhatCannotBeMadeAndLeavesNoDevice) {
  TempDir t;
  WriteBytes(t / "513.bin", PseudoRandom(513, 2));
  WriteBytes(t / "1k.bin", PseudoRandom(1024, 3));
  struct Case {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"--chip", "zz:76"}, "bad chip 'zz:76'"},
      {{"--chip", "ec"}, "bad chip 'ec'"},
      {{"--chip", "ec:73", "--toc-block", "1024"}, "--toc-block 1024 is beyond the 1024 blocks of chip ec:73"},
      {{"--chip", "ec:73", "--bad-blocks", "1024"}, "bad block 1024 is beyond"},
      {{"--bad-blocks", "1"}, "the TOC block 1 is also listed as a bad block"},
      {{"--bad-blocks", "4,"}, "bad --bad-blocks '4,'"},
      {{"--boot-sectors", "1", "--boot-image", t / "513.bin"}, "2 sectors; the boot area has 1"},
      {{"--boot-image", t / "missing.bin"}, "cannot open " + t / "missing.bin"},
      {{"--boot-image", t.Path()}, "is a folder"},
      {{"--chip", "ec:73", "--boot-block", "1024", "--boot-image", t / "1k.bin"}, "would end beyond the 32768 sectors"},
      {{"--boot-block", "1", "--boot-image", t / "1k.bin"}, "would overwrite the TOC block 1"},
      {{"--chip", "ec:da", "--fill"}, "2048-byte pages"},
      {{"--boot-block", "-3"}, "bad --boot-block '-3'"},
      {{"--boot-sectors", "0x100000000"}, "larger than 32 bits"},
      {{"--boot-sectors", "0x"}, "bad --boot-sectors '0x'"},
      {{"--toc-block", "12x"}, "bad --toc-block '12x'"},
      {{"--boot-block", "1.0"}, "bad --boot-block '1.0'"},
      {{"--bad-blocks", "5,+6"}, "bad --bad-blocks '+6'"},
  };
  for (const Case& c : cases) ExpectCreateRefused(t, c.options, c.message);
}

TEST(DevsimCreate, KeepsAnExistingDeviceUnlessForced) {
  TempDir t;
  const std::string dev = t / "dev";
  ASSERT_EQ(0, Devsim({"create", dev, "--chip", "ec:73", "--fill"}).exit);
  WriteBytes(dev + "/soc.state", Bytes(64, 1));
  Bytes before = ReadBytes(dev + "/nand.img");

  ToolRun again = Devsim({"create", dev, "--chip", "ec:73"});
  EXPECT_EQ(2, again.exit) << again.All();
  EXPECT_NE(std::string::npos, again.err.find("already holds a device")) << again.All();
  EXPECT_EQ(before, ReadBytes(dev + "/nand.img"));

  ToolRun forced = Devsim({"create", dev, "--chip", "ec:73", "--no-toc", "--force"});
  ASSERT_EQ(0, forced.exit) << forced.All();
  Bytes after = ReadBytes(dev + "/nand.img");
  EXPECT_TRUE(AllFF(after.data(), after.size())) << "the replaced device is not erased";
  EXPECT_EQ(~0ull, FileSize(dev + "/soc.state")) << "the old device's run record survived";
}

}  // namespace
}  // namespace tooltest
