// The simulated clock: the chip's busy time per operation from nand.cfg, bus
// bytes at timing.byte_ns, and a polling CPU that sees the hardware done on
// its first poll because the poll skipped the clock ahead.
#include <gtest/gtest.h>

#include <functional>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "sim/nand_chip.h"
#include "sim/soc_model.h"
#include "tests/sim/sim_harness.h"

namespace simtest {
namespace {

TEST(Clock, ChipBusyTimePerOperationFollowsTheSettings) {
  struct Timings {
    const char* name;
    uint64_t read, program, erase, byte;
  } timings[] = {{"defaults", 12000, 200000, 2000000, 50}, {"slow_chip", 25000, 700000, 5000000, 100}};
  for (const Timings& t : timings) {
    SCOPED_TRACE(t.name);
    sim::NandConfig cfg;
    if (t.read != cfg.pageReadNs) {
      cfg.pageReadNs = t.read;
      cfg.programNs = t.program;
      cfg.eraseNs = t.erase;
      cfg.byteNs = t.byte;
    }
    Harness h(cfg);
    struct Op {
      const char* name;
      std::function<bool()> run;
      uint64_t busy;
      uint64_t busBytes;  // data bytes that cross the bus
    } ops[] = {
        {"erase", [&] { return h.Erase(1); }, t.erase, 0},
        {"page_write",
         [&] {
           Bytes d(512, 0x5A);
           return h.WritePage(32, d.data());
         },
         t.program, 512},
        {"spare_write",
         [&] {
           uint8_t r[8] = {};
           return h.WriteSpare(32, 0, r);
         },
         t.program, 8},
        {"page_read",
         [&] {
           uint8_t r[kPage];
           return h.ReadPage(32, r);
         },
         t.read, 528},
        {"spare_read",
         [&] {
           uint8_t r[8];
           return h.ReadSpare(32, r);
         },
         t.read, 8},
        {"id_read",
         [&] {
           uint32_t w;
           return h.ReadId(&w);
         },
         0, 4},
    };
    for (const Op& op : ops) {
      SCOPED_TRACE(op.name);
      uint64_t busy0 = h.ChipBusy(), now0 = h.Now();
      ASSERT_TRUE(op.run());
      EXPECT_EQ(op.busy, h.ChipBusy() - busy0);
      // The device time covers the busy time and the data bytes; the rest is
      // register accesses and command/address cycles, far less than either.
      uint64_t spent = h.Now() - now0;
      EXPECT_GE(spent, op.busy + op.busBytes * t.byte);
      EXPECT_LT(spent, op.busy + op.busBytes * t.byte + 60 * (sim::kRegisterAccessNs + t.byte));
    }
    EXPECT_EQ(0u, h.Violations()) << h.Record();
  }
}

TEST(Clock, AResetKeepsTheChipBusyForItsResetTime) {
  Harness h(0xAD, 0x75);
  uint64_t busy0 = h.ChipBusy();
  Bytes d(512, 0);
  ASSERT_TRUE(h.WritePage(7, d.data()));  // maker 0xAD: reset pre-step first
  EXPECT_EQ(sim::kResetNs + 200000, h.ChipBusy() - busy0);
}

TEST(Clock, TheFirstPollAfterAnOperationSeesItDone) {
  Harness h;
  Bytes d(512, 0);
  ASSERT_TRUE(h.WritePage(9, d.data()));
  int polls = 0;
  h.CommandMode(NAND_CMD_ERASE, h.eraseCycles, 0);
  ASSERT_TRUE(h.Wait(sim::kRegNand, NAND_EVENT, EV_READY, EV_READY, &polls));
  EXPECT_EQ(1, polls);
  EXPECT_GE(h.Now(), h.state->h.chip.readyAtNs);

  h.Nand(NAND_CTRL, NAND_CTRL_START);
  h.Nand(NAND_XFER, NAND_XFER_RESET);
  h.Nand(NAND_XFER, NAND_XFER_IDLE);
  h.Nand(NAND_MODE, NAND_MODE_FIFO_READ);
  h.Nand(NAND_COUNT, 8);
  h.Nand(NAND_AUX, NAND_AUX_SPARE);
  h.Nand(NAND_ADDR_CYCLES, h.addrCycles);
  h.Nand(NAND_ADDR_HI, 0);
  h.Nand(NAND_ADDR, 9 * 256);
  h.Nand(NAND_CMD, NAND_CMD_READSPARE);
  h.Nand(NAND_XFER, NAND_XFER_START);
  // Before any poll the data is not there yet: the chip is still reading.
  EXPECT_LT(h.Now(), h.state->h.chip.readyAtNs);
  ASSERT_TRUE(h.Wait(sim::kRegNand, NAND_FIFO_STAT, FIFO_EMPTY, 0, &polls));
  EXPECT_EQ(1, polls);
  EXPECT_EQ(0u, h.Violations()) << h.Record();
}

}  // namespace
}  // namespace simtest
