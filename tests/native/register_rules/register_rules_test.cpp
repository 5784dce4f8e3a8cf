// Every register the driver's sequences write matters to the models. Each
// case runs one of the real driver's transfers with one of its writes changed
// on the way to the models (native::TamperNextWrite): left out, given another
// value, made too late, or added where it does not belong. The checker must
// name the register that was wrong and, where the hardware would get the data
// wrong, the data must come out wrong too.
#include <ceddk.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ecc/ecc.h"
#include "flash/flash.h"
#include "flash/flash_regs.h"
#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "platform/debug_sink.h"
#include "platform/native/native_soc.h"
#include "platform/test_hooks.h"
#include "sim/checker.h"
#include "sim/soc.h"
#include "tests/common/byte_diff.h"
#include "tests/common/pattern.h"
#include "tests/common/on_flash.h"

namespace {

using Bytes = std::vector<uint8_t>;
using native::RegisterTamper;
using sim::ViolationKind;
using testutil::DiffBytes;
using testutil::Pattern;

constexpr uint32_t kRawPage = onflash::kRawPage;
constexpr uint32_t kData = onflash::kData;
const int kNand = sim::WIN_NAND_REGS;
const int kDma = sim::WIN_DMA_REGS;

// A raw page as the driver writes it: data, record, the two halves' codes.
Bytes WrittenPage(const Bytes& data, const uint8_t record[8]) {
  Bytes raw(kRawPage, 0xFF);
  std::copy(data.begin(), data.end(), raw.begin());
  std::copy(record, record + 8, raw.begin() + onflash::kRecordAt);
  EccGenerate(data.data(), &raw[onflash::kCodeAt[0]]);
  EccGenerate(data.data() + 256, &raw[onflash::kCodeAt[1]]);
  return raw;
}

// The real driver, initialised, on a fresh device in memory with the system
// flash driver's mutex in place; the checker's record of the device.
class DriverOnChip {
 public:
  DriverOnChip(uint32_t maker, uint32_t device) {
    PlatformSetDebugEcho(false);
    sim::NandConfig cfg;
    cfg.maker = maker;
    cfg.device = device;
    image_.assign(size_t(sim::ChipShapeFor(maker, device).ImageBytes()), 0xFF);
    if (!native::AttachMemoryDevice(cfg, image_.data(), image_.size())) return;
    systemFlashMutex_ = CreateMutexW(nullptr, FALSE, onflash::kFlashMutex);
    started_ = systemFlashMutex_ != nullptr && ctx.FMD_Init() == 1;
  }
  ~DriverOnChip() {
    PlatformResetHooks();
    ctx.FMD_Deinit();
    if (systemFlashMutex_) CloseHandle(systemFlashMutex_);
    sim::SocDetach();
    PlatformClearDebugLines();
    PlatformSetDebugEcho(true);
  }
  DriverOnChip(const DriverOnChip&) = delete;
  DriverOnChip& operator=(const DriverOnChip&) = delete;

  bool Started() const { return started_; }
  uint8_t* Page(uint32_t sector) { return image_.data() + size_t(sector) * kRawPage; }
  Bytes RawPage(uint32_t sector) { return Bytes(Page(sector), Page(sector) + kRawPage); }
  Bytes DmaBuffer() const {
    Bytes b(kRawPage);
    for (uint32_t i = 0; i < kRawPage; ++i) b[i] = ctx.pDmaBuffer[i];
    return b;
  }
  void SetDmaBuffer(const Bytes& raw) {
    for (uint32_t i = 0; i < kRawPage; ++i) ctx.pDmaBuffer[i] = raw[i];
  }
  // A register written as the driver would, the bus held around it.
  void WriteHeld(volatile BYTE* window, DWORD offset, ULONG value) {
    ASSERT_EQ(1, ctx.AcquireFlashBus());
    FlashWrite(window, offset, value);
    ctx.ReleaseFlashBus();
  }

  uint64_t Violations() const { return Checker().count; }
  std::string Record() const {
    std::string s;
    const sim::CheckerRec& c = Checker();
    for (uint32_t i = 0; i < c.stored; ++i) s += "  " + sim::FormatViolation(c.first[i]) + "\n";
    return s.empty() ? "  (no violations)\n" : s;
  }
  bool Recorded(ViolationKind kind, const std::string& textPart) const {
    const sim::CheckerRec& c = Checker();
    for (uint32_t i = 0; i < c.stored; ++i)
      if (c.first[i].kind == uint32_t(kind) && sim::FormatViolation(c.first[i]).find(textPart) != std::string::npos)
        return true;
    return false;
  }

  FlashContext ctx;

 private:
  Bytes image_;
  HANDLE systemFlashMutex_ = nullptr;
  bool started_ = false;

  // The attached device's record; an empty one when none could be attached.
  const sim::CheckerRec& Checker() const {
    static const sim::CheckerRec kNone = sim::CheckerRec();
    sim::SocState* state = native::AttachedState();
    return state ? state->h.checker : kNone;
  }
};

// One of the driver's transfers with the bus held around it, as its entry
// points hold it.
BOOL WithBus(DriverOnChip& d, const std::function<BOOL()>& transfer) {
  if (d.ctx.AcquireFlashBus() != 1) return 0;
  BOOL ok = transfer();
  d.ctx.ReleaseFlashBus();
  return ok;
}

enum class Op { kReadSpare, kReadPage, kWritePage, kWriteSpare, kErase };

// What else the hardware would get wrong, beyond the checker's record.
enum class Effect {
  kNone,
  kSpareReadsErased,  // the record comes back 0xFF although the page has one
  kRawReadsErased,    // the whole raw page comes back 0xFF
  kNothingMoved,      // the DMA buffer, and so the page read, is the one before
  kNotProgrammed,     // the page's data stays erased
  kNotErased,         // the block keeps its data
};

struct RuleCase {
  const char* name;
  Op op;
  RegisterTamper tamper;
  ViolationKind kind;
  const char* named;  // text the violation must carry
  Effect effect;
  std::function<void(DriverOnChip&)> before;  // run just before the tampered operation
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

RegisterTamper Drop(int window, unsigned offset) {
  RegisterTamper t;
  t.kind = RegisterTamper::kDrop;
  t.window = window;
  t.offset = offset;
  return t;
}

RegisterTamper Value(int window, unsigned offset, unsigned value) {
  RegisterTamper t = Drop(window, offset);
  t.kind = RegisterTamper::kValue;
  t.value = value;
  return t;
}

RegisterTamper After(int window, unsigned offset, int afterWindow, unsigned afterOffset) {
  RegisterTamper t = Drop(window, offset);
  t.kind = RegisterTamper::kAfter;
  t.afterWindow = afterWindow;
  t.afterOffset = afterOffset;
  return t;
}

RegisterTamper Insert(int window, unsigned offset, unsigned value, int afterWindow, unsigned afterOffset) {
  RegisterTamper t = After(window, offset, afterWindow, afterOffset);
  t.kind = RegisterTamper::kInsert;
  t.value = value;
  return t;
}

const uint32_t kReadSector = 9;
const uint32_t kWriteSector = 12;
const uint32_t kEraseBlock = 2;
const uint32_t kErasePage = kEraseBlock * onflash::kSectorsPerBlock + 5;
// The page the DMA buffer holds from an earlier read: data with its codes.
const Bytes kStaleData = Pattern(kData, 6);
const uint8_t kNoRecord[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kReadRecord[8] = {9, 8, 7, 6, 0xFF, 0xFF, 5, 4};
// What the programs write: a page's data, and eight bytes at the codes'
// spare column (word aligned, as the driver moves them by words).
const Bytes kWriteData = Pattern(kData, 5);
const DWORD kEccWords[2] = {0xFF030201u, 0xFF060504u};

void ReadIdFirst(DriverOnChip& d) { EXPECT_EQ(1, d.ctx.NandReadId()); }

void AuxBeforeTheReset(DriverOnChip& d) { d.WriteHeld(d.ctx.pNandRegs, NAND_AUX, NAND_AUX_SPARE); }

void ReadAnotherPage(DriverOnChip& d) {
  Bytes data(kData);
  SectorInfo info;
  EXPECT_EQ(1, WithBus(d, [&] { return d.ctx.NandReadPage(kReadSector + 1, data.data(), &info); }));
}

const RuleCase kCases[] = {
    // Chip enable: each operation opens with its own NAND_CTRL write; the one
    // before it ended and let CE# go high.
    {"ctrl_left_out_of_a_spare_read", Op::kReadSpare, Drop(kNand, NAND_CTRL), ViolationKind::kSequence,
     "NAND_CTRL not written 0xFFFFFFFE", Effect::kSpareReadsErased, nullptr},
    {"ctrl_left_out_of_a_page_program", Op::kWritePage, Drop(kNand, NAND_CTRL), ViolationKind::kSequence,
     "NAND_CTRL not written 0xFFFFFFFE", Effect::kNotProgrammed, nullptr},
    {"ctrl_written_after_the_erase_command", Op::kErase, After(kNand, NAND_CTRL, kNand, NAND_CMD),
     ViolationKind::kSequence, "NAND_CTRL not written 0xFFFFFFFE", Effect::kNotErased, nullptr},
    {"ctrl_with_another_value", Op::kReadPage, Value(kNand, NAND_CTRL, 0xFFFFFFFFu), ViolationKind::kSequence,
     "NAND_CTRL 0xffffffff", Effect::kRawReadsErased, nullptr},
    // The spare select.
    {"aux_left_out_of_a_spare_read", Op::kReadSpare, Drop(kNand, NAND_AUX), ViolationKind::kTransfer, "NAND_AUX 0x0",
     Effect::kSpareReadsErased, nullptr},
    {"aux_written_before_the_transfer_reset", Op::kReadSpare, Drop(kNand, NAND_AUX), ViolationKind::kTransfer,
     "NAND_AUX 0x0", Effect::kSpareReadsErased, AuxBeforeTheReset},
    {"aux_set_on_a_page_read", Op::kReadPage, Insert(kNand, NAND_AUX, NAND_AUX_SPARE, kNand, NAND_DMA_CFG),
     ViolationKind::kTransfer, "NAND_AUX 0x20 on a transfer", Effect::kNone, nullptr},
    // The transfer set-up after the transfer reset.
    {"addr_hi_left_out_of_a_spare_program", Op::kWriteSpare, Drop(kNand, NAND_ADDR_HI), ViolationKind::kSequence,
     "NAND_ADDR_HI not written since the transfer reset", Effect::kNone, nullptr},
    {"addr_hi_written_after_the_start", Op::kReadPage, After(kNand, NAND_ADDR_HI, kDma, DMA_CH_CTRL),
     ViolationKind::kSequence, "NAND_ADDR_HI not written since the transfer reset", Effect::kNone, nullptr},
    {"addr_hi_not_zero", Op::kReadPage, Value(kNand, NAND_ADDR_HI, 1), ViolationKind::kAddress, "NAND_ADDR_HI 0x1",
     Effect::kNone, nullptr},
    {"count_left_out_of_a_spare_program", Op::kWriteSpare, Drop(kNand, NAND_COUNT), ViolationKind::kSequence,
     "NAND_COUNT not written since the transfer reset", Effect::kNone, nullptr},
    {"cycles_left_out_of_a_page_read", Op::kReadPage, Drop(kNand, NAND_ADDR_CYCLES), ViolationKind::kSequence,
     "NAND_ADDR_CYCLES not written since the transfer reset", Effect::kNone, nullptr},
    {"dma_cfg_left_out_of_a_page_program", Op::kWritePage, Drop(kNand, NAND_DMA_CFG), ViolationKind::kSequence,
     "NAND_DMA_CFG not written since the transfer reset", Effect::kNone, nullptr},
    // Event clears come before the command they prepare for.
    {"event_clear_after_the_erase_command", Op::kErase, After(kNand, NAND_EVENT, kNand, NAND_CMD),
     ViolationKind::kSequence, "clears EV_READY of the operation under way", Effect::kNone, nullptr},
    {"event_clear_after_the_spare_read_start", Op::kReadSpare, After(kNand, NAND_EVENT, kNand, NAND_XFER),
     ViolationKind::kSequence, "clears EV_FIFO_DONE of the operation under way", Effect::kNone, nullptr},
    // The ID read leaves EV_FIFO_DONE set (it polls the FIFO status); a spare
    // read without its clear ends its wait at once and finds the FIFO empty.
    {"event_clear_left_out_after_an_id_read", Op::kReadSpare, Drop(kNand, NAND_EVENT), ViolationKind::kSequence,
     "NAND_FIFO read with the FIFO empty", Effect::kNone, ReadIdFirst},
    // The DMA descriptor, taken when DMA_CH_BUF arms the channel.
    {"dma_len_written_after_the_buffer", Op::kReadPage, After(kDma, DMA_CH_LEN, kDma, DMA_CH_BUF),
     ViolationKind::kSequence, "DMA_CH_LEN not written since the last arming", Effect::kNothingMoved, nullptr},
    {"dma_len_left_out_after_a_read", Op::kReadPage, Drop(kDma, DMA_CH_LEN), ViolationKind::kSequence,
     "DMA_CH_LEN not written since the last arming", Effect::kNothingMoved, ReadAnotherPage},
    {"dma_ext_left_out_of_a_page_program", Op::kWritePage, Drop(kDma, DMA_CH_EXT), ViolationKind::kSequence,
     "DMA_CH_EXT not written since the last arming", Effect::kNone, nullptr},
    {"dma_ext_not_zero", Op::kWritePage, Value(kDma, DMA_CH_EXT, 1), ViolationKind::kTransfer, "DMA_CH_EXT 0x1",
     Effect::kNone, nullptr},
    {"dma_ctrl_left_out_of_a_page_read", Op::kReadPage, Drop(kDma, DMA_CH_CTRL), ViolationKind::kSequence,
     "DMA_CH_CTRL not written since the last arming", Effect::kNone, nullptr},
};

// What the tampered operation gave back.
struct Outcome {
  BOOL ok = 0;
  SectorInfo record = {0, 0, 0, 0};
  Bytes data = Bytes(kData, 0);
};

Outcome RunOperation(DriverOnChip& d, Op op) {
  Outcome out;
  FlashContext& f = d.ctx;
  switch (op) {
    case Op::kReadSpare:
      out.ok = WithBus(d, [&] { return f.NandReadSpare(kReadSector, &out.record); });
      break;
    case Op::kReadPage:
      out.ok = WithBus(d, [&] { return f.NandReadPage(kReadSector, out.data.data(), &out.record); });
      break;
    case Op::kWritePage:
      out.ok = WithBus(d, [&] { return f.NandWritePage(kWriteSector, kWriteData.data(), nullptr); });
      break;
    case Op::kWriteSpare:
      out.ok = WithBus(d, [&] { return f.NandWriteEccSpare(kWriteSector, reinterpret_cast<const BYTE*>(kEccWords)); });
      break;
    case Op::kErase:
      out.ok = f.FMD_EraseBlock(kEraseBlock);
      break;
  }
  return out;
}

void ExpectEffect(DriverOnChip& d, Effect effect, const Outcome& out) {
  const Bytes erased(kRawPage, 0xFF);
  const uint8_t* rec = reinterpret_cast<const uint8_t*>(&out.record);
  switch (effect) {
    case Effect::kNone:
      break;
    case Effect::kSpareReadsErased:
      EXPECT_EQ(DiffBytes(kNoRecord, 8, rec, 8), "");
      break;
    case Effect::kRawReadsErased:
      EXPECT_EQ(DiffBytes(erased, d.DmaBuffer()), "");
      EXPECT_EQ(DiffBytes(erased.data(), out.data.data(), kData), "") << "the data the driver gave back";
      break;
    case Effect::kNothingMoved:
      EXPECT_EQ(DiffBytes(WrittenPage(kStaleData, kNoRecord), d.DmaBuffer()), "");
      EXPECT_EQ(DiffBytes(kStaleData, out.data), "") << "the data the driver gave back";
      break;
    case Effect::kNotProgrammed: {
      // The codes' spare program that follows opens with its own chip enable.
      Bytes want = WrittenPage(kWriteData, kNoRecord);
      std::fill(want.begin(), want.begin() + kData, 0xFF);
      EXPECT_EQ(DiffBytes(want, d.RawPage(kWriteSector)), "");
      break;
    }
    case Effect::kNotErased:
      EXPECT_EQ(DiffBytes(Pattern(kRawPage, 4), d.RawPage(kErasePage)), "");
      break;
  }
}

class RegisterRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RegisterRules, TheCheckerNamesTheRegisterAndTheDataShowsIt) {
  const RuleCase& c = GetParam();
  DriverOnChip d(0xEC, 0x76);
  ASSERT_TRUE(d.Started());
  // A page with data, its codes and a record to read, a block with data to
  // erase.
  Bytes readPage = WrittenPage(Pattern(kData, 3), kReadRecord);
  memcpy(d.Page(kReadSector), readPage.data(), kRawPage);
  Bytes other = Pattern(kRawPage, 4);
  memcpy(d.Page(kErasePage), other.data(), kRawPage);
  // One sound operation first: the tampered one follows an operation that
  // has ended, as in a real run.
  SectorInfo info;
  ASSERT_EQ(1, WithBus(d, [&] { return d.ctx.NandReadSpare(kReadSector + 1, &info); }));
  ASSERT_EQ(0u, d.Violations()) << d.Record();
  if (c.before) ASSERT_NO_FATAL_FAILURE(c.before(d));
  // What an earlier read left in the DMA buffer: a whole page with its codes.
  d.SetDmaBuffer(WrittenPage(kStaleData, kNoRecord));

  native::TamperNextWrite(c.tamper);
  Outcome out = RunOperation(d, c.op);
  EXPECT_FALSE(native::TamperPending()) << "the driver never made the write the case changes";

  EXPECT_TRUE(d.Recorded(c.kind, c.named))
      << "expected " << sim::ViolationKindName(c.kind) << ": " << c.named << "\nrecorded:\n"
      << d.Record();
  ExpectEffect(d, c.effect, out);
}

INSTANTIATE_TEST_SUITE_P(Sequences, RegisterRules, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RuleCase>& i) { return std::string(i.param.name); });

// The small-page chips, one of each size, each maker at least once; maker
// 0xAD's parts have the driver reset the chip before each program.
struct ChipCase {
  const char* name;
  uint32_t maker, device;
};
const ChipCase kSmallPageChips[] = {
    {"maker98_16M", 0x98, 0x73},
    {"makerAD_32M", 0xAD, 0x75},
    {"makerEC_64M", 0xEC, 0x76},
    {"maker98_128M", 0x98, 0x79},
};

// The driver's sequences untouched, on every chip: the ID read, the erase,
// a page program with its codes and record, the page read and the spare
// read record nothing and the data is right.
TEST(RegisterRules, TheDriversOwnSequencesRecordNothing) {
  for (const ChipCase& chip : kSmallPageChips) {
    SCOPED_TRACE(chip.name);
    DriverOnChip d(chip.maker, chip.device);
    ASSERT_TRUE(d.Started()) << d.Record();
    // Old data in block 0, so that the erase shows.
    for (uint32_t s = 0; s < onflash::kSectorsPerBlock; ++s) memcpy(d.Page(s), Pattern(kRawPage, s).data(), kRawPage);
    FlashContext& f = d.ctx;
    f.dwMakerCode = f.dwDeviceCode = 0;
    ASSERT_EQ(1, f.NandReadId());
    EXPECT_EQ(chip.maker, f.dwMakerCode);
    EXPECT_EQ(chip.device, f.dwDeviceCode);
    ASSERT_EQ(1, f.FMD_EraseBlock(0));
    EXPECT_EQ(DiffBytes(Bytes(kRawPage, 0xFF), d.RawPage(4)), "");

    Bytes data = Pattern(kData, 7);
    SectorInfo rec;
    memcpy(&rec, kReadRecord, sizeof(rec));
    ASSERT_EQ(1, WithBus(d, [&] { return f.NandWritePage(3, data.data(), &rec); }));
    EXPECT_EQ(DiffBytes(WrittenPage(data, kReadRecord), d.RawPage(3)), "");

    Outcome page, spare;
    ASSERT_EQ(1, WithBus(d, [&] { return f.NandReadPage(3, page.data.data(), &page.record); }));
    ASSERT_EQ(1, WithBus(d, [&] { return f.NandReadSpare(3, &spare.record); }));
    EXPECT_EQ(DiffBytes(data, page.data), "");
    EXPECT_EQ(DiffBytes(kReadRecord, 8, reinterpret_cast<const uint8_t*>(&page.record), 8), "");
    EXPECT_EQ(DiffBytes(kReadRecord, 8, reinterpret_cast<const uint8_t*>(&spare.record), 8), "");
    EXPECT_EQ(0u, d.Violations()) << d.Record();
  }
}

}  // namespace
