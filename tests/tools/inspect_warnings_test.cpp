// devsim inspect's warnings: what a person must not miss, before the report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/device_record.h"
#include "tests/tools/inspect_support.h"
#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

// The lines a person must not miss come first, on stderr, one each, and in
// the JSON's warnings: an area that does not read back whole, faults and a
// power loss still set, a kill still armed. A fresh device has none; a bare
// dump has only what its flash shows.
TEST(DevsimInspect, WarningsComeFirstOneLineEach) {
  SmallDevice fresh;
  ToolRun quiet = Devsim({"inspect", fresh.dir});
  EXPECT_EQ(0, quiet.exit) << quiet.All();
  EXPECT_EQ("", quiet.err);
  EXPECT_EQ(0u, Items(InspectJson({fresh.dir}).at("warnings")));

  SmallDevice d;
  FlipBit(d.img, 65, 300, 1);  // two bits in one half of area sector 65: uncorrectable
  FlipBit(d.img, 65, 301, 5);
  ToolRun f = Devsim({"fault", d.dir, "--read-flip", "40:0:0", "--stuck-bit", "41:0:0:1", "--power-loss", "100"});
  ASSERT_EQ(0, f.exit) << f.All();
  std::string error;
  ASSERT_TRUE(sim::ResetDeviceRun(d.dir, true, &error, 7)) << error;

  ToolRun r = Devsim({"inspect", d.dir});
  EXPECT_EQ(0, r.exit) << r.All();
  const std::vector<std::string> want = {
      "devsim inspect: warning: the boot area holds 1 uncorrectable sector: the boot loader would not read back whole",
      "devsim inspect: warning: nand.cfg still sets 2 faults (fault.read_flip, fault.stuck_bit): the next run meets "
      "them",
      "devsim inspect: warning: nand.cfg has the power go after 100 chip operations of the next run",
      "devsim inspect: warning: soc.state still ends the program under test after 7 chip operations (devsim run sets "
      "this anew; a program started otherwise meets it)",
  };
  std::string expected;
  for (const std::string& line : want) expected += line + "\n";
  EXPECT_EQ(expected, r.err);
  EXPECT_EQ(0u, r.out.find("device ")) << "the report itself is unchanged on stdout\n" << r.out;

  Json j = InspectJson({d.dir});
  ASSERT_EQ(want.size(), Items(j.at("warnings")));
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(want[i].substr(strlen("devsim inspect: warning: ")), j.at("warnings").at(i).get<std::string>());
  EXPECT_EQ(7, j.at("record").at("killAfterOps").get<int64_t>());
  EXPECT_TRUE(InspectJson({fresh.dir}).at("record").at("killAfterOps").is_null());

  // The same flash as a bare dump: no nand.cfg, no soc.state.
  WriteBytes(d.t / "dump.bin", ReadBytes(d.img));
  ToolRun dump = Devsim({"inspect", d.t / "dump.bin"});
  EXPECT_EQ(0, dump.exit) << dump.All();
  EXPECT_EQ(want[0] + "\n", dump.err);
}

}  // namespace
}  // namespace tooltest
