// The Win32 back end of the simulated SoC (the front end, soc_front.cpp,
// serves the accesses): a process attaches to its device folder, maps
// nand.img (the chip) and soc.state (everything else) shared with every other
// process on the device, and locks the models for each access.
//
// The model lock is a word in soc.state holding the owner's process id. A
// named mutex would cost a server round trip (~19 us under Wine) per register
// access; a spin on shared memory costs nanoseconds. A process killed inside
// an access leaves its id behind: a waiter that has spun for a while checks
// whether the owner still lives and takes the lock over if not.
//
// For the protocol checker each NAND or DMA access asks whether the calling
// thread holds both bus mutexes, through handles of its own on them and
// NtQueryMutant(OwnedByCaller). Repeated polls of one status register by one
// thread reuse the answer, asking again at least every 64th time.
//
// A power-loss fault ends every process that touches the models from then on
// with exit code 0xDEAD: on the device nothing would run any more. A kill
// after N chip operations ends the job of the program under test (the
// processes started with DEVSIM_TARGET_JOB naming it) at the access where the
// model decides it, with exit code 0xDEAD0004: it dies holding the bus.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "flash/nand_format.h"
#include "flash/soc_windows.h"
#include "platform/debug_sink.h"
#include "sim/device.h"
#include "sim/device_files.h"
#include "sim/faults.h"
#include "sim/soc.h"
#include "sim/soc_front.h"
#include "sim/soc_model.h"
#include "sim/soc_state.h"
#include "tools/run/protocol.h"

namespace sim {

static_assert(WIN_DMA_REGS == int(kRegDma) && WIN_RESSHARE_REGS == int(kRegResShare) &&
                  WIN_EXTBOARD_REGS == int(kRegExtBoard) && WIN_NAND_REGS == int(kRegNand),
              "register windows are numbered alike");

namespace {


struct MutantBasicInformation {
  LONG CurrentCount;
  BOOLEAN OwnedByCaller;
  BOOLEAN AbandonedState;
};
typedef LONG(NTAPI* NtQueryMutantFn)(HANDLE, int, PVOID, ULONG, PULONG);

struct Device : AttachedDevice {
  std::wstring dir;
  HANDLE imageFile = INVALID_HANDLE_VALUE;
  HANDLE imageMap = NULL;
  HANDLE stateFile = INVALID_HANDLE_VALUE;
  HANDLE stateMap = NULL;
  std::unique_ptr<SocModel> ownedModel;
  bool target = false;  // a process of the program under test
};

Device* g_dev = nullptr;
CRITICAL_SECTION g_busCheckLock;
bool g_busCheckLockReady = false;

// The checker's view of the bus mutexes, per process.
struct BusCheck {
  HANDLE flash = NULL;
  HANDLE pin = NULL;
  DWORD lastThread = 0;
  int lastWindow = -1;
  unsigned int lastOffset = 0;
  int reuses = 0;
  bool lastHeld = false;
} g_bus;

std::wstring Join(const std::wstring& dir, const wchar_t* name) {
  if (dir.empty()) return name;
  wchar_t last = dir[dir.size() - 1];
  return dir + (last == L'\\' || last == L'/' ? L"" : L"\\") + name;
}

bool ReadWholeFile(const std::wstring& path, std::string* text) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof(buf), &n, NULL) && n > 0) text->append(buf, n);
  CloseHandle(f);
  return true;
}

// The device's nand.cfg (defaults when there is none); false on a bad file.
bool DeviceConfig(const std::wstring& dir, NandConfig* cfg, uint64_t* hash) {
  std::string text, error;
  *cfg = NandConfig();
  *hash = 0;
  if (!ReadWholeFile(Join(dir, L"nand.cfg"), &text)) return true;
  if (!ParseNandConfig(text, PlatformUtf8(Join(dir, L"nand.cfg")), cfg, &error)) {
    fprintf(stderr, "sim: %s\n", error.c_str());
    return false;
  }
  *hash = ConfigHash(text);
  return true;
}

bool ProcessAlive(DWORD pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
  bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return alive;
}

void LockModel(SocState* s) {
  volatile LONG* word = reinterpret_cast<volatile LONG*>(&s->h.lockOwner);
  LONG me = LONG(GetCurrentProcessId());
  ULONGLONG start = 0;
  for (unsigned spins = 1;; ++spins) {
    LONG owner = InterlockedCompareExchange(word, me, 0);
    if (owner == 0) return;
    if (spins % 4096 == 0) {
      // An access holds the lock for microseconds. A second of waiting
      // means an owner that will not come back even if its id now names
      // another process.
      ULONGLONG now = GetTickCount64();
      if (start == 0) start = now;
      bool gone = owner != me && (!ProcessAlive(DWORD(owner)) || now - start > 1000);
      if (gone && InterlockedCompareExchange(word, me, owner) == owner) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&s->h.lockTakeovers));
        return;
      }
      Sleep(0);
    } else {
      YieldProcessor();
    }
  }
}

void UnlockModel(SocState* s) { InterlockedExchange(reinterpret_cast<volatile LONG*>(&s->h.lockOwner), 0); }

class ModelLock {
 public:
  explicit ModelLock(SocState* s) : s_(s) { LockModel(s_); }
  ~ModelLock() { UnlockModel(s_); }

 private:
  SocState* s_;
};

std::wstring TargetJobName() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(PlatformWide(runproto::kEnvTargetJob).c_str(), buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

void Unmap(Device* d) {
  if (d->image) UnmapViewOfFile(d->image);
  if (d->imageMap) CloseHandle(d->imageMap);
  if (d->imageFile != INVALID_HANDLE_VALUE) CloseHandle(d->imageFile);
  if (d->state) UnmapViewOfFile(d->state);
  if (d->stateMap) CloseHandle(d->stateMap);
  if (d->stateFile != INVALID_HANDLE_VALUE) CloseHandle(d->stateFile);
}

bool MapImage(Device* d) {
  std::wstring path = Join(d->dir, L"nand.img");
  d->imageFile = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
  if (d->imageFile == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(d->imageFile, &size) || size.QuadPart < LONGLONG(kRawPageBytes)) return false;
  d->imageBytes = uint64_t(size.QuadPart);
  d->imageMap = CreateFileMappingW(d->imageFile, NULL, PAGE_READWRITE, 0, 0, NULL);
  if (!d->imageMap) return false;
  d->image = static_cast<uint8_t*>(MapViewOfFile(d->imageMap, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  return d->image != nullptr;
}

bool MapState(Device* d) {
  std::wstring path = Join(d->dir, L"soc.state");
  d->stateFile = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_ALWAYS, 0, NULL);
  if (d->stateFile == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(d->stateFile, &size)) return false;
  // A new file grows to its full size, zero-filled; a zero magic word marks
  // it for initialisation below.
  DWORD hi = DWORD(kSocStateBytes >> 32), lo = DWORD(kSocStateBytes);
  d->stateMap = CreateFileMappingW(d->stateFile, NULL, PAGE_READWRITE, hi, lo, NULL);
  if (!d->stateMap) return false;
  d->state = static_cast<SocState*>(MapViewOfFile(d->stateMap, FILE_MAP_ALL_ACCESS, 0, 0, SIZE_T(kSocStateBytes)));
  return d->state != nullptr;
}

bool Attach(const std::wstring& dir) {
  if (g_dev && g_dev->dir == dir) return true;
  SocDetach();
  if (!g_busCheckLockReady) {
    InitializeCriticalSection(&g_busCheckLock);
    g_busCheckLockReady = true;
  }
  std::unique_ptr<Device> d(new Device);
  d->dir = dir;
  NandConfig cfg;
  uint64_t hash = 0;
  if (!DeviceConfig(dir, &cfg, &hash) || !MapImage(d.get()) || !MapState(d.get())) {
    Unmap(d.get());
    return false;
  }
  ChipShape shape = ChipShapeFor(cfg.maker, cfg.device);
  if (!shape.largePage && d->imageBytes < shape.ImageBytes()) {
    fprintf(stderr, "sim: %s is %llu bytes, the chip has %llu\n", PlatformUtf8(Join(dir, L"nand.img")).c_str(),
            (unsigned long long)d->imageBytes, (unsigned long long)shape.ImageBytes());
    Unmap(d.get());
    return false;
  }
  {
    ModelLock lock(d->state);
    SocHeader& h = d->state->h;
    if (h.magic != kSocStateMagic || h.version != kSocStateVersion)
      InitializeSocState(*d->state, cfg, hash);
    else if (h.faults.configHash != hash)
      LoadSettings(h.faults, cfg, hash);
  }
  d->ownedModel.reset(new SocModel(*d->state, d->image, d->imageBytes));
  d->model = d->ownedModel.get();
  d->target = !TargetJobName().empty();
  g_dev = d.release();
  return true;
}

[[noreturn]] void GoDark() {
  // The device lost its power: this process ends where it stands.
  TerminateProcess(GetCurrentProcess(), runproto::kExitPowerLost);
  ExitProcess(runproto::kExitPowerLost);
}

[[noreturn]] void EndTargetJob() {
  // The whole program under test goes at once (a launcher with the updater it
  // started), as devrun would end it; this process last, holding the bus.
  HANDLE job = OpenJobObjectW(JOB_OBJECT_TERMINATE, FALSE, TargetJobName().c_str());
  if (job) TerminateJobObject(job, runproto::kExitKilled);
  TerminateProcess(GetCurrentProcess(), runproto::kExitKilled);
  ExitProcess(runproto::kExitKilled);
}

bool Owned(HANDLE* h, const wchar_t* name) {
  static NtQueryMutantFn query = reinterpret_cast<NtQueryMutantFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant")));
  const DWORD kMutantQueryState = 0x0001;  // NtQueryMutant needs it; SYNCHRONIZE alone is refused
  if (!*h) *h = OpenMutexW(SYNCHRONIZE | kMutantQueryState, FALSE, name);
  if (!*h) return false;  // it does not exist: nobody holds it
  MutantBasicInformation info;
  bool owned = query && query(*h, 0, &info, sizeof(info), NULL) >= 0 && info.OwnedByCaller;
  if (!owned) {
    // Keep no handle for a mutex this process does not hold: it would keep
    // the mutex alive after its creator is gone.
    CloseHandle(*h);
    *h = NULL;
  }
  return owned;
}

bool HoldsBus(int window, unsigned int offset, bool read) {
  if (window != WIN_NAND_REGS && window != WIN_DMA_REGS) return true;
  EnterCriticalSection(&g_busCheckLock);
  DWORD thread = GetCurrentThreadId();
  bool poll = read && SocModel::IsStatusRegister(uint32_t(window), offset);
  bool held;
  if (poll && g_bus.lastThread == thread && g_bus.lastWindow == window && g_bus.lastOffset == offset &&
      g_bus.reuses < 63) {
    ++g_bus.reuses;
    held = g_bus.lastHeld;
  } else {
    held = Owned(&g_bus.flash, FLASH_MUTEX_NAME) & Owned(&g_bus.pin, PIN_MUTEX_NAME);
    g_bus.lastThread = thread;
    g_bus.lastWindow = poll ? window : -1;
    g_bus.lastOffset = offset;
    g_bus.reuses = 0;
    g_bus.lastHeld = held;
  }
  LeaveCriticalSection(&g_busCheckLock);
  return held;
}

bool Ready() { return g_dev != nullptr || SocAttach(); }

// SocStopInLongWaits: the stop event, and this process's run of status polls.
HANDLE g_stopEvent = NULL;
void (*g_onStop)() = nullptr;
PollRun g_polls;

// The processes of a device under Wine: each maps the device's files and
// locks the models with the owner word in soc.state; an access is made by a
// process, and a power loss or a kill ends processes.
class Win32BackEnd : public SocBackEnd {
 public:
  AttachedDevice* Device(bool attach) override { return g_dev || (attach && SocAttach()) ? g_dev : nullptr; }
  void Lock() override { LockModel(g_dev->state); }
  void Unlock() override { UnlockModel(g_dev->state); }
  Accessor Who(int window, unsigned int offset, bool read) override {
    return {uint32_t(GetCurrentProcessId()), HoldsBus(window, offset, read), g_dev->target};
  }
  // A stopped stand-in reports and ends in a long wait.
  void CountPoll(int window, unsigned int offset, bool read) override {
    if (g_onStop && g_polls.Count(window, offset, read) && WaitForSingleObject(g_stopEvent, 0) == WAIT_OBJECT_0)
      g_onStop();
  }
  void PowerLost() override { GoDark(); }
  void Killed() override { EndTargetJob(); }
};

}  // namespace

SocBackEnd& BackEnd() {
  static Win32BackEnd back;
  return back;
}

bool SocAttach() {
  if (g_dev) return true;
  wchar_t buf[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"DEVSIM_DEVICE", buf, MAX_PATH);
  std::wstring dir = n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring(L"\\");
  return Attach(dir);
}

bool SocAttachTo(const wchar_t* deviceDir) { return deviceDir && Attach(deviceDir); }

void SocDetach() {
  if (!g_dev) return;
  SocDropBusHandles();
  Unmap(g_dev);
  delete g_dev;
  g_dev = nullptr;
}

bool SocMemoryWindow(int id, HANDLE* phSection, unsigned long long* pqwOffset) {
  if (!Ready() || id < 0 || id >= WIN_COUNT || !SocWindow(id).memory) return false;
  *phSection = g_dev->stateMap;
  *pqwOffset = id == WIN_DRIVER_GLOBALS ? kDriverGlobalsOffset : kDmaBufferOffset;
  return true;
}

// --- device.h -------------------------------------------------------------

bool CreateDevice(const std::wstring& dir, const NandConfig& cfg, std::string* error) {
  if (g_dev && g_dev->dir == dir) SocDetach();
  return CreateDeviceFiles(PlatformUtf8(dir), cfg, error);
}

std::wstring SocDeviceDir() { return g_dev ? g_dev->dir : std::wstring(); }

std::wstring SocDeviceFile(const wchar_t* name) { return g_dev ? Join(g_dev->dir, name) : std::wstring(); }

bool SocStartRun(bool clearRecord, int64_t killAfterOps) {
  if (!g_dev) return false;
  NandConfig cfg;
  uint64_t hash = 0;
  if (!DeviceConfig(g_dev->dir, &cfg, &hash)) return false;
  ModelLock lock(g_dev->state);
  StartDeviceRun(g_dev->state->h, &cfg, hash, clearRecord, killAfterOps);
  return true;
}

void SocStopInLongWaits(HANDLE stop, void (*onStop)()) {
  if (g_stopEvent) CloseHandle(g_stopEvent);
  g_stopEvent = NULL;
  g_onStop = nullptr;
  g_polls = PollRun();
  if (!stop || !onStop) return;
  if (!DuplicateHandle(GetCurrentProcess(), stop, GetCurrentProcess(), &g_stopEvent, SYNCHRONIZE, FALSE, 0)) return;
  g_onStop = onStop;
}

void SocDropBusHandles() {
  if (!g_busCheckLockReady) return;
  EnterCriticalSection(&g_busCheckLock);
  if (g_bus.flash) CloseHandle(g_bus.flash);
  if (g_bus.pin) CloseHandle(g_bus.pin);
  g_bus = BusCheck();
  LeaveCriticalSection(&g_busCheckLock);
}

}  // namespace sim
