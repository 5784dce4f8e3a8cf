// Page and spare transfers, the block erase and the sector runs, checked as
// the hardware sees them: the bytes in nand.img and the protocol checker's
// record (which the fixture requires to stay empty).
#include <ceddk.h>
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <functional>
#include <thread>

#include "ecc/ecc.h"
#include "flash/soc_nand.h"
#include "sim/soc.h"
#include "tests/flash/flash_test_support.h"

namespace flashtest {
namespace {

const SectorInfo kRecord = {0x12345678u, 0xFC, 0x01, 0xBEEF};
// 64 MiB default chip: 4096 blocks of 32 sectors.
const DWORD kBlocks = 4096;
const DWORD kSectors = kBlocks * 32;

class FlashTransferTest : public FlashDeviceTest {
 protected:
  BOOL Write(DWORD sector, const uint8_t* data, const SectorInfo* info, DWORD count = 1) {
    return ctx_.FMD_WriteSector(sector, const_cast<BYTE*>(data), const_cast<SectorInfo*>(info), count);
  }
  BOOL Read(DWORD sector, uint8_t* data, SectorInfo* info, DWORD count = 1) {
    return ctx_.FMD_ReadSector(sector, data, info, count);
  }
  void ExpectPage(DWORD sector, const Bytes& expected) {
    Bytes got = dev_->RawPage(sector);
    EXPECT_EQ(expected, got) << "sector " << sector << ":\n" << DiffBytes(expected, got);
  }
};

TEST_F(FlashTransferTest, RecordIsLittleEndianInSpareBytes0To7) {
  EXPECT_EQ((Bytes{0x78, 0x56, 0x34, 0x12, 0xFC, 0x01, 0xEF, 0xBE}), RecordBytes(kRecord));
  EXPECT_EQ(8u, sizeof(SectorInfo));
}

// One page written each way over an erased page; the raw page must hold the
// data in 0-511, the record in 512-519 (or 0xFF without one), the two codes
// in 520-522 and 524-526, and nothing anywhere else may change.
TEST_F(FlashTransferTest, WrittenPageLayout) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  struct Case {
    const char* name;
    DWORD sector;
    bool withData, withRecord;
    size_t misalign;
  } cases[] = {
      {"data and record", 64, true, true, 0},
      {"data only", 65, true, false, 0},
      {"record only", 66, false, true, 0},
      {"data and record from an odd address", 67, true, true, 1},
      {"data only from an address 2 past a word", 68, true, false, 2},
      {"last sector of the device", kSectors - 1, true, true, 3},
  };
  Bytes before = dev_->Image();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Other data each time: what the DMA buffer held from the write before must not pass.
    Bytes data = PseudoRandom(kData, c.sector);
    std::vector<uint8_t> storage(kData + 8);
    uint8_t* buf = storage.data() + c.misalign;
    memcpy(buf, data.data(), kData);
    ASSERT_EQ(1, Write(c.sector, c.withData ? buf : nullptr, c.withRecord ? &kRecord : nullptr));
    ExpectPage(c.sector, ExpectedPage(c.withData ? data.data() : nullptr, c.withRecord ? &kRecord : nullptr));
    EXPECT_EQ(0, memcmp(buf, data.data(), kData)) << "the caller's buffer was changed";
  }
  Bytes after = dev_->Image();
  for (const Case& c : cases)
    memcpy(&before[size_t(c.sector) * kRawPage], &after[size_t(c.sector) * kRawPage], kRawPage);
  EXPECT_TRUE(before == after) << "pages other than the written ones changed";
}

// A records-only write over a page that already holds data changes spare
// bytes 0-7 and nothing else: no data, no code, no other page.
TEST_F(FlashTransferTest, RecordsOnlyWriteTouchesOnlySpare0To7) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 3, 2);
  ASSERT_EQ(1, Write(96, data.data(), nullptr, 3));
  Bytes before = dev_->Image();
  SectorInfo recs[3] = {kRecord, {0, 0xFC, 0, 0}, {0xA5A5A5A5u, 0x00, 0xFF, 0x0102}};
  ASSERT_EQ(1, Write(96, nullptr, recs, 3));
  Bytes after = dev_->Image();
  for (DWORD i = 0; i < 3; ++i) {
    Bytes expected = ExpectedPage(&data[i * kData], &recs[i]);
    ExpectPage(96 + i, expected);
    memcpy(&before[(96 + i) * kRawPage + 512], &expected[512], 8);
  }
  EXPECT_TRUE(before == after) << "bytes outside spare 0-7 changed";
}

// The page operations called without data, as a caller of the page layer may
// call them: a record alone goes to spare bytes 0-7 and is read back from
// there; with neither data nor record nothing is transferred and the call
// fails.
TEST_F(FlashTransferTest, PageCallsWithoutDataMoveTheRecordOnly) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData, 41);
  ASSERT_EQ(1, Write(200, data.data(), nullptr));
  Bytes before = dev_->Image();
  const SectorInfo rec = {0x01020304u, 0x5A, 0xC3, 0xA55A};
  ASSERT_TRUE(ctx_.AcquireFlashBus());
  BOOL wrote = ctx_.NandWritePage(200, nullptr, &rec);
  BOOL neither = ctx_.NandWritePage(201, nullptr, nullptr);
  SectorInfo back = {0, 0, 0, 0};
  BOOL read = ctx_.NandReadPage(200, nullptr, &back);
  BOOL readNeither = ctx_.NandReadPage(200, nullptr, nullptr);
  ctx_.ReleaseFlashBus();
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(0, neither);
  EXPECT_EQ(1, read);
  EXPECT_EQ(0, readNeither);
  EXPECT_EQ(0, memcmp(&rec, &back, sizeof(rec)));
  Bytes expected = ExpectedPage(data.data(), &rec);
  ExpectPage(200, expected);
  memcpy(&before[200 * kRawPage + 512], &expected[512], 8);
  EXPECT_TRUE(before == dev_->Image()) << "bytes outside spare 0-7 of sector 200 changed";
  EXPECT_TRUE(BusIsFree());
}

// The same calls when the record's FIFO transfer never completes: they fail.
TEST_F(FlashTransferTest, PageCallsWithoutDataFailWithTheirSpareTransfer) {
  const SectorInfo rec = {1, 2, 3, 4};
  for (int write = 0; write < 2; ++write) {
    SCOPED_TRACE(write ? "write" : "read");
    sim::NandConfig cfg;
    cfg.fifoHang = 1;  // the ID read is FIFO transfer 0
    ASSERT_NO_FATAL_FAILURE(StartDriver(cfg));
    SectorInfo back = {0, 0, 0, 0};
    ASSERT_TRUE(ctx_.AcquireFlashBus());
    BOOL ok = write ? ctx_.NandWritePage(200, nullptr, &rec) : ctx_.NandReadPage(200, nullptr, &back);
    ctx_.ReleaseFlashBus();
    EXPECT_EQ(0, ok);
    ExpectPage(200, Bytes(kRawPage, 0xFF));
    TearDown();
  }
}

// A run stops at its first sector that fails: those before it are written,
// the failing one and those after it are not, and the bus is given back.
TEST_F(FlashTransferTest, ARunStopsAtItsFirstFailingSector) {
  sim::NandConfig cfg;
  cfg.dmaHang = 1;  // the second sector's data
  ASSERT_NO_FATAL_FAILURE(StartDriver(cfg));
  Bytes data = PseudoRandom(kData * 3, 43);
  SectorInfo recs[3] = {kRecord, kRecord, kRecord};
  EXPECT_EQ(0, Write(64, data.data(), recs, 3));
  ExpectPage(64, ExpectedPage(data.data(), &recs[0]));
  ExpectPage(66, Bytes(kRawPage, 0xFF));
  EXPECT_TRUE(BusIsFree());
}

// A context with no chip identified has no blocks: every run and erase is
// refused before the bus or the hardware is touched.
TEST_F(FlashTransferTest, AContextWithNoChipRefusesEverything) {
  // Made over memory that held something else: a context starts from zeros.
  alignas(FlashContext) unsigned char storage[sizeof(FlashContext)];
  memset(storage, 0xA5, sizeof(storage));
  FlashContext& none = *new (storage) FlashContext;
  EXPECT_EQ(0u, none.Geometry.dwTotalBlocks);
  EXPECT_EQ(0u, none.Geometry.dwBlockSectors);
  EXPECT_EQ(0u, none.Geometry.dwTotalSectors);
  EXPECT_EQ(0u, none.dwBootFirstBlock);
  EXPECT_EQ(0u, none.dwBootSectorCount);
  EXPECT_EQ(0u, none.dwTocBlock);
  Bytes buf(kData, 0);
  SectorInfo rec = kRecord;
  EXPECT_EQ(0, none.FMD_ReadSector(0, buf.data(), &rec, 1));
  EXPECT_EQ(0, none.FMD_WriteSector(0, buf.data(), &rec, 1));
  EXPECT_EQ(0, none.FMD_EraseBlock(0));
  none.~FlashContext();
}

TEST_F(FlashTransferTest, ReadBackDataAndRecords) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 4, 3);
  SectorInfo recs[4] = {kRecord, {1, 2, 3, 4}, {0xFFFFFFFFu, 0, 0, 0}, {0, 0xFC, 0, 0}};
  ASSERT_EQ(1, Write(128, data.data(), recs, 4));

  struct Case {
    const char* name;
    bool withData, withRecords;
    size_t misalign;
  } cases[] = {
      {"data and records", true, true, 0},
      {"data only", true, false, 0},
      {"records only", false, true, 0},
      {"data and records into an odd address", true, true, 1},
      {"data into an address 3 past a word", true, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> storage(kData * 4 + 8, 0x5A);
    uint8_t* buf = storage.data() + c.misalign;
    SectorInfo got[4];
    memset(got, 0x5A, sizeof(got));
    ASSERT_EQ(1, Read(128, c.withData ? buf : nullptr, c.withRecords ? got : nullptr, 4));
    if (c.withData) {
      Bytes back(buf, buf + kData * 4);
      EXPECT_EQ(data, back) << DiffBytes(data, back);
    } else {
      EXPECT_EQ(0x5A, storage[c.misalign]);
    }
    for (int i = 0; i < 4; ++i) {
      Bytes expected = c.withRecords ? RecordBytes(recs[i]) : Bytes(8, 0x5A);
      Bytes rec(reinterpret_cast<uint8_t*>(&got[i]), reinterpret_cast<uint8_t*>(&got[i]) + 8);
      EXPECT_EQ(expected, rec) << "record " << i << ": " << DiffBytes(expected, rec);
    }
  }
}

TEST_F(FlashTransferTest, ErasedPageReadsBackAsAllOnes) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes buf(kData, 0);
  SectorInfo info;
  memset(&info, 0, sizeof(info));
  ASSERT_EQ(1, Read(200, buf.data(), &info, 1));
  EXPECT_EQ(Bytes(kData, 0xFF), buf);
  EXPECT_EQ(Bytes(8, 0xFF), RecordBytes(info));
}

// Damage planted in the stored page, read back through the page read.
TEST_F(FlashTransferTest, EccOnRead) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  struct Flip {
    uint32_t byte, bit;
  };
  struct Case {
    const char* name;
    std::vector<Flip> flips;  // raw page positions
    bool ok;
  } cases[] = {
      {"one data bit, first half", {{3, 5}}, true},
      {"one data bit, second half", {{300, 0}}, true},
      {"first and last data bit of a half", {{0, 0}}, true},
      {"last data bit of the page", {{511, 7}}, true},
      {"one bit in each half", {{17, 2}, {400, 6}}, true},
      {"two data bits, first half", {{10, 1}, {200, 6}}, false},
      {"two data bits, second half", {{256, 0}, {511, 7}}, false},
      {"one bit of the first stored code", {{521, 4}}, true},
      {"one bit of the second stored code", {{526, 5}}, true},
      {"two bits of the first stored code", {{520, 0}, {522, 7}}, false},
      {"spare bytes 11 and 15 mean nothing", {{523, 3}, {527, 1}}, true},
  };
  DWORD sector = 320;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data = PseudoRandom(kData, sector);
    ASSERT_EQ(1, Write(sector, data.data(), &kRecord));
    for (const Flip& f : c.flips) dev_->FlipStoredBit(sector, f.byte, f.bit);

    Bytes buf(kData, 0x5A);
    SectorInfo info;
    memset(&info, 0x5A, sizeof(info));
    EXPECT_EQ(c.ok ? 1 : 0, Read(sector, buf.data(), &info));
    Bytes expected = c.ok ? data : Bytes(kData, 0x5A);
    EXPECT_EQ(expected, buf) << DiffBytes(expected, buf);
    Bytes rec = RecordBytes(info);
    Bytes expectedRec = c.ok ? RecordBytes(kRecord) : Bytes(8, 0x5A);
    EXPECT_EQ(expectedRec, rec) << DiffBytes(expectedRec, rec);
    ++sector;
  }
}

// A records-only read goes through the FIFO without a code check, so a page
// whose data is beyond repair still gives its record.
TEST_F(FlashTransferTest, RecordsOnlyReadChecksNoCode) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData, 7);
  ASSERT_EQ(1, Write(40, data.data(), &kRecord));
  dev_->FlipStoredBit(40, 1, 1);
  dev_->FlipStoredBit(40, 2, 2);
  SectorInfo info;
  ASSERT_EQ(1, Read(40, nullptr, &info));
  EXPECT_EQ(RecordBytes(kRecord), RecordBytes(info));
  Bytes buf(kData);
  EXPECT_EQ(0, Read(40, buf.data(), nullptr));
}

TEST_F(FlashTransferTest, ReadFailsAtTheUncorrectableSector) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 4, 9);
  SectorInfo recs[4] = {{10, 0xFC, 0, 0}, {11, 0xFC, 0, 0}, {12, 0xFC, 0, 0}, {13, 0xFC, 0, 0}};
  ASSERT_EQ(1, Write(160, data.data(), recs, 4));
  dev_->FlipStoredBit(162, 5, 0);
  dev_->FlipStoredBit(162, 6, 0);

  Bytes buf(kData * 4, 0x5A);
  SectorInfo got[4];
  memset(got, 0x5A, sizeof(got));
  EXPECT_EQ(0, Read(160, buf.data(), got, 4));
  Bytes firstTwo(buf.begin(), buf.begin() + 2 * kData);
  Bytes expectedFirstTwo(data.begin(), data.begin() + 2 * kData);
  EXPECT_EQ(expectedFirstTwo, firstTwo) << DiffBytes(expectedFirstTwo, firstTwo);
  Bytes rest(buf.begin() + 2 * kData, buf.end());
  EXPECT_EQ(Bytes(2 * kData, 0x5A), rest) << "the failing sector and those after it stay untouched";
  EXPECT_EQ(RecordBytes(recs[0]), RecordBytes(got[0]));
  EXPECT_EQ(RecordBytes(recs[1]), RecordBytes(got[1]));
  EXPECT_EQ(Bytes(8, 0x5A), RecordBytes(got[2]));
  EXPECT_EQ(Bytes(8, 0x5A), RecordBytes(got[3]));
  EXPECT_TRUE(BusIsFree());
}

// Parts of maker 0xAD want a reset before each program. The chip counts its
// operations (programs, resets, reads, erases): a page with a record is three
// programs (data, code, record), without one two, a record alone one, and
// with maker 0xAD each program brings its reset.
TEST_F(FlashTransferTest, ResetsBeforeProgramsByMaker) {
  struct Case {
    uint32_t maker;
    uint64_t resetsPerProgram;
  } cases[] = {{0xAD, 1}, {0xEC, 0}, {0x98, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "maker 0x" << std::hex << c.maker);
    ASSERT_NO_FATAL_FAILURE(StartDriver(Chip(c.maker, 0x75)));
    Bytes data = PseudoRandom(kData, c.maker);
    auto ops = [&] { return dev_->Record().chipOps; };
    uint64_t n0 = ops();
    ASSERT_EQ(1, Write(32, data.data(), &kRecord));
    uint64_t n1 = ops();
    ASSERT_EQ(1, Write(33, data.data(), nullptr));
    uint64_t n2 = ops();
    ASSERT_EQ(1, Write(34, nullptr, &kRecord));
    uint64_t n3 = ops();
    EXPECT_EQ(3 * (1 + c.resetsPerProgram), n1 - n0) << "page with a record";
    EXPECT_EQ(2 * (1 + c.resetsPerProgram), n2 - n1) << "page without a record";
    EXPECT_EQ(1 * (1 + c.resetsPerProgram), n3 - n2) << "record alone";
    // Neither an erase nor a read resets the chip: one operation each.
    ASSERT_EQ(1, ctx_.FMD_EraseBlock(2));
    Bytes buf(kData);
    ASSERT_EQ(1, Read(32, buf.data(), nullptr));
    EXPECT_EQ(n3 + 2, ops());
    ExpectPage(32, ExpectedPage(data.data(), &kRecord));
    EXPECT_EQ(data, buf);
    TearDown();
  }
}

TEST_F(FlashTransferTest, EraseSetsTheWholeBlockAndOnlyIt) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 96, 11);
  std::vector<SectorInfo> recs(96, kRecord);
  ASSERT_EQ(1, Write(32, data.data(), recs.data(), 96));  // blocks 1, 2 and 3
  Bytes before = dev_->Image();
  ASSERT_EQ(1, ctx_.FMD_EraseBlock(2));
  Bytes after = dev_->Image();
  for (DWORD s = 64; s < 96; ++s) ExpectPage(s, Bytes(kRawPage, 0xFF));
  std::fill(before.begin() + 64 * kRawPage, before.begin() + 96 * kRawPage, 0xFF);
  EXPECT_TRUE(before == after) << "the erase reached beyond block 2";

  // The erased block takes a full program again.
  ASSERT_EQ(1, Write(64, data.data(), &kRecord));
  ExpectPage(64, ExpectedPage(data.data(), &kRecord));
  EXPECT_EQ(1, ctx_.FMD_EraseBlock(kBlocks - 1));
  EXPECT_TRUE(BusIsFree());
}

// Refused before the bus: with another thread holding the flash mutex, a
// call that tried to take it would not come back. The refusals must.
TEST_F(FlashTransferTest, RefusalsTakeNoMutex) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes buf(kData * 2, 0x5A);
  SectorInfo info = kRecord;
  struct Case {
    const char* name;
    std::function<BOOL()> call;
  } cases[] = {
      {"erase of block dwTotalBlocks", [&] { return ctx_.FMD_EraseBlock(kBlocks); }},
      {"erase of block 0xFFFFFFFF", [&] { return ctx_.FMD_EraseBlock(0xFFFFFFFFu); }},
      {"read starting at dwTotalSectors", [&] { return Read(kSectors, buf.data(), &info, 1); }},
      {"write starting at dwTotalSectors", [&] { return Write(kSectors, buf.data(), &info, 1); }},
      {"read of a run past the end", [&] { return Read(kSectors - 1, buf.data(), &info, 2); }},
      {"write of a run past the end", [&] { return Write(kSectors - 1, buf.data(), &info, 2); }},
      {"write whose end wraps 32 bits", [&] { return Write(5, buf.data(), nullptr, 0xFFFFFFFFu); }},
      {"read whose end wraps 32 bits",
       [&] { return Read(kSectors - 1, buf.data(), nullptr, 0xFFFFFFFFu - kSectors + 3); }},
      {"read without buffers", [&] { return Read(0, nullptr, nullptr, 1); }},
      {"write without buffers", [&] { return Write(0, nullptr, nullptr, 1); }},
      {"count 0 at dwTotalSectors", [&] { return Write(kSectors, buf.data(), nullptr, 0); }},
  };
  Bytes image = dev_->Image();

  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    HANDLE flash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
    WaitForSingleObject(flash, INFINITE);
    SetEvent(held);
    WaitForSingleObject(done, INFINITE);
    ReleaseMutex(flash);
    CloseHandle(flash);
  });
  WaitForSingleObject(held, INFINITE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BOOL result = 1;
    HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread call([&] {
      result = c.call();
      SetEvent(returned);
    });
    bool cameBack = WaitForSingleObject(returned, 20000) == WAIT_OBJECT_0;
    if (!cameBack) SetEvent(done);  // let it through so the test can end
    call.join();
    CloseHandle(returned);
    EXPECT_TRUE(cameBack) << "the call waited for the flash mutex";
    EXPECT_EQ(0, result);
  }
  SetEvent(done);
  holder.join();
  CloseHandle(held);
  CloseHandle(done);
  EXPECT_EQ(Bytes(kData * 2, 0x5A), buf);
  EXPECT_EQ(RecordBytes(kRecord), RecordBytes(info));
  EXPECT_TRUE(image == dev_->Image());
}

TEST_F(FlashTransferTest, RunsAtTheEdges) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 2, 13);
  SectorInfo recs[2] = {kRecord, kRecord};
  Bytes image = dev_->Image();

  // Count 0 takes and gives back the bus and moves nothing.
  EXPECT_EQ(1, Write(64, data.data(), recs, 0));
  EXPECT_EQ(1, Read(64, data.data(), nullptr, 0));
  EXPECT_TRUE(image == dev_->Image());

  // A run that ends on the last sector is inside the device.
  ASSERT_EQ(1, Write(kSectors - 2, data.data(), recs, 2));
  ExpectPage(kSectors - 2, ExpectedPage(&data[0], &kRecord));
  ExpectPage(kSectors - 1, ExpectedPage(&data[kData], &kRecord));
  Bytes back(kData * 2);
  SectorInfo got[2];
  ASSERT_EQ(1, Read(kSectors - 2, back.data(), got, 2));
  EXPECT_EQ(data, back);

  // One sector more would wrap onto sector 0, where nothing may change.
  Bytes page0 = dev_->RawPage(0);
  EXPECT_EQ(0, Write(kSectors - 1, data.data(), recs, 2));
  EXPECT_EQ(page0, dev_->RawPage(0));
  EXPECT_TRUE(BusIsFree());
}

// Faults that stop the chip or the controller from ever signalling: every
// operation fails instead of hanging, and gives the bus back.
TEST_F(FlashTransferTest, StuckControllerFailsWithoutHang) {
  Bytes data = PseudoRandom(kData, 17);
  struct Case {
    const char* name;
    std::function<BOOL()> call;
  } cases[] = {
      {"erase", [&] { return ctx_.FMD_EraseBlock(3); }},
      {"page write", [&] { return Write(96, data.data(), &kRecord); }},
      {"record write", [&] { return Write(96, nullptr, &kRecord); }},
      {"page read",
       [&] {
         Bytes buf(kData);
         return Read(96, buf.data(), nullptr);
       }},
      {"record read",
       [&] {
         SectorInfo info;
         return Read(96, nullptr, &info);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(StartDriver());
    sim::NandConfig cfg;
    cfg.stuckReadyAfter = 0;
    dev_->Configure(cfg);
    EXPECT_EQ(0, c.call());
    EXPECT_TRUE(BusIsFree()) << "the bus was left held";
    TearDown();
  }
}

// The checker must catch an access by a process that does not hold the bus,
// or its silence in every other test would mean nothing.
TEST_F(FlashTransferTest, UnlockedAccessIsRecorded) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  ASSERT_EQ(0u, Violations());
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(ctx_.pNandRegs + NAND_CTRL), NAND_CTRL_START);
  std::string texts;
  EXPECT_EQ(1u, Violations(&texts)) << texts;
  expectedViolations_ = 1;
}

}  // namespace
}  // namespace flashtest
