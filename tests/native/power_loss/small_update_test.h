// The small update the one-point tests run (the failure points of the
// updater, the launcher's calls): 32000 bytes into a 96-sector area of the
// 16 MiB chip, its card made once and its flash as before the update; each
// run starts again from that flash, on a device just switched on.
#ifndef TESTS_NATIVE_POWER_LOSS_SMALL_UPDATE_TEST_H
#define TESTS_NATIVE_POWER_LOSS_SMALL_UPDATE_TEST_H

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "tests/native/power_loss/update_case.h"

namespace powerloss {

class SmallUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plan_.device = 0x73;
    plan_.areaSectors = 96;
    plan_.imageBytes = 32000;
    image_ = CardImage(plan_);
    card_.reset(new Card(image_));
    ASSERT_TRUE(card_->ok());
    before_.resize(size_t(plan_.FlashBytes()));
    BuildFlashBefore(plan_, before_.data());
    PrepareDevice(card_->root());
  }

  // The flash back as it was, attached as the device, the system driver's
  // mutex free.
  void SwitchOn() {
    flash_ = before_;
    FreeSystemFlashMutex();
    EXPECT_TRUE(native::AttachMemoryDevice(plan_.Config(), flash_.data(), flash_.size()));
  }

  UpdatePlan plan_;
  std::vector<uint8_t> image_;
  std::unique_ptr<Card> card_;
  std::vector<uint8_t> before_, flash_;
};

}  // namespace powerloss

#endif
