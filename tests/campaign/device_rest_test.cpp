// A program killed in the middle of a chip operation leaves the chip busy in
// the shared state, and the simulated clock only moves with bus accesses. The
// next run on the device comes after a rest, as on the handheld: the
// operation has finished and the chip answers its ID, where otherwise the
// next updater's ID read met a busy chip and read garbage (the campaign's
// kill rows failed their recovery with "Failed to initialize NANDFLASH driver!").
#include <gtest/gtest.h>

#include <memory>

#include "sim/soc_model.h"
#include "sim/soc_state.h"

namespace sim {
namespace {

TEST(DeviceRest, AnOperationLeftBusyHasFinishedWhenTheNextRunStarts) {
  std::unique_ptr<SocHeader> h(new SocHeader());
  h->clock.nowNs = 5000000;
  h->chip.readyAtNs = h->clock.nowNs + 200000;  // a page program under way when its program died
  h->chip.ops = 37;
  StartDeviceRun(*h, nullptr, 0, true);
  EXPECT_GE(h->clock.nowNs, h->chip.readyAtNs) << "the chip is still busy for the next run";
  EXPECT_EQ(0u, h->chip.ops);

  // A chip that is ready, or one that a fault keeps from ever being ready,
  // moves no clock.
  h->clock.nowNs = 9000000;
  h->chip.readyAtNs = 8000000;
  StartDeviceRun(*h, nullptr, 0, true);
  EXPECT_EQ(9000000u, h->clock.nowNs);
  h->chip.readyAtNs = kNever;
  StartDeviceRun(*h, nullptr, 0, true);
  EXPECT_EQ(9000000u, h->clock.nowNs);
}

}  // namespace
}  // namespace sim
