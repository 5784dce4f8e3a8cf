// The seed corpora and dictionaries of the fuzz targets over the host side's
// readers, made from the formats' own code and tables:
//
//   fuzz/corpus/dump/       heads of raw dumps of the smallest chip, made by
//                           devsim's own device making and sector codec
//   fuzz/corpus/nand_cfg/   nand.cfg files as the writer writes them (a fault
//                           of every kind of the fault kinds' table) and as
//                           people write them
//   fuzz/corpus/scenario/   scenario files (the campaign's own are seeds too)
//   fuzz/corpus/event_log/  event logs as the writer writes them
//   fuzz/NAME.dict          the keywords of each format: the TOC signature and
//                           the boot spare record; every key of nand.cfg (from
//                           the fault kinds' table) and of the scenarios; the
//                           event records' member names and kinds
//
//   fuzz_inputs --check ROOT   every file is as made here and the corpus
//                              folders hold nothing else (exit 1 otherwise)
//   fuzz_inputs --write ROOT   makes them again
// ROOT is the source tree.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/fault_kinds.h"
#include "sim/nand_cfg.h"
#include "tools/campaign/scenario.h"
#include "tools/devsim/boot_area_reader.h"
#include "tools/devsim/device_ops.h"
#include "tools/devsim/sector_codec.h"
#include "tools/run/events.h"

namespace {

using namespace devsim;

// path (relative to the source tree) -> content
using Files = std::map<std::string, std::string>;

const char* const kCorpora[] = {"fuzz/corpus/dump", "fuzz/corpus/nand_cfg", "fuzz/corpus/scenario",
                                "fuzz/corpus/event_log"};

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  *ok = bool(f);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// --- dictionaries ----------------------------------------------------------------

// One libFuzzer dictionary entry: the bytes in quotes, escaped.
std::string Entry(const std::string& bytes) {
  std::string out = "\"";
  char buf[8];
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"\n";
}

std::string Dictionary(const std::string& what, const std::vector<std::string>& words) {
  std::string out = "# " + what + "\n# Made by fuzz_inputs (fuzz/fuzz_inputs.cpp); do not edit.\n";
  std::set<std::string> seen;
  for (const std::string& w : words)
    if (seen.insert(w).second) out += Entry(w);
  return out;
}

std::string DumpDictionary() {
  uint8_t record[8];
  BootSpareRecord().Encode(record);
  return Dictionary("A raw dump: the TOC's signature and the boot spare record.",
                    {std::string(reinterpret_cast<const char*>(kTocSignature), sizeof(kTocSignature)),
                     std::string(reinterpret_cast<const char*>(record), sizeof(record))});
}

std::string NandCfgDictionary() {
  std::vector<std::string> words = sim::NandConfigKeys();
  words.push_back(sim::kReservedKeyPrefix);
  return Dictionary("nand.cfg: every key (sim/nand_cfg.cpp, sim/fault_kinds.cpp), the reserved prefix.", words);
}

std::string ScenarioDictionary() {
  std::vector<std::string> words = {"[defaults]"};
  for (const std::string& k : ScenarioKeys()) words.push_back(k);
  for (const std::string& k : sim::NandConfigKeys()) words.push_back(k);
  for (const std::string& k : ScenarioKinds()) words.push_back(k);
  for (int o = int(Outcome::kFinished); o <= int(Outcome::kNotRun); ++o) words.push_back(OutcomeName(Outcome(o)));
  return Dictionary("Scenario files: the sections, every key (theirs and nand.cfg's), the kinds and outcomes.", words);
}

template <size_t I = 0>
void EveryKind(std::vector<runproto::Event>* out) {
  if constexpr (I < std::variant_size_v<runproto::Event>) {
    out->push_back(std::variant_alternative_t<I, runproto::Event>());
    EveryKind<I + 1>(out);
  }
}

std::string EventLogDictionary() {
  std::vector<runproto::Event> events;
  EveryKind(&events);
  std::vector<std::string> words;
  for (const runproto::Event& e : events) {
    const nlohmann::json j = nlohmann::json::parse(runproto::FormatEvent(e));
    for (const auto& member : j.items()) words.push_back("\"" + member.key() + "\":");
    words.push_back(std::string("\"kind\":\"") + runproto::KindOf(e) + "\"");
  }
  return Dictionary("Event logs: the member names of every kind of record, and the kinds.", words);
}

// --- dumps -----------------------------------------------------------------------

class Scratch {
 public:
  Scratch() {
    const char* tmp = getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_inputs-XXXXXX";
    if (!mkdtemp(&t[0])) throw InputError("cannot make a scratch folder " + t);
    dir_ = t;
  }
  ~Scratch() {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "fuzz_inputs: could not remove %s\n", dir_.c_str());
  }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

// The flash devsim create makes of recipe, as a dump.
std::string MadeDump(const Scratch& scratch, DeviceRecipe recipe, size_t imageBytes) {
  if (imageBytes) {
    std::string image;
    for (size_t i = 0; image.size() < imageBytes; ++i) image += "EBOOT seed " + std::to_string(i) + " ";
    image.resize(imageBytes);
    recipe.bootImagePath = scratch.Dir() + "/image";
    std::ofstream(*recipe.bootImagePath, std::ios::binary) << image;
  }
  const std::string dir = scratch.Dir() + "/device";
  MakeDevice(PlanDevice(dir, recipe), true);
  bool ok = false;
  const std::string dump = ReadFile(dir + "/nand.img", &ok);
  if (!ok) throw InputError("cannot read " + dir + "/nand.img");
  return dump;
}

size_t Offset(uint64_t block, uint64_t page) { return size_t((block * kBootSectorsPerBlock + page) * kRawPageBytes); }

void FlipBit(std::string* dump, uint64_t sector, uint32_t byte, int bit) {
  (*dump)[Offset(0, sector) + byte] = char((*dump)[Offset(0, sector) + byte] ^ (1 << bit));
}

void AddDumps(Files* files) {
  Scratch scratch;
  DeviceRecipe base;
  base.chip = devsim::SmallestSmallPageChip();
  const std::string dir = "fuzz/corpus/dump/";

  // A TOC at block 1 naming an 8-sector area at block 2 that holds a
  // 1500-byte image (3 sectors); the head ends after the first erased sector.
  DeviceRecipe r = base;
  r.area = BootArea{2, 8};
  const std::string written = MadeDump(scratch, r, 1500);
  (*files)[dir + "area-written"] = written.substr(0, Offset(2, 4));

  // The same with a 2000-byte image, its sectors damaged: a data bit flipped
  // (corrected), two in one half (uncorrectable), the record changed (wrong
  // spare record), a code bit flipped (the code's error, data good).
  std::string damaged = MadeDump(scratch, r, 2000);
  const uint64_t first = uint64_t(2) * kBootSectorsPerBlock;
  FlipBit(&damaged, first, 10, 3);
  FlipBit(&damaged, first + 1, 20, 1);
  FlipBit(&damaged, first + 1, 200, 6);
  FlipBit(&damaged, first + 2, kSectorBytes + 4, 1);
  FlipBit(&damaged, first + 3, kSectorBytes + kSpareEcc1, 2);
  (*files)[dir + "area-damaged"] = damaged.substr(0, Offset(2, 5));

  // The TOC alone, its area (the default 512 sectors) erased.
  const std::string tocOnly = MadeDump(scratch, base, 0);
  (*files)[dir + "toc-only"] = tocOnly.substr(0, Offset(1, 1));

  // A TOC that is not one: the block carries the boot record, its sector
  // reads clean but does not begin with the signature.
  std::string notToc = tocOnly;
  uint8_t data[kSectorBytes], raw[kRawPageBytes];
  std::memcpy(data, notToc.data() + Offset(1, 0), kSectorBytes);
  data[0] = 'X';
  const SectorInfo record = BootSpareRecord();
  BuildSectorPage(data, &record, raw);
  notToc.replace(Offset(1, 0), kRawPageBytes, reinterpret_cast<const char*>(raw), kRawPageBytes);
  (*files)[dir + "toc-bad-signature"] = notToc.substr(0, Offset(1, 1));

  // A TOC naming an area beyond any chip.
  r = base;
  r.area = BootArea{0xFFFFFFFF, 512};
  (*files)[dir + "area-beyond-chip"] = MadeDump(scratch, r, 0).substr(0, Offset(1, 1));

  // No TOC, every block filled as a file system would.
  r = base;
  r.toc = false;
  r.fill = true;
  (*files)[dir + "no-toc-filled"] = MadeDump(scratch, r, 0).substr(0, Offset(0, 2));

  // Factory bad blocks before and after a one-block area, the rest filled.
  r = base;
  r.area = BootArea{2, 32};
  r.fill = true;
  r.badBlocks = {0, 3};
  (*files)[dir + "bad-blocks"] = MadeDump(scratch, r, 0).substr(0, Offset(3, 2));
}

// --- nand.cfg ---------------------------------------------------------------------

// A value of each field of a fault, valid on every small-page chip.
sim::FaultFields SampleFields(const sim::FaultKind& k) {
  unsigned count = 0;
  for (unsigned n = 0; n < 8 * sizeof(k.fieldCounts); ++n)
    if (k.fieldCounts & (1u << n)) count = n;
  uint64_t command = 0;
  while (!sim::IsEventCommand(command)) ++command;
  sim::FaultFields f;
  for (unsigned i = 0; i < count; ++i) {
    switch (k.roles[i]) {
      case sim::FieldRole::kSector:
        f.push_back(64);
        break;
      case sim::FieldRole::kPage:
        f.push_back(1);
        break;
      case sim::FieldRole::kByte:
        f.push_back(515);
        break;
      case sim::FieldRole::kBit:
        f.push_back(5);
        break;
      case sim::FieldRole::kValue:
        f.push_back(0);
        break;
      case sim::FieldRole::kBlock:
        f.push_back(4);
        break;
      case sim::FieldRole::kCount:
        f.push_back(2);
        break;
      case sim::FieldRole::kCommand:
        f.push_back(command);
        break;
    }
  }
  return f;
}

void AddNandCfgs(Files* files) {
  const std::string dir = "fuzz/corpus/nand_cfg/";
  (*files)[dir + "default.cfg"] = sim::FormatNandConfig(sim::NandConfig());

  sim::NandConfig every;
  every.device = 0x73;
  every.pollsToReady = 3;
  every.badBlocks = {5, 77};
  every.sysdrvRate = 4;
  every.sysdrvFirstBlock = 100;
  every.sysdrvBlockCount = 20;
  every.cameraActive = true;
  every.extboardWpUser = true;
  for (const sim::FaultKind& k : sim::FaultKinds()) k.put(&every, SampleFields(k));
  every.unknown.emplace_back("later.option", "kept");
  (*files)[dir + "every-kind.cfg"] = sim::FormatNandConfig(every);

  (*files)[dir + "by-hand.cfg"] =
      "# a device's settings as a person edits them\n"
      "maker = 0xEC\n"
      "  device=0x73   # 16 MiB\n"
      "\n"
      "bad_blocks = 5,77\n"
      "timing.page_read_ns = 12000\n"
      "fault.read_flip = 32:0:7\n"
      "fault.read_flip = 0x40:515:0:2\n"
      "fault.event_hang = 0x80:1\n"
      "later.note = \"kept as it is\"\n";
  (*files)[dir + "typo.cfg"] = "maker = 0xec\nfault.read_flp = 32:0:7\n";
}

// --- scenarios and event logs -------------------------------------------------

void AddScenarios(Files* files) {
  const std::string dir = "fuzz/corpus/scenario/";
  (*files)[dir + "by-hand.scn"] =
      "# Two rows on a small chip, sharing their defaults.\n"
      "[defaults]\n"
      "kind = fault\n"
      "create.chip = ec:73\n"
      "create.boot_sectors = 64\n"
      "image = area\n"
      "expect.outcome = finished\n"
      "expect.message = \"Bootloader update finished! \"\n"
      "\n"
      "[one-flip]\n"
      "fault.read_flip = 0x40:3:1\n"
      "expect.verified = yes\n"
      "\n"
      "[busy]   # the system driver at work\n"
      "sysdrv.rate = 2\n"
      "create.bad_blocks = 9,10\n"
      "timeout = 0x3c\n"
      "expect.card = \"\"\n"
      "sweep = power-loss\n"
      "sweep.sample = 4\n";
  (*files)[dir + "key-before-section.scn"] = "kind = load\n[row]\n";
}

void AddEventLogs(Files* files) {
  const std::string dir = "fuzz/corpus/event_log/";
  std::vector<runproto::Event> every;
  EveryKind(&every);
  std::string text;
  for (const runproto::Event& e : every) text += runproto::FormatEvent(e) + "\n";
  (*files)[dir + "every-kind.jsonl"] = text;

  runproto::DebugLine debug{12, "Kestrel: boot area at block 2, 512 sectors"};
  runproto::Progress progress{12, 40};
  runproto::MessageBoxCall call{12, 0x10010, "Information", "Bootloader update finished! ", 0x40};
  runproto::BoxSeen box{20, 0x10010, "Information", "Bootloader update finished! ", {"OK"}, true, true, true, -1};
  runproto::MessageBoxAnswer answer{12, 1};
  runproto::ProgramExit ended{12, 0, false, -1};
  runproto::SysdrvReport sysdrv{30, 9, 4, 4, 1, 0, 0, 0, 0, 20, 100, "between-operations"};
  runproto::CheckerRecord checker{1, {"NAND_ADDR_HI written during a transfer"}};
  text.clear();
  for (const runproto::Event& e :
       std::vector<runproto::Event>{debug, progress, call, box, answer, ended, sysdrv, checker})
    text += runproto::FormatEvent(e) + "\n";
  (*files)[dir + "run.jsonl"] = text;
  (*files)[dir + "not-json.jsonl"] = runproto::FormatEvent(debug) + "\nnot a record\n";
}

Files Everything() {
  Files files;
  AddDumps(&files);
  AddNandCfgs(&files);
  AddScenarios(&files);
  AddEventLogs(&files);
  files["fuzz/dump_fuzz.dict"] = DumpDictionary();
  files["fuzz/nand_cfg_fuzz.dict"] = NandCfgDictionary();
  files["fuzz/scenario_fuzz.dict"] = ScenarioDictionary();
  files["fuzz/event_log_fuzz.dict"] = EventLogDictionary();
  return files;
}

std::vector<std::string> FolderFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

int Check(const std::string& root, const Files& files) {
  int problems = 0;
  for (const auto& [path, content] : files) {
    bool ok = false;
    const std::string have = ReadFile(root + "/" + path, &ok);
    if (!ok || have != content) {
      std::printf("%s: %s\n", path.c_str(), ok ? "differs from what fuzz_inputs makes" : "missing");
      ++problems;
    }
  }
  for (const char* corpus : kCorpora)
    for (const std::string& name : FolderFiles(root + "/" + corpus))
      if (!files.count(std::string(corpus) + "/" + name)) {
        std::printf("%s/%s: not made by fuzz_inputs\n", corpus, name.c_str());
        ++problems;
      }
  if (problems) {
    std::printf("fuzz_inputs: %d file(s) differ; make them again with: fuzz_inputs --write %s\n", problems,
                root.c_str());
    return 1;
  }
  std::printf("fuzz_inputs: %zu files as made\n", files.size());
  return 0;
}

int Write(const std::string& root, const Files& files) {
  for (const char* corpus : kCorpora) {
    ::mkdir((root + "/" + corpus).c_str(), 0755);
    for (const std::string& name : FolderFiles(root + "/" + corpus))
      if (!files.count(std::string(corpus) + "/" + name)) ::unlink((root + "/" + corpus + "/" + name).c_str());
  }
  for (const auto& [path, content] : files) {
    std::ofstream f(root + "/" + path, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) {
      std::fprintf(stderr, "fuzz_inputs: cannot write %s/%s\n", root.c_str(), path.c_str());
      return 1;
    }
  }
  std::printf("fuzz_inputs: wrote %zu files\n", files.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "--check") != 0 && std::strcmp(argv[1], "--write") != 0)) {
    std::fprintf(stderr, "usage: fuzz_inputs --check|--write SOURCE_ROOT\n");
    return 2;
  }
  try {
    const Files files = Everything();
    return std::strcmp(argv[1], "--check") == 0 ? Check(argv[2], files) : Write(argv[2], files);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_inputs: %s\n", e.what());
    return 1;
  }
}
