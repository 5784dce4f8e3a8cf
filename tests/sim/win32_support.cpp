#include "tests/sim/win32_support.h"

#include <stdio.h>
#include <wchar.h>

#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "sim/device.h"
#include "sim/soc.h"
#include "sim/soc_state.h"

namespace simtest {

TempDevice::TempDevice(const sim::NandConfig& cfg) {
  static LONG serial = 0;
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  wchar_t name[64];
  swprintf(name, 64, L"simdev-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&serial));
  dir_ = std::wstring(tmp) + name;
  std::string err;
  ok_ = sim::CreateDevice(dir_, cfg, &err);
  if (!ok_) fprintf(stderr, "CreateDevice: %s\n", err.c_str());
}

TempDevice::~TempDevice() {
  if (sim::SocDeviceDir() == dir_) sim::SocDetach();
  for (const wchar_t* f : {L"nand.img", L"nand.cfg", L"soc.state"}) DeleteFileW(Path(f).c_str());
  RemoveDirectoryW(dir_.c_str());
}

std::vector<uint8_t> TempDevice::ReadFileBytes(const wchar_t* name) const {
  std::vector<uint8_t> out;
  HANDLE f = CreateFileW(Path(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) return out;
  LARGE_INTEGER size;
  GetFileSizeEx(f, &size);
  out.resize(size_t(size.QuadPart));
  DWORD got = 0;
  if (!out.empty()) ReadFile(f, out.data(), DWORD(out.size()), &got, NULL);
  out.resize(got);
  CloseHandle(f);
  return out;
}

void TempDevice::WriteConfig(const sim::NandConfig& cfg) const {
  std::string text = sim::FormatNandConfig(cfg);
  HANDLE f = CreateFileW(Path(L"nand.cfg").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
  DWORD n = 0;
  WriteFile(f, text.data(), DWORD(text.size()), &n, NULL);
  CloseHandle(f);
}

BusHold::BusHold(bool flash, bool pin) {
  if (flash) {
    flash_ = CreateMutexW(NULL, FALSE, L"_FLASH_MUTEX_");
    WaitForSingleObject(flash_, INFINITE);
  }
  if (pin) {
    pin_ = CreateMutexW(NULL, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
    WaitForSingleObject(pin_, INFINITE);
  }
}

BusHold::~BusHold() {
  if (pin_) {
    ReleaseMutex(pin_);
    CloseHandle(pin_);
  }
  if (flash_) {
    ReleaseMutex(flash_);
    CloseHandle(flash_);
  }
}

bool ReadIdWord(uint32_t* word) {
  using sim::SocRead32;
  using sim::SocWrite32;
  const int nand = sim::WIN_NAND_REGS;
  SocWrite32(nand, NAND_CTRL, NAND_CTRL_START);
  SocWrite32(nand, NAND_XFER, NAND_XFER_RESET);
  SocWrite32(nand, NAND_XFER, NAND_XFER_IDLE);
  SocWrite32(nand, NAND_MODE, NAND_MODE_FIFO_READ);
  SocWrite32(nand, NAND_COUNT, NAND_COUNT_ID);
  SocWrite32(nand, NAND_ADDR_CYCLES, 1);
  SocWrite32(nand, NAND_ADDR, 0);
  SocWrite32(nand, NAND_CMD, NAND_CMD_READID);
  SocWrite32(nand, NAND_XFER, NAND_XFER_START);
  for (int i = 0; i < 1000; ++i) {
    if ((SocRead32(nand, NAND_FIFO_STAT) & FIFO_EMPTY) == 0) {
      *word = SocRead32(nand, NAND_FIFO);
      return true;
    }
  }
  return false;
}

DWORD RunChild(const std::wstring& args, DWORD timeoutMs) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(NULL, exe, MAX_PATH);
  std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --child " + args;
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 0xFFFFFFFFu;
  CloseHandle(pi.hThread);
  DWORD code = 0xFFFFFFFFu;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  else
    TerminateProcess(pi.hProcess, 0xFFFFFFFFu);
  CloseHandle(pi.hProcess);
  return code;
}

std::wstring WinePath(const char* unixPath) {
  std::wstring w = L"Z:";
  for (const char* p = unixPath; *p; ++p) w += *p == '/' ? L'\\' : wchar_t(*p);
  return w;
}

namespace {

int ChildReadId(const wchar_t* dir, bool lock) {
  if (!sim::SocAttachTo(dir)) return 0xBAD0;
  uint32_t word = 0;
  bool ok;
  if (lock) {
    BusHold bus;
    ok = ReadIdWord(&word);
  } else {
    ok = ReadIdWord(&word);
  }
  return ok ? int(word & 0xFFFF) : 0xBAD1;
}

// Another driver on the device: sets the shared shadow byte through its own
// mapping of the driver-globals page, and the pin register through the model.
int ChildPokeShadow(const wchar_t* dir, int value) {
  if (!sim::SocAttachTo(dir)) return 0xBAD0;
  HANDLE section;
  unsigned long long offset;
  if (!sim::SocMemoryWindow(sim::WIN_DRIVER_GLOBALS, &section, &offset)) return 0xBAD1;
  volatile uint8_t* page = static_cast<volatile uint8_t*>(
      MapViewOfFile(section, FILE_MAP_ALL_ACCESS, DWORD(offset >> 32), DWORD(offset), 0x2000));
  if (!page) return 0xBAD2;
  page[EXT_BOARD_SHADOW + 1] = uint8_t(value);
  BusHold bus(false, true);
  sim::SocWrite32(sim::WIN_RESSHARE_REGS, RS_PINMUX, 0xC000u | unsigned(value));
  UnmapViewOfFile(const_cast<uint8_t*>(page));
  return 0;
}

// Dies inside the model lock: the lock word keeps this process's id.
int ChildDieHoldingLock(const wchar_t* dir) {
  std::wstring path = std::wstring(dir) + L"\\soc.state";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) return 0xBAD0;
  HANDLE m = CreateFileMappingW(f, NULL, PAGE_READWRITE, 0, 0, NULL);
  sim::SocHeader* h = m ? static_cast<sim::SocHeader*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  if (!h) return 0xBAD1;
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&h->lockOwner), LONG(GetCurrentProcessId()));
  TerminateProcess(GetCurrentProcess(), 7);
  return 7;
}

// Takes the bus and ends without giving it back.
int ChildAbandonBus() {
  HANDLE flash = OpenMutexW(SYNCHRONIZE, FALSE, L"_FLASH_MUTEX_");
  HANDLE pin = OpenMutexW(SYNCHRONIZE, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
  if (!flash || !pin) return 0xBAD0;
  WaitForSingleObject(flash, INFINITE);
  WaitForSingleObject(pin, INFINITE);
  ExitProcess(5);
}

}  // namespace

int ChildMain(int argc, wchar_t** argv) {
  std::wstring mode = argc > 2 ? argv[2] : L"";
  const wchar_t* dir = argc > 3 ? argv[3] : L"";
  if (mode == L"read-id") return ChildReadId(dir, true);
  if (mode == L"unlocked-id") return ChildReadId(dir, false);
  if (mode == L"poke-shadow") return ChildPokeShadow(dir, argc > 4 ? _wtoi(argv[4]) : 0);
  if (mode == L"die-holding-lock") return ChildDieHoldingLock(dir);
  if (mode == L"abandon-bus") return ChildAbandonBus();
  return 0xBADD;
}

}  // namespace simtest
