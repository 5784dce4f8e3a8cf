// devsim card: puts the update files on a device's SD card.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/devsim/command.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

const char kProse[] =
    "Puts files on the SD card of device DIR (its folder \"SDMMC Disk\"). With no option it\n"
    "lists the card: each file with its size in bytes.";

struct CardArgs {
  std::string dir;
  std::optional<std::string> image;
  bool updater = false;
  std::vector<std::string> removes;
};

void Copy(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) throw InputError("cannot read " + from);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!out) throw InputError("cannot write " + to);
  out << in.rdbuf();
  if (!out) throw InputError("cannot write " + to);
}

int Run(const CardArgs& a) {
  const std::string& dir = a.dir;
  const std::optional<std::string>& image = a.image;
  struct stat st;
  if (stat((dir + "/nand.img").c_str(), &st) != 0) throw InputError(dir + ": not a device folder (no nand.img)");
  std::string card = dir + "/SDMMC Disk";
  mkdir(card.c_str(), 0755);
  for (const std::string& name : a.removes) {
    if (name.find('/') != std::string::npos) throw UsageError("--remove: " + name + " is not a file name");
    std::remove((card + "/" + name).c_str());
  }
  if (image) {
    Copy(*image, card + "/EBOOT.NB0");
    printf("card: %s -> %s/EBOOT.NB0\n", image->c_str(), card.c_str());
  }
  if (a.updater) {
    const DevicePrograms programs = FindDevicePrograms();
    std::string exe = programs.Path("kestrel");
    if (stat(exe.c_str(), &st) != 0) throw InputError(programs.Missing(exe));
    Copy(exe, card + "/Kestrel.exe");
    printf("card: %s -> %s/Kestrel.exe\n", exe.c_str(), card.c_str());
  }
  if (!image && !a.updater) {
    // Listed here rather than by a shell: a folder name may hold any
    // character, a quote included.
    std::vector<std::pair<std::string, uintmax_t>> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(card, ec))
      files.emplace_back(e.path().filename().string(), e.is_regular_file() ? e.file_size() : 0);
    if (ec) throw InputError("cannot list " + card + ": " + ec.message());
    std::sort(files.begin(), files.end());
    printf("card %s%s\n", card.c_str(), files.empty() ? ": empty" : ":");
    for (const auto& f : files) printf("  %-14s %ju bytes\n", f.first.c_str(), f.second);
  }
  return kExitOk;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<CardArgs>();
  cl.Describe("put the boot image and the updater on a device's card", kProse);
  cl.Positional("DIR", "the device folder", &a->dir);
  cl.Value("--image", "FILE", "FILE becomes \"EBOOT.NB0\", the boot image the updater reads", &a->image);
  cl.Flag("--updater",
          "the built kestrel becomes \"Kestrel.exe\", the program the launcher starts (from the device build "
          "DEVSIM_DEVICE_BUILD names, else those installed with devsim, else build/device)",
          &a->updater);
  cl.Repeated("--remove", "NAME", "removes NAME from the card first", &a->removes);
  return [a] { return Run(*a); };
}

}  // namespace

extern const Command kCardCommand = {"card", Declare};

}  // namespace devsim
