// devsim verify and extract against boot areas written two ways (by create,
// and sector by sector as the device's driver writes them) and damaged in
// the ways a bad write or worn flash leaves them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/tools/tool_test_support.h"
#include "tools/devsim/nandimage.h"

namespace tooltest {
namespace {

const char kOkPrefix[] = "verify: OK: ";
const char kFailedPrefix[] = "verify: FAILED: ";

// The last line the tool printed.
std::string LastLine(const std::string& out) {
  std::string s = out;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

struct Device {
  TempDir t;
  std::string dir = t / "dev";
  std::string img = dir + "/nand.img";
  std::string file = t / "eboot.nb0";
  Bytes image;
  explicit Device(size_t size, std::vector<std::string> extra = {"--boot-image"}) : image(PseudoRandom(size, 99)) {
    WriteBytes(file, image);
    std::vector<std::string> args = {"create", dir, "--chip", "ec:73", "--fill"};
    for (const std::string& e : extra) {
      args.push_back(e);
      if (e == "--boot-image") args.push_back(file);
    }
    ToolRun r = Devsim(args);
    EXPECT_EQ(0, r.exit) << r.All();
  }
};

TEST(DevsimVerify, PassesOnAnAreaWrittenByCreate) {
  for (size_t size : {size_t(0), size_t(1), size_t(512), size_t(1000), size_t(512 * 512)}) {
    SCOPED_TRACE(size);
    Device d(size);
    ToolRun r = Devsim({"verify", d.dir, d.file});
    EXPECT_EQ(0, r.exit) << r.All();
    EXPECT_EQ(
        kOkPrefix + std::to_string((size + 511) / 512) + " sectors of " + d.file + " match the boot area at block 2",
        LastLine(r.out));
  }
}

// What the device's updater leaves: the area erased whole, then each chunk
// programmed with its codes and the boot record, sector by sector.
TEST(DevsimVerify, PassesOnAnAreaWrittenAsTheDriverWritesIt) {
  Device d(3000, {"--boot-image"});
  Bytes next = PseudoRandom(1800, 4);
  WriteBytes(d.t / "next.nb0", next);
  {
    devsim::NandImage img;
    std::string err;
    ASSERT_TRUE(img.OpenDevice(d.dir, true, &err)) << err;
    for (uint32_t b = 2; b < 2 + 16; ++b) ASSERT_TRUE(img.EraseBlock(b, &err)) << err;
    const devsim::SectorInfo rec = devsim::BootSpareRecord();
    for (uint32_t i = 0; i * 512 < next.size(); ++i) {
      uint8_t chunk[512];
      std::memset(chunk, 0xFF, sizeof(chunk));
      std::memcpy(chunk, &next[i * 512], std::min<size_t>(512, next.size() - i * 512));
      ASSERT_TRUE(img.ProgramSector(64 + i, chunk, &rec, &err)) << err;
    }
  }
  ToolRun r = Devsim({"verify", d.dir, d.t / "next.nb0"});
  EXPECT_EQ(0, r.exit) << r.All();
  EXPECT_EQ(0u, LastLine(r.out).find(kOkPrefix)) << r.out;
  // The previous image is gone from the area.
  ToolRun old = Devsim({"verify", d.dir, d.file});
  EXPECT_EQ(1, old.exit) << old.All();
}

// Programming over an unerased sector only clears bits, as on the chip: the
// result is the AND of old and new, which verify must see as a difference.
TEST(DevsimVerify, ProgramWithoutEraseLeavesTheAndOfBothAndFails) {
  Device d(512);
  Bytes before = ReadPage(d.img, 64);
  Bytes data(512, 0x0F);
  {
    devsim::NandImage img;
    std::string err;
    ASSERT_TRUE(img.OpenDevice(d.dir, true, &err)) << err;
    const devsim::SectorInfo rec = devsim::BootSpareRecord();
    ASSERT_TRUE(img.ProgramSector(64, data.data(), &rec, &err)) << err;
  }
  Bytes after = ReadPage(d.img, 64);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(uint8_t(before[i] & 0x0F), after[i]) << "byte " << i;
  WriteBytes(d.t / "new.bin", data);
  EXPECT_EQ(1, Devsim({"verify", d.dir, d.t / "new.bin"}).exit);
}

TEST(DevsimVerify, NamesTheFirstSectorThatDiffersAndHow) {
  struct Case {
    const char* name;
    std::function<void(const std::string& img)> damage;  // index 2 (sector 66) and maybe later ones
    const char* how;
    int differing;
  } cases[] = {
      {"a data byte", [](const std::string& i) { SetByte(i, 66, 100, 0x00); }, "data byte 100 is 0x00, FILE has 0x", 1},
      {"a bit the ECC would correct",
       [](const std::string& i) {
         FlipBit(i, 66, 7, 2);
         FlipBit(i, 69, 7, 2);
       },
       "(on reading: data 0-255: ECC corrected data byte 7 bit 2)", 2},
      {"the spare record", [](const std::string& i) { SetByte(i, 66, 512 + 4, 0xFF); },
       "spare record (spare 0-7) is 00 00 00 00 ff 00 00 00, expected 00 00 00 00 fc 00 00 00", 1},
      {"a code byte", [](const std::string& i) { FlipBit(i, 66, 526, 6); }, "ECC of data 256-511 (spare 12-14) is ", 1},
      {"a sector never written", [](const std::string& i) { WritePage(i, 66, Bytes(kPage, 0xFF)); },
       "(the sector is erased)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Device d(6 * 512);
    c.damage(d.img);
    ToolRun r = Devsim({"verify", d.dir, d.file});
    EXPECT_EQ(1, r.exit) << r.All();
    const std::string last = LastLine(r.out);
    EXPECT_EQ(0u, last.find(std::string(kFailedPrefix) + "sector 66 (index 2 of the boot area at block 2) differs: "))
        << last;
    EXPECT_NE(std::string::npos, last.find(c.how)) << last;
    EXPECT_NE(std::string::npos, last.find(std::to_string(c.differing) + " of 6 sectors differ")) << last;
  }
}

TEST(DevsimVerify, IgnoresTheSpareBytesNobodyReads) {
  Device d(1024);
  SetByte(d.img, 64, 512 + 11, 0x00);
  SetByte(d.img, 65, 512 + 15, 0x12);
  ToolRun r = Devsim({"verify", d.dir, d.file});
  EXPECT_EQ(0, r.exit) << r.All();
}

TEST(DevsimVerify, PaddingOfTheLastSectorIsPartOfTheImage) {
  Device d(1000);
  // The file one byte longer than what was written: its byte 1000 is now
  // data where the flash holds the 0xFF padding.
  Bytes longer = d.image;
  longer.push_back(0x00);
  WriteBytes(d.t / "longer.bin", longer);
  ToolRun r = Devsim({"verify", d.dir, d.t / "longer.bin"});
  EXPECT_EQ(1, r.exit) << r.All();
  EXPECT_NE(std::string::npos, LastLine(r.out).find("sector 65 (index 1 of the boot area at block 2) differs: "
                                                    "data byte 488 is 0xff, FILE has 0x00"))
      << r.out;
}

TEST(DevsimVerify, ExitCodesForMissingAreaAndUnreadableInput) {
  Device d(1000);
  Device noToc(1000, {"--no-toc"});
  WriteBytes(d.t / "big.bin", Bytes(512 * 512 + 1, 0x11));
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* message;  // in the last line (exit 1) or on stderr (exit 2)
  } cases[] = {
      {{"verify", d.dir, d.t / "big.bin"}, 1, "513 sectors; the boot area at block 2 has 512"},
      {{"verify", noToc.dir, noToc.file}, 1, "no usable boot area: no block in 1..100"},
      {{"verify", noToc.dir, noToc.file, "--area", "2:2"}, 1, "sector 64 (index 0"},
      {{"verify", d.dir, d.t / "missing.bin"}, 2, "cannot open"},
      {{"verify", d.t / "nodevice", d.file}, 2, "cannot open"},
      {{"verify", d.dir, d.file, "--area", "2"}, 2, "bad --area '2': expected BLOCK:SECTORS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ToolRun r = Devsim(c.args);
    EXPECT_EQ(c.exit, r.exit) << r.All();
    const std::string where = c.exit == 1 ? LastLine(r.out) : r.err;
    if (c.exit == 1) EXPECT_EQ(0u, where.find(kFailedPrefix)) << where;
    EXPECT_NE(std::string::npos, where.find(c.message)) << r.All();
  }
}

TEST(DevsimExtract, RoundTripsTheImageAndTheWholeArea) {
  Device d(3000);
  ToolRun exact = Devsim({"extract", d.dir, "-o", d.t / "exact.bin", "--bytes", "3000"});
  ASSERT_EQ(0, exact.exit) << exact.All();
  EXPECT_EQ(d.image, ReadBytes(d.t / "exact.bin"));

  ToolRun whole = Devsim({"extract", d.dir, "-o", d.t / "whole.bin"});
  ASSERT_EQ(0, whole.exit) << whole.All();
  Bytes want = d.image;
  want.resize(512 * 512, 0xFF);
  Bytes got = ReadBytes(d.t / "whole.bin");
  EXPECT_EQ(want, got) << DiffBytes(want, got);
}

TEST(DevsimExtract, RepairsSingleBitsAndReportsUncorrectableSectors) {
  Device d(2048);
  FlipBit(d.img, 64, 5, 1);   // index 0: corrected
  FlipBit(d.img, 66, 10, 0);  // index 2: two bits in one half
  FlipBit(d.img, 66, 11, 0);
  ToolRun r = Devsim({"extract", d.dir, "-o", d.t / "out.bin", "--bytes", "2048"});
  EXPECT_EQ(1, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.err.find("sector 66 (area index 2): data 0-255: uncorrectable")) << r.All();
  EXPECT_EQ(std::string::npos, r.err.find("sector 64")) << "a corrected sector is no error\n" << r.All();
  Bytes got = ReadBytes(d.t / "out.bin");
  ASSERT_EQ(2048u, got.size());
  Bytes want = d.image;
  want[1024 + 10] ^= 1;  // written as read
  want[1024 + 11] ^= 1;
  EXPECT_EQ(want, got) << DiffBytes(want, got);
}

TEST(DevsimExtract, RefusesSizesBeyondTheArea) {
  Device d(1000, {"--boot-sectors", "4", "--boot-image"});
  ToolRun r = Devsim({"extract", d.dir, "-o", d.t / "out.bin", "--bytes", "2049"});
  EXPECT_EQ(2, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.err.find("--bytes 2049 is more than the boot area's 4 sectors (2048 bytes)"));
  ToolRun fits = Devsim({"extract", d.dir, "-o", d.t / "out.bin", "--bytes", "2048"});
  EXPECT_EQ(0, fits.exit) << fits.All();
  EXPECT_EQ(2048u, FileSize(d.t / "out.bin"));
}

}  // namespace
}  // namespace tooltest
