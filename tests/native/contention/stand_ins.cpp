#include "tests/native/contention/stand_ins.h"

#include <ceddk.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

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

bool Stopped(HANDLE stop) { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

// Starts a stand-in's body as a process of the device and waits until it says
// it is ready (its bus mutexes made, its first state set up).
void StartStandIn(std::unique_ptr<native::Process>* process, const std::wstring& readyName,
                  const std::function<void()>& body) {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
  process->reset(new native::Process(body, /*target=*/false));
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
}

// Tells a running stand-in to stop and waits until it has (it writes its
// report on the way out). Nothing to do when it is not running.
void StopStandIn(std::unique_ptr<native::Process>* process, const std::wstring& stopName) {
  if (!*process) return;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
  SetEvent(stop);
  (*process)->Wait();
  process->reset();
  CloseHandle(stop);
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

// Operations made since `base`; a counter that went back (a new run was
// started on the device) counts from 0.
uint64_t Since(uint64_t now, uint64_t* base) {
  if (now < *base) *base = 0;
  return now - *base;
}

// A stand-in holds its mutex from one look at the counter to the next: it
// gives it back and queues for it again in one step
// (native::SignalObjectAndWait), so a thread waiting for it gets it, and the
// stand-in gets it straight after that thread, whatever the host's scheduler
// does. With nobody waiting it gets it straight back and finds the counter
// where it was. The others' next operation may be a few instructions away, so
// it then lets the CPU go before it looks again (whoever comes meanwhile
// queues and is next), and only after kSpinLooks looks in a row without a
// chip operation of anybody's does it take the bus to be idle and wait a
// millisecond on its stop event per look. Either way, what it does is decided
// by looks that come after the others' holdings, one look after each.
constexpr unsigned kSpinLooks = 1000;

class Idle {
 public:
  explicit Idle(uint64_t now) : lastLook_(now) {}
  void Look(uint64_t now) {
    unchanged_ = now == lastLook_ ? unchanged_ + 1 : 0;
    lastLook_ = now;
  }
  // Called holding the mutex.
  void Pause(HANDLE stop) {
    if (unchanged_ == 0) return;
    if (unchanged_ < kSpinLooks)
      std::this_thread::yield();
    else
      WaitForSingleObject(stop, 1);
  }

 private:
  uint64_t lastLook_;
  unsigned unchanged_ = 0;
};

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
  std::atomic<uint32_t> abandoned{0};  // 32 bits: lock-free on ARMv4 too
  SystemDriverReport report;           // the thread's; read once it has ended
};

namespace {

class SystemDriverRun {
 public:
  SystemDriverRun(SystemDriver::State* s, HANDLE flash, HANDLE pin, HANDLE stop, HANDLE abandonedEvent, PinMux* pins,
                  sim::FileSystemLoad* load)
      : s_(*s),
        r_(s->report),
        flash_(flash),
        pin_(pin),
        stop_(stop),
        abandonedEvent_(abandonedEvent),
        pins_(*pins),
        load_(*load) {}

  // Sets `ready` once it holds the bus: from then on it holds it or waits
  // for it, so the program started next meets it from its first holding on.
  void Loop(HANDLE ready) {
    uint64_t base = ChipOps();
    Idle idle(base);
    DWORD flashWait = WaitForSingleObject(flash_, INFINITE);
    Took(flashWait, WaitForSingleObject(pin_, INFINITE));
    SetEvent(ready);
    for (;;) {
      uint64_t now = ChipOps();
      idle.Look(now);
      if (Since(now, &base) >= s_.pacing.every) {
        Work();
        base = ChipOps();
        idle.Look(base);
      }
      // A stop is seen after the look: what the others did before it is
      // answered however late it comes.
      bool stopped = Stopped(stop_);
      if (!stopped) idle.Pause(stop_);
      ReleaseMutex(pin_);
      flashWait = native::SignalObjectAndWait(flash_, flash_, INFINITE);
      Took(flashWait, WaitForSingleObject(pin_, INFINITE));
      if (stopped) break;
    }
    // The last holding, as a driver closing its work: every page it wrote
    // and still holds is read back once more.
    load_.FinalCheck(1u << 20);
    ReleaseMutex(pin_);
    ReleaseMutex(flash_);
  }

 private:
  // The bus is held: the pins back from the camera, and the chip reset when
  // the flash mutex came abandoned (its owner died in the middle of an
  // operation).
  void Took(DWORD flashWait, DWORD pinWait) {
    ++r_.holds;
    if (pinWait == WAIT_ABANDONED) ++r_.pinAbandoned;
    if (pins_.OnCamera()) {
      pins_.ToNand();
      ++r_.pinsTakenBack;
    }
    if (flashWait == WAIT_ABANDONED) {
      ++r_.abandoned;
      r_.opsAtAbandoned = ChipOps();
      load_.ResetChip();
      s_.abandoned.fetch_add(1);
      SetEvent(abandonedEvent_);
    }
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
    if (r.started) {
      SystemDriverRun run(s, flash, pin, stop, abandonedEvent, &pins, &load);
      run.Loop(ready);
    } else if (ready) {
      SetEvent(ready);
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
  State* s = s_.get();
  StartStandIn(&process_, s_->readyName, [s] { SystemDriverBody(s); });
}

void SystemDriver::WaitForAbandoned(uint32_t times) {
  HANDLE met = CreateEventW(nullptr, FALSE, FALSE, s_->abandonedName.c_str());
  while (s_->abandoned.load() < times) WaitForSingleObject(met, INFINITE);
  CloseHandle(met);
}

SystemDriverReport SystemDriver::Stop() {
  StopStandIn(&process_, s_->stopName);
  return s_->report;
}

// --- the camera driver -----------------------------------------------------------

struct Camera::State {
  uint32_t every = 1;
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
    if (!r.started && ready) SetEvent(ready);
    if (r.started) {
      uint64_t base = ChipOps();
      Idle idle(base);
      DWORD got = WaitForSingleObject(pin, INFINITE);
      // Ready holding the pin mutex: from then on it holds it or waits for it.
      SetEvent(ready);
      for (;;) {
        ++r.takes;
        if (got == WAIT_ABANDONED) ++r.abandoned;
        uint64_t now = ChipOps();
        idle.Look(now);
        if (Since(now, &base) >= s->every) {
          pins.ToCamera();
          ++r.switches;
          base = now;
        }
        if (Stopped(stop)) break;
        idle.Pause(stop);
        // The pins stay on the camera: the next owner takes them back.
        got = native::SignalObjectAndWait(pin, pin, INFINITE);
      }
      ReleaseMutex(pin);
    }
  }
  for (HANDLE h : {ready, stop, pin})
    if (h) CloseHandle(h);
}

}  // namespace

Camera::Camera(uint32_t every) : s_(new State) { s_->every = every; }

Camera::~Camera() {
  if (process_) Stop();
}

void Camera::Start() {
  State* s = s_.get();
  StartStandIn(&process_, s_->readyName, [s] { CameraBody(s); });
}

CameraReport Camera::Stop() {
  StopStandIn(&process_, s_->stopName);
  return s_->report;
}

}  // namespace contention
