// Every power-loss point of a boot area update, on the native target.
//
// For each chip: the update runs once without a fault and the chip model
// counts its operations, T. Point N (N = 0 .. T-1) is fault.power_loss_after
// = N: the chip carries out the update's first N operations (page or spare
// read, program confirm, erase confirm, reset, read ID, as the model counts
// them), and operation N+1 finds the power gone and has no effect; the
// updater stops at its next access to the hardware. Then:
//  - the interrupted run must have stopped there (power lost, N+1 operations
//    counted) without a message box and without a protocol violation;
//  - every page outside the boot area (data and spare) must be as before;
//  - a second run on the same flash (power on again) must end with the
//    success message, no protocol violation, the area holding the image
//    (data, page ECC, boot record; the sectors after it erased) and still
//    nothing changed outside the area.
// The points run in worker processes forked from the harness, --batch points
// each, --jobs workers at a time. The flash before the update is shared
// copy-on-write; for each point a worker puts back in its private copy what
// the previous point wrote in the area, attaches a device freshly switched on
// over it, and leaves the interrupted run's updater thread parked where the
// power went (the worker ends after its batch). Outside the area the worker's
// flash is write-protected (see Guard below), and the harness checks once per
// chip that the protection catches a write there.
//
// The default update (64 MiB chip 0xEC:0x76, TOC at block 1, a 512-sector
// boot area at block 2, a 256 KiB image) and one update on each small-page
// chip of the chip table (a 96-sector area, a 32,000-byte image: the last
// sector padded, the last area block partly unused). Prints one line per chip
// and a total; exits 1 on any failure, after the first failures in detail.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "tests/native/power_loss/fork_pool.h"
#include "tests/native/power_loss/update_case.h"

namespace powerloss {
namespace {

// One point's outcome, written by its child into memory shared with the
// harness.
struct PointResult {
  uint32_t done;            // the child got to the end of its checks
  uint32_t interruptedOk;   // the run stopped at the point, no box, no violation
  uint32_t outsideChanged;  // a page outside the area differs from before
  uint32_t recovered;       // the second run completed the update correctly
  uint64_t chipOps;         // of the fault-free run (the count run only)
  char detail[480];         // what went wrong, "" when nothing did
};


// The cells of the chips, in memory the harness makes once for the largest
// chip and uses for every chip: memory touched for the first time is costly
// here (a virtual machine backs it page by page). Huge pages where the kernel
// offers them: a fork then copies one page table entry per 2 MiB instead of
// 512; the pages a child writes are still copied 4 KiB at a time.
struct FlashMemory {
  uint8_t* flash = nullptr;   // the flash before the update; each child works on its own copy
  uint8_t* before = nullptr;  // the same bytes, never attached
  uint64_t bytes = 0;

  bool Make(uint64_t size) {
    bytes = size;
    flash = Map(size);
    before = Map(size);
    return flash && before;
  }
  static uint8_t* Map(uint64_t size) {
    void* p = mmap(NULL, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    madvise(p, size_t(size), MADV_HUGEPAGE);
    return static_cast<uint8_t*>(p);
  }
};

void Note(PointResult* out, const std::string& what) {
  std::string all = out->detail;
  all += (all.empty() ? "" : "; ") + what;
  snprintf(out->detail, sizeof(out->detail), "%s", all.c_str());
}

struct Chip {
  UpdatePlan plan;
  std::vector<uint8_t> image;
  uint8_t* flash = nullptr;         // the flash before the update; each child works on its own copy
  const uint8_t* before = nullptr;  // the same bytes, never attached
};

// The child's flash outside the boot area is write-protected: the chip model
// is the only writer of these bytes, so a program or an erase that reaches a
// page outside the area faults at its first store, and the handler names the
// sector. That proves the outside unchanged without reading 70-140 MB per
// run; the memory pages that the area shares with its neighbours stay
// writable, and their bytes outside the area are compared with the flash
// before. The count run compares the whole outside instead.
constexpr int kExitWroteOutside = 3;

struct Guard {
  uint8_t* base = nullptr;
  uint64_t bytes = 0;
  uint64_t writableFrom = 0, writableTo = 0;  // raw byte offsets, page-aligned
  PointResult* out = nullptr;
  const char* phase = "";
};
Guard g_guard;
struct sigaction g_previousSegv;

// Appends text or a number to out->detail; nothing here may allocate.
void AppendSignalSafe(char* dst, size_t cap, const char* text) {
  size_t n = strlen(dst);
  while (*text && n + 1 < cap) dst[n++] = *text++;
  dst[n] = 0;
}
void AppendNumber(char* dst, size_t cap, uint64_t v) {
  char digits[24];
  int i = 23;
  digits[i] = 0;
  do {
    digits[--i] = char('0' + v % 10);
    v /= 10;
  } while (v && i > 0);
  AppendSignalSafe(dst, cap, digits + i);
}

void OnSegv(int sig, siginfo_t* info, void* context) {
  const uint8_t* a = static_cast<const uint8_t*>(info->si_addr);
  if (g_guard.out && a >= g_guard.base && a < g_guard.base + g_guard.bytes) {
    uint64_t offset = uint64_t(a - g_guard.base);
    char* d = g_guard.out->detail;
    size_t cap = sizeof(g_guard.out->detail);
    if (d[0]) AppendSignalSafe(d, cap, "; ");
    AppendSignalSafe(d, cap, g_guard.phase);
    AppendSignalSafe(d, cap, " wrote outside the area (the store that faulted: sector ");
    AppendNumber(d, cap, offset / kRawPage);
    AppendSignalSafe(d, cap, " (block ");
    AppendNumber(d, cap, offset / kRawPage / kSectorsPerBlock);
    AppendSignalSafe(d, cap, ") raw byte ");
    AppendNumber(d, cap, offset % kRawPage);
    AppendSignalSafe(d, cap, ")");
    g_guard.out->outsideChanged = 1;
    _exit(kExitWroteOutside);
  }
  // Any other fault is a fault of the code: the handler that was there before
  // (the sanitizer's report) takes it.
  if (g_previousSegv.sa_flags & SA_SIGINFO) {
    g_previousSegv.sa_sigaction(sig, info, context);
  } else {
    signal(sig, g_previousSegv.sa_handler == SIG_IGN ? SIG_DFL : g_previousSegv.sa_handler);
    raise(sig);
  }
}

bool ProtectOutside(const UpdatePlan& plan, uint8_t* flash) {
  uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  uint64_t mapped = (plan.FlashBytes() + page - 1) / page * page;
  g_guard.base = flash;
  g_guard.bytes = plan.FlashBytes();
  g_guard.writableFrom = uint64_t(plan.AreaFirstSector()) * kRawPage / page * page;
  g_guard.writableTo = std::min(mapped, (uint64_t(plan.AreaEndSector()) * kRawPage + page - 1) / page * page);
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_sigaction = OnSegv;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  return sigaction(SIGSEGV, &sa, &g_previousSegv) == 0 &&
         mprotect(flash, size_t(g_guard.writableFrom), PROT_READ) == 0 &&
         mprotect(flash + g_guard.writableTo, size_t(mapped - g_guard.writableTo), PROT_READ) == 0;
}

// The bytes outside the area that share a memory page with it.
std::string UnprotectedOutsideDiff(const UpdatePlan& plan, const uint8_t* now, const uint8_t* before) {
  uint64_t areaFrom = uint64_t(plan.AreaFirstSector()) * kRawPage;
  uint64_t areaTo = std::min(plan.FlashBytes(), uint64_t(plan.AreaEndSector()) * kRawPage);
  std::string low = RangeDiff(now, before, g_guard.writableFrom, areaFrom);
  std::string high = RangeDiff(now, before, areaTo, std::min(plan.FlashBytes(), g_guard.writableTo));
  return low.empty() ? high : high.empty() ? low : low + "; " + high;
}

// The checks of a run that must complete the update. Outside the area: the
// whole of it compared (kWhole), or the bytes the guard leaves writable
// (kUnprotected), or nothing (kNone: a change there is reported already).
enum class Outside { kWhole, kUnprotected, kNone };
std::string CompletedUpdateFault(const Chip& c, const RunResult& run, Outside outsideCheck) {
  std::string fault;
  auto add = [&fault](const std::string& what) { fault += (fault.empty() ? "" : "; ") + what; };
  if (run.end != native::ProgramEnd::kReturned)
    add(std::string("the updater ended: ") + native::ProgramEndName(run.end));
  if (run.boxes.size() != 1 || !IsSuccessBox(run.boxes[0])) add("message boxes " + DescribeBoxes(run.boxes));
  if (run.record.poweredOff) add("the power went");
  if (run.record.violationCount) add(DescribeViolations(run.record));
  std::string area = AreaDiff(c.plan, c.flash, c.image);
  if (!area.empty()) add(area);
  std::string outside = outsideCheck == Outside::kWhole         ? OutsideAreaDiff(c.plan, c.flash, c.before)
                        : outsideCheck == Outside::kUnprotected ? UnprotectedOutsideDiff(c.plan, c.flash, c.before)
                                                                : "";
  if (!outside.empty()) add(outside);
  return fault;
}

// The child of the count run: the update without a fault.
void CountRun(const Chip& c, PointResult* out) {
  if (!native::AttachMemoryDevice(c.plan.Config(), c.flash, c.plan.FlashBytes())) {
    Note(out, "cannot attach the device");
    return;
  }
  RunResult run = RunUpdater();
  std::string fault = CompletedUpdateFault(c, run, Outside::kWhole);
  if (!fault.empty()) Note(out, fault);
  out->recovered = fault.empty();
  out->chipOps = run.record.chipOps;
  out->done = 1;
}

// Point n, in a worker whose flash is guarded. Every point starts from the
// flash before the update (what earlier points of the worker left in the
// writable part is put back; the rest cannot have changed), a device freshly
// switched on (a new SoC state: registers, clock, partial-program counters),
// and the system flash driver's mutex free.
void PointRun(const Chip& c, int64_t n, PointResult* out) {
  uint64_t to = std::min(c.plan.FlashBytes(), g_guard.writableTo);
  memcpy(c.flash + g_guard.writableFrom, c.before + g_guard.writableFrom, size_t(to - g_guard.writableFrom));
  FreeSystemFlashMutex();
  sim::NandConfig cfg = c.plan.Config();
  cfg.powerLossAfter = n;
  if (!native::AttachMemoryDevice(cfg, c.flash, c.plan.FlashBytes())) {
    Note(out, "cannot attach the device");
    return;
  }
  g_guard.out = out;
  g_guard.phase = "the interrupted run";
  RunResult cut = RunUpdater();
  std::string fault;
  auto add = [&fault](const std::string& what) { fault += (fault.empty() ? "" : ", ") + what; };
  if (cut.end != native::ProgramEnd::kPowerLost) add(std::string("it ended: ") + native::ProgramEndName(cut.end));
  if (!cut.record.poweredOff || cut.record.chipOps != uint64_t(n) + 1)
    add("the chip counted " + std::to_string(cut.record.chipOps) + " operations, powered " +
        (cut.record.poweredOff ? "off" : "on"));
  for (const Box& box : cut.boxes) {
    add(IsSuccessBox(box) ? "it announced success although the power went"
                          : "it showed \"" + box.caption + ": " + box.text + "\" before the power went");
  }
  if (cut.record.violationCount) add(DescribeViolations(cut.record));
  if (!fault.empty()) Note(out, "interrupted run: " + fault);
  out->interruptedOk = fault.empty();

  std::string outside = UnprotectedOutsideDiff(c.plan, c.flash, c.before);
  out->outsideChanged = !outside.empty();
  if (!outside.empty()) Note(out, "after the interrupted run " + outside);

  // Power on again: the next start of the updater on the same flash.
  cfg.powerLossAfter = -1;
  if (!sim::SocLoadFaults(cfg) || !sim::SocStartRun(true)) {
    Note(out, "cannot power the device on again");
    return;
  }
  g_guard.phase = "the second run";
  RunResult again = RunUpdater();
  // A page outside that the interrupted run changed is already reported.
  std::string recovery = CompletedUpdateFault(c, again, out->outsideChanged ? Outside::kNone : Outside::kUnprotected);
  if (!recovery.empty()) Note(out, "second run: " + recovery);
  out->recovered = recovery.empty() && !out->outsideChanged;
  out->done = 1;
}

// A worker child: points [first, last) one after another. Each interrupted
// run leaves its updater thread parked in the worker; a batch bounds them.
void Worker(const Chip& c, const std::vector<int64_t>& points, size_t first, size_t last, PointResult* results) {
  if (!ProtectOutside(c.plan, c.flash)) {
    Note(&results[first], "cannot write-protect the flash outside the area");
    return;
  }
  for (size_t i = first; i < last; ++i) PointRun(c, points[i], &results[i]);
}

struct ChipReport {
  std::string name;
  uint32_t imageBytes = 0;
  uint64_t points = 0, interruptedOk = 0, recovered = 0, outsideChanged = 0;
  double seconds = 0;
  std::vector<std::string> failures;
};

// The guard must catch a write outside the area, or the sweep would prove
// nothing there: a child writes the TOC sector through the device (as a
// factory programmer would) and must end at that store, naming the sector.
std::string GuardProbeFault(const Chip& c) {
  PointResult* probe = SharedArray<PointResult>(1);
  if (!probe) return "no memory for the guard probe";
  std::map<size_t, std::string> ended;
  int status = 0;
  RunInChildren(
      1, 1,
      [&](size_t) {
        if (!native::AttachMemoryDevice(c.plan.Config(), c.flash, c.plan.FlashBytes()) ||
            !ProtectOutside(c.plan, c.flash))
          return;
        g_guard.out = probe;
        g_guard.phase = "the guard probe";
        uint8_t raw[kRawPage];
        memset(raw, 0, sizeof(raw));
        sim::SocWriteRawPage(c.plan.tocBlock * kSectorsPerBlock, raw);
        probe->done = 1;
      },
      &ended, &status, kExitWroteOutside);
  std::string want = "sector " + std::to_string(c.plan.tocBlock * kSectorsPerBlock) + " ";
  std::string fault;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != kExitWroteOutside || !probe->outsideChanged ||
      std::string(probe->detail).find(want) == std::string::npos)
    fault = "the write protection outside the area did not catch a write of the TOC sector (" +
            (ended.count(0) ? ended[0] : std::string(probe->detail)) + ")";
  munmap(probe, sizeof(PointResult));
  return fault;
}

// Part `part` of `parts` of a chip's points: a run of them, so that the parts
// of one sweep are CTest entries of their own, run side by side by CTest (or
// spread over machines) and each a run of points in their order.
struct Part {
  uint32_t index = 1, count = 1;
};

std::vector<int64_t> PartOf(const std::vector<int64_t>& points, Part part) {
  size_t lo = points.size() * (part.index - 1) / part.count, hi = points.size() * part.index / part.count;
  return std::vector<int64_t>(points.begin() + lo, points.begin() + hi);
}

ChipReport SweepChip(const UpdatePlan& plan, const FlashMemory& memory, int jobs, size_t batch, uint64_t every,
                     Part part) {
  auto start = std::chrono::steady_clock::now();
  ChipReport report;
  report.name = plan.Name();
  report.imageBytes = plan.imageBytes;
  Chip c;
  c.plan = plan;
  c.image = CardImage(plan);
  uint64_t bytes = plan.FlashBytes();
  uint8_t* flash = memory.flash;
  uint8_t* before = memory.before;
  Card card(c.image);
  PointResult* count = SharedArray<PointResult>(1);
  if (memory.bytes < bytes || !card.ok() || !count) {
    report.failures.push_back("cannot set the chip up (memory or card folder)");
    return report;
  }
  BuildFlashBefore(plan, flash);
  memcpy(before, flash, size_t(bytes));
  c.flash = flash;
  c.before = before;
  PrepareDevice(card.root());

  std::map<size_t, std::string> ended;
  RunInChildren(
      1, 1, [&](size_t) { CountRun(c, count); }, &ended);
  uint64_t total = count->chipOps;
  std::string probe = GuardProbeFault(c);
  if (!count->done || !count->recovered || total == 0) {
    report.failures.push_back("uninterrupted update: " + (ended.count(0) ? ended[0] : std::string(count->detail)));
  } else if (!probe.empty()) {
    report.failures.push_back(probe);
  } else {
    std::vector<int64_t> points;
    for (uint64_t n = 0; n < total; n += every) points.push_back(int64_t(n));
    if (points.back() != int64_t(total) - 1) points.push_back(int64_t(total) - 1);
    points = PartOf(points, part);
    PointResult* results = points.empty() ? nullptr : SharedArray<PointResult>(points.size());
    if (points.empty()) {
      // A part of more parts than the chip has points: nothing of it here.
    } else if (!results) {
      report.failures.push_back("no memory for the results");
    } else {
      size_t batches = (points.size() + batch - 1) / batch;
      ended.clear();
      RunInChildren(
          batches, jobs,
          [&](size_t b) { Worker(c, points, b * batch, std::min(points.size(), (b + 1) * batch), results); }, &ended,
          nullptr, kExitWroteOutside);
      report.points = points.size();
      for (size_t i = 0; i < points.size(); ++i) {
        const PointResult& r = results[i];
        report.interruptedOk += r.done && r.interruptedOk;
        report.recovered += r.done && r.recovered;
        report.outsideChanged += r.outsideChanged;
        if (r.done && !r.detail[0]) continue;
        int64_t point = points[i];
        std::string what = r.detail;
        if (!r.done) {
          // The worker ended here: the rest of its batch was not run.
          size_t b = i / batch, last = std::min(points.size(), (b + 1) * batch);
          if (ended.count(b)) what += (what.empty() ? "" : "; ") + ended[b];
          if (!r.outsideChanged && !ended.count(b)) what += (what.empty() ? "" : "; ") + std::string("not finished");
          if (last > i + 1) what += "; the " + std::to_string(last - i - 1) + " later point(s) of its worker not run";
          i = last - 1;
        }
        report.failures.push_back("power lost after " + std::to_string(point) + " of " + std::to_string(total) +
                                  " chip operations: " + what);
      }
      munmap(results, sizeof(PointResult) * points.size());
    }
  }
  munmap(count, sizeof(PointResult));
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

}  // namespace
}  // namespace powerloss

int main(int argc, char** argv) {
  using namespace powerloss;
  CLI::App app{"Every power-loss point of the boot area update, on the native target"};
  int jobs = 2;
  std::string which = "all";
  uint64_t every = 1;
  size_t batch = 32;
  size_t shown = 10;
  app.add_option("--jobs", jobs, "worker processes at a time")->check(CLI::Range(1, 64));
  app.add_option("--chips", which, "all, default (the 64 MiB update) or small (the 12 small-page chips)")
      ->check(CLI::IsMember({"all", "default", "small"}));
  app.add_option("--every", every, "try every K-th point only (and the last); 1: all")->check(CLI::Range(1, 1000000));
  app.add_option("--batch", batch, "points per worker (each leaves an updater thread parked there)")
      ->check(CLI::Range(1, 4096));
  app.add_option("--show", shown, "failures printed in detail");
  std::string partText = "1/1";
  app.add_option("--part", partText, "K/N: the K-th of N runs of each chip's points (CTest runs the parts side by side)")
      ->check([](const std::string& v) {
        unsigned k = 0, n = 0;
        char end = 0;
        return sscanf(v.c_str(), "%u/%u%c", &k, &n, &end) == 2 && k >= 1 && k <= n && n <= 1000
                   ? std::string()
                   : std::string("--part takes K/N with 1 <= K <= N <= 1000");
      });
  CLI11_PARSE(app, argc, argv);
  Part part;
  sscanf(partText.c_str(), "%u/%u", &part.index, &part.count);

  printf(
      "point N: the chip completes the update's first N operations, operation N+1 finds the power gone;\n"
      "N = 0 .. T-1, T the operations of the uninterrupted update. %d worker(s) at a time, %zu points each;\n"
      "part %u of %u of each chip's points.\n\n",
      jobs, batch, part.index, part.count);
  printf("%-18s %8s %7s %7s %9s %8s %8s\n", "chip", "image", "points", "cut-ok", "recovered", "outside", "seconds");
  auto start = std::chrono::steady_clock::now();
  std::vector<UpdatePlan> plans = SweepPlans(which);
  uint64_t largest = 0;
  for (const UpdatePlan& plan : plans) largest = std::max(largest, plan.FlashBytes());
  FlashMemory memory;
  if (!memory.Make(largest)) {
    printf("cannot map %llu bytes for the flash\n", (unsigned long long)largest);
    return 1;
  }
  ChipReport sum;
  std::vector<std::string> failures;
  for (const UpdatePlan& plan : plans) {
    ChipReport r = SweepChip(plan, memory, jobs, batch, every, part);
    printf("%-18s %8u %7llu %7llu %9llu %8llu %8.1f%s\n", r.name.c_str(), r.imageBytes, (unsigned long long)r.points,
           (unsigned long long)r.interruptedOk, (unsigned long long)r.recovered, (unsigned long long)r.outsideChanged,
           r.seconds, r.failures.empty() ? "" : "  FAILED");
    fflush(stdout);
    sum.points += r.points;
    sum.interruptedOk += r.interruptedOk;
    sum.recovered += r.recovered;
    sum.outsideChanged += r.outsideChanged;
    for (const std::string& f : r.failures) failures.push_back(r.name + ", " + f);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%-18s %8s %7llu %7llu %9llu %8llu %8.1f\n", "total", "", (unsigned long long)sum.points,
         (unsigned long long)sum.interruptedOk, (unsigned long long)sum.recovered,
         (unsigned long long)sum.outsideChanged, seconds);
  if (failures.empty()) return 0;
  printf("\n%zu failure(s); the first %zu:\n", failures.size(), std::min(shown, failures.size()));
  for (size_t i = 0; i < failures.size() && i < shown; ++i) printf("  %s\n", failures[i].c_str());
  return 1;
}
