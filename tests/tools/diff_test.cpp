// devsim diff: two flashes of one chip compared page by page. The changes are
// planted here byte by byte at places named from the handheld's layout
// (tests/common/on_flash.h), or made by an update of the boot area; what is
// judged is what the report lists, how the command ends, and the map it draws.
#include <gtest/gtest.h>

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/common/on_flash.h"
#include "tests/tools/tool_test_support.h"
#include "tools/devsim/device_ops.h"
#include "tools/devsim/diff_report.h"

namespace tooltest {
namespace {

using Json = nlohmann::json;
// The parts of a page that differ, by page, as the text names them.
using PageKinds = std::map<uint64_t, std::set<std::string>>;

constexpr uint32_t kPagesPerBlock = onflash::kSectorsPerBlock;
constexpr uint64_t k16MiB = 1024ull * kPagesPerBlock * onflash::kRawPage;  // ec:73
constexpr uint64_t k32MiB = 2048ull * kPagesPerBlock * onflash::kRawPage;  // ec:75

// The text's part names and the JSON's, side by side.
const std::map<std::string, std::string> kKeyOfName = {
    {"data", "data"}, {"spare record", "spareRecord"}, {"ECC", "ecc"}, {"other spare", "otherSpare"}};

// The pages of the text's block lines ("block 2: pages 64..69 data, ECC;
// page 70 ECC"), each page with its parts; a page in a line of another block
// fails the test.
PageKinds PagesOfText(const std::string& text) {
  static const std::regex kBlock(R"(^block (\d+): (.*)$)");
  static const std::regex kRun(R"(pages? (\d+)(?:\.\.(\d+))? ([a-zA-Z ,]+))");
  PageKinds out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch b;
    if (!std::regex_match(line, b, kBlock)) continue;
    const uint64_t block = std::stoull(b[1]);
    const std::string runs = b[2];
    for (std::sregex_iterator it(runs.begin(), runs.end(), kRun), end; it != end; ++it) {
      const uint64_t first = std::stoull((*it)[1]), last = (*it)[2].matched ? std::stoull((*it)[2]) : first;
      std::set<std::string> kinds;
      std::istringstream names((*it)[3]);
      for (std::string name; std::getline(names, name, ',');) kinds.insert(name.substr(name.find_first_not_of(' ')));
      for (uint64_t p = first; p <= last; ++p) {
        EXPECT_EQ(block, p / kPagesPerBlock) << "page " << p << " in the line of block " << block << ": " << line;
        out[p] = kinds;
      }
    }
  }
  return out;
}

// The same from the JSON report, its keys turned into the text's names.
PageKinds PagesOfJson(const Json& j) {
  std::map<std::string, std::string> nameOfKey;
  for (const auto& [name, key] : kKeyOfName) nameOfKey[key] = name;
  PageKinds out;
  for (const Json& b : j.at("blocks"))
    for (const Json& r : b.at("ranges")) {
      std::set<std::string> kinds;
      for (const Json& k : r.at("kinds")) kinds.insert(nameOfKey.at(k.get<std::string>()));
      for (uint64_t p = r.at("first").get<uint64_t>(); p <= r.at("last").get<uint64_t>(); ++p) {
        EXPECT_EQ(b.at("block").get<uint64_t>(), p / kPagesPerBlock) << r;
        out[p] = kinds;
      }
    }
  return out;
}

// The report's pages, from the library's ranges.
PageKinds PagesOfReport(const devsim::DiffReport& rep) {
  PageKinds out;
  for (const devsim::DiffBlock& b : rep.blocks)
    for (const devsim::DiffRange& r : b.ranges)
      for (uint64_t p = r.first; p <= r.last; ++p) {
        EXPECT_EQ(b.block, p / kPagesPerBlock) << "range " << r.first << ".." << r.last;
        for (int i = 0; i < devsim::kDiffKinds; ++i)
          if (r.kinds & (1 << i)) out[p].insert(devsim::DiffKindName(i));
      }
  return out;
}

std::string Describe(const PageKinds& pages) {
  std::string out;
  for (const auto& [page, kinds] : pages) {
    out += std::to_string(page) + ":";
    for (const std::string& k : kinds) out += " " + k + ";";
    out += "\n";
  }
  return out;
}

// A raw dump of a 16 MiB chip in memory, opened as devsim opens a bare image.
devsim::NandImage Open(const Bytes& raw, const std::string& name, const char* chip = nullptr) {
  devsim::NandImage img;
  std::string error;
  std::optional<devsim::ChipId> id;
  if (chip) id = devsim::ParseChip(chip);
  EXPECT_TRUE(img.OpenBareBytes(name, raw.data(), raw.size(), id, &error)) << error;
  return img;
}

TEST(DiffReport, EachPlantedByteIsListedUnderItsPageBlockAndPart) {
  using namespace onflash;
  struct Plant {
    const char* what;
    uint64_t page;
    uint32_t byte;  // in the raw page
    const char* kind;
  };
  const Plant plants[] = {
      {"first data byte", 40, 0, "data"},
      {"last data byte, last page of block 1", 63, kData - 1, "data"},
      {"first page of block 2", 64, 0, "data"},
      {"record's first byte", 100, kRecordAt, "spare record"},
      {"record's last byte", 101, kRecordAt + kRecordBytes - 1, "spare record"},
      {"first code's first byte", 102, kCodeAt[0], "ECC"},
      {"first code's last byte", 103, kCodeAt[0] + kCodeBytes - 1, "ECC"},
      {"the byte between the codes", 104, kCodeAt[0] + kCodeBytes, "other spare"},
      {"second code's first byte", 105, kCodeAt[1], "ECC"},
      {"second code's last byte", 106, kCodeAt[1] + kCodeBytes - 1, "ECC"},
      {"last spare byte", 107, kRawPage - 1, "other spare"},
      {"data of a page", 108, 300, "data"},
      {"and its bad-block mark", 108, kBadBlockAt, "spare record"},
      {"last page of the chip", 1024 * kPagesPerBlock - 1, 511, "data"},
  };
  const Bytes before = PseudoRandom(k16MiB, 3);
  Bytes after = before;
  PageKinds want;
  for (const Plant& p : plants) {
    after[p.page * kRawPage + p.byte] ^= 0x10;
    want[p.page].insert(p.kind);
  }
  devsim::NandImage a = Open(before, "before.bin"), b = Open(after, "after.bin");
  const devsim::DiffReport rep = devsim::DiffImages(a, b);
  EXPECT_EQ(want, PagesOfReport(rep)) << "want\n" << Describe(want) << "got\n" << Describe(PagesOfReport(rep));

  EXPECT_EQ(want.size(), rep.pages);
  std::map<std::string, uint64_t> perKind;
  for (const auto& [page, kinds] : want)
    for (const std::string& k : kinds) ++perKind[k];
  for (int i = 0; i < devsim::kDiffKinds; ++i)
    EXPECT_EQ(perKind[devsim::DiffKindName(i)], rep.kindPages[i]) << devsim::DiffKindName(i);

  // One entry a block, ascending; a run is as long as its pages go on
  // differing in the same parts within the block.
  std::vector<uint32_t> blocks;
  for (const devsim::DiffBlock& blk : rep.blocks) blocks.push_back(blk.block);
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 1023}), blocks);
  for (const devsim::DiffBlock& blk : rep.blocks)
    for (size_t i = 1; i < blk.ranges.size(); ++i)
      EXPECT_FALSE(blk.ranges[i - 1].last + 1 == blk.ranges[i].first && blk.ranges[i - 1].kinds == blk.ranges[i].kinds)
          << "block " << blk.block << ": runs at " << blk.ranges[i - 1].first << " and " << blk.ranges[i].first
          << " are one";
  ASSERT_EQ(4u, rep.blocks.size());
  ASSERT_EQ(6u, rep.blocks[2].ranges.size()) << "block 3: 100..101, 102..103, 104, 105..106, 107, 108";
  EXPECT_EQ(102u, rep.blocks[2].ranges[1].first);
  EXPECT_EQ(103u, rep.blocks[2].ranges[1].last);

  // The same flash against itself, and against a chip of another maker with
  // the same geometry (a dump's maker is only a guess): nothing differs.
  devsim::NandImage other = Open(before, "other.bin", "98:73");
  EXPECT_TRUE(devsim::DiffImages(a, other).Equal());
  EXPECT_TRUE(devsim::DiffImages(b, b).Equal());
}

TEST(DiffReport, ChipsOfAnotherGeometryAreNotCompared) {
  const Bytes small(k16MiB, 0xFF), large(k32MiB, 0xFF);
  devsim::NandImage a = Open(small, "small.bin"), b = Open(large, "large.bin");
  try {
    devsim::DiffImages(a, b);
    ADD_FAILURE() << "a 16 MiB and a 32 MiB chip compared";
  } catch (const devsim::InputError& e) {
    const std::string what = e.what();
    EXPECT_EQ(0u, what.find("cannot compare small.bin and large.bin: ")) << what;
    EXPECT_NE(std::string::npos, what.find("1024 blocks")) << what;
    EXPECT_NE(std::string::npos, what.find("2048 blocks")) << what;
  }
}

// The --json report of devsim diff; text that does not parse fails the test.
Json DiffJson(const std::vector<std::string>& args, int wantExit) {
  std::vector<std::string> all = {"diff"};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("--json");
  ToolRun r = Devsim(all);
  EXPECT_EQ(wantExit, r.exit) << r.All();
  try {
    return Json::parse(r.out);
  } catch (const Json::parse_error& e) {
    ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out;
    return Json::object({{"blocks", Json::array()}});
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A 16 MiB device with file-system pages around its boot area (block 2) that
// holds a 6-sector boot loader; `before` is its flash as a bare dump. Update()
// puts a 40-sector one there, as the updater leaves the area: the new image
// in the area's first sectors with the boot record, the rest erased, every
// page outside as it was.
struct UpdatedDevice {
  TempDir t;
  std::string dir = t / "dev";
  std::string before = t / "before.bin";
  UpdatedDevice() {
    WriteBytes(t / "old.nb0", PseudoRandom(6 * 512, 61));
    WriteBytes(t / "new.nb0", PseudoRandom(40 * 512 - 7, 62));
    ToolRun r = Devsim({"create", dir, "--chip", "ec:73", "--fill", "--boot-image", t / "old.nb0"});
    EXPECT_EQ(0, r.exit) << r.All();
    WriteBytes(before, ReadBytes(dir + "/nand.img"));
  }
  void Update() {
    ToolRun r = Devsim({"create", dir, "--force", "--chip", "ec:73", "--fill", "--boot-image", t / "new.nb0"});
    EXPECT_EQ(0, r.exit) << r.All();
  }
};

TEST(DevsimDiff, EqualFlashesSayOneLineAndExitZero) {
  UpdatedDevice d;
  ToolRun r = Devsim({"diff", d.before, d.dir});
  EXPECT_EQ(0, r.exit) << r.All();
  ASSERT_EQ(1u, Lines(r.out).size()) << r.All();
  EXPECT_EQ("no page differs: " + d.before + " and " + d.dir + " hold the same 32768 pages (chip ec:73)",
            Lines(r.out)[0]);
  EXPECT_EQ("", r.err);
  Json j = DiffJson({d.dir, d.dir}, 0);
  EXPECT_TRUE(j.at("equal").get<bool>()) << j;
  EXPECT_EQ(0u, j.at("counts").at("pages").get<uint64_t>()) << j;
  EXPECT_TRUE(j.at("blocks").empty()) << j;
}

TEST(DevsimDiff, AnUpdateOfTheBootAreaListsItsPagesByBlockAndPart) {
  UpdatedDevice d;
  d.Update();
  // Where the update can change what: the area's first 6 sectors had the
  // old image under the boot record, sectors 6-39 were erased. Both images
  // are random, so each sector's codes changed too: checked on the flash.
  const uint64_t area = 2 * kPagesPerBlock;
  for (uint64_t p = area; p < area + 40; ++p) {
    const Bytes was = ReadPage(d.before, p), is = ReadPage(d.dir + "/nand.img", p);
    ASSERT_FALSE(std::equal(was.begin() + onflash::kCodeAt[0], was.begin() + onflash::kRawPage,
                            is.begin() + onflash::kCodeAt[0]))
        << "page " << p << " kept its codes";
  }

  ToolRun r = Devsim({"diff", d.before, d.dir});
  EXPECT_EQ(1, r.exit) << r.All();
  EXPECT_EQ((std::vector<std::string>{
                "block 2: pages 64..69 data, ECC; pages 70..95 data, spare record, ECC",
                "block 3: pages 96..103 data, spare record, ECC",
                "40 pages differ in 2 blocks: data 40, spare record 34, ECC 40",
            }),
            Lines(r.out))
      << r.All();

  // The JSON names the same pages and parts, and counts them alike.
  Json j = DiffJson({d.before, d.dir}, 1);
  EXPECT_EQ(PagesOfText(r.out), PagesOfJson(j)) << j;
  EXPECT_FALSE(j.at("equal").get<bool>());
  EXPECT_EQ((Json{{"pages", 40}, {"blocks", 2}, {"data", 40}, {"spareRecord", 34}, {"ecc", 40}, {"otherSpare", 0}}),
            j.at("counts"));
  EXPECT_EQ("image", j.at("a").at("kind").get<std::string>());
  EXPECT_EQ("device", j.at("b").at("kind").get<std::string>());
  EXPECT_EQ(1024u, j.at("chip").at("blocks").get<uint64_t>());

  // A stray change outside the area is listed beside it, a lone page on its
  // own, with its part.
  SetByte(d.dir + "/nand.img", 700, onflash::kCodeAt[1] + onflash::kCodeBytes, 0x00);
  ToolRun stray = Devsim({"diff", d.before, d.dir});
  EXPECT_EQ(1, stray.exit) << stray.All();
  const std::vector<std::string> lines = Lines(stray.out);
  ASSERT_EQ(4u, lines.size()) << stray.All();
  EXPECT_EQ("block 21: page 700 other spare", lines[2]);
  EXPECT_EQ("41 pages differ in 3 blocks: data 40, spare record 34, ECC 40, other spare 1", lines[3]);
}

// The pixels of a PNG, as RGB.
struct Picture {
  uint32_t width = 0, height = 0;
  Bytes rgb;
  const uint8_t* At(uint32_t x, uint32_t y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};
Picture ReadPng(const std::string& path) {
  Picture pic;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    ADD_FAILURE() << path << ": " << image.message;
    return pic;
  }
  image.format = PNG_FORMAT_RGB;
  pic.width = image.width;
  pic.height = image.height;
  pic.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pic.rgb.data(), 0, nullptr))
    ADD_FAILURE() << path << ": " << image.message;
  return pic;
}

TEST(DevsimDiff, TheMapIsInspectsPictureOfBWithTheChangedBlocksFramed) {
  UpdatedDevice d;
  d.Update();
  ToolRun r = Devsim({"diff", d.before, d.dir, "--map", d.t / "diff.png"});
  EXPECT_EQ(1, r.exit) << r.All();
  ASSERT_FALSE(r.out.empty()) << r.All();
  EXPECT_EQ("map: " + d.t / "diff.png" + " (1024 blocks, 2 with a changed page framed)", Lines(r.out).back());
  ASSERT_EQ(0, Devsim({"inspect", d.dir, "--map", d.t / "inspect.png"}).exit);
  const Picture diff = ReadPng(d.t / "diff.png"), inspect = ReadPng(d.t / "inspect.png");
  ASSERT_EQ(inspect.width, diff.width);
  ASSERT_EQ(inspect.height, diff.height);

  // Squares of 6 pixels, 64 a row: every pixel as inspect draws it but the
  // outermost ring of the squares of blocks 2 and 3 and one legend square
  // after inspect's eight (a blank row below the map's 16 rows).
  const uint32_t cell = diff.width / 64;
  auto ring = [&](uint32_t x, uint32_t y, uint32_t col, uint32_t row) {
    const uint32_t x0 = col * cell, y0 = row * cell, x1 = x0 + cell - 2, y1 = y0 + cell - 2;
    return x >= x0 && x <= x1 && y >= y0 && y <= y1 && (x == x0 || x == x1 || y == y0 || y == y1);
  };
  const uint8_t* frame = diff.At(2 * cell, 0);
  for (uint32_t y = 0; y < diff.height; ++y)
    for (uint32_t x = 0; x < diff.width; ++x) {
      const bool framed = ring(x, y, 2, 0) || ring(x, y, 3, 0) || ring(x, y, 16, 1024 / 64 + 1);
      if (framed)
        ASSERT_TRUE(std::equal(frame, frame + 3, diff.At(x, y))) << "frame pixel " << x << "," << y;
      else
        ASSERT_TRUE(std::equal(diff.At(x, y), diff.At(x, y) + 3, inspect.At(x, y))) << "pixel " << x << "," << y;
    }
  EXPECT_FALSE(std::equal(frame, frame + 3, inspect.At(2 * cell, 0))) << "the frame in the block's own colour";

  // A name of no picture form: refused before anything is read.
  ToolRun gif = Devsim({"diff", d.before, d.dir, "--map", d.t / "diff.gif"});
  EXPECT_EQ(2, gif.exit) << gif.All();
  EXPECT_NE(std::string::npos, gif.err.find("FILE.png")) << gif.All();
  EXPECT_FALSE(IsDir(d.t / "diff.gif") || FileSize(d.t / "diff.gif") != ~0ull);
}

// A file of this many bytes that reads as zeros, without taking the room.
void SparseFile(const std::string& path, uint64_t size) {
  WriteBytes(path, Bytes());
  ASSERT_EQ(0, truncate(path.c_str(), off_t(size))) << path;
}

TEST(DevsimDiff, FlashesThatCannotBeComparedExitTwoWithOneLineNamingBoth) {
  TempDir t;
  SparseFile(t / "16.bin", k16MiB);
  SparseFile(t / "32.bin", k32MiB);
  // The large-page chips of the chip table: 2048 blocks of 64 pages of 2048+64.
  SparseFile(t / "large-a.bin", 2048ull * 64 * 2112);
  SparseFile(t / "large-b.bin", 2048ull * 64 * 2112);
  struct Case {
    const char* what;
    std::string a, b;
    const char* why;
  } cases[] = {
      {"chips of other sizes", t / "16.bin", t / "32.bin", "2048 blocks"},
      {"a file that is not there", t / "16.bin", t / "missing.bin", "cannot open"},
      {"the first one not there", t / "missing.bin", t / "16.bin", "cannot open"},
      {"a folder that is no device", t.Path(), t / "16.bin", "no nand.cfg"},
      {"large-page chips", t / "large-a.bin", t / "large-b.bin", "2048+64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolRun r = Devsim({"diff", c.a, c.b});
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_EQ("", r.out);
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(1u, lines.size()) << r.All();
    EXPECT_EQ(0u, lines[0].find("devsim diff: cannot compare " + c.a + " and " + c.b + ": ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(c.why)) << lines[0];
  }
}

}  // namespace
}  // namespace tooltest
