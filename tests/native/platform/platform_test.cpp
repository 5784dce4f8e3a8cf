// The kernel services of the one-process platform where the driver and the
// updater depend on their exact behaviour: named mutexes between threads and
// their abandonment, share modes of the card's files, the debug line format,
// and the 16-bit width of the device's characters.
#include <pkfuncs.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_sink.h"
#include "flash/soc_windows.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/nand_cfg.h"
#include "sim/soc.h"
#include "sim/soc_state.h"

namespace {

TEST(NativeMutex, NamedMutexesAreSharedAndVanishWithTheirLastHandle) {
  HANDLE a = CreateMutexW(NULL, FALSE, L"TEST_MUTEX_A");
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(0u, GetLastError());
  HANDLE b = CreateMutexW(NULL, FALSE, L"TEST_MUTEX_A");
  EXPECT_EQ(unsigned(ERROR_ALREADY_EXISTS), GetLastError());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 0)) << "the owner takes it again";
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(b, 0); }).join();
  EXPECT_EQ(WAIT_TIMEOUT, other);
  EXPECT_TRUE(ReleaseMutex(a));
  EXPECT_TRUE(ReleaseMutex(b));
  EXPECT_FALSE(ReleaseMutex(a));
  EXPECT_EQ(unsigned(ERROR_NOT_OWNER), GetLastError());
  CloseHandle(a);
  CloseHandle(b);
  HANDLE c = CreateMutexW(NULL, FALSE, L"TEST_MUTEX_A");
  EXPECT_EQ(0u, GetLastError()) << "the name went with its last handle";
  CloseHandle(c);
}

// A thread that ends holding a mutex abandons it; so does a process the
// device stops (power loss, a kill), wherever it stood.
TEST(NativeMutex, AnOwnerThatEndsOrIsStoppedAbandonsIt) {
  HANDLE m = CreateMutexW(NULL, FALSE, L"TEST_MUTEX_B");
  std::thread([] {
    HANDLE mine = CreateMutexW(NULL, FALSE, L"TEST_MUTEX_B");
    WaitForSingleObject(mine, INFINITE);
    CloseHandle(mine);
  }).join();
  EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0)) << "abandoned once, then an ordinary mutex";
  EXPECT_TRUE(ReleaseMutex(m));

  HANDLE kept = nullptr;
  native::ProgramEnd end = native::RunProgram([&] {
    kept = CreateMutexW(NULL, TRUE, L"TEST_MUTEX_B");  // it exists: no initial ownership
    WaitForSingleObject(kept, INFINITE);
    native::StopCallingProcess(native::ProgramEnd::kKilled);
  });
  EXPECT_EQ(native::ProgramEnd::kKilled, end);
  HANDLE list[2] = {CreateEventW(NULL, TRUE, FALSE, NULL), m};
  EXPECT_EQ(WAIT_ABANDONED_0 + 1, WaitForMultipleObjects(2, list, FALSE, 0));
  EXPECT_FALSE(CloseHandle(kept)) << "the stopped process's handles were closed with it";
  ReleaseMutex(m);
  CloseHandle(list[0]);
  CloseHandle(m);
}

class NativeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("native_files_" + std::to_string(getpid()));
    std::filesystem::create_directories(root_ / "SDMMC Disk");
    std::ofstream(root_ / "SDMMC Disk" / "EBOOT.NB0") << "boot";
    native::SetDeviceRoot(root_.string());
  }
  void TearDown() override {
    native::SetDeviceRoot("");
    std::filesystem::remove_all(root_);
  }
  std::filesystem::path root_;
};

TEST_F(NativeFiles, RootRelativeNamesAreFoundWithoutRegardToCase) {
  HANDLE f = CreateFileW(L"\\sdmmc disk\\eboot.nb0", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  EXPECT_EQ(4u, GetFileSize(f, NULL));
  char buf[8] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(f, buf, sizeof(buf), &got, NULL));
  EXPECT_EQ(4u, got);
  EXPECT_STREQ("boot", buf);
  CloseHandle(f);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(L"\\SDMMC Disk\\NONE.NB0", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
  EXPECT_EQ(unsigned(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(L"\\No Card\\EBOOT.NB0", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
  EXPECT_EQ(unsigned(ERROR_PATH_NOT_FOUND), GetLastError());
}

// Share mode 0 keeps a file to its opener: neither a second open nor one
// made before it that shares less may coexist with it.
TEST_F(NativeFiles, ShareModesHoldBetweenOpens) {
  const wchar_t* name = L"\\SDMMC Disk\\EBOOT.NB0";
  HANDLE first = CreateFileW(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
  EXPECT_EQ(unsigned(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(first);
  HANDLE sharing = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, sharing);
  HANDLE second = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, second);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
  CloseHandle(second);
  CloseHandle(sharing);
}

// The device's wide printf: %s is a wide string, %S a narrow one, and a long
// is 32 bits.
TEST(NativeDebug, LinesAreFormattedAsTheDeviceFormatsThem) {
  PlatformSetDebugEcho(false);
  PlatformClearDebugLines();
  NKDbgPrintfW(L"%s|%S|%ls|%hs|%c|%%\r\n", L"wide", "narrow", L"l", "h", L'c');
  NKDbgPrintfW(L"%x %X %08x %d %u %lu %5d|%-4s|\r\n", 0xBEEFu, 0xBEEFu, 0x12u, -7, 4000000000u, 0xFFFFFFFFu, 42, L"ab");
  NKDbgPrintfW(L"Manufacture ID: 0x%x; Device ID: 0x%x\r\n", (DWORD)0xEC, (DWORD)0x76);
  std::vector<std::string> want = {"wide|narrow|l|h|c|%\r\n",
                                   "beef BEEF 00000012 -7 4000000000 4294967295    42|ab  |\r\n",
                                   "Manufacture ID: 0xec; Device ID: 0x76\r\n"};
  EXPECT_EQ(want, PlatformDebugLinesUtf8());
  PlatformSetDebugEcho(true);
}

// Every wide string the device code hands over is looked at: a character
// that would not fit the device's 16-bit WCHAR is counted.
TEST(NativeDebug, CharactersBeyond16BitsAreCounted) {
  uint64_t before = native::WideUnitsBeyond16Bits();
  PlatformSetDebugEcho(false);
  NKDbgPrintfW(L"\u00e9\u20ac fits\r\n");
  EXPECT_EQ(before, native::WideUnitsBeyond16Bits());
  MessageBoxW(NULL, L"\U0001F600", L"caption", MB_OK);
  EXPECT_EQ(before + 1, native::WideUnitsBeyond16Bits());
  PlatformSetDebugEcho(true);
}

TEST(NativeWindows, VirtualCopyDecodesTheSixWindowsOnly) {
  LPVOID p = VirtualAlloc(NULL, 0x2000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, p);
  EXPECT_FALSE(VirtualCopy(p, reinterpret_cast<LPVOID>(0xA9000000u), 0x2000, PAGE_READWRITE | PAGE_NOCACHE));
  EXPECT_EQ(unsigned(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(VirtualCopy(p, reinterpret_cast<LPVOID>(0xA8001000u), 0x2000, PAGE_READWRITE | PAGE_NOCACHE))
      << "a range running past the DMA window's end";
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

// The protection /proc/self/maps gives the page at p ("rw-s", "---s", ...),
// "" when nothing is mapped there.
std::string Protection(const void* p) {
  std::ifstream maps("/proc/self/maps");
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  std::string line;
  while (std::getline(maps, line)) {
    uintptr_t from = 0, to = 0;
    char perms[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) == 3 && a >= from && a < to) return perms;
  }
  return "";
}

// A driver maps its windows at every start and gives them back at its end.
// What it gives back is kept for the next reservation of that size, but stays
// memory given back: inaccessible. The same window mapped there again shows
// the section as it is now, and memory committed there starts zeroed.
TEST(NativeWindows, AWindowGivenBackStaysInaccessibleAndComesBackAsItIsNow) {
  PlatformSetDebugEcho(false);
  sim::NandConfig cfg;
  std::vector<uint8_t> image(size_t(sim::ChipShapeFor(cfg.maker, cfg.device).ImageBytes()), 0xFF);
  ASSERT_TRUE(native::AttachMemoryDevice(cfg, image.data(), image.size()));
  sim::SocState* state = native::AttachedState();
  LPVOID const window = reinterpret_cast<LPVOID>(uintptr_t(DRIVER_GLOBALS_VA));

  LPVOID first = VirtualAlloc(NULL, DRIVER_GLOBALS_SIZE, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, first);
  ASSERT_TRUE(VirtualCopy(first, window, DRIVER_GLOBALS_SIZE, PAGE_READWRITE | PAGE_NOCACHE));
  static_cast<volatile uint8_t*>(first)[5] = 0x5A;
  EXPECT_EQ(0x5A, state->driverGlobals[5]) << "a view of the shared section";
  ASSERT_TRUE(VirtualFree(first, 0, MEM_RELEASE));
  EXPECT_EQ("---s", Protection(first)) << "given back: no load or store reaches it";

  LPVOID second = VirtualAlloc(NULL, DRIVER_GLOBALS_SIZE, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_EQ(first, second) << "the parked reservation of that size";
  EXPECT_EQ("---s", Protection(second)) << "reserved, not yet a window";
  state->driverGlobals[5] = 0xA5;  // changed by another while it was parked
  ASSERT_TRUE(VirtualCopy(second, window, DRIVER_GLOBALS_SIZE, PAGE_READWRITE | PAGE_NOCACHE));
  EXPECT_EQ("rw-s", Protection(second));
  EXPECT_EQ(0xA5, static_cast<volatile uint8_t*>(second)[5]) << "the section as it is now";
  ASSERT_TRUE(VirtualFree(second, 0, MEM_RELEASE));

  LPVOID third = VirtualAlloc(NULL, DRIVER_GLOBALS_SIZE, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_EQ(first, third);
  ASSERT_EQ(third, VirtualAlloc(third, DRIVER_GLOBALS_SIZE, MEM_COMMIT, PAGE_READWRITE));
  EXPECT_EQ("rw-p", Protection(third)) << "private memory, not the parked view";
  const volatile uint8_t* bytes = static_cast<volatile uint8_t*>(third);
  EXPECT_EQ(0, bytes[5]);
  static_cast<volatile uint8_t*>(third)[5] = 0x11;
  EXPECT_EQ(0xA5, state->driverGlobals[5]) << "the section is not written through committed memory";
  ASSERT_TRUE(VirtualFree(third, 0, MEM_RELEASE));

  sim::SocDetach();
  PlatformSetDebugEcho(true);
}

}  // namespace
