// Every fault kind of nand.cfg, as the driver's transfers meet it, with the
// cells of the image and the bytes delivered compared separately: a read
// fault changes what is delivered, a media fault what is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "sim/checker.h"
#include "sim/soc_model.h"
#include "tests/sim/sim_harness.h"

namespace simtest {
namespace {

using sim::kRegDma;
using sim::kRegNand;

struct FaultCase {
  const char* name;
  std::function<void(sim::NandConfig&)> set;
  std::function<void(Harness&)> verify;
};

void ExpectDelivered(Harness& h, uint32_t sector, uint32_t byte, uint8_t want, const char* what) {
  uint8_t raw[kPage];
  ASSERT_TRUE(h.ReadPage(sector, raw));
  EXPECT_EQ(want, raw[byte]) << what << " (byte " << byte << " of sector " << sector << ")";
}

// Flips of what a read delivers, the cell left as it is.
std::vector<FaultCase> ReadFlipCases() {
  return {
      {"read_flip_twice",
       [](sim::NandConfig& c) {
         c.readFlips.push_back({12, 100, 3, 2});
       },
       [](Harness& h) {
         ExpectDelivered(h, 12, 100, 0xF7, "first read");
         ExpectDelivered(h, 12, 100, 0xF7, "second read");
         ExpectDelivered(h, 12, 100, 0xFF, "third read: the flip is used up");
         EXPECT_EQ(0xFF, h.Page(12)[100]) << "the cell never changed";
         ExpectDelivered(h, 13, 100, 0xFF, "another sector");
       }},
      {"read_flip_every_read",
       [](sim::NandConfig& c) {
         c.readFlips.push_back({12, 515, 0, 0});
       },
       [](Harness& h) {
         for (int i = 0; i < 5; ++i) ExpectDelivered(h, 12, 515, 0xFE, "every read");
         uint8_t rec[8];
         ASSERT_TRUE(h.ReadSpare(12, rec));
         EXPECT_EQ(0xFE, rec[3]) << "spare reads see it too";
         EXPECT_EQ(0xFF, h.Page(12)[515]);
       }},
      {"read_flip_only_counts_delivered_bytes",
       [](sim::NandConfig& c) {
         c.readFlips.push_back({12, 7, 1, 1});
       },
       [](Harness& h) {
         uint8_t rec[8];
         ASSERT_TRUE(h.ReadSpare(12, rec));  // byte 7 is not on the bus
         ExpectDelivered(h, 12, 7, 0xFD, "first read that delivers it");
       }},
  };
}

// Cells that neither an erase nor a program moves.
std::vector<FaultCase> StuckBitCases() {
  return {
      {"stuck_bit_low",
       [](sim::NandConfig& c) {
         c.stuckBits.push_back({40, 10, 6, 0});
       },
       [](Harness& h) {
         ExpectDelivered(h, 40, 10, 0xBF, "before any erase");
         ASSERT_TRUE(h.Erase(1));
         EXPECT_EQ(0xBF, h.Page(40)[10]) << "erase cannot set it";
         ExpectDelivered(h, 40, 10, 0xBF, "after the erase");
       }},
      {"stuck_bit_high",
       [](sim::NandConfig& c) {
         c.stuckBits.push_back({40, 10, 6, 1});
       },
       [](Harness& h) {
         Bytes zero(512, 0x00);
         ASSERT_TRUE(h.WritePage(40, zero.data()));
         EXPECT_EQ(0x40, h.Page(40)[10]);
         EXPECT_EQ(0x00, h.Page(40)[11]);
         ExpectDelivered(h, 40, 10, 0x40, "program cannot clear it");
       }},
  };
}

// Programs and erases that leave the cells as they were.
std::vector<FaultCase> ProgramAndEraseFailCases() {
  return {
      {"program_fail_whole_page",
       [](sim::NandConfig& c) {
         c.programFails.push_back({20, true, 0, 0});
       },
       [](Harness& h) {
         Bytes zero(512, 0x00);
         const uint8_t rec[8] = {};
         ASSERT_TRUE(h.WritePage(20, zero.data()));
         ASSERT_TRUE(h.WriteSpare(20, 0, rec));
         Bytes ff(kPage, 0xFF);
         EXPECT_EQ(0, memcmp(ff.data(), h.Page(20), kPage)) << DiffBytes(ff.data(), h.Page(20), kPage);
         ASSERT_TRUE(h.WritePage(21, zero.data()));
         EXPECT_EQ(0x00, h.Page(21)[0]) << "the next page programs";
       }},
      {"program_fail_one_bit",
       [](sim::NandConfig& c) {
         c.programFails.push_back({20, false, 300, 5});
       },
       [](Harness& h) {
         Bytes zero(512, 0x00);
         ASSERT_TRUE(h.WritePage(20, zero.data()));
         EXPECT_EQ(0x20, h.Page(20)[300]);
         EXPECT_EQ(0x00, h.Page(20)[299]);
         EXPECT_EQ(0x00, h.Page(20)[301]);
       }},
      {"erase_fail", [](sim::NandConfig& c) { c.eraseFails.push_back(2); },
       [](Harness& h) {
         Bytes zero(kPage, 0x00);
         h.Fill(64, zero);
         h.Fill(96, zero);
         ASSERT_TRUE(h.Erase(2));
         ASSERT_TRUE(h.Erase(3));
         EXPECT_EQ(0x00, h.Page(64)[0]) << "block 2 kept its content";
         EXPECT_EQ(0xFF, h.Page(96)[0]) << "block 3 erased";
       }},
  };
}

// The kinds kept by key, set as a line of nand.cfg sets them.
std::vector<FaultCase> KeyedCases() {
  return {
      {"partial_erase",
       [](sim::NandConfig& c) {
         ASSERT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey("fault.partial_erase", "2:3:100:6", &c));
       },
       [](Harness& h) {
         Bytes zero(kPage, 0x00);
         h.Fill(64, zero);
         h.Fill(96, zero);
         ASSERT_TRUE(h.Erase(2)) << "the chip reports the erase done";
         EXPECT_EQ(0xBF, h.Page(67)[100]) << "page 3 of block 2 kept that bit at 0";
         EXPECT_EQ(0xFF, h.Page(67)[101]);
         EXPECT_EQ(0xFF, h.Page(64)[100]) << "the block's other pages are erased";
         ExpectDelivered(h, 67, 100, 0xBF, "read after the erase");
         ASSERT_TRUE(h.Erase(3));
         EXPECT_EQ(0xFF, h.Page(99)[100]) << "block 3 erased";
       }},
      {"read_disturb",
       [](sim::NandConfig& c) {
         ASSERT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey("fault.read_disturb", "12:100:3:2", &c));
       },
       [](Harness& h) {
         ExpectDelivered(h, 12, 100, 0xFF, "first read");
         EXPECT_EQ(0xFF, h.Page(12)[100]) << "the cell held through one read";
         ExpectDelivered(h, 12, 100, 0xFF, "second read");
         EXPECT_EQ(0xF7, h.Page(12)[100]) << "the second read changed the flash itself";
         ExpectDelivered(h, 12, 100, 0xF7, "third read");
         ExpectDelivered(h, 13, 100, 0xFF, "another sector");
         ASSERT_TRUE(h.Erase(0));
         EXPECT_EQ(0xFF, h.Page(12)[100]) << "an erase clears it";
         ExpectDelivered(h, 12, 100, 0xFF, "first read after the erase");
         ExpectDelivered(h, 12, 100, 0xFF, "second read after the erase");
         ExpectDelivered(h, 12, 100, 0xF7, "third read after the erase: the count starts again");
       }},
      {"read_disturb_from_the_first_read",
       [](sim::NandConfig& c) {
         ASSERT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey("fault.read_disturb", "12:100:3:0", &c));
       },
       [](Harness& h) { ExpectDelivered(h, 12, 100, 0xF7, "first read"); }},
  };
}

TEST(Faults, EachKindActsAsConfigured) {
  std::vector<FaultCase> cases;
  for (const auto& group : {ReadFlipCases(), StuckBitCases(), ProgramAndEraseFailCases(), KeyedCases()})
    cases.insert(cases.end(), group.begin(), group.end());
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::NandConfig cfg;
    c.set(cfg);
    Harness h(cfg);
    c.verify(h);
    EXPECT_EQ(0u, h.Violations()) << "faults are the chip's, not the guest's\n" << h.Record();
  }
}

TEST(Faults, SettingsReplacedOnALiveDevice) {
  Harness h;
  ExpectDelivered(h, 3, 0, 0xFF, "no fault yet");
  sim::NandConfig cfg;
  cfg.readFlips.push_back({3, 0, 7, 0});
  h.LoadSettings(cfg);
  ExpectDelivered(h, 3, 0, 0x7F, "after loading");
  cfg.ClearFaults();
  h.LoadSettings(cfg);
  ExpectDelivered(h, 3, 0, 0xFF, "after clearing");
}

// Three ID reads use up the allowance; the driver's next transfer, whichever
// it is, hangs at its chip operation.
TEST(Faults, StuckReadyAfterNOperationsSignalsNothingAgain) {
  struct Case {
    const char* name;
    std::function<bool(Harness&)> op;
  } cases[] = {
      {"id_read",
       [](Harness& h) {
         uint32_t w;
         return h.ReadId(&w);
       }},
      {"spare_read",
       [](Harness& h) {
         uint8_t r[8];
         return h.ReadSpare(5, r);
       }},
      {"page_read",
       [](Harness& h) {
         uint8_t r[kPage];
         return h.ReadPage(5, r);
       }},
      {"page_write",
       [](Harness& h) {
         Bytes d(512, 0);
         return h.WritePage(5, d.data());
       }},
      {"spare_write",
       [](Harness& h) {
         uint8_t r[8] = {};
         return h.WriteSpare(5, 0, r);
       }},
      {"erase", [](Harness& h) { return h.Erase(0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::NandConfig cfg;
    cfg.stuckReadyAfter = 3;
    Harness h(cfg);
    uint32_t w;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(h.ReadId(&w)) << "operation " << i + 1 << " is before the fault";
    Bytes before = h.image;
    EXPECT_FALSE(c.op(h)) << "the fourth chip operation must never complete";
    EXPECT_TRUE(before == h.image) << "the hung operation changed the cells";
    // Nothing signals any more, whatever is polled.
    h.Nand(NAND_EVENT, EV_ALL);
    EXPECT_EQ(0u, h.Nand(NAND_EVENT) & (EV_READY | EV_DMA_DONE | EV_FIFO_DONE));
    EXPECT_EQ(DMA_STAT_BUSY, h.R(kRegDma, DMA_STAT) & DMA_STAT_BUSY);
    h.W(kRegDma, DMA_DRAIN, 1);
    EXPECT_EQ(1u, h.R(kRegDma, DMA_DRAIN));
    EXPECT_FALSE(h.ReadId(&w)) << "the FIFO stays empty";
    EXPECT_EQ(1u, h.state->h.power.stuck);
    EXPECT_EQ(0u, h.Violations()) << h.Record();
    // A new run on the device lifts it.
    sim::StartDeviceRun(h.state->h, nullptr, 0, false);
    EXPECT_TRUE(h.ReadId(&w));
    EXPECT_EQ(0xEC, w & 0xFF);
  }
}

TEST(Faults, PowerLossKeepsExactlyWhatHadCompleted) {
  // Page write (1 op), ECC spare write (1 op), record spare write (1 op), per
  // sector; power goes at the start of operation N + 1.
  for (int n = 0; n <= 6; ++n) {
    SCOPED_TRACE(testing::Message() << "power_loss_after=" << n);
    sim::NandConfig cfg;
    cfg.powerLossAfter = n;
    Harness h(cfg);
    Bytes data = Pattern(512, 77);
    const uint8_t ecc[8] = {1, 2, 3, 0xFF, 5, 6, 7, 0xFF};
    const uint8_t rec[8] = {0, 0, 0, 0, 0xFC, 0, 0, 0};
    for (uint32_t s = 0; s < 2 && !h.model->PoweredOff(); ++s) {
      h.WritePage(s, data.data());
      h.WriteSpare(s, 8, ecc);
      h.WriteSpare(s, 0, rec);
    }
    EXPECT_EQ(n < 6, h.model->PoweredOff());
    for (uint32_t s = 0; s < 2; ++s) {
      int done = std::max(0, std::min(3, n - 3 * int(s)));
      uint8_t* p = h.Page(s);
      Bytes ff(512, 0xFF);
      EXPECT_EQ(0, memcmp(done >= 1 ? data.data() : ff.data(), p, 512)) << "sector " << s << " data";
      EXPECT_EQ(0, memcmp(done >= 2 ? ecc : ff.data(), p + 520, 8)) << "sector " << s << " ecc";
      EXPECT_EQ(0, memcmp(done >= 3 ? rec : ff.data(), p + 512, 8)) << "sector " << s << " record";
    }
    if (!h.model->PoweredOff()) continue;
    // Dark: nothing reaches the chip, reads float high, the clock stops.
    uint64_t t = h.Now();
    Bytes before = h.image;
    EXPECT_EQ(0xFFFFFFFFu, h.Nand(NAND_EVENT));
    h.Erase(0);
    EXPECT_TRUE(before == h.image);
    EXPECT_EQ(t, h.Now());
    // Power back on for the next run, the fault taken out of nand.cfg.
    sim::NandConfig healthy;
    sim::StartDeviceRun(h.state->h, &healthy, 0, false);
    EXPECT_FALSE(h.model->PoweredOff());
    uint32_t w;
    ASSERT_TRUE(h.ReadId(&w));
    EXPECT_EQ(0x76u, (w >> 8) & 0xFF);
  }
}

// The kill after N chip operations strikes the program under test only, only
// while it holds the bus, at its first controller access once the chip has
// made N operations, and once per run.
TEST(Faults, KillAfterOpsStrikesTheProgramOnceItsNthOperationIsMade) {
  Harness h;
  sim::StartDeviceRun(h.state->h, nullptr, 0, false, 2);
  const sim::Accessor program{200, true, true}, standIn{300, true, false}, unlocked{200, false, true};
  uint32_t w;
  ASSERT_TRUE(h.ReadId(&w));
  EXPECT_FALSE(h.model->KillDue(sim::kRegNand, program)) << "one operation made, two asked for";
  ASSERT_TRUE(h.ReadId(&w));
  EXPECT_FALSE(h.model->KillDue(sim::kRegNand, standIn)) << "a stand-in is never the one ended";
  EXPECT_FALSE(h.model->KillDue(sim::kRegNand, unlocked)) << "it dies holding the bus";
  EXPECT_FALSE(h.model->KillDue(sim::kRegResShare, program)) << "at a NAND or DMA controller access";
  EXPECT_TRUE(h.model->KillDue(sim::kRegDma, program));
  EXPECT_EQ(200u, h.state->h.power.killed);
  EXPECT_FALSE(h.model->KillDue(sim::kRegNand, program)) << "once";
  // The next run starts without it unless it asks again.
  sim::StartDeviceRun(h.state->h, nullptr, 0, false);
  ASSERT_TRUE(h.ReadId(&w));
  ASSERT_TRUE(h.ReadId(&w));
  EXPECT_FALSE(h.model->KillDue(sim::kRegNand, program));
}

}  // namespace
}  // namespace simtest
