// The simulated SoC's back end inside one Linux process (the front end,
// sim/soc_front.cpp, serves the accesses): the device models of sim/ over
// a device folder (nand.img and soc.state mapped shared, so the host tool and
// other processes see what the device code did) or over memory (sweeps and
// the fuzzer, which make thousands of devices), one model lock, and the
// protocol checker told which thread made each access and whether that thread
// holds both bus mutexes.
//
// A power loss stops the process (native.h) that makes the next access, as it
// ends every process on the device; a kill after N chip operations stops the
// program under test at the access where the model decides it.
#include <windows.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "flash/nand_format.h"
#include "platform/debug_sink.h"
#include "platform/native/kernel_internal.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "sim/device_files.h"
#include "sim/faults.h"
#include "sim/soc.h"
#include "sim/soc_front.h"
#include "sim/soc_model.h"
#include "sim/soc_state.h"

namespace sim {
namespace {

struct Device : AttachedDevice {
  std::string dir;  // Linux path; empty for a device in memory
  std::wstring wdir;
  bool imageMapped = false;
  int stateFd = -1;
  HANDLE section = NULL;
  std::unique_ptr<SocModel> ownedModel;
};

Device* g_dev = nullptr;
std::mutex g_modelLock;

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  *text = s.str();
  return true;
}

bool DeviceConfig(const std::string& dir, NandConfig* cfg, uint64_t* hash) {
  std::string text, error;
  *cfg = NandConfig();
  *hash = 0;
  if (!ReadText(dir + "/nand.cfg", &text)) return true;
  if (!ParseNandConfig(text, dir + "/nand.cfg", cfg, &error)) {
    fprintf(stderr, "sim: %s\n", error.c_str());
    return false;
  }
  *hash = ConfigHash(text);
  return true;
}

void Release(Device* d) {
  if (d->section) CloseHandle(d->section);
  if (d->state) munmap(d->state, size_t(kSocStateBytes));
  if (d->stateFd >= 0) close(d->stateFd);
  if (d->imageMapped && d->image) munmap(d->image, size_t(d->imageBytes));
  delete d;
}

// A fresh descriptor for a state in memory: the memory windows are mapped
// from it into the driver's reservations.
int AnonymousStateFd() {
  int fd = memfd_create("soc.state", MFD_CLOEXEC);
  if (fd >= 0) return fd;
  char name[] = "/tmp/soc.state.XXXXXX";
  fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

bool MapState(Device* d) {
  struct stat st;
  if (d->stateFd < 0 || fstat(d->stateFd, &st) != 0) return false;
  if (uint64_t(st.st_size) < kSocStateBytes && ftruncate(d->stateFd, off_t(kSocStateBytes)) != 0) return false;
  void* p = mmap(NULL, size_t(kSocStateBytes), PROT_READ | PROT_WRITE, MAP_SHARED, d->stateFd, 0);
  if (p == MAP_FAILED) return false;
  d->state = static_cast<SocState*>(p);
  d->section = native::internal::NewSectionHandle(d->stateFd);
  return true;
}

void Install(Device* d) {
  d->ownedModel.reset(new SocModel(*d->state, d->image, d->imageBytes));
  d->model = d->ownedModel.get();
  std::lock_guard<std::mutex> g(g_modelLock);
  g_dev = d;
}

bool AttachFolder(const std::string& dir) {
  if (g_dev && g_dev->dir == dir && !dir.empty()) return true;
  SocDetach();
  NandConfig cfg;
  uint64_t hash = 0;
  if (!DeviceConfig(dir, &cfg, &hash)) return false;
  Device* d = new Device;
  d->dir = dir;
  d->wdir = PlatformWide(dir);
  int fd = open((dir + "/nand.img").c_str(), O_RDWR | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || uint64_t(st.st_size) < kRawPageBytes) {
    if (fd >= 0) close(fd);
    Release(d);
    return false;
  }
  d->imageBytes = uint64_t(st.st_size);
  void* img = mmap(NULL, size_t(d->imageBytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (img == MAP_FAILED) {
    Release(d);
    return false;
  }
  d->image = static_cast<uint8_t*>(img);
  d->imageMapped = true;
  ChipShape shape = ChipShapeFor(cfg.maker, cfg.device);
  if (!shape.largePage && d->imageBytes < shape.ImageBytes()) {
    fprintf(stderr, "sim: %s/nand.img is %llu bytes, the chip has %llu\n", dir.c_str(),
            (unsigned long long)d->imageBytes, (unsigned long long)shape.ImageBytes());
    Release(d);
    return false;
  }
  d->stateFd = open((dir + "/soc.state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (!MapState(d)) {
    Release(d);
    return false;
  }
  SocHeader& h = d->state->h;
  if (h.magic != kSocStateMagic || h.version != kSocStateVersion)
    InitializeSocState(*d->state, cfg, hash);
  else if (h.faults.configHash != hash)
    LoadSettings(h.faults, cfg, hash);
  Install(d);
  return true;
}

bool Ready() { return g_dev != nullptr || SocAttach(); }

bool HoldsBus(int window) {
  if (window != WIN_NAND_REGS && window != WIN_DMA_REGS) return true;
  static const wchar_t* const kBusMutexes[] = {FLASH_MUTEX_NAME, PIN_MUTEX_NAME};
  return native::CallingThreadOwnsAll(kBusMutexes, 2);
}

// SocStopInLongWaits, per thread: each stand-in is a thread of its own here.
struct LongWaitStop {
  HANDLE stop = NULL;
  void (*onStop)() = nullptr;
  PollRun polls;
};
thread_local LongWaitStop t_stop;

// The device's processes are threads of this process: one mutex locks the
// models, an access is made by a thread, and a power loss or a kill stops
// the process (native.h) whose thread makes the access.
class NativeBackEnd : public SocBackEnd {
 public:
  AttachedDevice* Device(bool attach) override { return g_dev || (attach && SocAttach()) ? g_dev : nullptr; }
  void Lock() override { g_modelLock.lock(); }
  void Unlock() override { g_modelLock.unlock(); }
  Accessor Who(int window, unsigned int, bool) override {
    return {uint32_t(GetCurrentThreadId()), HoldsBus(window), native::CallingThreadIsTarget()};
  }
  void CountPoll(int window, unsigned int offset, bool read) override {
    LongWaitStop& s = t_stop;
    if (s.onStop && s.polls.Count(window, offset, read) && WaitForSingleObject(s.stop, 0) == WAIT_OBJECT_0)
      s.onStop();
  }
  void PowerLost() override { native::StopCallingProcess(native::ProgramEnd::kPowerLost); }
  void Killed() override { native::StopCallingProcess(native::ProgramEnd::kKilled); }
};

}  // namespace

SocBackEnd& BackEnd() {
  static NativeBackEnd back;
  return back;
}

bool SocAttach() {
  if (g_dev) return true;
  const char* env = getenv("DEVSIM_DEVICE");
  return env && *env && AttachFolder(env);
}

bool SocAttachTo(const wchar_t* deviceDir) { return deviceDir && AttachFolder(PlatformUtf8(deviceDir)); }

void SocDetach() {
  Device* d;
  {
    std::lock_guard<std::mutex> g(g_modelLock);
    d = g_dev;
    g_dev = nullptr;
  }
  if (d) Release(d);
}

bool SocMemoryWindow(int id, HANDLE* phSection, unsigned long long* pqwOffset) {
  if (!Ready() || id < 0 || id >= WIN_COUNT || !SocWindow(id).memory) return false;
  *phSection = g_dev->section;
  *pqwOffset = id == WIN_DRIVER_GLOBALS ? kDriverGlobalsOffset : kDmaBufferOffset;
  return true;
}

// --- device.h -------------------------------------------------------------

bool CreateDevice(const std::wstring& dir, const NandConfig& cfg, std::string* error) {
  std::string utf8 = PlatformUtf8(dir);
  if (g_dev && g_dev->dir == utf8) SocDetach();
  return CreateDeviceFiles(utf8, cfg, error);
}

std::wstring SocDeviceDir() { return g_dev ? g_dev->wdir : std::wstring(); }

std::wstring SocDeviceFile(const wchar_t* name) {
  return g_dev && !g_dev->dir.empty() ? g_dev->wdir + L"/" + name : std::wstring();
}

bool SocStartRun(bool clearRecord, int64_t killAfterOps) {
  if (!g_dev) return false;
  NandConfig cfg;
  uint64_t hash = 0;
  bool folder = !g_dev->dir.empty();
  if (folder && !DeviceConfig(g_dev->dir, &cfg, &hash)) return false;
  std::lock_guard<std::mutex> g(g_modelLock);
  // A device in memory has no nand.cfg: its settings stay as they were loaded.
  StartDeviceRun(g_dev->state->h, folder ? &cfg : nullptr, hash, clearRecord, killAfterOps);
  return true;
}

void SocStopInLongWaits(HANDLE stop, void (*onStop)()) {
  t_stop = LongWaitStop();
  if (!stop || !onStop) return;
  t_stop.stop = stop;
  t_stop.onStop = onStop;
}

// No handles of the checker's own here: the bus mutexes are looked up by name.
void SocDropBusHandles() {}

}  // namespace sim

namespace native {

bool AttachMemoryDevice(const sim::NandConfig& cfg, uint8_t* image, uint64_t imageBytes) {
  sim::ChipShape shape = sim::ChipShapeFor(cfg.maker, cfg.device);
  if (!image || (!shape.largePage && imageBytes < shape.ImageBytes())) {
    sim::SocDetach();
    return false;
  }
  // The same chip again (a fuzzer's next case): the state's memory, its
  // descriptor and section are kept and the state is switched on afresh in
  // place. A new mapping each time cost a third of such a run (a new memory
  // file, 700 KiB of fresh pages, their release).
  if (sim::Device* d = sim::g_dev; d && d->dir.empty() && d->image == image && d->imageBytes == imageBytes) {
    std::lock_guard<std::mutex> g(sim::g_modelLock);
    // Below the counters (header, memory windows) here; the header again and
    // the counters of the pages the image holds by the initialisation: any
    // chip attached to this image had at most those (a small-page chip must
    // fit it, and its rows wrap at its size; a large-page chip programs
    // nothing).
    memset(d->state, 0, size_t(sim::kPartialOffset));
    uint64_t pages = (imageBytes + sim::kRawPageBytes - 1) / sim::kRawPageBytes;
    sim::InitializeSocState(*d->state, cfg, 0, uint32_t(std::min<uint64_t>(pages, sim::kMaxPages)));
    d->ownedModel.reset(new sim::SocModel(*d->state, d->image, d->imageBytes));
    d->model = d->ownedModel.get();
    return true;
  }
  sim::SocDetach();
  sim::Device* d = new sim::Device;
  d->image = image;
  d->imageBytes = imageBytes;
  d->stateFd = sim::AnonymousStateFd();
  if (!sim::MapState(d)) {
    sim::Release(d);
    return false;
  }
  memset(d->state, 0, size_t(sim::kSocStateBytes));
  sim::InitializeSocState(*d->state, cfg, 0);
  sim::Install(d);
  return true;
}

sim::SocState* AttachedState() { return sim::g_dev ? sim::g_dev->state : nullptr; }

bool HangWait(int window, unsigned offset) {
  if (!sim::g_dev) return false;
  std::lock_guard<std::mutex> g(sim::g_modelLock);
  return sim::g_dev->model->HangWait(uint32_t(window), offset);
}

void ElapseHeldPolls(uint64_t polls) {
  if (!sim::g_dev) return;
  std::lock_guard<std::mutex> g(sim::g_modelLock);
  sim::g_dev->state->h.clock.nowNs += polls * sim::kRegisterAccessNs;
}

namespace internal {
std::string AttachedDeviceDir() { return sim::g_dev ? sim::g_dev->dir : std::string(); }
}  // namespace internal

}  // namespace native
