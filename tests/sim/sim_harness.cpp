#include "tests/sim/sim_harness.h"

#include <cstdio>
#include <cstring>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_windows.h"
#include "sim/checker.h"
#include "sim/faults.h"

namespace simtest {

using namespace sim;

const ChipCase kSmallPageChips[] = {
    {"maker98_16M", 0x98, 0x73, 3, 2},
    {"makerAD_32M", 0xAD, 0x75, 3, 2},
    {"makerEC_64M", 0xEC, 0x76, 4, 3},
    {"maker98_128M", 0x98, 0x79, 4, 3},
};
const size_t kSmallPageChipCount = sizeof(kSmallPageChips) / sizeof(kSmallPageChips[0]);

Harness::Harness(const NandConfig& c) : cfg(c) { Init(); }

Harness::Harness(uint32_t maker, uint32_t device) {
  cfg.maker = maker;
  cfg.device = device;
  Init();
}

void Harness::Init() {
  ChipShape shape = ChipShapeFor(cfg.maker, cfg.device);
  image.assign(shape.largePage ? kPage * 64 : size_t(shape.ImageBytes()), 0xFF);
  state.reset(new SocState());
  InitializeSocState(*state, cfg, 0);
  model.reset(new SocModel(*state, image.data(), image.size()));
  uint32_t rowBytes = shape.Pages() > 65536 ? 3 : 2;
  addrCycles = 1 + rowBytes;
  eraseCycles = rowBytes;
}

void Harness::LoadSettings(const NandConfig& c) {
  cfg = c;
  sim::LoadSettings(state->h.faults, c, 0);
}

uint32_t Harness::R(uint32_t window, uint32_t offset) { return model->Read32(window, offset, who); }
void Harness::W(uint32_t window, uint32_t offset, uint32_t value) { model->Write32(window, offset, value, who); }

bool Harness::Wait(uint32_t window, uint32_t offset, uint32_t mask, uint32_t want, int* polls) {
  for (int i = 1; i <= kPollLimit; ++i) {
    if ((R(window, offset) & mask) == want) {
      if (polls) *polls = i;
      return true;
    }
  }
  if (polls) *polls = kPollLimit;
  return false;
}

bool Harness::ReadId(uint32_t* word) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  Nand(NAND_XFER, NAND_XFER_RESET);
  Nand(NAND_XFER, NAND_XFER_IDLE);
  Nand(NAND_MODE, NAND_MODE_FIFO_READ);
  Nand(NAND_COUNT, NAND_COUNT_ID);
  Nand(NAND_ADDR_CYCLES, 1);
  Nand(NAND_ADDR, 0);
  Nand(NAND_CMD, NAND_CMD_READID);
  Nand(NAND_XFER, NAND_XFER_START);
  if (!Wait(kRegNand, NAND_FIFO_STAT, FIFO_EMPTY, 0)) return false;
  *word = Nand(NAND_FIFO);
  return true;
}

bool Harness::ReadSpare(uint32_t sector, uint8_t record[8]) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  Nand(NAND_XFER, NAND_XFER_RESET);
  Nand(NAND_XFER, NAND_XFER_IDLE);
  Nand(NAND_MODE, NAND_MODE_FIFO_READ);
  Nand(NAND_ADDR_CYCLES, addrCycles);
  Nand(NAND_COUNT, NAND_COUNT_SPARE);
  Nand(NAND_AUX, NAND_AUX_SPARE);
  Nand(NAND_ADDR_HI, 0);
  Nand(NAND_ADDR, sector * 256);
  Nand(NAND_EVENT, EV_ALL);
  Nand(NAND_CMD, NAND_CMD_READSPARE);
  Nand(NAND_XFER, NAND_XFER_START);
  if (!Wait(kRegNand, NAND_EVENT, EV_FIFO_DONE, EV_FIFO_DONE)) return false;
  Nand(NAND_EVENT, EV_FIFO_DONE);
  uint32_t w0 = Nand(NAND_FIFO), w1 = Nand(NAND_FIFO);
  memcpy(record, &w0, 4);
  memcpy(record + 4, &w1, 4);
  return true;
}

bool Harness::ResetPreStep() {
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, 0);
  Nand(NAND_CMD, NAND_CMD_RESET);
  if (!Wait(kRegNand, NAND_EVENT, EV_READY, EV_READY)) return false;
  Nand(NAND_EVENT, EV_READY);
  return true;
}

bool Harness::ProgramTail() {
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, 0);
  Nand(NAND_EVENT, EV_ALL);
  Nand(NAND_CMD, NAND_CMD_PROGRAM);
  if (!Wait(kRegNand, NAND_EVENT, EV_READY, EV_READY)) return false;
  Nand(NAND_EVENT, EV_READY);
  return true;
}

bool Harness::WriteSpare(uint32_t sector, uint32_t column, const uint8_t bytes[8]) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  if (cfg.maker == 0xAD && !ResetPreStep()) return false;
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, 0);
  Nand(NAND_CMD, NAND_CMD_READSPARE);
  Nand(NAND_XFER, NAND_XFER_RESET);
  Nand(NAND_XFER, NAND_XFER_IDLE);
  Nand(NAND_MODE, NAND_MODE_FIFO_WRITE);
  Nand(NAND_ADDR_CYCLES, addrCycles);
  Nand(NAND_COUNT, NAND_COUNT_SPARE);
  Nand(NAND_ADDR_HI, 0);
  Nand(NAND_ADDR, sector * 256 + column);
  Nand(NAND_CMD, NAND_CMD_SEQIN);
  Nand(NAND_XFER, NAND_XFER_START);
  uint32_t w0, w1;
  memcpy(&w0, bytes, 4);
  memcpy(&w1, bytes + 4, 4);
  Nand(NAND_FIFO, w0);
  Nand(NAND_FIFO, w1);
  if (!Wait(kRegNand, NAND_FIFO_STAT, FIFO_EMPTY, FIFO_EMPTY)) return false;
  return ProgramTail();
}

bool Harness::ReadPage(uint32_t sector, uint8_t raw[kPage]) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  Nand(NAND_XFER, NAND_XFER_RESET);
  Nand(NAND_XFER, NAND_XFER_IDLE);
  Nand(NAND_MODE, NAND_MODE_DMA_READ);
  Nand(NAND_DMA_CFG, NAND_DMA_CFG_READ);
  Nand(NAND_ADDR_CYCLES, addrCycles);
  Nand(NAND_ADDR_HI, 0);
  Nand(NAND_ADDR, sector * 256);
  Nand(NAND_COUNT, NAND_COUNT_PAGE_READ);
  Nand(NAND_EVENT, EV_ALL);
  Nand(NAND_CMD, NAND_CMD_READ0);
  Nand(NAND_XFER, NAND_XFER_START);
  W(kRegDma, DMA_CH_CTRL, R(kRegDma, DMA_CH_CTRL) & ~DMA_CTRL_TO_DEVICE);
  W(kRegDma, DMA_CH_EXT, 0);
  W(kRegDma, DMA_CH_LEN, DMA_LEN_READ);
  W(kRegDma, DMA_CH_BUF, NAND_DMA_BUFFER_PA);
  if (!Wait(kRegDma, DMA_STAT, DMA_STAT_BUSY, 0)) return false;
  if (!Wait(kRegNand, NAND_EVENT, EV_DMA_DONE, EV_DMA_DONE)) return false;
  Nand(NAND_EVENT, EV_DMA_DONE);
  W(kRegDma, DMA_DRAIN, 1);
  if (!Wait(kRegDma, DMA_DRAIN, ~0u, 0)) return false;
  memcpy(raw, state->dmaBuffer, kPage);
  return true;
}

bool Harness::WritePage(uint32_t sector, const uint8_t data[512]) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  if (cfg.maker == 0xAD && !ResetPreStep()) return false;
  memcpy(state->dmaBuffer, data, 512);
  Nand(NAND_EVENT, EV_ALL);
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, 0);
  Nand(NAND_CMD, NAND_CMD_READ0);
  Nand(NAND_XFER, NAND_XFER_RESET);
  Nand(NAND_XFER, NAND_XFER_IDLE);
  Nand(NAND_MODE, NAND_MODE_DMA_WRITE);
  Nand(NAND_DMA_CFG, NAND_DMA_CFG_WRITE);
  Nand(NAND_ADDR_CYCLES, addrCycles);
  Nand(NAND_ADDR_HI, 0);
  Nand(NAND_ADDR, sector * 256);
  Nand(NAND_COUNT, NAND_COUNT_PAGE_WRITE);
  Nand(NAND_CMD, NAND_CMD_SEQIN);
  Nand(NAND_XFER, NAND_XFER_START);
  W(kRegDma, DMA_CH_CTRL, R(kRegDma, DMA_CH_CTRL) | DMA_CTRL_TO_DEVICE);
  W(kRegDma, DMA_CH_EXT, 0);
  W(kRegDma, DMA_CH_LEN, DMA_LEN_WRITE);
  W(kRegDma, DMA_CH_BUF, NAND_DMA_BUFFER_PA);
  if (!Wait(kRegNand, NAND_EVENT, EV_DMA_DONE, EV_DMA_DONE)) return false;
  Nand(NAND_EVENT, EV_DMA_DONE);
  return ProgramTail();
}

bool Harness::Erase(uint32_t block) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  Nand(NAND_EVENT, EV_ALL);
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, eraseCycles);
  Nand(NAND_ADDR, block << 5);
  Nand(NAND_CMD, NAND_CMD_ERASE);
  if (!Wait(kRegNand, NAND_EVENT, EV_READY, EV_READY)) return false;
  Nand(NAND_EVENT, EV_READY);
  return true;
}

void Harness::CommandMode(uint32_t cmd, uint32_t cycles, uint32_t addr) {
  Nand(NAND_CTRL, NAND_CTRL_START);
  Nand(NAND_MODE, NAND_MODE_COMMAND);
  Nand(NAND_ADDR_CYCLES, cycles);
  Nand(NAND_ADDR, addr);
  Nand(NAND_CMD, cmd);
}

void Harness::Fill(uint32_t sector, const Bytes& raw) { memcpy(Page(sector), raw.data(), kPage); }

uint64_t Harness::ViolationsOf(ViolationKind kind) const {
  uint64_t n = 0;
  const CheckerRec& c = state->h.checker;
  for (uint32_t i = 0; i < c.stored; ++i) n += c.first[i].kind == uint32_t(kind);
  return n;
}

std::string Harness::Record() const {
  std::string s;
  const CheckerRec& c = state->h.checker;
  for (uint32_t i = 0; i < c.stored; ++i) s += "  " + FormatViolation(c.first[i]) + "\n";
  return s.empty() ? "  (no violations)\n" : s;
}

bool Harness::Recorded(ViolationKind kind, const std::string& textPart) const {
  const CheckerRec& c = state->h.checker;
  for (uint32_t i = 0; i < c.stored; ++i)
    if (c.first[i].kind == uint32_t(kind) && FormatViolation(c.first[i]).find(textPart) != std::string::npos)
      return true;
  return false;
}

}  // namespace simtest
