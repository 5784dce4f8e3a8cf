// The SoC's front end over a platform's back end (soc_front.h): the register
// accesses of soc.h and the device calls of device.h that every platform
// serves alike.
#include "sim/soc_front.h"

#include <string.h>

#include "sim/device.h"
#include "sim/device_record.h"
#include "sim/faults.h"
#include "sim/soc.h"

namespace sim {
namespace {

// The models and the raw image under the back end's lock.
class Locked {
 public:
  Locked() { BackEnd().Lock(); }
  ~Locked() { BackEnd().Unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// The attached device for an access of the driver (attaching on first use),
// with the access counted into the run of polls; nullptr when there is no
// device or no register there. A device whose power went ends the caller
// before it reaches the models.
AttachedDevice* ForAccess(int id, unsigned int offset, bool read) {
  SocBackEnd& back = BackEnd();
  AttachedDevice* d = back.Device(true);
  if (!d || !SocRegisterWindow(id, offset)) return nullptr;
  if (d->state->h.power.poweredOff) back.PowerLost();
  back.CountPoll(id, offset, read);
  return d;
}

// After an access: the device may have lost its power or ended the program.
void AfterAccess(bool dark, bool killed) {
  if (dark) BackEnd().PowerLost();
  if (killed) BackEnd().Killed();
}

// A raw page of the attached device, or nullptr when there is none.
uint8_t* RawPage(AttachedDevice* d, uint32_t sector) {
  if (!d || (uint64_t(sector) + 1) * kRawPageBytes > d->imageBytes) return nullptr;
  return d->image + uint64_t(sector) * kRawPageBytes;
}

}  // namespace

bool PollRun::Count(int id, unsigned int at, bool read) {
  if (read && SocModel::IsStatusRegister(uint32_t(id), at)) {
    if (id == window && at == offset) {
      ++run;
    } else {
      window = id;
      offset = at;
      run = 1;
    }
  } else {
    window = -1;
    run = 0;
  }
  return run > kLongWaitPolls && (run - 1) % kLongWaitPolls == 0;
}

unsigned int SocRead32(int id, unsigned int offset) {
  AttachedDevice* d = ForAccess(id, offset, true);
  if (!d) return 0xFFFFFFFFu;
  Accessor who = BackEnd().Who(id, offset, true);
  uint32_t v;
  bool dark, killed;
  {
    Locked lock;
    v = d->model->Read32(uint32_t(id), offset, who);
    dark = d->model->PoweredOff();
    killed = d->model->KillDue(uint32_t(id), who);
  }
  AfterAccess(dark, killed);
  return v;
}

void SocWrite32(int id, unsigned int offset, unsigned int value) {
  AttachedDevice* d = ForAccess(id, offset, false);
  if (!d) return;
  Accessor who = BackEnd().Who(id, offset, false);
  bool dark, killed;
  {
    Locked lock;
    d->model->Write32(uint32_t(id), offset, value, who);
    dark = d->model->PoweredOff();
    killed = d->model->KillDue(uint32_t(id), who);
  }
  AfterAccess(dark, killed);
}

bool SocReadRawPage(uint32_t sector, uint8_t raw[NAND_RAW_PAGE_BYTES]) {
  uint8_t* page = RawPage(BackEnd().Device(false), sector);
  if (!page) return false;
  Locked lock;
  memcpy(raw, page, kRawPageBytes);
  return true;
}

bool SocWriteRawPage(uint32_t sector, const uint8_t raw[NAND_RAW_PAGE_BYTES]) {
  uint8_t* page = RawPage(BackEnd().Device(false), sector);
  if (!page) return false;
  Locked lock;
  memcpy(page, raw, kRawPageBytes);
  return true;
}

bool SocLoadFaults(const NandConfig& cfg) {
  AttachedDevice* d = BackEnd().Device(false);
  if (!d) return false;
  Locked lock;
  // Keep the hash of the file's own text: another process attaching later
  // keeps these settings unless nand.cfg has changed meanwhile.
  return LoadSettings(d->state->h.faults, cfg, d->state->h.faults.configHash);
}

bool SocReadRecord(DeviceRecord* rec) {
  AttachedDevice* d = BackEnd().Device(false);
  if (!d) return false;
  Locked lock;
  *rec = RecordOf(d->state->h);
  return true;
}

void SocClearRecord() {
  AttachedDevice* d = BackEnd().Device(false);
  if (!d) return;
  Locked lock;
  d->model->GetChecker().Clear();
}

uint64_t SocClockNs() {
  AttachedDevice* d = BackEnd().Device(false);
  return d ? d->state->h.clock.nowNs : 0;
}

uint64_t SocChipBusyNs() {
  AttachedDevice* d = BackEnd().Device(false);
  return d ? d->state->h.clock.chipBusyNs : 0;
}

bool SocPoweredOff() {
  AttachedDevice* d = BackEnd().Device(false);
  return d && d->state->h.power.poweredOff != 0;
}

uint32_t SocPeek32(int window, unsigned int offset) {
  AttachedDevice* d = BackEnd().Device(false);
  if (!d || !SocRegisterWindow(window, offset)) return 0xFFFFFFFFu;
  return d->state->h.regs[window][offset / 4];
}

void SocPoke32(int window, unsigned int offset, uint32_t value) {
  AttachedDevice* d = BackEnd().Device(false);
  if (!d || !SocRegisterWindow(window, offset)) return;
  Locked lock;
  d->state->h.regs[window][offset / 4] = value;
}

}  // namespace sim
