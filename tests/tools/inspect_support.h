// What the tests of devsim inspect share: its JSON report read back, and a
// small device to inspect.
#ifndef TESTS_TOOLS_INSPECT_SUPPORT_H
#define TESTS_TOOLS_INSPECT_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test_support.h"

namespace tooltest {

using Json = nlohmann::json;

// The --json report of devsim inspect; text that does not parse fails the test.
inline Json InspectJson(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"inspect"};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("--json");
  ToolRun r = Devsim(all);
  EXPECT_EQ(0, r.exit) << r.All();
  try {
    return Json::parse(r.out);
  } catch (const Json::parse_error& e) {
    ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out;
    return Json();
  }
}

// The number of items of a JSON array; anything else fails the test.
inline size_t Items(const Json& v) {
  EXPECT_TRUE(v.is_array()) << v;
  return v.is_array() ? v.size() : 0;
}

// The area's not-clean entry of this index, or null.
inline const Json& Entry(const Json& area, int64_t index) {
  static const Json kNone;
  for (const Json& e : area.at("notClean"))
    if (e.at("index").get<int64_t>() == index) return e;
  return kNone;
}

// A 16 MiB device, TOC at block 1, area at block 2 holding a 4-sector image.
struct SmallDevice {
  TempDir t;
  std::string dir = t / "dev";
  std::string img = dir + "/nand.img";
  SmallDevice(const std::vector<std::string>& extra = {}) {
    WriteBytes(t / "eboot.nb0", PseudoRandom(4 * 512, 5));
    std::vector<std::string> args = {"create", dir, "--chip", "ec:73", "--boot-image", t / "eboot.nb0"};
    args.insert(args.end(), extra.begin(), extra.end());
    ToolRun r = Devsim(args);
    EXPECT_EQ(0, r.exit) << r.All();
  }
};

}  // namespace tooltest

#endif
