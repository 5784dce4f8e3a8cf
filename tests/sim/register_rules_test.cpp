// Every register the driver's sequences write matters to the models: each
// sequence below is the driver's with one write left out, given another value,
// made too late, or added where it does not belong. The checker must name the
// register that was wrong and, where the hardware would get the data wrong,
// the data must come out wrong too.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_windows.h"
#include "sim/checker.h"
#include "tests/sim/sim_harness.h"

namespace simtest {
namespace {

using sim::kRegDma;
using sim::kRegNand;
using sim::ViolationKind;

enum class Op { kReadSpare, kReadPage, kWritePage, kWriteSpare, kErase };

// What else the hardware would get wrong, beyond the checker's record.
enum class Effect {
  kNone,
  kSpareReadsErased,  // the record comes back 0xFF although the page has one
  kRawReadsErased,    // the whole raw page comes back 0xFF
  kNothingMoved,      // the DMA buffer is as it was before the read
  kNotProgrammed,     // the page stays erased
  kNotErased,         // the block keeps its data
};

struct RuleCase {
  const char* name;
  Op op;
  Tamper tamper;
  ViolationKind kind;
  const char* named;  // text the violation must carry
  Effect effect;
  std::function<void(Harness&)> before;  // run just before the tampered sequence
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

Tamper Drop(uint32_t window, uint32_t offset) {
  Tamper t;
  t.kind = Tamper::kDrop;
  t.window = window;
  t.offset = offset;
  return t;
}

Tamper Value(uint32_t window, uint32_t offset, uint32_t value) {
  Tamper t = Drop(window, offset);
  t.kind = Tamper::kValue;
  t.value = value;
  return t;
}

Tamper After(uint32_t window, uint32_t offset, uint32_t afterWindow, uint32_t afterOffset) {
  Tamper t = Drop(window, offset);
  t.kind = Tamper::kAfter;
  t.afterWindow = afterWindow;
  t.afterOffset = afterOffset;
  return t;
}

Tamper Insert(uint32_t window, uint32_t offset, uint32_t value, uint32_t afterWindow, uint32_t afterOffset) {
  Tamper t = After(window, offset, afterWindow, afterOffset);
  t.kind = Tamper::kInsert;
  t.value = value;
  return t;
}

const uint32_t kReadSector = 9;
const uint32_t kWriteSector = 12;
const uint32_t kEraseBlock = 2;

const RuleCase kCases[] = {
    // Chip enable: each operation opens with its own NAND_CTRL write; the one
    // before it ended and let CE# go high.
    {"ctrl_left_out_of_a_spare_read", Op::kReadSpare, Drop(kRegNand, NAND_CTRL), ViolationKind::kSequence,
     "NAND_CTRL not written 0xFFFFFFFE", Effect::kSpareReadsErased, nullptr},
    {"ctrl_left_out_of_a_page_program", Op::kWritePage, Drop(kRegNand, NAND_CTRL), ViolationKind::kSequence,
     "NAND_CTRL not written 0xFFFFFFFE", Effect::kNotProgrammed, nullptr},
    {"ctrl_written_after_the_erase_command", Op::kErase, After(kRegNand, NAND_CTRL, kRegNand, NAND_CMD),
     ViolationKind::kSequence, "NAND_CTRL not written 0xFFFFFFFE", Effect::kNotErased, nullptr},
    {"ctrl_with_another_value", Op::kReadPage, Value(kRegNand, NAND_CTRL, 0xFFFFFFFFu), ViolationKind::kSequence,
     "NAND_CTRL 0xffffffff", Effect::kRawReadsErased, nullptr},
    // The spare select.
    {"aux_left_out_of_a_spare_read", Op::kReadSpare, Drop(kRegNand, NAND_AUX), ViolationKind::kTransfer, "NAND_AUX 0x0",
     Effect::kSpareReadsErased, nullptr},
    {"aux_written_before_the_transfer_reset", Op::kReadSpare, Drop(kRegNand, NAND_AUX), ViolationKind::kTransfer,
     "NAND_AUX 0x0", Effect::kSpareReadsErased, [](Harness& h) { h.Nand(NAND_AUX, NAND_AUX_SPARE); }},
    {"aux_set_on_a_page_read", Op::kReadPage, Insert(kRegNand, NAND_AUX, NAND_AUX_SPARE, kRegNand, NAND_DMA_CFG),
     ViolationKind::kTransfer, "NAND_AUX 0x20 on a transfer", Effect::kNone, nullptr},
    // The transfer set-up after the transfer reset.
    {"addr_hi_left_out_of_a_spare_program", Op::kWriteSpare, Drop(kRegNand, NAND_ADDR_HI), ViolationKind::kSequence,
     "NAND_ADDR_HI not written since the transfer reset", Effect::kNone, nullptr},
    {"addr_hi_written_after_the_start", Op::kReadPage, After(kRegNand, NAND_ADDR_HI, kRegDma, DMA_CH_CTRL),
     ViolationKind::kSequence, "NAND_ADDR_HI not written since the transfer reset", Effect::kNone, nullptr},
    {"addr_hi_not_zero", Op::kReadPage, Value(kRegNand, NAND_ADDR_HI, 1), ViolationKind::kAddress, "NAND_ADDR_HI 0x1",
     Effect::kNone, nullptr},
    {"count_left_out_of_a_spare_program", Op::kWriteSpare, Drop(kRegNand, NAND_COUNT), ViolationKind::kSequence,
     "NAND_COUNT not written since the transfer reset", Effect::kNone, nullptr},
    {"cycles_left_out_of_a_page_read", Op::kReadPage, Drop(kRegNand, NAND_ADDR_CYCLES), ViolationKind::kSequence,
     "NAND_ADDR_CYCLES not written since the transfer reset", Effect::kNone, nullptr},
    {"dma_cfg_left_out_of_a_page_program", Op::kWritePage, Drop(kRegNand, NAND_DMA_CFG), ViolationKind::kSequence,
     "NAND_DMA_CFG not written since the transfer reset", Effect::kNone, nullptr},
    // Event clears come before the command they prepare for.
    {"event_clear_after_the_erase_command", Op::kErase, After(kRegNand, NAND_EVENT, kRegNand, NAND_CMD),
     ViolationKind::kSequence, "clears EV_READY of the operation under way", Effect::kNone, nullptr},
    {"event_clear_after_the_spare_read_start", Op::kReadSpare, After(kRegNand, NAND_EVENT, kRegNand, NAND_XFER),
     ViolationKind::kSequence, "clears EV_FIFO_DONE of the operation under way", Effect::kNone, nullptr},
    // The ID read leaves EV_FIFO_DONE set (it polls the FIFO status); a spare
    // read without its clear ends its wait at once and finds the FIFO empty.
    {"event_clear_left_out_after_an_id_read", Op::kReadSpare, Drop(kRegNand, NAND_EVENT), ViolationKind::kSequence,
     "NAND_FIFO read with the FIFO empty", Effect::kNone,
     [](Harness& h) {
       uint32_t id = 0;
       EXPECT_TRUE(h.ReadId(&id));
     }},
    // The DMA descriptor, taken when DMA_CH_BUF arms the channel.
    {"dma_len_written_after_the_buffer", Op::kReadPage, After(kRegDma, DMA_CH_LEN, kRegDma, DMA_CH_BUF),
     ViolationKind::kSequence, "DMA_CH_LEN not written since the last arming", Effect::kNothingMoved, nullptr},
    {"dma_len_left_out_after_a_read", Op::kReadPage, Drop(kRegDma, DMA_CH_LEN), ViolationKind::kSequence,
     "DMA_CH_LEN not written since the last arming", Effect::kNothingMoved,
     [](Harness& h) {
       uint8_t raw[kPage];
       EXPECT_TRUE(h.ReadPage(kReadSector + 1, raw));
     }},
    {"dma_ext_left_out_of_a_page_program", Op::kWritePage, Drop(kRegDma, DMA_CH_EXT), ViolationKind::kSequence,
     "DMA_CH_EXT not written since the last arming", Effect::kNone, nullptr},
    {"dma_ext_not_zero", Op::kWritePage, Value(kRegDma, DMA_CH_EXT, 1), ViolationKind::kTransfer, "DMA_CH_EXT 0x1",
     Effect::kNone, nullptr},
    {"dma_ctrl_left_out_of_a_page_read", Op::kReadPage, Drop(kRegDma, DMA_CH_CTRL), ViolationKind::kSequence,
     "DMA_CH_CTRL not written since the last arming", Effect::kNone, nullptr},
};

class RegisterRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RegisterRules, TheCheckerNamesTheRegisterAndTheDataShowsIt) {
  const RuleCase& c = GetParam();
  Harness h;
  // A page with data and a record to read, a block with data to erase.
  Bytes raw = Pattern(kPage, 3);
  h.Fill(kReadSector, raw);
  h.Fill(kEraseBlock * 32 + 5, Pattern(kPage, 4));
  // One sound operation first: the tampered one follows an operation that
  // has ended, as in a real run.
  uint8_t other[8];
  ASSERT_TRUE(h.ReadSpare(kReadSector + 1, other));
  ASSERT_EQ(0u, h.Violations()) << h.Record();
  if (c.before) c.before(h);
  memset(h.state->dmaBuffer, 0x5A, kPage);

  h.SetTamper(c.tamper);
  uint8_t record[8] = {0};
  uint8_t page[kPage];
  memset(page, 0, sizeof(page));
  Bytes data = Pattern(512, 5);
  uint8_t ecc[8] = {1, 2, 3, 0xFF, 4, 5, 6, 0xFF};
  switch (c.op) {
    case Op::kReadSpare:
      h.ReadSpare(kReadSector, record);
      break;
    case Op::kReadPage:
      h.ReadPage(kReadSector, page);
      break;
    case Op::kWritePage:
      h.WritePage(kWriteSector, data.data());
      break;
    case Op::kWriteSpare:
      h.WriteSpare(kWriteSector, 8, ecc);
      break;
    case Op::kErase:
      h.Erase(kEraseBlock);
      break;
  }

  EXPECT_TRUE(h.Recorded(c.kind, c.named)) << "expected " << sim::ViolationKindName(c.kind) << ": " << c.named
                                           << "\nrecorded:\n"
                                           << h.Record();
  Bytes erased(kPage, 0xFF);
  switch (c.effect) {
    case Effect::kNone:
      break;
    case Effect::kSpareReadsErased:
      EXPECT_EQ(DiffBytes(Bytes(8, 0xFF), Bytes(record, record + 8)), "");
      break;
    case Effect::kRawReadsErased:
      EXPECT_EQ(DiffBytes(erased, Bytes(page, page + kPage)), "");
      break;
    case Effect::kNothingMoved:
      EXPECT_EQ(DiffBytes(Bytes(kPage, 0x5A), Bytes(h.state->dmaBuffer, h.state->dmaBuffer + kPage)), "");
      break;
    case Effect::kNotProgrammed:
      EXPECT_EQ(DiffBytes(erased, Bytes(h.Page(kWriteSector), h.Page(kWriteSector) + kPage)), "");
      break;
    case Effect::kNotErased:
      EXPECT_EQ(DiffBytes(Pattern(kPage, 4), Bytes(h.Page(kEraseBlock * 32 + 5), h.Page(kEraseBlock * 32 + 5) + kPage)),
                "");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, RegisterRules, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RuleCase>& i) { return std::string(i.param.name); });

// The same sequences untouched, on every chip and for maker 0xAD's reset
// before each program (a reset does not end the operation it prepares):
// nothing is recorded and the data is right.
TEST(RegisterRules, TheDriversOwnSequencesRecordNothing) {
  for (size_t i = 0; i < kSmallPageChipCount; ++i) {
    const ChipCase& chip = kSmallPageChips[i];
    SCOPED_TRACE(chip.name);
    Harness h(chip.maker, chip.device);
    Bytes data = Pattern(512, 7);
    uint8_t ecc[8] = {1, 2, 3, 0xFF, 4, 5, 6, 0xFF};
    uint8_t rec[8] = {9, 8, 7, 6, 0xFF, 0xFF, 5, 4};
    uint32_t id = 0;
    ASSERT_TRUE(h.ReadId(&id));
    ASSERT_TRUE(h.Erase(0));
    ASSERT_TRUE(h.WritePage(3, data.data()));
    ASSERT_TRUE(h.WriteSpare(3, 8, ecc));
    ASSERT_TRUE(h.WriteSpare(3, 0, rec));
    uint8_t raw[kPage], got[8];
    ASSERT_TRUE(h.ReadPage(3, raw));
    ASSERT_TRUE(h.ReadSpare(3, got));
    EXPECT_EQ(DiffBytes(data, Bytes(raw, raw + 512)), "");
    EXPECT_EQ(DiffBytes(Bytes(rec, rec + 8), Bytes(raw + 512, raw + 520)), "");
    EXPECT_EQ(DiffBytes(Bytes(ecc, ecc + 8), Bytes(raw + 520, raw + 528)), "");
    EXPECT_EQ(DiffBytes(Bytes(rec, rec + 8), Bytes(got, got + 8)), "");
    EXPECT_EQ(0u, h.Violations()) << h.Record();
  }
}

}  // namespace
}  // namespace simtest
