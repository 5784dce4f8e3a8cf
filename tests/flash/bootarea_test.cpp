// The boot area on the real driver and a simulated chip: how the TOC block is
// found among blocks 1..100, which TOCs are refused before anything is
// touched, what the erase covers, and what one written sector leaves in the
// cells. Runs on every target.
#include <gtest/gtest.h>

#include <cstring>

#include "bootarea/bootarea.h"
#include "platform/debug_sink.h"
#include "tests/flash/flash_test_support.h"

namespace flashtest {
namespace {

constexpr uint32_t kSectorsPerBlock = 32;
const SectorInfo kBootRecord = {0, 0xFC, 0, 0};

// A 16 MiB chip (1024 blocks): small enough to compare whole images quickly.
sim::NandConfig SmallChip() { return Chip(0xEC, 0x73); }
constexpr uint32_t kChipBlocks = 1024;

// Fills the stack below the caller with a pattern, so that a local the code
// called next leaves unset reads as that pattern, not as the zeros of stack
// never used before (a record field the writer forgot would otherwise be
// written as the 0 it should have been).
__attribute__((noinline)) void DirtyStack() {
  volatile uint8_t junk[32768];
  for (size_t i = 0; i < sizeof(junk); ++i) junk[i] = 0xA5;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

class BootAreaTest : public FlashDeviceTest {
 protected:
  // A TOC sector as the boot loader's tools write it, in the first sector of
  // `block`, with the given spare record.
  void PutToc(uint32_t block, uint32_t firstBlock, uint32_t sectorCount, const SectorInfo& record = kBootRecord,
              const char* signature = "NTOC") {
    Bytes data(kData, 0);
    std::memcpy(data.data(), signature, 4);
    PutLe32(&data[60], sectorCount);
    PutLe32(&data[176], firstBlock);
    dev_->PutRawPage(block * kSectorsPerBlock, ExpectedPage(data.data(), &record));
  }

  // Every sector of the blocks given holds a page of old data.
  void FillBlocks(uint32_t first, uint32_t count) {
    for (uint32_t s = first * kSectorsPerBlock; s < (first + count) * kSectorsPerBlock; ++s) {
      Bytes data = PseudoRandom(kData, s);
      SectorInfo rec = {s, 0xFF, 0xFF, 0xFFFF};
      dev_->PutRawPage(s, ExpectedPage(data.data(), &rec));
    }
  }

  Bytes Block(const Bytes& image, uint32_t block) const {
    return Bytes(image.begin() + size_t(block) * kSectorsPerBlock * kRawPage,
                 image.begin() + size_t(block + 1) * kSectorsPerBlock * kRawPage);
  }
};

TEST_F(BootAreaTest, TheTocNamesTheArea) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  PutToc(1, 2, 512);
  ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 256 * 1024));
  EXPECT_EQ(1u, ctx_.dwTocBlock);
  EXPECT_EQ(2u, ctx_.dwBootFirstBlock);
  EXPECT_EQ(512u, ctx_.dwBootSectorCount);
  EXPECT_EQ(0, std::memcmp(ctx_.abTocSector, "NTOC", 4));
  EXPECT_EQ(std::vector<std::string>{"NandLocateTocAndEBoot: Got EBOOT first block 2; Sector Size 512\r\n"},
            PlatformDebugLinesUtf8());
  EXPECT_TRUE(BusIsFree());
}

// The TOC block's record is the boot spare record in every field: a record
// that differs in any one of them is not the TOC, and the probe goes on to
// the next block.
TEST_F(BootAreaTest, ACandidateDifferingInOneFieldIsPassedOver) {
  struct Case {
    const char* field;
    SectorInfo record;
  } cases[] = {
      {"dwReserved1", {1, 0xFC, 0, 0}},  {"dwReserved1 high byte", {0x01000000, 0xFC, 0, 0}},
      {"bOEMReserved", {0, 0xFD, 0, 0}}, {"bBadBlock", {0, 0xFC, 1, 0}},
      {"wReserved2", {0, 0xFC, 0, 1}},   {"wReserved2 high byte", {0, 0xFC, 0, 0x100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
    PutToc(3, 20, 64, c.record);  // a look-alike first, naming another area
    PutToc(7, 10, 64);
    EXPECT_EQ(0, NandIsTocBlock(&ctx_, 3));
    EXPECT_EQ(1, NandIsTocBlock(&ctx_, 7));
    ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 4096));
    EXPECT_EQ(7u, ctx_.dwTocBlock);
    EXPECT_EQ(10u, ctx_.dwBootFirstBlock);
    TearDown();
  }
}

TEST_F(BootAreaTest, TheProbeEndsAtBlock100) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  PutToc(101, 200, 64);
  EXPECT_EQ(0, NandLocateTocAndEBoot(&ctx_, 512));
  PutToc(100, 200, 64);
  EXPECT_EQ(1, NandLocateTocAndEBoot(&ctx_, 512));
  EXPECT_EQ(100u, ctx_.dwTocBlock);
}

// Whatever the TOC says, an area that is not wholly on the chip, that does
// not lie after the TOC block or that is too small for the image is refused,
// and the refusal changes nothing in the cells.
// The TOC's two fields are little-endian 32-bit words: each of their four
// bytes lands in its own place, whatever the others hold. One byte set alone
// in one field at a time (the other field sane); the fields are read as they
// stand even when the area they name is then refused.
TEST_F(BootAreaTest, EachByteOfTheTocFieldsIsReadInItsPlace) {
  for (int field = 0; field < 2; ++field) {
    for (int byte = 0; byte < 4; ++byte) {
      uint32_t value = 0x5Au << (8 * byte);
      SCOPED_TRACE(testing::Message() << (field == 0 ? "sector count" : "first block") << " 0x" << std::hex << value);
      ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
      PutToc(1, field == 1 ? value : 2, field == 0 ? value : 64);
      PlatformClearDebugLines();
      NandLocateTocAndEBoot(&ctx_, 512);
      EXPECT_EQ(field == 0 ? value : 64u, ctx_.dwBootSectorCount);
      EXPECT_EQ(field == 1 ? value : 2u, ctx_.dwBootFirstBlock);
      TearDown();
    }
  }
}

// The area is laid out 32 sectors of 512 bytes a block: a geometry that
// differs in either of the two is refused before the probe reads anything.
TEST_F(BootAreaTest, OnlyTheLayoutOf32SectorsOf512BytesIsServed) {
  struct Case {
    DWORD blockSectors, sectorBytes;
  } cases[] = {{64, 2048}, {64, 512}, {32, 2048}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.blockSectors << " x " << c.sectorBytes);
    ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
    PutToc(1, 2, 64);
    ctx_.Geometry.dwBlockSectors = c.blockSectors;
    ctx_.Geometry.dwSectorBytes = c.sectorBytes;
    EXPECT_EQ(0, NandLocateTocAndEBoot(&ctx_, 512));
    EXPECT_EQ(0u, ctx_.dwTocBlock) << "the probe ran";
    TearDown();
  }
}

TEST_F(BootAreaTest, AreasThatCannotHoldTheImageAreRefused) {
  struct Case {
    const char* what;
    uint32_t firstBlock, sectors, imageBytes;
    const char* signature;
  } cases[] = {
      {"no signature", 6, 64, 512, "NTOD"},
      {"signature wrong in its first byte", 6, 64, 512, "XTOC"},
      {"signature wrong in its second byte", 6, 64, 512, "NXOC"},
      {"signature wrong in its third byte", 6, 64, 512, "NTXC"},
      {"first block beyond the chip", kChipBlocks + 1, 32, 512, "NTOC"},
      {"area running over the end", kChipBlocks - 1, 64, 512, "NTOC"},
      {"sector count that wraps the block sum", 2, 0xFFFFFFFFu, 512, "NTOC"},
      {"area on the TOC block", 5, 64, 512, "NTOC"},
      {"area before the TOC block", 4, 64, 512, "NTOC"},
      {"image one byte over the area", 6, 4, 4 * 512 + 1, "NTOC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
    PutToc(5, c.firstBlock, c.sectors, kBootRecord, c.signature);
    Bytes before = dev_->Image();
    EXPECT_EQ(0, NandLocateTocAndEBoot(&ctx_, c.imageBytes));
    EXPECT_TRUE(before == dev_->Image());
    TearDown();
  }
  // The edge itself is accepted: the last block of the chip, an image that fills the area;
  // and the area after the TOC block with the signature whole.
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  PutToc(5, 6, 64);
  EXPECT_EQ(1, NandLocateTocAndEBoot(&ctx_, 512));
  TearDown();
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  PutToc(5, kChipBlocks - 2, 64);
  EXPECT_EQ(1, NandLocateTocAndEBoot(&ctx_, 64 * 512));
}

// The erase covers the area's sector count rounded up to whole blocks, and
// nothing else: counts a whole number of blocks, one sector over, and 16
// sectors over a multiple of 32.
TEST_F(BootAreaTest, TheEraseCoversEveryBlockTheAreaTouches) {
  struct Case {
    uint32_t sectors, blocks;
  } cases[] = {{64, 2}, {65, 3}, {48, 2}, {16, 1}, {80, 3}, {1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sectors << " sectors");
    ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
    PutToc(1, 4, c.sectors);
    FillBlocks(3, c.blocks + 2);
    ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 512));
    Bytes before = dev_->Image();
    PlatformClearDebugLines();
    ASSERT_EQ(1, NandEraseEBoot(&ctx_));
    Bytes after = dev_->Image();
    for (uint32_t b = 4; b < 4 + c.blocks; ++b) {
      EXPECT_TRUE(Block(after, b) == Bytes(size_t(kSectorsPerBlock) * kRawPage, 0xFF)) << "block " << b;
      std::fill(before.begin() + size_t(b) * kSectorsPerBlock * kRawPage,
                before.begin() + size_t(b + 1) * kSectorsPerBlock * kRawPage, 0xFF);
    }
    EXPECT_TRUE(before == after) << "the erase reached beyond the area";
    EXPECT_EQ(c.blocks, PlatformDebugLinesUtf8().size());
    EXPECT_EQ("Erase block: 0x4, total 0x400\r\n", PlatformDebugLinesUtf8().at(0));
    TearDown();
  }
}

TEST_F(BootAreaTest, AWrittenSectorHoldsDataCodeAndTheBootRecord) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  PutToc(1, 2, 64);
  ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 64 * 512));
  ASSERT_EQ(1, NandEraseEBoot(&ctx_));
  Bytes before = dev_->Image();
  Bytes data = PseudoRandom(kData, 77);
  DirtyStack();
  ASSERT_EQ(1, NandWriteEBootSector(&ctx_, 33, data.data()));
  Bytes want = ExpectedPage(data.data(), &kBootRecord);
  EXPECT_EQ("", DiffBytes(want, dev_->RawPage(2 * kSectorsPerBlock + 33)));
  Bytes after = dev_->Image();
  std::copy(want.begin(), want.end(), before.begin() + size_t(2 * kSectorsPerBlock + 33) * kRawPage);
  EXPECT_TRUE(before == after) << "the write touched another page";
  EXPECT_TRUE(BusIsFree());
}

// The chip reports no program failure: the read-back is what notices a page
// that did not take, and the write is reported failed. That includes one cell
// that stayed 1, in the data or in the code, which the page code would repair
// on every read: a sector just written must need no repair. One in the boot
// record (which the code does not cover) is seen by the compare itself.
TEST_F(BootAreaTest, AProgramThatDidNotTakeFailsTheWrite) {
  sim::NandConfig cfg = SmallChip();
  sim::ProgramFailFault page;
  page.sector = 2 * kSectorsPerBlock + 5;
  sim::ProgramFailFault cell;
  cell.sector = 2 * kSectorsPerBlock + 6;
  cell.wholePage = false;
  cell.byte = 100;
  cell.bit = 3;
  sim::ProgramFailFault record = cell;
  record.sector = 2 * kSectorsPerBlock + 7;
  record.byte = 512;  // the record's first byte, written 0x00
  record.bit = 0;
  Bytes data(kData, 0x00);
  // A bit the first half's code is written 0 in (the code of zeros is all
  // ones, so that sector gets other data).
  Bytes coded = PseudoRandom(kData, 8);
  Bytes written = ExpectedPage(coded.data(), &kBootRecord);
  sim::ProgramFailFault code = cell;
  code.sector = 2 * kSectorsPerBlock + 8;
  code.byte = 512 + 8;
  while (code.byte < 512 + 11 && written[code.byte] == 0xFF) ++code.byte;
  ASSERT_LT(code.byte, 512u + 11);
  code.bit = 0;
  while (written[code.byte] >> code.bit & 1) ++code.bit;
  cfg.programFails = {page, cell, record, code};
  ASSERT_NO_FATAL_FAILURE(StartDriver(cfg));
  PutToc(1, 2, 64);
  ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 64 * 512));
  ASSERT_EQ(1, NandEraseEBoot(&ctx_));
  EXPECT_EQ(1, NandWriteEBootSector(&ctx_, 4, data.data()));
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 5, data.data()));
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 6, data.data())) << "a data cell that stayed 1";
  EXPECT_EQ(0x08, dev_->RawPage(2 * kSectorsPerBlock + 6).at(100)) << "the stuck cell is in the page";
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 7, data.data())) << "a record cell that stayed 1";
  EXPECT_EQ(0x01, dev_->RawPage(2 * kSectorsPerBlock + 7).at(512));
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 8, coded.data())) << "a code cell that stayed 1";
  EXPECT_TRUE(BusIsFree());
}

// The erase reports no failure either. A block whose erase failed keeps its
// old pages, and a sector programmed over one holds the new data ANDed with
// the old; when they differ in a single data bit, the read-back is equal to
// the data only after the page code has repaired that bit. The write fails.
TEST_F(BootAreaTest, AFailedEraseUnderAPageOneBitAwayFailsTheWrite) {
  sim::NandConfig cfg = SmallChip();
  cfg.eraseFails = {2};
  ASSERT_NO_FATAL_FAILURE(StartDriver(cfg));
  PutToc(1, 2, 64);
  Bytes data = PseudoRandom(kData, 5);
  data[125] |= 0x04;
  Bytes old = data;
  old[125] &= ~0x04;
  Bytes oldPage(kRawPage, 0xFF);  // an old page whose spare was never written
  std::copy(old.begin(), old.end(), oldPage.begin());
  dev_->PutRawPage(2 * kSectorsPerBlock, oldPage);
  ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 64 * 512));
  ASSERT_EQ(1, NandEraseEBoot(&ctx_)) << "the chip says nothing of the failed erase";
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 0, data.data()));
  Bytes onFlash = dev_->RawPage(2 * kSectorsPerBlock);
  EXPECT_EQ(0x00, onFlash.at(125) & 0x04) << "the old page's 0 stayed";
  // What the read-back gave: the data itself, repaired by the code.
  Bytes readBack(kData);
  SectorInfo rec;
  DWORD repairs = ctx_.dwEccRepairs;
  ASSERT_EQ(1, ctx_.FMD_ReadSector(2 * kSectorsPerBlock, readBack.data(), &rec, 1));
  EXPECT_TRUE(readBack == data);
  EXPECT_EQ(repairs + 1, ctx_.dwEccRepairs);
  // Block 3 erased as it should: the same sector there is written.
  EXPECT_EQ(1, NandWriteEBootSector(&ctx_, 32, data.data()));
  EXPECT_TRUE(BusIsFree());
}

// A bit that flips on its way out of the chip, the cells right, is gone on
// the next read: the sector is read once more, and stands when that read
// needs no repair. A bit wrong on two reads in a row is taken as the cells'.
TEST_F(BootAreaTest, ABitFlippedOnTheReadBackAloneIsReadAgain) {
  sim::NandConfig cfg = SmallChip();
  sim::ReadFlipFault once;
  once.sector = 2 * kSectorsPerBlock + 1;
  once.byte = 40;
  once.bit = 6;
  once.count = 1;
  sim::ReadFlipFault twice = once;
  twice.sector = 2 * kSectorsPerBlock + 2;
  twice.count = 2;
  cfg.readFlips = {once, twice};
  ASSERT_NO_FATAL_FAILURE(StartDriver(cfg));
  PutToc(1, 2, 64);
  ASSERT_EQ(1, NandLocateTocAndEBoot(&ctx_, 64 * 512));
  ASSERT_EQ(1, NandEraseEBoot(&ctx_));
  Bytes data = PseudoRandom(kData, 3);
  DWORD repairs = ctx_.dwEccRepairs;
  EXPECT_EQ(1, NandWriteEBootSector(&ctx_, 1, data.data()));
  EXPECT_EQ(repairs + 1, ctx_.dwEccRepairs) << "the first read-back was repaired";
  EXPECT_EQ("", DiffBytes(ExpectedPage(data.data(), &kBootRecord), dev_->RawPage(2 * kSectorsPerBlock + 1)));
  EXPECT_EQ(0, NandWriteEBootSector(&ctx_, 2, data.data()));
  EXPECT_EQ(repairs + 3, ctx_.dwEccRepairs);
  EXPECT_TRUE(BusIsFree());
}

// A chip with 2048-byte pages does not have the 32 x 512 layout: refused
// before a single sector is read.
TEST_F(BootAreaTest, ALargePageChipIsRefusedUntouched) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(SmallChip()));
  ctx_.Geometry.dwBlockSectors = 64;
  ctx_.Geometry.dwSectorBytes = 2048;
  PutToc(1, 2, 64);
  uint64_t opsBefore = dev_->Record().chipOps;
  EXPECT_EQ(0, NandLocateTocAndEBoot(&ctx_, 512));
  EXPECT_EQ(opsBefore, dev_->Record().chipOps);
}

}  // namespace
}  // namespace flashtest
