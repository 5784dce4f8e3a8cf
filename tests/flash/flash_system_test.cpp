// The driver on the device as it is used: on every chip of the table it can
// drive, up to its last block, and beside the system's own flash driver,
// which takes the bus between any two of our calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/device.h"
#include "sim/sysflash_control.h"
#include "tests/flash/flash_test_support.h"

namespace flashtest {
namespace {

const SectorInfo kBootRecord = {0, 0xFC, 0, 0};

class FlashSystemTest : public FlashDeviceTest {};

// The address cycles differ by chip (three for 16 and 32 MiB, four above;
// two or three for the erase): a wrong count lands elsewhere or is refused by
// the chip, so the last block of each chip is written, read and erased.
TEST_F(FlashSystemTest, EveryChipReachesItsLastBlock) {
  struct Case {
    uint32_t maker, device, blocks;
  } cases[] = {{0x98, 0x73, 1024}, {0xAD, 0x75, 2048}, {0xEC, 0x76, 4096}, {0x98, 0x79, 8192}, {0xAD, 0x79, 8192}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "maker 0x" << c.maker << " device 0x" << c.device);
    ASSERT_NO_FATAL_FAILURE(StartDriver(Chip(c.maker, c.device)));
    ASSERT_EQ(c.blocks, ctx_.Geometry.dwTotalBlocks);
    const DWORD first = (c.blocks - 1) * 32;
    Bytes data = PseudoRandom(kData * 32, c.device);
    std::vector<SectorInfo> recs(32, kBootRecord);
    ASSERT_EQ(1, ctx_.FMD_WriteSector(first, data.data(), recs.data(), 32));
    for (DWORD s : {first, first + 17, first + 31}) {
      Bytes expected = ExpectedPage(&data[(s - first) * kData], &kBootRecord);
      Bytes got = dev_->RawPage(s);
      EXPECT_EQ(expected, got) << "sector " << s << "\n" << DiffBytes(expected, got);
    }
    EXPECT_EQ(Bytes(kRawPage, 0xFF), dev_->RawPage(first - 1)) << "the block before was written";
    Bytes back(kData * 32);
    ASSERT_EQ(1, ctx_.FMD_ReadSector(first, back.data(), nullptr, 32));
    EXPECT_EQ(data, back);
    ASSERT_EQ(1, ctx_.FMD_EraseBlock(c.blocks - 1));
    EXPECT_EQ(Bytes(kRawPage, 0xFF), dev_->RawPage(first + 31));
    EXPECT_EQ(0u, Violations());
    TearDown();
  }
}

std::wstring WindowsPath(const char* unixPath) {
  std::wstring w = L"Z:";
  for (const char* p = unixPath; *p; ++p) w += *p == '/' ? L'\\' : wchar_t(*p);
  return w;
}

// The system's flash driver stand-in holds the bus again and again while the
// updater's driver works through single-sector calls, as the boot area
// writer makes them; no call may touch the controller without the bus.
TEST_F(FlashSystemTest, SystemDriverRunsBetweenCalls) {
  ASSERT_NO_FATAL_FAILURE(Start());
  wchar_t tempDir[MAX_PATH];
  std::wstring dir = sim::SocDeviceDir();
  SetEnvironmentVariableW(L"DEVSIM_DEVICE", dir.c_str());
  GetTempPathW(MAX_PATH, tempDir);
  std::wstring log = std::wstring(tempDir) + L"flash_sysflash_events_" + std::to_wstring(GetCurrentProcessId());
  DeleteFileW(log.c_str());
  SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", log.c_str());
  sim::SysflashProcess sys;
  ASSERT_TRUE(sim::StartSysflash(WindowsPath(SYSFLASH_EXE), L"--interval-ms 1 --hold-ms 1", &sys));
  ASSERT_EQ(1, ctx_.FMD_Init()) << "FMD_Init beside the system's flash driver";

  const DWORD kCount = 64, kFirst = 5 * 32;
  Bytes data = PseudoRandom(kData * kCount, 31);
  bool ok = true;
  for (DWORD b = 0; b < kCount / 32; ++b) ok = ok && ctx_.FMD_EraseBlock(5 + b) == 1;
  for (DWORD i = 0; i < kCount && ok; ++i)
    ok = ctx_.FMD_WriteSector(kFirst + i, &data[i * kData], const_cast<SectorInfo*>(&kBootRecord), 1) == 1;
  Bytes back(kData * kCount);
  for (DWORD i = 0; i < kCount && ok; ++i) ok = ctx_.FMD_ReadSector(kFirst + i, &back[i * kData], nullptr, 1) == 1;
  ctx_.FMD_Deinit();
  DWORD code = sim::StopSysflash(&sys);
  SetEnvironmentVariableW(L"DEVSIM_DEVICE", nullptr);

  EXPECT_TRUE(ok);
  EXPECT_EQ(data, back);
  EXPECT_EQ(0u, code);
  SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", nullptr);
  runproto::SysdrvReport report;
  ASSERT_TRUE(sim::ReadSysdrvReport(log, &report)) << "the system driver wrote no report";
  DeleteFileW(log.c_str());
  EXPECT_GT(report.holds, 0u) << "the system driver never got the bus in between";
  std::string texts;
  EXPECT_EQ(0u, Violations(&texts)) << texts;
}

}  // namespace
}  // namespace flashtest
