#include "tests/native/contention/stand_ins.h"

#include <ceddk.h>

#include <atomic>
#include <thread>
#include <chrono>
static long long Us() { return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count() % 100000000; }

#include "flash/flash.h"
#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "sim/device.h"

namespace contention {
namespace {

const wchar_t kFlashMutex[] = L"_FLASH_MUTEX_";
const wchar_t kPinMutex[] = L"PIN_MUX_CAM_NANDFLASH_MUTEX";

// Names of the events between the test and one stand-in: unique per stand-in
// started in this process, as the device's programs name theirs.
std::wstring EventName(const wchar_t* who, const wchar_t* what) {
  static std::atomic<unsigned> serial{0};
  return std::wstring(L"contention.") + who + L"." + std::to_wstring(++serial) + L"." + what;
}

// A stand-in's view of the resource-sharing registers, mapped as every driver
// maps it.
class PinMux {
 public:
  PinMux() : regs_(FlashContext::MapWindow(RESSHARE_REGS_SIZE, RESSHARE_REGS_VA)) {}
  ~PinMux() {
    if (regs_) VirtualFree(const_cast<BYTE*>(regs_), 0, MEM_RELEASE);
  }
  bool ok() const { return regs_ != nullptr; }
  bool OnCamera() { return (READ_REGISTER_ULONG(Reg()) & RS_PINMUX_CAMERA) != 0; }
  void ToCamera() { WRITE_REGISTER_ULONG(Reg(), READ_REGISTER_ULONG(Reg()) | RS_PINMUX_CAMERA); }
  void ToNand() { WRITE_REGISTER_ULONG(Reg(), READ_REGISTER_ULONG(Reg()) & ~ULONG(RS_PINMUX_CAMERA)); }

 private:
  volatile ULONG* Reg() { return reinterpret_cast<volatile ULONG*>(regs_ + RS_PINMUX); }
  volatile BYTE* regs_;
};

// Operations the others made since `base`; a counter that went back (a new
// run was started on the device) counts from 0.
uint64_t Since(uint64_t now, uint64_t* base) {
  if (now < *base) *base = 0;
  return now - *base;
}

// Whether the counter moved between a stand-in's looks. A stand-in queues for
// the bus again as soon as it has given it back, so that a released mutex
// goes to it before the program that released it can take it once more
// (platform/native grants a released mutex to its oldest waiter): it gets a
// look between any two holdings of the others'. When nobody else is waiting
// it gets the bus straight back and finds the counter where it was; the
// others' next operation may be a few instructions away, so it lets the CPU
// go while it holds the bus (whoever comes meanwhile queues and gets the bus
// next), and only after kSpinLooks looks in a row without a chip operation of
// anybody's does it take the bus to be idle and wait a millisecond on its
// stop event per look.
constexpr unsigned kSpinLooks = 1000;

class Idle {
 public:
  explicit Idle(uint64_t now) : lastLook_(now) {}
  void Look(uint64_t now) {
    unchanged_ = now == lastLook_ ? unchanged_ + 1 : 0;
    lastLook_ = now;
  }
  // Called holding the bus; false when the stop came while it waited.
  bool Pause(HANDLE stop) {
    if (unchanged_ == 0) return true;
    if (unchanged_ < kSpinLooks) {
      std::this_thread::yield();
      return true;
    }
    return WaitForSingleObject(stop, 1) != WAIT_OBJECT_0;
  }

 private:
  uint64_t lastLook_;
  unsigned unchanged_ = 0;
};

// Waits on the stop event and one mutex; false when the stop came first.
bool TakeOrStop(HANDLE stop, HANDLE mutex, bool* abandoned) {
  HANDLE both[2] = {stop, mutex};
  DWORD w = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  *abandoned = w == WAIT_ABANDONED_0 + 1;
  return w == WAIT_OBJECT_0 + 1 || *abandoned;
}

}  // namespace

uint64_t ChipOps() {
  sim::DeviceRecord rec;
  return sim::SocReadRecord(&rec) ? rec.chipOps : 0;
}

// --- the system's flash driver ------------------------------------------------

struct SystemDriver::State {
  sim::NandConfig cfg;
  Pacing pacing;
  std::wstring stopName = EventName(L"sysdrv", L"stop");
  std::wstring readyName = EventName(L"sysdrv", L"ready");
  std::wstring abandonedName = EventName(L"sysdrv", L"abandoned");
  std::atomic<uint64_t> abandoned{0};
  SystemDriverReport report;  // the thread's; read once it has ended
};

namespace {

class SystemDriverRun {
 public:
  SystemDriverRun(SystemDriver::State* s, HANDLE flash, HANDLE pin, HANDLE stop, HANDLE abandonedEvent, PinMux* pins,
                  sim::FileSystemLoad* load)
      : s_(*s), r_(s->report), flash_(flash), pin_(pin), stop_(stop), abandonedEvent_(abandonedEvent), pins_(*pins),
        load_(*load) {}

  void Loop() {
    uint64_t base = ChipOps();
    Idle idle(base);
    for (;;) {
      if (!TakeBus(true)) break;
      uint64_t now = ChipOps();
      fprintf(stderr, "%lld sys take %llu\n", Us(), (unsigned long long)now);
      idle.Look(now);
      if (Since(now, &base) >= s_.pacing.every) {
        Work();
        base = ChipOps();
        idle.Look(base);
      }
      bool going = idle.Pause(stop_);
      fprintf(stderr, "%lld sys give\n", Us());
      GiveBus();
      if (!going) break;
    }
    // A last holding before it ends, as a driver closing its work: every
    // page it wrote and still holds is read back once more.
    if (TakeBus(false)) {
      load_.FinalCheck(1u << 20);
      GiveBus();
    }
  }

 private:
  // Both bus mutexes in order, the pins back from the camera, and the chip
  // reset when the flash mutex came abandoned. With `stoppable` false it
  // waits however long it takes (the last holding).
  bool TakeBus(bool stoppable) {
    bool flashAbandoned = false, pinAbandoned = false;
    if (stoppable) {
      if (!TakeOrStop(stop_, flash_, &flashAbandoned)) return false;
      if (!TakeOrStop(stop_, pin_, &pinAbandoned)) {
        ReleaseMutex(flash_);
        return false;
      }
    } else {
      flashAbandoned = WaitForSingleObject(flash_, INFINITE) == WAIT_ABANDONED;
      pinAbandoned = WaitForSingleObject(pin_, INFINITE) == WAIT_ABANDONED;
    }
    ++r_.holds;
    if (pinAbandoned) ++r_.pinAbandoned;
    if (pins_.OnCamera()) {
      pins_.ToNand();
      ++r_.pinsTakenBack;
    }
    if (flashAbandoned) {
      ++r_.abandoned;
      load_.ResetChip();
      s_.abandoned.fetch_add(1);
      SetEvent(abandonedEvent_);
    }
    return true;
  }

  void GiveBus() {
    ReleaseMutex(pin_);
    ReleaseMutex(flash_);
  }

  void Work() {
    uint64_t before = ChipOps();
    for (uint32_t k = 0; k < s_.pacing.burst; ++k) load_.Step();
    uint64_t after = ChipOps();
    r_.chipOps += after >= before ? after - before : after;
    ++r_.works;
  }

  SystemDriver::State& s_;
  SystemDriverReport& r_;
  HANDLE flash_, pin_, stop_, abandonedEvent_;
  PinMux& pins_;
  sim::FileSystemLoad& load_;
};

void SystemDriverBody(SystemDriver::State* s) {
  SystemDriverReport& r = s->report;
  r.thread = GetCurrentThreadId();
  // First of all, as the system's driver does when the OS starts.
  HANDLE flash = CreateMutexW(nullptr, FALSE, kFlashMutex);
  HANDLE pin = CreateMutexW(nullptr, FALSE, kPinMutex);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, s->stopName.c_str());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, s->readyName.c_str());
  HANDLE abandonedEvent = CreateEventW(nullptr, FALSE, FALSE, s->abandonedName.c_str());
  {
    PinMux pins;
    sim::FileSystemLoad load(s->cfg);
    r.started = flash && pin && stop && ready && abandonedEvent && pins.ok() && load.Start();
    SetEvent(ready);
    if (r.started) {
      SystemDriverRun run(s, flash, pin, stop, abandonedEvent, &pins, &load);
      run.Loop();
    }
    load.Stop();
    r.fs = load.Counts();
  }
  for (HANDLE h : {abandonedEvent, ready, stop, pin, flash})
    if (h) CloseHandle(h);
}

}  // namespace

SystemDriver::SystemDriver(const sim::NandConfig& cfg, Pacing pacing) : s_(new State) {
  s_->cfg = cfg;
  s_->pacing = pacing;
}

SystemDriver::~SystemDriver() {
  if (process_) Stop();
}

void SystemDriver::Start() {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, s_->readyName.c_str());
  State* s = s_.get();
  process_.reset(new native::Process([s] { SystemDriverBody(s); }, /*target=*/false));
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
}

void SystemDriver::WaitForAbandoned(uint64_t times) {
  HANDLE met = CreateEventW(nullptr, FALSE, FALSE, s_->abandonedName.c_str());
  while (s_->abandoned.load() < times) WaitForSingleObject(met, INFINITE);
  CloseHandle(met);
}

SystemDriverReport SystemDriver::Stop() {
  if (!process_) return s_->report;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, s_->stopName.c_str());
  SetEvent(stop);
  process_->Wait();
  process_.reset();
  CloseHandle(stop);
  return s_->report;
}

// --- the camera driver -----------------------------------------------------------

struct Camera::State {
  Pacing pacing;
  std::wstring stopName = EventName(L"camera", L"stop");
  std::wstring readyName = EventName(L"camera", L"ready");
  CameraReport report;
};

namespace {

void CameraBody(Camera::State* s) {
  CameraReport& r = s->report;
  r.thread = GetCurrentThreadId();
  HANDLE pin = CreateMutexW(nullptr, FALSE, kPinMutex);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, s->stopName.c_str());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, s->readyName.c_str());
  {
    PinMux pins;
    r.started = pin && stop && ready && pins.ok();
    SetEvent(ready);
    uint64_t base = ChipOps();
    Idle idle(base);
    bool abandoned = false;
    while (r.started && TakeOrStop(stop, pin, &abandoned)) {
      fprintf(stderr, "%lld cam take %llu\n", Us(), (unsigned long long)ChipOps());
      ++r.takes;
      if (abandoned) ++r.abandoned;
      uint64_t now = ChipOps();
      idle.Look(now);
      if (Since(now, &base) >= s->pacing.every) {
        pins.ToCamera();
        ++r.switches;
        base = now;
      }
      bool going = idle.Pause(stop);
      // The pins stay on the camera: the next owner takes them back.
      fprintf(stderr, "%lld cam release\n", Us());
      ReleaseMutex(pin);
      if (!going) break;
    }
  }
  for (HANDLE h : {ready, stop, pin})
    if (h) CloseHandle(h);
}

}  // namespace

Camera::Camera(Pacing pacing) : s_(new State) { s_->pacing = pacing; }

Camera::~Camera() {
  if (process_) Stop();
}

void Camera::Start() {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, s_->readyName.c_str());
  State* s = s_.get();
  process_.reset(new native::Process([s] { CameraBody(s); }, /*target=*/false));
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
}

CameraReport Camera::Stop() {
  if (!process_) return s_->report;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, s_->stopName.c_str());
  SetEvent(stop);
  process_->Wait();
  process_.reset();
  CloseHandle(stop);
  return s_->report;
}

}  // namespace contention
