// Every failure point of the default boot area update, on the native target.
//
// The update runs once without a failure and the platform numbers its
// failure points (platform/native/native.h): each call of the updater into
// the kernel that can fail, and each wait of its driver on the hardware. Then
// point N (N = 0 .. T-1) is failed alone, in a run of its own, and:
//  - the updater must have returned (not hung, not crashed) after meeting the
//    point, with exactly one message box: the one the failure calls for in
//    the phase the point belongs to (opening the card file, bringing the
//    driver up, finding the area, reading the image, erasing, writing);
//  - the bus mutexes must be free and nothing the updater took (handles,
//    reserved memory, the six windows) left behind; LeakSanitizer looks for
//    leaked memory at the end of each worker's batch;
//  - every page outside the boot area must be as before, and the whole flash
//    when the failure came before the erase;
//  - a second run without a failure must complete the update: the success
//    message, no protocol violation, the area holding the image.
// The points run in worker processes forked from the harness, as the
// power-loss sweep's do (fork_pool.h). Prints the points per kind with their
// outcomes and the time; exits 1 on any failure, after the first in detail.
#include <sys/mman.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "platform/test_hooks.h"
#include "sim/device.h"
#include "tests/native/failure/failure_case.h"
#include "tests/native/power_loss/fork_pool.h"
#include "tests/native/power_loss/update_case.h"

// LeakSanitizer's check, where the build has it (not in the coverage build).
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace powerloss {
namespace {

struct Point {
  native::FailureKind kind;
  Phase phase;
  char what[40];
};

struct PointResult {
  uint32_t done;
  uint32_t asExpected;  // every check of the failing run and of the second run held
  char detail[400];
};

void Note(PointResult* out, const std::string& what) {
  std::string all = out->detail;
  all += (all.empty() ? "" : "; ") + what;
  snprintf(out->detail, sizeof(out->detail), "%s", all.c_str());
}

struct Sweep {
  UpdatePlan plan;
  std::vector<uint8_t> image;
  uint8_t* flash = nullptr;
  uint8_t* before = nullptr;
};


// A worker's flash outside the boot area is read-only: a program or erase
// that reached it would fault at its first store and end the worker (its
// batch then counts as failed, with the sanitizer's report of the store).
// Only the bytes outside the area that share a memory page with it are
// compared after each run.
struct Outside {
  uint64_t writableFrom = 0, writableTo = 0;  // page-aligned raw offsets
  uint64_t areaFrom = 0, areaTo = 0;
};

bool ProtectOutside(const Sweep& s, Outside* o) {
  uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  uint64_t bytes = s.plan.FlashBytes();
  uint64_t mapped = (bytes + page - 1) / page * page;
  o->areaFrom = uint64_t(s.plan.AreaFirstSector()) * kRawPage;
  o->areaTo = std::min(bytes, uint64_t(s.plan.AreaEndSector()) * kRawPage);
  o->writableFrom = o->areaFrom / page * page;
  o->writableTo = std::min(mapped, (o->areaTo + page - 1) / page * page);
  return mprotect(s.flash, size_t(o->writableFrom), PROT_READ) == 0 &&
         mprotect(s.flash + o->writableTo, size_t(mapped - o->writableTo), PROT_READ) == 0;
}

std::string OutsideDiff(const Sweep& s, const Outside& o) {
  std::string low = RangeDiff(s.flash, s.before, o.writableFrom, o.areaFrom);
  std::string high = RangeDiff(s.flash, s.before, o.areaTo, std::min(s.plan.FlashBytes(), o.writableTo));
  return low + (low.empty() || high.empty() ? "" : "; ") + high;
}

// Point n, failed alone, then the second run.
void PointRun(const Sweep& s, const Outside& o, const Point& point, int64_t n, PointResult* out) {
  uint64_t areaFrom = o.areaFrom, areaTo = o.areaTo;
  memcpy(s.flash + areaFrom, s.before + areaFrom, size_t(areaTo - areaFrom));
  FreeSystemFlashMutex();
  if (!native::AttachMemoryDevice(s.plan.Config(), s.flash, s.plan.FlashBytes())) {
    Note(out, "cannot attach the device");
    return;
  }
  native::Leftovers left = native::LeftByReturnedPrograms();
  native::ArmFailurePoint(n, false);
  RunResult cut = RunUpdater();
  std::string fault = FailedRunFault(cut, point.phase, left);
  if (!fault.empty()) Note(out, fault);
  std::string outside = OutsideDiff(s, o);
  if (!outside.empty()) Note(out, "outside the area: " + outside);
  if (point.phase < Phase::kErase) {
    std::string area = RangeDiff(s.flash, s.before, areaFrom, areaTo);
    if (!area.empty()) Note(out, "the area changed before the erase: " + area);
  }

  native::ArmFailurePoint(-1, false);
  if (!sim::SocStartRun(true)) {
    Note(out, "cannot start the second run");
    return;
  }
  RunResult again = RunUpdater();
  if (again.end != native::ProgramEnd::kReturned || again.boxes.size() != 1 || !IsSuccessBox(again.boxes[0]))
    Note(out, "second run: message boxes " + DescribeBoxes(again.boxes));
  if (again.record.violationCount) Note(out, "second run: " + DescribeViolations(again.record));
  std::string area = AreaDiff(s.plan, s.flash, s.image);
  if (!area.empty()) Note(out, "second run: " + area);
  outside = OutsideDiff(s, o);
  if (!outside.empty()) Note(out, "second run, outside the area: " + outside);
  out->asExpected = out->detail[0] == 0;
  out->done = 1;
}

struct Options {
  int jobs = 2;
  size_t batch = 64;
  size_t shown = 10;
  std::string only;
  uint64_t every = 1;
};

// The most points the count run records.
const size_t kMaxPoints = 1 << 16;

// The chip as it is before the update, and a copy to compare with. Outside
// the heap: the children's leak checks look at what the updater allocated,
// not at the chip.
bool MapFlash(Sweep* s) {
  uint64_t bytes = s->plan.FlashBytes();
  s->flash = static_cast<uint8_t*>(mmap(NULL, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  s->before = static_cast<uint8_t*>(mmap(NULL, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  return s->flash != MAP_FAILED && s->before != MAP_FAILED;
}

// The count run, in a child (the flash stays as before here): the points of
// the update without failure, in the order it meets them, into *points
// (shared with the child) and their number into *total.
bool CountPoints(const Sweep& s, Point** points, uint64_t* total) {
  *points = SharedArray<Point>(kMaxPoints);
  uint64_t* counted = SharedArray<uint64_t>(1);
  PointResult* count = SharedArray<PointResult>(1);
  std::map<size_t, std::string> ended;
  RunInChildren(
      1, 1,
      [&](size_t) {
        if (!native::AttachMemoryDevice(s.plan.Config(), s.flash, s.plan.FlashBytes())) return;
        native::ArmFailurePoint(-1, true);
        RunResult run = RunUpdater();
        std::vector<native::FailurePoint> seen = native::FailurePointsSeen();
        std::vector<Phase> phases = PhasesOf(seen, native::Events());
        *counted = std::min(seen.size(), kMaxPoints);
        for (size_t i = 0; i < *counted; ++i) {
          (*points)[i].kind = seen[i].kind;
          (*points)[i].phase = phases[i];
          snprintf((*points)[i].what, sizeof((*points)[i].what), "%s", seen[i].what.c_str());
        }
        count->done = run.boxes.size() == 1 && IsSuccessBox(run.boxes[0]) && seen.size() <= kMaxPoints;
        EndChild(0);
      },
      &ended);
  *total = *counted;
  if (!count->done || *counted == 0) {
    printf("the update without failure did not complete%s\n", ended.count(0) ? (": " + ended[0]).c_str() : "");
    return false;
  }
  return true;
}

// The points the options ask for: every K-th, of one kind or of all.
std::vector<int64_t> PointsToRun(const Point* points, uint64_t total, const Options& opt) {
  std::vector<int64_t> todo;
  for (uint64_t i = 0; i < total; i += opt.every)
    if (opt.only.empty() || opt.only == native::FailureKindName(points[i].kind)) todo.push_back(int64_t(i));
  return todo;
}

// Each point of todo failed alone, in batches of worker processes; a worker
// that did not end normally is described in *ended under its batch.
void RunPoints(const Sweep& s, const Point* points, const std::vector<int64_t>& todo, const Options& opt,
               PointResult* results, std::map<size_t, std::string>* ended) {
  size_t batches = (todo.size() + opt.batch - 1) / opt.batch;
  RunInChildren(
      batches, opt.jobs,
      [&](size_t b) {
        Outside o;
        if (!ProtectOutside(s, &o)) EndChild(4);
        for (size_t i = b * opt.batch; i < std::min(todo.size(), (b + 1) * opt.batch); ++i)
          PointRun(s, o, points[todo[i]], todo[i], &results[i]);
        // Memory the failed runs took and never gave back.
        if (__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0) EndChild(3);
        EndChild(0);
      },
      ended);
}

// The table: points per kind and phase, and how many ended as expected; then
// the first failures in detail. Returns the exit code.
int Report(const Point* points, uint64_t total, const std::vector<int64_t>& todo, const PointResult* results,
           std::map<size_t, std::string>& ended, const Options& opt, std::chrono::steady_clock::time_point start) {
  std::map<std::pair<int, int>, std::pair<uint64_t, uint64_t>> table;
  std::vector<std::string> failures;
  uint64_t ok = 0;
  for (size_t i = 0; i < todo.size(); ++i) {
    const Point& p = points[todo[i]];
    auto& cell = table[{int(p.kind), int(p.phase)}];
    ++cell.first;
    const PointResult& r = results[i];
    size_t b = i / opt.batch;
    bool good = r.done && r.asExpected && !ended.count(b);
    cell.second += good;
    ok += good;
    if (!good)
      failures.push_back("point " + std::to_string(todo[i]) + " (" + native::FailureKindName(p.kind) + " " + p.what +
                         ", " + PhaseName(p.phase) + "): " + (r.done ? r.detail : "not finished") +
                         (ended.count(b) ? "; its worker: " + ended[b] : ""));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("point N: the update's Nth call into the kernel or wait on the hardware fails, alone;\n"
         "N = 0 .. %llu, the points of the update without failure. %d worker(s) at a time.\n\n",
         (unsigned long long)total - 1, opt.jobs);
  printf("%-20s %-7s %-40s %7s %9s\n", "kind", "phase", "message", "points", "expected");
  for (const auto& row : table) {
    printf("%-20s %-7s %-40s %7llu %9llu\n", native::FailureKindName(native::FailureKind(row.first.first)),
           PhaseName(Phase(row.first.second)), PhaseMessage(Phase(row.first.second)), (unsigned long long)row.second.first,
           (unsigned long long)row.second.second);
  }
  printf("%-20s %-7s %-40s %7zu %9llu   %.1f s\n", "total", "", "", todo.size(), (unsigned long long)ok, seconds);
  if (failures.empty()) return 0;
  printf("\n%zu failure(s); the first %zu:\n", failures.size(), std::min(opt.shown, failures.size()));
  for (size_t i = 0; i < failures.size() && i < opt.shown; ++i) printf("  %s\n", failures[i].c_str());
  return 1;
}

}  // namespace
}  // namespace powerloss

int main(int argc, char** argv) {
  using namespace powerloss;
  CLI::App app{"Every failure point of the default boot area update, on the native target"};
  Options opt;
  app.add_option("--jobs", opt.jobs, "worker processes at a time")->check(CLI::Range(1, 64));
  app.add_option("--batch", opt.batch, "points per worker")->check(CLI::Range(1, 100000));
  app.add_option("--show", opt.shown, "failures printed in detail");
  app.add_option("--every", opt.every, "try every K-th point only; 1: all")->check(CLI::Range(1, 1000000));
  app.add_option("--only", opt.only, "only the points of this kind (e.g. \"hardware wait\")");
  CLI11_PARSE(app, argc, argv);
  auto start = std::chrono::steady_clock::now();

  Sweep s;
  s.image = CardImage(s.plan);
  bool mapped = MapFlash(&s);
  Card card(s.image);
  if (!mapped || !card.ok()) {
    printf("cannot set the update up (memory or card folder)\n");
    return 1;
  }
  BuildFlashBefore(s.plan, s.flash);
  memcpy(s.before, s.flash, size_t(s.plan.FlashBytes()));
  PrepareDevice(card.root());

  Point* points = nullptr;
  uint64_t total = 0;
  if (!CountPoints(s, &points, &total)) return 1;
  std::vector<int64_t> todo = PointsToRun(points, total, opt);
  PointResult* results = SharedArray<PointResult>(todo.size());
  std::map<size_t, std::string> ended;
  RunPoints(s, points, todo, opt, results, &ended);
  return Report(points, total, todo, results, ended, opt, start);
}
