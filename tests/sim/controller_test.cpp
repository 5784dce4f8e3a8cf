// The NAND controller and its DMA channel against broken variants of the
// driver's sequences: each mismatch of mode, count, DMA length, direction or
// set-up is recorded with what was wrong; accesses without the bus mutexes,
// with the pins on the camera or under write protect are recorded and (for the
// last two) do not reach the cells.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "sim/checker.h"
#include "tests/sim/sim_harness.h"

namespace simtest {
namespace {

using sim::kRegDma;
using sim::kRegExtBoard;
using sim::kRegNand;
using sim::kRegResShare;
using sim::ViolationKind;

// A page read or write as the driver does it, with one step replaced.
struct Tweak {
  uint32_t mode = 0, count = 0, cfg = 0, cmd = 0;
  uint32_t dmaLen = 0, dmaBuf = 0;
  int dir = -1;  // -1: as the driver sets it; 0 clear; 1 set
  bool skipReset = false;
};

void TweakedRead(Harness& h, const Tweak& t) {
  h.Nand(NAND_CTRL, NAND_CTRL_START);
  if (!t.skipReset) {
    h.Nand(NAND_XFER, NAND_XFER_RESET);
    h.Nand(NAND_XFER, NAND_XFER_IDLE);
  }
  h.Nand(NAND_MODE, t.mode ? t.mode : NAND_MODE_DMA_READ);
  h.Nand(NAND_DMA_CFG, t.cfg ? t.cfg : NAND_DMA_CFG_READ);
  h.Nand(NAND_ADDR_CYCLES, h.addrCycles);
  h.Nand(NAND_ADDR_HI, 0);
  h.Nand(NAND_ADDR, 10 * 256);
  h.Nand(NAND_COUNT, t.count ? t.count : NAND_COUNT_PAGE_READ);
  h.Nand(NAND_EVENT, EV_ALL);
  h.Nand(NAND_CMD, t.cmd ? t.cmd : NAND_CMD_READ0);
  h.Nand(NAND_XFER, NAND_XFER_START);
  uint32_t ctrl = h.R(kRegDma, DMA_CH_CTRL);
  h.W(kRegDma, DMA_CH_CTRL, t.dir == 1 ? ctrl | DMA_CTRL_TO_DEVICE : ctrl & ~DMA_CTRL_TO_DEVICE);
  h.W(kRegDma, DMA_CH_EXT, 0);
  h.W(kRegDma, DMA_CH_LEN, t.dmaLen ? t.dmaLen : DMA_LEN_READ);
  h.W(kRegDma, DMA_CH_BUF, t.dmaBuf ? t.dmaBuf : NAND_DMA_BUFFER_PA);
  h.Wait(kRegDma, DMA_STAT, DMA_STAT_BUSY, 0);
  h.Wait(kRegNand, NAND_EVENT, EV_DMA_DONE, EV_DMA_DONE);
}

void TweakedWrite(Harness& h, const Tweak& t) {
  h.Nand(NAND_CTRL, NAND_CTRL_START);
  h.Nand(NAND_EVENT, EV_ALL);
  h.CommandMode(NAND_CMD_READ0);
  if (!t.skipReset) {
    h.Nand(NAND_XFER, NAND_XFER_RESET);
    h.Nand(NAND_XFER, NAND_XFER_IDLE);
  }
  h.Nand(NAND_MODE, t.mode ? t.mode : NAND_MODE_DMA_WRITE);
  h.Nand(NAND_DMA_CFG, t.cfg ? t.cfg : NAND_DMA_CFG_WRITE);
  h.Nand(NAND_ADDR_CYCLES, h.addrCycles);
  h.Nand(NAND_ADDR_HI, 0);
  h.Nand(NAND_ADDR, 10 * 256);
  h.Nand(NAND_COUNT, t.count ? t.count : NAND_COUNT_PAGE_WRITE);
  h.Nand(NAND_CMD, t.cmd ? t.cmd : NAND_CMD_SEQIN);
  h.Nand(NAND_XFER, NAND_XFER_START);
  uint32_t ctrl = h.R(kRegDma, DMA_CH_CTRL);
  h.W(kRegDma, DMA_CH_CTRL, t.dir == 0 ? ctrl & ~DMA_CTRL_TO_DEVICE : ctrl | DMA_CTRL_TO_DEVICE);
  h.W(kRegDma, DMA_CH_EXT, 0);
  h.W(kRegDma, DMA_CH_LEN, t.dmaLen ? t.dmaLen : DMA_LEN_WRITE);
  h.W(kRegDma, DMA_CH_BUF, t.dmaBuf ? t.dmaBuf : NAND_DMA_BUFFER_PA);
  h.Wait(kRegNand, NAND_EVENT, EV_DMA_DONE, EV_DMA_DONE);
  h.Nand(NAND_EVENT, EV_DMA_DONE);
  h.ProgramTail();
}

TEST(ControllerChecks, MismatchedTransfersAreRecordedWithWhatWasWrong) {
  struct Case {
    const char* name;
    bool write;
    Tweak t;
    ViolationKind kind;
    const char* text;
  };
  auto tw = [](std::function<void(Tweak&)> f) {
    Tweak t;
    f(t);
    return t;
  };
  const Case cases[] = {
      {"read_len_128", false, tw([](Tweak& t) { t.dmaLen = 128; }), ViolationKind::kTransfer,
       "DMA_CH_LEN 128 words for a NAND DMA read"},
      {"read_direction_set", false, tw([](Tweak& t) { t.dir = 1; }), ViolationKind::kTransfer,
       "DMA direction memory to NAND for a NAND DMA read"},
      {"write_len_132", true, tw([](Tweak& t) { t.dmaLen = 132; }), ViolationKind::kTransfer,
       "DMA_CH_LEN 132 words for a NAND DMA write"},
      {"write_direction_clear", true, tw([](Tweak& t) { t.dir = 0; }), ViolationKind::kTransfer,
       "DMA direction NAND to memory for a NAND DMA write"},
      {"count_0x210_mode_4", true, tw([](Tweak& t) { t.count = 0x210; }), ViolationKind::kTransfer,
       "DMA write (mode 0x04) with NAND_COUNT 0x210"},
      {"count_0x200_mode_6", false, tw([](Tweak& t) { t.count = 0x200; }), ViolationKind::kTransfer,
       "DMA read (mode 0x06) with NAND_COUNT 0x200"},
      {"read_cfg_of_write", false, tw([](Tweak& t) { t.cfg = NAND_DMA_CFG_WRITE; }), ViolationKind::kTransfer,
       "NAND_DMA_CFG 0x40200c"},
      {"read_with_program_cmd", false, tw([](Tweak& t) { t.cmd = NAND_CMD_SEQIN; }), ViolationKind::kTransfer,
       "DMA read (mode 0x06) with command 0x80"},
      {"fifo_mode_for_page", false, tw([](Tweak& t) { t.mode = NAND_MODE_FIFO_READ; }), ViolationKind::kTransfer,
       "FIFO read of NAND_COUNT 0x210"},
      {"unknown_mode", false, tw([](Tweak& t) { t.mode = 0x07; }), ViolationKind::kTransfer, "unknown mode 0x7"},
      {"wrong_buffer", false, tw([](Tweak& t) { t.dmaBuf = 0x30004000; }), ViolationKind::kTransfer,
       "DMA_CH_BUF 0x30004000 is not the NAND DMA buffer"},
      {"no_transfer_reset", true, tw([](Tweak& t) { t.skipReset = true; }), ViolationKind::kSequence,
       "without a reset of the transfer logic"},
      {"start_in_command_mode", false, tw([](Tweak& t) { t.mode = NAND_MODE_COMMAND; }), ViolationKind::kTransfer,
       "NAND_XFER start in command mode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    uint32_t id;
    ASSERT_TRUE(h.ReadId(&id));  // the transfer logic has run once
    if (c.write)
      TweakedWrite(h, c.t);
    else
      TweakedRead(h, c.t);
    EXPECT_TRUE(h.Recorded(c.kind, c.text)) << h.Record();
  }
  // The unmodified sequences are clean: the table's findings come from the tweak.
  Harness h;
  TweakedRead(h, Tweak());
  TweakedWrite(h, Tweak());
  EXPECT_EQ(0u, h.Violations()) << h.Record();
}

TEST(ControllerChecks, FifoMisuseIsRecorded) {
  Harness h;
  h.Nand(NAND_FIFO);
  EXPECT_TRUE(h.Recorded(ViolationKind::kSequence, "NAND_FIFO read with the FIFO empty")) << h.Record();
  h.Nand(NAND_FIFO, 0x12345678);
  EXPECT_TRUE(h.Recorded(ViolationKind::kSequence, "outside a FIFO write transfer")) << h.Record();

  Harness g;
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(g.WriteSpare(4, 0, bytes));
  EXPECT_EQ(0u, g.Violations()) << g.Record();
  // A third word on an 8-byte FIFO write goes nowhere.
  g.Nand(NAND_XFER, NAND_XFER_RESET);
  g.Nand(NAND_XFER, NAND_XFER_IDLE);
  g.Nand(NAND_MODE, NAND_MODE_FIFO_WRITE);
  g.Nand(NAND_ADDR_CYCLES, g.addrCycles);
  g.Nand(NAND_COUNT, 8);
  g.Nand(NAND_ADDR, 5 * 256);
  g.Nand(NAND_CMD, NAND_CMD_SEQIN);
  g.Nand(NAND_XFER, NAND_XFER_START);
  for (int i = 0; i < 3; ++i) g.Nand(NAND_FIFO, 0);
  EXPECT_TRUE(g.Recorded(ViolationKind::kTransfer, "beyond NAND_COUNT 0x8")) << g.Record();
}

TEST(ControllerChecks, EveryControllerAccessWithoutTheBusIsRecorded) {
  Harness h;
  h.who.holdsBus = false;
  h.who.pid = 4242;
  uint32_t word;
  ASSERT_TRUE(h.ReadId(&word));
  // 8 writes and the FIFO_STAT poll and the FIFO read: every one counted.
  EXPECT_EQ(h.Violations(), h.ViolationsOf(ViolationKind::kUnlocked)) << h.Record();
  EXPECT_GE(h.Violations(), 10u);
  EXPECT_TRUE(h.Recorded(ViolationKind::kUnlocked, "pid=4242 unlocked: NAND_CMD write 0x90 without holding"))
      << h.Record();
  // The pin and extension-board registers belong to whoever holds the pin
  // mutex (the camera driver too): not a controller access.
  Harness g;
  g.who.holdsBus = false;
  g.W(kRegResShare, RS_PINMUX, 0x4000);
  g.W(kRegExtBoard, EXT_BOARD_CTRL, 0);
  EXPECT_EQ(0u, g.Violations()) << g.Record();
}

TEST(ControllerChecks, PinsOnTheCameraKeepTheChipUnreached) {
  Harness h;
  Bytes before = h.image;
  h.W(kRegResShare, RS_PINMUX, 0xC001);
  Bytes data(512, 0x00);
  h.WritePage(3, data.data());
  ASSERT_TRUE(h.Erase(0));
  EXPECT_TRUE(h.Recorded(ViolationKind::kPinsOnCamera, "NAND_CMD write 0x80 while RS_PINMUX gives the pins"))
      << h.Record();
  EXPECT_EQ(h.Violations(), h.ViolationsOf(ViolationKind::kPinsOnCamera)) << h.Record();
  EXPECT_TRUE(before == h.image) << "the chip was reached";
  EXPECT_EQ(0u, h.state->h.chip.ops);
  uint32_t word = 0;
  ASSERT_TRUE(h.ReadId(&word));
  EXPECT_EQ(0xFFFFFFFFu, word) << "nobody drives the data lines";

  // Pins back to the NAND controller: the chip answers again, cleanly.
  Harness g;
  g.W(kRegResShare, RS_PINMUX, 0xC001);
  g.W(kRegResShare, RS_PINMUX, g.R(kRegResShare, RS_PINMUX) & ~RS_PINMUX_CAMERA);
  ASSERT_TRUE(g.WritePage(3, data.data()));
  EXPECT_EQ(0x00, g.Page(3)[0]);
  EXPECT_EQ(0u, g.Violations()) << g.Record();
}

TEST(ControllerChecks, WriteProtectStopsProgramAndEraseOnly) {
  Harness h;
  Bytes zero(kPage, 0x00);
  h.Fill(40, zero);
  h.W(kRegExtBoard, EXT_BOARD_CTRL, EXT_BOARD_NAND_WP | 0x01);
  uint8_t raw[kPage];
  ASSERT_TRUE(h.ReadPage(40, raw));
  EXPECT_EQ(0u, h.Violations()) << "reads are not protected\n" << h.Record();
  Bytes data(512, 0x00);
  ASSERT_TRUE(h.WritePage(3, data.data()));
  ASSERT_TRUE(h.Erase(1));
  EXPECT_TRUE(h.Recorded(ViolationKind::kWriteProtect, "program of sector 3 while write protect")) << h.Record();
  EXPECT_TRUE(h.Recorded(ViolationKind::kWriteProtect, "erase of block 1 while write protect")) << h.Record();
  EXPECT_EQ(2u, h.Violations()) << h.Record();
  EXPECT_EQ(0xFF, h.Page(3)[0]);
  EXPECT_EQ(0x00, h.Page(40)[0]);
  // The bus lock clears bit 7 and keeps the rest: writes work again.
  h.W(kRegExtBoard, EXT_BOARD_CTRL, 0x01);
  ASSERT_TRUE(h.WritePage(3, data.data()));
  EXPECT_EQ(0x00, h.Page(3)[0]);
}

TEST(ControllerEvents, EventsAreWriteOneToClearAndRaisedPerOperation) {
  Harness h;
  h.Nand(NAND_CTRL, NAND_CTRL_START);
  ASSERT_TRUE(h.ResetPreStep());
  EXPECT_EQ(0u, h.Nand(NAND_EVENT) & EV_READY) << "cleared by writing its bit";
  // Reset again without clearing: EV_READY stays until written.
  h.CommandMode(NAND_CMD_RESET);
  ASSERT_TRUE(h.Wait(kRegNand, NAND_EVENT, EV_READY, EV_READY));
  h.Nand(NAND_EVENT, EV_DMA_DONE);
  EXPECT_EQ(EV_READY, h.Nand(NAND_EVENT) & EV_READY) << "writing another bit leaves it";
  h.Nand(NAND_EVENT, EV_ALL);
  EXPECT_EQ(0u, h.Nand(NAND_EVENT));
  // A page read raises EV_DMA_DONE, not EV_READY.
  uint8_t raw[kPage];
  ASSERT_TRUE(h.ReadPage(1, raw));
  EXPECT_EQ(0u, h.Nand(NAND_EVENT) & EV_READY);
  EXPECT_EQ(0u, h.Violations()) << h.Record();
}

}  // namespace
}  // namespace simtest
