// devsim inspect --map FILE.svg and devsim diff --map FILE.svg: the map that
// explains itself. The document is read back with an XML parser (expat), so
// a document a browser would refuse fails here first; what is judged is what
// a person sees: the squares and their hover titles, the words beside them,
// the legend, the strip of pages.
#include <expat.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

struct Element {
  std::string name, text;
  std::map<std::string, std::string> attrs;
  std::deque<Element> children;  // references stay valid as they grow
  std::string Attr(const std::string& key) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? "" : it->second;
  }
  // The text of the <title> child ("" without one).
  std::string Title() const {
    for (const Element& c : children)
      if (c.name == "title") return c.text;
    return "";
  }
};

// The document as a tree; fails the test (and returns false) when it is not
// well-formed XML or its root is not an SVG.
bool ParseSvg(const std::string& doc, Element* root) {
  struct State {
    Element* root;
    std::vector<Element*> open;
  } st{root, {}};
  XML_Parser p = XML_ParserCreate("UTF-8");
  XML_SetUserData(p, &st);
  XML_SetElementHandler(
      p,
      [](void* u, const XML_Char* name, const XML_Char** atts) {
        State& s = *static_cast<State*>(u);
        Element* e = s.open.empty() ? s.root : &s.open.back()->children.emplace_back();
        e->name = name;
        for (size_t i = 0; atts[i]; i += 2) e->attrs[atts[i]] = atts[i + 1];
        s.open.push_back(e);
      },
      [](void* u, const XML_Char*) { static_cast<State*>(u)->open.pop_back(); });
  XML_SetCharacterDataHandler(p, [](void* u, const XML_Char* text, int n) {
    State& s = *static_cast<State*>(u);
    if (!s.open.empty()) s.open.back()->text.append(text, size_t(n));
  });
  const bool ok = XML_Parse(p, doc.data(), int(doc.size()), 1) == XML_STATUS_OK;
  if (!ok)
    ADD_FAILURE() << "not well-formed XML: " << XML_ErrorString(XML_GetErrorCode(p)) << " at line "
                  << XML_GetCurrentLineNumber(p);
  XML_ParserFree(p);
  if (ok && root->name != "svg") ADD_FAILURE() << "root element " << root->name;
  return ok && root->name == "svg";
}

// Every element below e (e included) that has the class cls, in document order.
std::vector<const Element*> WithClass(const Element& e, const std::string& cls) {
  std::vector<const Element*> out;
  std::function<void(const Element&)> walk = [&](const Element& x) {
    if (x.Attr("class") == cls) out.push_back(&x);
    for (const Element& c : x.children) walk(c);
  };
  walk(e);
  return out;
}

// The legend words and their colours (fill; the framed square by its stroke).
struct LegendEntry {
  std::string words, fill, stroke;
};
std::vector<LegendEntry> LegendAfter(const Element& svg, const std::string& heading) {
  std::vector<LegendEntry> out;
  bool inside = false;
  const Element* square = nullptr;
  for (const Element& c : svg.children) {
    if (c.Attr("class") == "legend-heading") inside = c.text == heading;
    if (!inside) continue;
    if (c.Attr("class") == "legend-square") square = &c;
    if (c.Attr("class") == "legend" && square) out.push_back({c.text, square->Attr("fill"), square->Attr("stroke")});
  }
  return out;
}

std::string FillOfWords(const std::vector<LegendEntry>& legend, const std::string& words) {
  for (const LegendEntry& l : legend)
    if (l.words == words) return l.fill;
  ADD_FAILURE() << "no legend entry \"" << words << "\"";
  return "?";
}

// The words of a block's kind as its hover title gives them ("block 7: erased; ..." -> "erased").
std::string KindOf(const std::string& title) {
  const size_t colon = title.find(": ");
  return title.substr(colon + 2,
                      title.find(';') == std::string::npos ? std::string::npos : title.find(';') - colon - 2);
}

struct SvgMap {
  std::string doc;
  Element root;
  bool ok = false;
};
SvgMap InspectSvg(const std::string& source, const std::string& path) {
  SvgMap m;
  ToolRun r = Devsim({"inspect", source, "--map", path});
  EXPECT_EQ(0, r.exit) << r.All();
  EXPECT_EQ("map: " + path + " (1024 blocks)\n", r.out);
  m.doc = ReadText(path);
  m.ok = ParseSvg(m.doc, &m.root);
  return m;
}

// A 16 MiB device (1024 blocks, 32 pages each): TOC at block 1, a 40-sector
// boot loader in the two-block area at 2-3, factory bad blocks, data in
// block 8 only.
struct SvgDevice {
  TempDir t;
  std::string dir = t / "dev";
  std::string img = dir + "/nand.img";
  explicit SvgDevice(const std::string& badBlocks = "6") {
    WriteBytes(t / "eboot.nb0", PseudoRandom(40 * 512, 9));
    ToolRun r = Devsim({"create", dir, "--chip", "ec:73", "--boot-sectors", "64", "--boot-image", t / "eboot.nb0",
                        "--bad-blocks", badBlocks});
    EXPECT_EQ(0, r.exit) << r.All();
    WritePage(img, 8 * 32 + 3, Bytes(528, 0x5A));
  }
};

TEST(DevsimSvgMap, EveryBlockHasOneSquareNamingItsNumberAndKindInTheLegendsWordsAndColour) {
  SvgDevice d;
  SvgMap m = InspectSvg(d.dir, d.t / "map.svg");
  ASSERT_TRUE(m.ok) << m.doc;
  const std::vector<LegendEntry> legend = LegendAfter(m.root, "Blocks:");
  ASSERT_EQ(8u, legend.size()) << "a word for each kind, no frame on inspect's map";

  // What the device holds, stated from how it was made.
  auto expected = [](uint32_t b) -> std::string {
    switch (b) {
      case 1:
        return "TOC";
      case 2:
      case 3:
        return "boot area, written";
      case 6:
        return "factory bad";
      case 8:
        return "other data";
    }
    return "erased";
  };
  const std::vector<const Element*> blocks = WithClass(m.root, "block");
  ASSERT_EQ(1024u, blocks.size());
  std::map<std::string, int> seen;  // x,y of each square: one square a cell
  for (uint32_t b = 0; b < blocks.size(); ++b) {
    const Element& e = *blocks[b];
    const std::string title = e.Title();
    ASSERT_EQ(0u, title.find("block " + std::to_string(b) + ": ")) << title;
    EXPECT_EQ(expected(b), KindOf(title)) << title;
    EXPECT_EQ(FillOfWords(legend, KindOf(title)), e.Attr("fill")) << title;
    EXPECT_EQ(std::to_string(b), e.Attr("data-block"));
    // 64 a row: the same column every 64 blocks, the next row below.
    if (b >= 64) {
      const Element& above = *blocks[b - 64];
      EXPECT_EQ(std::stod(above.Attr("x")), std::stod(e.Attr("x"))) << title;
      EXPECT_LT(std::stod(above.Attr("y")), std::stod(e.Attr("y"))) << title;
    }
    EXPECT_EQ(1, ++seen[e.Attr("x") + "," + e.Attr("y")]) << title;
  }
  // The area's blocks count their sectors: 40 written of 64.
  EXPECT_EQ("block 2: boot area, written; sectors: 32 written, 0 erased, 0 corrected, 0 uncorrectable",
            blocks[2]->Title());
  EXPECT_EQ("block 3: boot area, written; sectors: 8 written, 24 erased, 0 corrected, 0 uncorrectable",
            blocks[3]->Title());
  EXPECT_EQ("block 8: other data", blocks[8]->Title()) << "no sectors outside the area";

  // Row numbers: the first block of each of the 16 rows.
  const std::vector<const Element*> rows = WithClass(m.root, "row-number");
  ASSERT_EQ(16u, rows.size());
  for (size_t r = 0; r < rows.size(); ++r) EXPECT_EQ(std::to_string(r * 64), rows[r]->text);

  // The title names the chip and the area, in the picture and as the document's.
  const std::vector<const Element*> title = WithClass(m.root, "title");
  ASSERT_EQ(1u, title.size());
  for (const char* part :
       {"ec:73", "16 MiB", "1024 blocks", "boot area at block 2, 64 sectors (blocks 2-3)", "TOC at block 1"})
    EXPECT_NE(std::string::npos, title[0]->text.find(part)) << title[0]->text;
  EXPECT_EQ(title[0]->text, m.root.Title());
}

// All the labels beside the grid, as one text.
std::string Labels(const Element& svg) {
  std::string all;
  for (const Element* e : WithClass(svg, "label")) all += e->text + "\n";
  return all;
}

TEST(DevsimSvgMap, TheTocTheAreasEndsAndTheBadBlocksAreNamedByNumber) {
  {
    SvgDevice d("6,70");
    SvgMap m = InspectSvg(d.dir, d.t / "map.svg");
    ASSERT_TRUE(m.ok);
    const std::string labels = Labels(m.root);
    for (const char* name : {"1 TOC", "2 boot area, first block", "3 boot area, last block", "6 factory bad"})
      EXPECT_NE(std::string::npos, labels.find(name)) << name << " in\n" << labels;
    // Each row names its own blocks: 70 lies in the second row.
    const std::vector<const Element*> rows = WithClass(m.root, "label");
    ASSERT_EQ(2u, rows.size()) << labels;
    EXPECT_EQ(std::string::npos, rows[0]->text.find("70 ")) << labels;
    EXPECT_NE(std::string::npos, rows[1]->text.find("70 factory bad")) << labels;
    EXPECT_EQ(5u, WithClass(m.root, "label-outline").size()) << "the TOC, the area's two ends, two bad blocks";
  }
  {
    // Nine bad blocks: six named, three counted.
    SvgDevice d("10,20,30,40,50,60,600,700,800");
    SvgMap m = InspectSvg(d.dir, d.t / "map.svg");
    ASSERT_TRUE(m.ok);
    const std::string labels = Labels(m.root);
    for (const char* name : {"10 factory bad", "60 factory bad"})
      EXPECT_NE(std::string::npos, labels.find(name)) << name << " in\n" << labels;
    EXPECT_EQ(std::string::npos, labels.find("600 factory bad")) << labels;
    EXPECT_NE(std::string::npos, labels.find("and 3 more")) << labels;
  }
}

// The strip's pages, by block and page.
std::map<std::pair<uint32_t, uint32_t>, const Element*> StripPages(const Element& svg) {
  std::map<std::pair<uint32_t, uint32_t>, const Element*> pages;
  for (const Element* e : WithClass(svg, "page")) {
    unsigned b = 0, p = 0, s = 0;
    const std::string title = e->Title();
    EXPECT_EQ(3, sscanf(title.c_str(), "block %u page %u (sector %u)", &b, &p, &s)) << title;
    EXPECT_EQ(b * 32 + p, s) << title;
    EXPECT_TRUE(pages.emplace(std::make_pair(b, p), e).second) << "twice: " << title;
  }
  return pages;
}

TEST(DevsimSvgMap, TheStripShowsTheBlocksAroundTheTocAndTheAreaPageByPage) {
  SvgDevice d;
  // A corrected sector (one data bit) and a wrong spare record (the record's
  // 0xfc byte changed, data and codes intact) in block 2, an uncorrectable one
  // (two bits in one ECC half) in block 3.
  FlipBit(d.img, 2 * 32 + 5, 100, 3);
  FlipBit(d.img, 3 * 32 + 1, 10, 0);
  FlipBit(d.img, 3 * 32 + 1, 20, 5);
  SetByte(d.img, 2 * 32 + 7, 512 + 4, 0x00);
  SvgMap m = InspectSvg(d.dir, d.t / "map.svg");
  ASSERT_TRUE(m.ok) << m.doc;
  const std::vector<LegendEntry> pageLegend = LegendAfter(m.root, "Pages:");
  ASSERT_EQ(8u, pageLegend.size());

  // Blocks 0 to 3 + 4, every page once.
  const auto pages = StripPages(m.root);
  ASSERT_EQ(8u * 32, pages.size());
  EXPECT_EQ(pages.begin()->first, std::make_pair(0u, 0u));
  EXPECT_EQ(pages.rbegin()->first, std::make_pair(7u, 31u));
  auto kind = [&](uint32_t b, uint32_t p) {
    const Element* e = pages.at({b, p});
    const std::string words = e->Title().substr(e->Title().find("): ") + 3);
    EXPECT_EQ(FillOfWords(pageLegend, words), e->Attr("fill")) << e->Title();
    return words;
  };
  for (uint32_t p = 0; p < 32; ++p) {
    SCOPED_TRACE("page " + std::to_string(p));
    EXPECT_EQ(p == 0 ? "TOC block, written" : "erased", kind(1, p));
    const char* second = p == 5   ? "boot area, corrected"
                         : p == 7 ? "boot area, wrong spare record"
                                  : "boot area, clean";
    EXPECT_EQ(second, kind(2, p));
    const char* third = p == 1 ? "boot area, uncorrectable" : p < 8 ? "boot area, clean" : "boot area, erased";
    EXPECT_EQ(third, kind(3, p));
    EXPECT_EQ("erased", kind(4, p));
    EXPECT_EQ(p == 0 || p == 1 ? "data outside the boot area" : "erased", kind(6, p)) << "the bad block's marks";
  }
  std::vector<std::string> numbers;
  for (const Element* e : WithClass(m.root, "strip-block-number")) numbers.push_back(e->text);
  EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}), numbers);

  // The blocks' titles count the same sectors; a wrong record alone makes
  // its block as unusable as an uncorrectable sector.
  const std::vector<const Element*> blocks = WithClass(m.root, "block");
  EXPECT_EQ(
      "block 2: boot area, a sector uncorrectable or with a wrong record; sectors: 32 written, 0 erased, 1 corrected, "
      "0 uncorrectable, 1 with a wrong spare record",
      blocks[2]->Title());
  EXPECT_EQ(
      "block 3: boot area, a sector uncorrectable or with a wrong record; sectors: 8 written, 24 erased, 0 corrected, "
      "1 uncorrectable",
      blocks[3]->Title());
}

TEST(DevsimSvgMap, TheStripIsThereExactlyWhenTheChipIsLargerThanTheNeighbourhood) {
  // 1024 blocks, the TOC at 90. An area of 640 sectors at 1000 ends at block
  // 1019, four before the chip's last: blocks 996 to 1023 are all there is
  // around it. One of 600 sectors (the last of its 19 blocks holding 24 of
  // them) leaves block 1023 out.
  TempDir t;
  const struct Case {
    const char* sectors;
    bool strip;
  } cases[] = {{"640", false}, {"600", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("sectors ") + c.sectors);
    ToolRun r = Devsim({"create", t / "dev", "--force", "--chip", "ec:73", "--toc-block", "90", "--boot-block", "1000",
                        "--boot-sectors", c.sectors});
    ASSERT_EQ(0, r.exit) << r.All();
    SvgMap m = InspectSvg(t / "dev", t / "map.svg");
    ASSERT_TRUE(m.ok);
    const auto pages = StripPages(m.root);
    EXPECT_EQ(c.strip, !pages.empty());
    EXPECT_EQ(c.strip, !WithClass(m.root, "strip-heading").empty());
    if (!c.strip) continue;
    // From four before the TOC to four after the area's last block.
    EXPECT_EQ(pages.begin()->first, std::make_pair(86u, 0u));
    EXPECT_EQ(pages.rbegin()->first, std::make_pair(1022u, 31u));
    EXPECT_EQ((1022u - 86 + 1) * 32, pages.size());

    // The bar over the area's sectors, 32000 to 32599, block by block; over
    // the last block its first 24 pages.
    uint32_t next = 1000 * 32;
    for (const Element* bar : WithClass(m.root, "area-bar")) {
      unsigned first = 0, last = 0;
      ASSERT_EQ(2, sscanf(bar->Title().c_str(), "boot area: sectors %u-%u", &first, &last)) << bar->Title();
      EXPECT_EQ(next, first);
      next = last + 1;
      const Element& from = *pages.at({first / 32, first % 32});
      const Element& to = *pages.at({last / 32, last % 32});
      EXPECT_EQ(std::stod(from.Attr("x")), std::stod(bar->Attr("x"))) << bar->Title();
      EXPECT_EQ(std::stod(to.Attr("x")) + std::stod(to.Attr("width")),
                std::stod(bar->Attr("x")) + std::stod(bar->Attr("width")))
          << bar->Title();
    }
    EXPECT_EQ(1000u * 32 + 600, next);
  }
  // Without a TOC there is nothing to zoom in on, and no area to name.
  ASSERT_EQ(0, Devsim({"create", t / "dev", "--force", "--chip", "ec:73", "--no-toc"}).exit);
  SvgMap m = InspectSvg(t / "dev", t / "map.svg");
  ASSERT_TRUE(m.ok);
  EXPECT_TRUE(StripPages(m.root).empty());
  EXPECT_NE(std::string::npos, m.root.Title().find("no boot area")) << m.root.Title();
}

TEST(DevsimSvgMap, DiffFramesTheBlocksWithAChangedPageAndSaysSoInTheLegend) {
  TempDir t;
  WriteBytes(t / "old.nb0", PseudoRandom(6 * 512, 61));
  WriteBytes(t / "new.nb0", PseudoRandom(40 * 512 - 7, 62));
  ASSERT_EQ(0, Devsim({"create", t / "dev", "--chip", "ec:73", "--fill", "--boot-image", t / "old.nb0"}).exit);
  WriteBytes(t / "before.bin", ReadBytes(t / "dev/nand.img"));
  ASSERT_EQ(0,
            Devsim({"create", t / "dev", "--force", "--chip", "ec:73", "--fill", "--boot-image", t / "new.nb0"}).exit);
  ToolRun r = Devsim({"diff", t / "before.bin", t / "dev", "--map", t / "diff.svg"});
  ASSERT_EQ(1, r.exit) << r.All();
  Element svg;
  ASSERT_TRUE(ParseSvg(ReadText(t / "diff.svg"), &svg));

  // The blocks with a page that differs, found here byte by byte.
  const Bytes a = ReadBytes(t / "before.bin"), b = ReadBytes(t / "dev/nand.img");
  ASSERT_EQ(a.size(), b.size());
  std::vector<bool> changed(1024, false);
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) changed[i / kPage / 32] = true;
  ASSERT_EQ(2, std::count(changed.begin(), changed.end(), true)) << "the image's 40 sectors in blocks 2 and 3";

  const std::vector<LegendEntry> legend = LegendAfter(svg, "Blocks:");
  ASSERT_EQ(9u, legend.size());
  EXPECT_EQ("framed: a page changed", legend.back().words);
  const std::string frame = legend.back().stroke;
  ASSERT_FALSE(frame.empty());
  for (size_t i = 0; i + 1 < legend.size(); ++i) EXPECT_NE(frame, legend[i].fill) << "a frame in a kind's colour";
  const std::vector<const Element*> blocks = WithClass(svg, "block");
  ASSERT_EQ(1024u, blocks.size());
  for (uint32_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(blocks[i]->Title());
    EXPECT_EQ(changed[i] ? frame : "", blocks[i]->Attr("stroke"));
    EXPECT_EQ(changed[i], blocks[i]->Title().find("framed: a page changed") != std::string::npos);
  }
}

TEST(DevsimSvgMap, ANameOfNoFormIsRefusedNamingTheForms) {
  SvgDevice d;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"inspect", d.dir, "--map", d.t / "map.gif"},
        std::vector<std::string>{"diff", d.dir, d.dir, "--map", d.t / "map.gif"}}) {
    ToolRun r = Devsim(args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find("FILE.png or FILE.svg")) << r.All();
  }
  EXPECT_EQ(2, Devsim({"inspect", d.dir, "--map", "/nonexistent-dir/map.svg"}).exit);
}

}  // namespace
}  // namespace tooltest
