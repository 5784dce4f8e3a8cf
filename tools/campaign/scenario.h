// Campaign scenarios as data: what device to make, what goes on its card,
// which faults it carries, which program runs, and what must come of it.
//
// A scenario file is a list of sections of "key = value" lines, written as
// nand.cfg is (sim/keyval.h: '#' comments, values in double quotes keep their
// blanks). "[defaults]" sets keys for the sections that follow it in the same
// file; "[NAME]" starts a scenario. Keys:
//
//   kind = load | power-loss | kill | fault | bad-input | delivery
//
// The device, made fresh for every run as "devsim create" makes it:
//   create.chip = MM:DD         maker and device ID bytes in hexadecimal (default ec:76)
//   create.toc_block = N        the TOC block (default 1)
//   create.boot_block = N       first block of the boot area the TOC names (default 2)
//   create.boot_sectors = N     its sector count (default 512)
//   create.fill = yes | no      recognisable pages in every good block outside the
//                               TOC block and the area (default no)
//   create.no_toc = yes | no    no TOC on the flash (default no)
//   create.bad_blocks = N,N,... factory bad blocks
//   old_image = N               an old boot loader of N bytes already in the area
// Its settings and faults, as the keys of nand.cfg (sim/nand_cfg.h) with their
// values; faults are checked against the chip and the model's room when the
// device is made:
//   sysdrv.rate = N, sysdrv.region = FIRST:COUNT, camera.active = 0|1,
//   extboard.wp_user = 0|1, timing.*, partial.*
//   fault.read_flip = S:B:b[:COUNT]   (repeatable; likewise fault.stuck_bit,
//   fault.program_fail, fault.erase_fail), fault.stuck_ready_after = N,
//   fault.power_loss_after = N, fault.dma_hang = N, fault.drain_hang = N,
//   fault.fifo_hang = N, fault.event_hang = COMMAND:N
// (maker, device and bad_blocks come from create.chip and create.bad_blocks.)
//
// The run:
//   image = none | N | area | area+1 | area-1     EBOOT.NB0 on the card: N bytes
//                             (decimal or 0x..), or as many as the TOC's area holds
//   updater = yes | no        Kestrel.exe on the card (default no)
//   navorin = yes | no        \windows\navorin.exe present (default no)
//   program = kestrel | tollgate
//   answer = ok | cancel | none
//   timeout = SECONDS         the run's bound (default 90); running into it is a hang
//   kill_after_ops = N        end the program once the chip has made N operations
//   camera_dies_after_ops = N the camera stand-in takes the pin mutex once the chip has
//                             made N operations, pins to the camera, and dies holding it
//   sweep = power-loss        one run per power-loss point of this update (see below)
//   sweep.sample = N          points in the default run (every point with --full)
//
//   expect.outcome = finished | error | refused | silent | power-lost | killed
//   expect.message = TEXT     the message text shown (exact), or "none"
//   expect.verified = yes | no   the boot area holds the image afterwards
//   expect.flash = unchanged | outside-area   which bytes must stay as they were
//   expect.recovery = yes | no   a second run, faults cleared, completes and verifies
//   expect.card = NAME,NAME   files left on the card afterwards ("" = none)
//   expect.sysdrv = clean | continues   the system driver reported at the end (it
//                             was never locked out), and with clean: its own check of
//                             its data found nothing wrong
//   expect.abandoned = yes    the system driver met the flash mutex abandoned
#ifndef TOOLS_CAMPAIGN_SCENARIO_H
#define TOOLS_CAMPAIGN_SCENARIO_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/nand_cfg.h"
#include "tools/devsim/device_ops.h"

namespace devsim {

enum class Outcome { kFinished, kError, kRefused, kSilent, kPowerLost, kKilled, kHung, kNotRun };
const char* OutcomeName(Outcome o);
bool ParseOutcome(const std::string& s, Outcome* o);

enum class ImageSize { kNone, kBytes, kArea, kAreaPlusOne, kAreaMinusOne };

struct Scenario {
  std::string name;
  std::string file;  // where it was read, for messages
  int line = 0;
  std::string kind = "fault";
  DeviceRecipe create;
  uint64_t oldImageBytes = 0;                                 // 0: the area starts erased
  std::vector<std::pair<std::string, std::string>> settings;  // nand.cfg keys other than faults, in order
  sim::NandConfig faults;                                     // the fault.* keys (only the fault fields count)
  ImageSize image = ImageSize::kBytes;
  uint64_t imageBytes = 1000;
  bool updater = false;
  bool navorin = false;
  std::string program = "kestrel";
  std::string answer = "ok";
  double timeoutSeconds = 90;
  int64_t killAfterOps = -1;
  int64_t cameraDiesAfterOps = -1;
  bool powerLossSweep = false;
  unsigned sweepSample = 8;

  struct Expect {
    Outcome outcome = Outcome::kFinished;
    std::optional<std::string> message;  // nullopt: not checked; "" = none shown
    std::optional<bool> verified;
    bool flashUnchanged = false;  // else: outside the area unchanged
    bool recovery = false;
    std::optional<std::vector<std::string>> card;
    bool sysdrvClean = false;
    bool sysdrvReports = false;
    bool abandoned = false;
  } expect;
};

// The keys a scenario has besides nand.cfg's (sim::NandConfigKeys()), and the
// values of its "kind".
std::vector<std::string> ScenarioKeys();
std::vector<std::string> ScenarioKinds();

// Parses one file's text. *error: "FILE:LINE: what is wrong".
bool ParseScenarios(const std::string& text, const std::string& file, std::vector<Scenario>* out, std::string* error);
// Every *.scn file of a folder, in name order.
bool LoadScenarioFolder(const std::string& dir, std::vector<Scenario>* out, std::string* error);

// The image size a scenario puts on the card, given the area's sector count.
// nullopt: no image at all.
std::optional<uint64_t> CardImageBytes(const Scenario& s, uint32_t areaSectors);

}  // namespace devsim

#endif
