// The NAND chip as the driver's transfers meet it: identification, what a
// program and an erase do to the cells, where a spare program lands, the
// partial-program limit, address decoding, and what large-page and unknown
// chips answer. Outcomes are read from the image bytes and the checker record.
#include <gtest/gtest.h>

#include <cstring>

#include "flash/soc_nand.h"
#include "sim/checker.h"
#include "sim/nand_chip.h"
#include "tests/sim/sim_harness.h"

namespace simtest {
namespace {

using sim::ViolationKind;

TEST(ChipId, EveryTableChipAndUnknownPairsAnswerTheirId) {
  struct Case {
    uint32_t maker, device;
    uint8_t fourth;  // small page 0x3C, large page 0x15
  } cases[] = {
      {0x98, 0x73, 0x3C}, {0xAD, 0x75, 0x3C}, {0xEC, 0x76, 0x3C},
      {0x98, 0x79, 0x3C}, {0xEC, 0xAA, 0x15}, {0xAD, 0xDA, 0x15},  // large page
      {0x2C, 0x76, 0x3C}, {0xEC, 0x35, 0x3C},                      // not in the chip table
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.maker << "/" << c.device);
    Harness h(c.maker, c.device);
    uint32_t word = 0;
    ASSERT_TRUE(h.ReadId(&word)) << "FIFO never filled";
    EXPECT_EQ(c.maker, word & 0xFF);
    EXPECT_EQ(c.device, (word >> 8) & 0xFF);
    EXPECT_EQ(0x5Au, (word >> 16) & 0xFF);
    EXPECT_EQ(c.fourth, word >> 24);
    EXPECT_EQ(0u, h.Violations()) << h.Record();
    EXPECT_EQ(1u, h.state->h.chip.ops) << "the ID read is one chip operation";
  }
}

// Only address 0x00 of READ ID answers the codes: another address gets
// nothing from these parts (the bus reads 0xFF) and is recorded.
TEST(ChipId, AnotherAddressThanZeroGetsNoCodes) {
  for (uint32_t address : {0x01u, 0x20u, 0x40u}) {
    SCOPED_TRACE(testing::Message() << "address 0x" << std::hex << address);
    Harness h(0xEC, 0x76);
    h.Nand(NAND_CTRL, NAND_CTRL_START);
    h.Nand(NAND_XFER, NAND_XFER_RESET);
    h.Nand(NAND_XFER, NAND_XFER_IDLE);
    h.Nand(NAND_MODE, NAND_MODE_FIFO_READ);
    h.Nand(NAND_COUNT, NAND_COUNT_ID);
    h.Nand(NAND_ADDR_CYCLES, 1);
    h.Nand(NAND_ADDR, address);
    h.Nand(NAND_CMD, NAND_CMD_READID);
    h.Nand(NAND_XFER, NAND_XFER_START);
    ASSERT_TRUE(h.Wait(sim::kRegNand, NAND_FIFO_STAT, FIFO_EMPTY, 0));
    EXPECT_EQ(0xFFFFFFFFu, h.Nand(NAND_FIFO));
    EXPECT_NE(std::string::npos, h.Record().find("READ ID address")) << h.Record();
  }
}

TEST(ChipProgram, PageAndSparesLandWhereTheLayoutSays) {
  for (size_t i = 0; i < kSmallPageChipCount; ++i) {
    const ChipCase& c = kSmallPageChips[i];
    SCOPED_TRACE(c.name);
    Harness h(c.maker, c.device);
    ASSERT_EQ(c.addrCycles, h.addrCycles);
    const uint32_t sector = 32 * 7 + 3;
    Bytes data = Pattern(512, 1);
    const uint8_t ecc[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const uint8_t rec[8] = {0, 0, 0, 0, 0xFC, 0, 0, 0};
    ASSERT_TRUE(h.WritePage(sector, data.data()));
    ASSERT_TRUE(h.WriteSpare(sector, 8, ecc));
    ASSERT_TRUE(h.WriteSpare(sector, 0, rec));
    uint8_t* p = h.Page(sector);
    EXPECT_EQ(0, memcmp(data.data(), p, 512)) << DiffBytes(data.data(), p, 512);
    EXPECT_EQ(0, memcmp(rec, p + 512, 8)) << DiffBytes(rec, p + 512, 8);
    EXPECT_EQ(0, memcmp(ecc, p + 520, 8)) << DiffBytes(ecc, p + 520, 8);
    for (uint32_t s : {sector - 1, sector + 1}) {
      Bytes erased(kPage, 0xFF);
      EXPECT_EQ(0, memcmp(erased.data(), h.Page(s), kPage))
          << "neighbour " << s << DiffBytes(erased.data(), h.Page(s), kPage);
    }
    uint8_t raw[kPage];
    ASSERT_TRUE(h.ReadPage(sector, raw));
    EXPECT_EQ(0, memcmp(p, raw, kPage)) << DiffBytes(p, raw, kPage);
    uint8_t back[8];
    ASSERT_TRUE(h.ReadSpare(sector, back));
    EXPECT_EQ(0, memcmp(rec, back, 8)) << DiffBytes(rec, back, 8);
    EXPECT_EQ(0u, h.Violations()) << h.Record();
  }
}

TEST(ChipProgram, ProgramOnlyClearsBits) {
  sim::NandConfig cfg;
  cfg.partialMain = 2;  // two programs of the data area allowed here
  Harness h(cfg);
  Bytes first(512, 0xF0), second(512, 0x3C);
  first[7] = 0x00;
  second[7] = 0xFF;
  ASSERT_TRUE(h.WritePage(5, first.data()));
  ASSERT_TRUE(h.WritePage(5, second.data()));
  EXPECT_EQ(0x30, h.Page(5)[0]);
  EXPECT_EQ(0x00, h.Page(5)[7]) << "a 1 written over a 0 leaves the 0";
  EXPECT_EQ(0xFF, h.Page(5)[512]) << "spare untouched by a data program";
  EXPECT_EQ(0u, h.Violations()) << h.Record();
}

TEST(ChipProgram, PartialProgramLimitsCountedPerAreaBetweenErases) {
  struct Case {
    const char* name;
    uint32_t limitMain, limitSpare;
    int pagePrograms, sparePrograms;
    bool eraseBetween;
    uint64_t violations;
  } cases[] = {
      {"driver_pattern", 1, 2, 1, 2, false, 0},      {"second_data_program", 1, 2, 2, 0, false, 1},
      {"third_spare_program", 1, 2, 1, 3, false, 1}, {"erase_resets_counts", 1, 2, 2, 4, true, 0},
      {"limit_from_cfg", 3, 4, 3, 4, false, 0},      {"all_over", 1, 1, 3, 3, false, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::NandConfig cfg;
    cfg.partialMain = c.limitMain;
    cfg.partialSpare = c.limitSpare;
    Harness h(cfg);
    Bytes data(512, 0xA5);
    const uint8_t spare[8] = {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE};
    auto round = [&](int pages, int spares) {
      for (int i = 0; i < pages; ++i) ASSERT_TRUE(h.WritePage(40, data.data()));
      for (int i = 0; i < spares; ++i) ASSERT_TRUE(h.WriteSpare(40, i % 2 ? 0 : 8, spare));
    };
    if (c.eraseBetween) {
      round(c.pagePrograms / 2, c.sparePrograms / 2);
      ASSERT_TRUE(h.Erase(1));
      round(c.pagePrograms - c.pagePrograms / 2, c.sparePrograms - c.sparePrograms / 2);
    } else {
      round(c.pagePrograms, c.sparePrograms);
    }
    EXPECT_EQ(c.violations, h.ViolationsOf(ViolationKind::kPartialProgram)) << h.Record();
    EXPECT_EQ(c.violations, h.Violations()) << h.Record();
    if (c.violations) EXPECT_TRUE(h.Recorded(ViolationKind::kPartialProgram, "sector 40")) << h.Record();
  }
}

TEST(ChipErase, WholeBlockToFfAndNothingElse) {
  for (size_t i = 0; i < kSmallPageChipCount; ++i) {
    const ChipCase& c = kSmallPageChips[i];
    SCOPED_TRACE(c.name);
    Harness h(c.maker, c.device);
    ASSERT_EQ(c.eraseCycles, h.eraseCycles);
    Bytes zero(kPage, 0x00);
    for (uint32_t s = 32 * 2 - 1; s <= 32 * 4; ++s) h.Fill(s, zero);
    ASSERT_TRUE(h.Erase(2));
    for (uint32_t s = 32 * 2; s < 32 * 3; ++s) {
      Bytes ff(kPage, 0xFF);
      ASSERT_EQ(0, memcmp(ff.data(), h.Page(s), kPage)) << "sector " << s << DiffBytes(ff.data(), h.Page(s), kPage);
    }
    EXPECT_EQ(0x00, h.Page(32 * 2 - 1)[527]) << "block 1 kept";
    EXPECT_EQ(0x00, h.Page(32 * 3)[0]) << "block 3 kept";
    EXPECT_EQ(0u, h.Violations()) << h.Record();
  }
}

TEST(ChipAddress, RowsWrapAtTheChipSizeAsTheAddressLinesEnd) {
  Harness h(0x98, 0x73);  // 32768 pages, 3 cycles: row bits beyond 15 do not exist
  Bytes data = Pattern(512, 9);
  ASSERT_TRUE(h.WritePage(32768 + 12, data.data()));
  EXPECT_EQ(0, memcmp(data.data(), h.Page(12), 512)) << DiffBytes(data.data(), h.Page(12), 512);
}

TEST(ChipAddress, CycleCountsThatDoNotFitTheChipAreRecorded) {
  Harness h(0xEC, 0x76);  // needs 4 cycles for reads and programs, 3 for erase
  Bytes data = Pattern(512, 3);
  h.addrCycles = 3;
  ASSERT_TRUE(h.WritePage(70000, data.data()));
  EXPECT_TRUE(h.Recorded(ViolationKind::kAddress, "took 3 address cycles, the chip needs 4")) << h.Record();
  // The missing row byte reads as 0: the data went to 70000 & 0xFFFF.
  EXPECT_EQ(0, memcmp(data.data(), h.Page(70000 & 0xFFFF), 512));

  Harness g(0xEC, 0x76);
  g.eraseCycles = 4;
  ASSERT_TRUE(g.Erase(3));
  EXPECT_TRUE(g.Recorded(ViolationKind::kAddress, "not expected")) << g.Record();
}

TEST(ChipCommands, LargePageChipTakesNothingButItsId) {
  Harness h(0xEC, 0xDA);
  uint8_t rec[8];
  ASSERT_TRUE(h.ReadSpare(0, rec));
  EXPECT_TRUE(h.Recorded(ViolationKind::kCommand, "command 0x50 to a large-page chip")) << h.Record();
  const uint8_t zeros[8] = {};
  h.WriteSpare(0, 0, zeros);
  for (size_t i = 0; i < h.image.size(); ++i) ASSERT_EQ(0xFF, h.image[i]) << "byte " << i;
}

TEST(ChipCommands, UnknownCommandAndStrayConfirmsAreRecorded) {
  Harness h;
  h.CommandMode(0x35);
  EXPECT_TRUE(h.Recorded(ViolationKind::kCommand, "unknown command 0x35")) << h.Record();
  h.CommandMode(NAND_CMD_PROGRAM);
  EXPECT_TRUE(h.Recorded(ViolationKind::kSequence, "program confirm 0x10 without serial data input")) << h.Record();
  h.CommandMode(0xD0);
  EXPECT_TRUE(h.Recorded(ViolationKind::kSequence, "erase confirm 0xD0 without 0x60")) << h.Record();
}

TEST(ChipCommands, CommandWhileBusyIsRecordedAndIgnored) {
  Harness h;
  Bytes data(512, 0x00);
  ASSERT_TRUE(h.WritePage(3, data.data()));
  // Erase set-up and confirm, then a pointer command without waiting for ready.
  h.CommandMode(NAND_CMD_ERASE, h.eraseCycles, 0);
  h.CommandMode(NAND_CMD_READ0);
  EXPECT_TRUE(h.Recorded(ViolationKind::kBusy, "command 0x00 while the chip is busy")) << h.Record();
  EXPECT_EQ(1u, h.Violations()) << h.Record();
  EXPECT_EQ(0xFF, h.Page(3)[0]) << "the erase itself went through";
}

TEST(ChipCommands, StatusReportsReadyProtectAndFail) {
  sim::NandConfig cfg;
  sim::ProgramFailFault pf;
  pf.sector = 8;
  cfg.programFails.push_back(pf);
  Harness h(cfg);
  auto status = [&]() {
    h.Nand(NAND_CTRL, NAND_CTRL_START);
    h.Nand(NAND_XFER, NAND_XFER_RESET);
    h.Nand(NAND_XFER, NAND_XFER_IDLE);
    h.Nand(NAND_MODE, NAND_MODE_FIFO_READ);
    h.Nand(NAND_COUNT, 4);
    h.Nand(NAND_ADDR_CYCLES, 0);
    h.Nand(NAND_CMD, NAND_CMD_STATUS);
    h.Nand(NAND_XFER, NAND_XFER_START);
    EXPECT_TRUE(h.Wait(sim::kRegNand, NAND_FIFO_STAT, FIFO_EMPTY, 0));
    return uint8_t(h.Nand(NAND_FIFO));
  };
  EXPECT_EQ(0xC0, status());  // ready, not protected
  Bytes data(512, 0x00);
  ASSERT_TRUE(h.WritePage(8, data.data()));
  EXPECT_EQ(0xC1, status()) << "the failed program shows FAIL";
  ASSERT_TRUE(h.WritePage(9, data.data()));
  EXPECT_EQ(0xC0, status());
  EXPECT_EQ(0u, h.Violations()) << h.Record();
}


// A DMA transfer clocks its data cycles through ReadMany and WriteMany, which
// move the page's bytes at once: they must give the same bytes, chip state and
// records as the same cycles one at a time, with and without faults on the
// sector, from any column and past the end of the page.
class ChipTransfers : public testing::Test {
 protected:
  struct Twin {
    explicit Twin(const sim::NandConfig& cfg)
        : h(cfg), checker(h.state->h), chip(*h.state, h.image.data(), h.image.size(), checker) {}
    Harness h;
    sim::Checker checker;
    sim::NandChip chip;
    void Open(uint8_t command, uint32_t sector, uint8_t column) {
      chip.Command(command);
      chip.Address(column);
      for (uint32_t i = 1; i < h.addrCycles; ++i) chip.Address(uint8_t(sector >> (8 * (i - 1))));
    }
  };

  static sim::NandConfig Faulted() {
    sim::NandConfig cfg;
    sim::ReadFlipFault flip;
    flip.sector = 9, flip.byte = 300, flip.bit = 2, flip.count = 1;  // the first read only
    cfg.readFlips.push_back(flip);
    sim::StuckBitFault stuck;
    stuck.sector = 9, stuck.byte = 515, stuck.bit = 0, stuck.value = 1;
    cfg.stuckBits.push_back(stuck);
    return cfg;
  }

  static void ExpectSameChip(Twin& many, Twin& one) {
    EXPECT_EQ(0, memcmp(&many.h.state->h.chip, &one.h.state->h.chip, sizeof(one.h.state->h.chip)));
    EXPECT_EQ(one.h.Violations(), many.h.Violations()) << one.h.Record();
    EXPECT_EQ(one.h.Record(), many.h.Record());
  }
};

TEST_F(ChipTransfers, ReadManyGivesWhatByteByByteGives) {
  struct Case {
    uint8_t command, column;
    uint32_t sector, n, reads;
  } cases[] = {
      {0x00, 0, 4, 528, 1},    // a whole page, no fault on it
      {0x00, 0, 9, 528, 2},    // a flip on the first read only, a stuck cell
      {0x01, 10, 9, 100, 1},   // from the second half, over the flip
      {0x00, 200, 4, 400, 1},  // on past the end of the page: recorded, 0xFF
      {0x50, 2, 9, 8, 1},      // the spare area, over the stuck cell
      {0x00, 0, 4, 0, 1},      // no cycle at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << unsigned(c.command) << std::dec << " column "
                                    << unsigned(c.column) << " sector " << c.sector << " n " << c.n);
    Twin many(Faulted()), one(Faulted());
    Bytes raw = Pattern(kPage, c.sector);
    many.h.Fill(c.sector, raw);
    one.h.Fill(c.sector, raw);
    for (uint32_t r = 0; r < c.reads; ++r) {
      many.Open(c.command, c.sector, c.column);
      one.Open(c.command, c.sector, c.column);
      Bytes got(c.n + 1, 0x5A), want(c.n + 1, 0x5A);
      many.chip.ReadMany(got.data(), c.n);
      for (uint32_t i = 0; i < c.n; ++i) want[i] = one.chip.Read();
      EXPECT_EQ(want, got) << DiffBytes(want.data(), got.data(), want.size());
      ExpectSameChip(many, one);
    }
  }
}

TEST_F(ChipTransfers, WriteManyLatchesWhatByteByByteLatches) {
  struct Case {
    uint8_t command, column;
    uint32_t n;
  } cases[] = {
      {0x00, 0, 512},    // the data area only
      {0x00, 0, 528},    // data and spare
      {0x00, 0, 513},    // one byte into the spare
      {0x50, 0, 16},     // the spare only
      {0x01, 0, 300},    // into the spare from the second half
      {0x00, 100, 500},  // past the end of the page: recorded, dropped
      {0x00, 0, 0},      // no cycle at all: neither area written
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << unsigned(c.command) << std::dec << " column "
                                    << unsigned(c.column) << " n " << c.n);
    Twin many(Faulted()), one(Faulted());
    Bytes data = Pattern(c.n, 7);
    for (Twin* t : {&many, &one}) {
      if (c.command != 0x00) t->chip.Command(c.command);  // the pointer first
      t->Open(0x80, 12, c.column);
    }
    many.chip.WriteMany(data.data(), c.n);
    for (uint32_t i = 0; i < c.n; ++i) one.chip.Write(data[i]);
    ExpectSameChip(many, one);
  }
}

}  // namespace
}  // namespace simtest
