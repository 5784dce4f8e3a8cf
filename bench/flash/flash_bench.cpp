// Write and read back 512 sectors through the driver on a fresh simulated
// device, and set the host's time per sector beside the simulated device's
// time per sector and the chip's own busy time for the same operations.
//
//   flash_bench [maker device]      (hexadecimal, default ec 76)
//
// Host time is what the simulation costs on this machine (register accesses
// through the device models, the bus mutexes, the ECC). Device time is the
// simulated clock: register accesses, bus cycles and chip busy times, with
// polls that skip to the moment the hardware is done, so it is the time a
// device that polls without delay would spend. Chip busy is the share of it in
// which the chip itself was working (page read, program, erase).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "platform/debug_sink.h"
#include "sim/device_files.h"
#include "sim/device_record.h"
#include "sim/soc.h"

namespace {

const DWORD kSectors = 512;
const DWORD kFirstSector = 64;  // block 2 onwards, clear of the TOC's place

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

struct Sample {
  double hostS = 0;
  uint64_t deviceNs = 0, chipNs = 0;
};

bool Record(const std::string& dir, sim::DeviceRecord* rec) {
  std::string error;
  if (!sim::ReadDeviceRecord(dir, rec, &error)) {
    std::fprintf(stderr, "device record: %s\n", error.c_str());
    return false;
  }
  return true;
}

template <typename Op>
bool Measure(const std::string& dir, Op op, Sample* s) {
  sim::DeviceRecord before, after;
  LARGE_INTEGER t0, t1;
  if (!Record(dir, &before)) return false;
  QueryPerformanceCounter(&t0);
  bool ok = op();
  QueryPerformanceCounter(&t1);
  if (!ok || !Record(dir, &after)) return false;
  s->hostS = Seconds(t0, t1);
  s->deviceNs = after.clockNs - before.clockNs;
  s->chipNs = after.chipBusyNs - before.chipBusyNs;
  return true;
}

void Row(const char* name, const Sample& s, DWORD count) {
  std::printf("%-28s %12.2f %14.2f %14.2f\n", name, s.hostS * 1e6 / count, s.deviceNs / 1e3 / count,
              s.chipNs / 1e3 / count);
}

}  // namespace

int main(int argc, char** argv) {
  sim::NandConfig cfg;
  if (argc == 3) {
    cfg.maker = uint32_t(std::strtoul(argv[1], nullptr, 16));
    cfg.device = uint32_t(std::strtoul(argv[2], nullptr, 16));
  }
  PlatformSetDebugEcho(false);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring wdir = std::wstring(temp) + L"flash_bench_" + std::to_wstring(GetCurrentProcessId());
  std::string dir(wdir.begin(), wdir.end());
  std::string error;
  if (!sim::CreateDeviceFiles(dir, cfg, &error) || !sim::SocAttachTo(wdir.c_str())) {
    std::fprintf(stderr, "no device at %s: %s\n", dir.c_str(), error.c_str());
    return 1;
  }
  // The system flash driver's mutex, as it exists on the device.
  HANDLE sysFlash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
  FlashContext ctx;
  if (!ctx.FMD_Init()) {
    std::fprintf(stderr, "FMD_Init failed\n");
    return 1;
  }

  std::vector<BYTE> data(kSectors * 512), back(kSectors * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i * 131 + (i >> 9));
  SectorInfo info = {0, 0xFC, 0, 0};
  DWORD firstBlock = kFirstSector / ctx.Geometry.dwBlockSectors;
  DWORD blocks = kSectors / ctx.Geometry.dwBlockSectors;

  Sample erase, write, read;
  bool ok = Measure(
      dir,
      [&] {
        for (DWORD b = 0; b < blocks; ++b)
          if (!ctx.FMD_EraseBlock(firstBlock + b)) return false;
        return true;
      },
      &erase);
  // One call per sector, as the boot area writer makes them.
  ok = ok && Measure(
                 dir,
                 [&] {
                   for (DWORD i = 0; i < kSectors; ++i)
                     if (!ctx.FMD_WriteSector(kFirstSector + i, &data[i * 512], &info, 1)) return false;
                   return true;
                 },
                 &write);
  ok = ok && Measure(
                 dir,
                 [&] {
                   for (DWORD i = 0; i < kSectors; ++i)
                     if (!ctx.FMD_ReadSector(kFirstSector + i, &back[i * 512], &info, 1)) return false;
                   return true;
                 },
                 &read);
  ok = ok && back == data;

  std::printf("chip 0x%02x/0x%02x, %lu sectors of 512 bytes, one call per sector\n", cfg.maker, cfg.device,
              (unsigned long)kSectors);
  std::printf("%-28s %12s %14s %14s\n", "operation", "host us", "device us", "chip busy us");
  Row("erase (per block)", erase, blocks);
  Row("write data+record (sector)", write, kSectors);
  Row("read data+record (sector)", read, kSectors);
  sim::DeviceRecord rec;
  if (Record(dir, &rec)) std::printf("protocol violations: %llu\n", (unsigned long long)rec.violationCount);

  ctx.FMD_Deinit();
  CloseHandle(sysFlash);
  sim::SocDetach();
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(wdir), ec);
  if (!ok) std::fprintf(stderr, "a transfer failed or the data read back differs\n");
  return ok ? 0 : 1;
}
