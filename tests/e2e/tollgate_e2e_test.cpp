// The real tollgate under Wine on simulated devices, as the device runs it
// when the card goes in: what it shows, what it starts, what it deletes.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"
#include "tools/run/protocol.h"

namespace e2e {
namespace {

// The refusal as a person reads it, UTF-8.
const char kRefusal[] =
    "\xEB\xB3\xB8 \xEC\xA0\x9C\xED\x92\x88\xEC\x97\x90\xEB\x8A\x94 \xED\x95\xB4\xEB\x8B\xB9 "
    "\xED\x94\x84\xEB\xA1\x9C\xEA\xB7\xB8\xEB\x9E\xA8\xEC\x97\x90 \xEB\x8C\x80\xED\x95\xB4 \n"
    "\xED\x8C\xA8\xEC\xB9\x98\xED\x95\xA0 \xEB\x82\xB4\xEC\x9A\xA9\xEC\x9D\xB4 "
    "\xEC\x97\x86\xEC\x9C\xBC\xEB\xAF\x80\xEB\xA1\x9C \xED\x94\x84\xEB\xA1\x9C\xEA\xB7\xB8\xEB\x9E\xA8 \n"
    "\xEC\x8B\xA4\xED\x96\x89\xEC\x9D\x84 \xEC\xB7\xA8\xEC\x86\x8C\xED\x95\xA9\xEB\x8B\x88\xEB\x8B\xA4.\n";

constexpr uint64_t MB_TOPMOST_FLAG = 0x00040000;

std::vector<const runproto::FileDelete*> Deletions(const devsim::RunResult& r, uint64_t pid) {
  std::vector<const runproto::FileDelete*> out;
  for (const runproto::FileDelete* e : r.All<runproto::FileDelete>())
    if (e->pid == pid) out.push_back(e);
  return out;
}

uint64_t LauncherPid(const devsim::RunResult& r) {
  auto x = r.All<runproto::ProgramExit>();
  return x.empty() ? 0 : x.back()->pid;
}

TEST(TollgateDelivery, RefusesWithTheNavigationProgramWhateverTheAnswer) {
  for (const char* answer : {"ok", "cancel"}) {
    SCOPED_TRACE(answer);
    Device dev({"--fill"});
    dev.PutImage(PseudoRandom(1000, 1));
    dev.PutUpdater();
    WriteFile(dev.dir + "/windows/navorin.exe", Bytes(64, 0x4D));
    Bytes before = dev.Flash();
    devsim::RunOptions opt;
    opt.answer = answer;
    devsim::RunResult r = dev.Run("tollgate", opt);
    ASSERT_TRUE(r.ranToEnd) << Describe(r);
    EXPECT_EQ(0u, r.exitCode);
    auto msgs = r.All<runproto::MessageBoxCall>();
    ASSERT_EQ(1u, msgs.size()) << Describe(r);
    EXPECT_EQ(kRefusal, msgs[0]->text);
    EXPECT_EQ("Tollgate", msgs[0]->caption);
    EXPECT_EQ(0x00050031u, msgs[0]->type) << "OK/Cancel, exclamation, foreground, topmost";
    EXPECT_EQ(0u, msgs[0]->owner);
    auto seen = r.All<runproto::BoxSeen>();
    ASSERT_EQ(1u, seen.size()) << Describe(r);
    EXPECT_EQ((std::vector<std::string>{"OK", "Cancel"}), seen[0]->buttons);
    EXPECT_TRUE(seen[0]->foreground);
    EXPECT_TRUE(seen[0]->icon) << "the exclamation icon";
    // Wine's message box does not give its window the topmost style; what
    // the launcher asked for is in the type flags checked above.
    EXPECT_TRUE(msgs[0]->type & MB_TOPMOST_FLAG);
    EXPECT_TRUE(r.All<runproto::ProcessStart>().empty()) << "nothing started";
    EXPECT_TRUE(r.All<runproto::FileDelete>().empty()) << "nothing deleted";
    EXPECT_TRUE(dev.OnCard("Kestrel.exe"));
    EXPECT_TRUE(dev.OnCard("EBOOT.NB0"));
    EXPECT_EQ(before, dev.Flash());
  }
}

TEST(TollgateDelivery, WithoutTheUpdaterSixStartsThenOnlyTheImageGoes) {
  Device dev({"--fill"});
  dev.PutImage(PseudoRandom(1000, 2));
  devsim::RunResult r = dev.Run("tollgate");
  ASSERT_TRUE(r.ranToEnd) << Describe(r);
  EXPECT_EQ(0u, r.exitCode);
  EXPECT_TRUE(r.All<runproto::MessageBoxCall>().empty());
  auto starts = r.All<runproto::ProcessStart>();
  ASSERT_EQ(6u, starts.size()) << Describe(r);
  for (const runproto::ProcessStart* p : starts) {
    EXPECT_EQ("\\sdmmc disk\\Kestrel.exe", p->app);
    EXPECT_FALSE(p->ok);
  }
  auto del = Deletions(r, LauncherPid(r));
  ASSERT_EQ(1u, del.size()) << Describe(r);
  EXPECT_EQ("\\SDMMC Disk\\Eboot.nb0", del[0]->path);
  EXPECT_TRUE(del[0]->ok);
  EXPECT_FALSE(dev.OnCard("EBOOT.NB0"));
}

TEST(TollgateDelivery, NormalRunUpdatesThenDeletesUpdaterBeforeImage) {
  Device dev({"--fill"});
  Bytes image = PseudoRandom(5000, 3);
  dev.PutImage(image);
  dev.PutUpdater();
  devsim::RunResult r = dev.Run("tollgate");
  ASSERT_TRUE(r.ranToEnd) << Describe(r);
  EXPECT_EQ(0u, r.exitCode);
  auto starts = r.All<runproto::ProcessStart>();
  ASSERT_EQ(1u, starts.size()) << Describe(r);
  EXPECT_TRUE(starts[0]->ok);
  uint64_t updater = starts[0]->child;
  auto msgs = r.All<runproto::MessageBoxCall>();
  ASSERT_EQ(1u, msgs.size()) << Describe(r);
  EXPECT_EQ(updater, msgs[0]->pid);
  EXPECT_EQ("Bootloader update finished! ", msgs[0]->text);
  auto del = Deletions(r, LauncherPid(r));
  ASSERT_EQ(2u, del.size()) << Describe(r);
  EXPECT_EQ("\\SDMMC Disk\\Kestrel.exe", del[0]->path);
  EXPECT_EQ("\\SDMMC Disk\\Eboot.nb0", del[1]->path);
  EXPECT_TRUE(del[0]->ok && del[1]->ok) << Describe(r);
  bool closed = false;
  for (const runproto::ProcessClose* c : r.All<runproto::ProcessClose>())
    closed |= c->pid == LauncherPid(r) && c->process == updater;
  EXPECT_TRUE(closed) << "the launcher closes the updater's process handle\n" << Describe(r);
  // The deletions come after the updater's message was answered.
  size_t answered = 0, firstDelete = 0;
  for (size_t i = 0; i < r.events.size(); ++i) {
    if (std::holds_alternative<runproto::MessageBoxAnswer>(r.events[i]) && !answered) answered = i;
    if (std::holds_alternative<runproto::FileDelete>(r.events[i]) && !firstDelete) firstDelete = i;
  }
  EXPECT_LT(answered, firstDelete);
  EXPECT_FALSE(dev.OnCard("Kestrel.exe"));
  EXPECT_FALSE(dev.OnCard("EBOOT.NB0"));
  TempFile expected(image);
  std::string out;
  EXPECT_EQ(0, Devsim({"verify", dev.dir, expected.path}, &out)) << out;
}

// A kill after N chip operations ends the whole delivery, launcher and
// updater at once: nothing is deleted from the card, the updater dies holding
// the bus, and a second delivery from the same card completes.
TEST(TollgateDelivery, KilledMidWriteTheCardKeepsItsFilesForTheNextDelivery) {
  Device dev({"--fill"});
  Bytes image = PseudoRandom(20000, 8);
  dev.PutImage(image);
  dev.PutUpdater();
  devsim::RunOptions opt;
  opt.killAfterOps = 40;
  devsim::RunResult r = dev.Run("tollgate", opt);
  ASSERT_TRUE(r.ranToEnd) << Describe(r);
  EXPECT_EQ(runproto::kExitKilled, r.exitCode) << "the launcher goes with the updater\n" << Describe(r);
  EXPECT_TRUE(r.All<runproto::FileDelete>().empty()) << Describe(r);
  EXPECT_TRUE(r.All<runproto::MessageBoxCall>().empty()) << Describe(r);
  const runproto::SysdrvReport* sysdrv = r.Last<runproto::SysdrvReport>();
  ASSERT_NE(nullptr, sysdrv) << Describe(r);
  EXPECT_EQ(1u, sysdrv->abandoned);
  EXPECT_TRUE(dev.OnCard("Kestrel.exe"));
  EXPECT_TRUE(dev.OnCard("EBOOT.NB0"));

  devsim::RunResult again = dev.Run("tollgate");
  ASSERT_TRUE(again.ranToEnd) << Describe(again);
  const runproto::MessageBoxCall* m = LastMessage(again);
  ASSERT_NE(nullptr, m) << Describe(again);
  EXPECT_EQ("Bootloader update finished! ", m->text);
  TempFile expected(image);
  std::string out;
  EXPECT_EQ(0, Devsim({"verify", dev.dir, expected.path}, &out)) << out;
}

// Slow by nature: the launcher waits its full 99 polls of 500 ms.
TEST(TollgateDeliverySlow, UpdaterStillRunningAfterTheLastPollKeepsItsFiles) {
  Device dev({"--fill"});
  dev.PutImage(PseudoRandom(1000, 4));
  dev.PutUpdater();
  devsim::RunOptions opt;
  opt.answer = "none";  // the updater's closing message stays up
  opt.timeoutSeconds = 120;
  devsim::RunResult r = dev.Run("tollgate", opt);
  ASSERT_TRUE(r.ranToEnd) << Describe(r);
  EXPECT_EQ(0u, r.exitCode);
  auto del = Deletions(r, LauncherPid(r));
  ASSERT_EQ(1u, del.size()) << Describe(r);
  EXPECT_EQ("\\SDMMC Disk\\Eboot.nb0", del[0]->path);
  EXPECT_FALSE(del[0]->ok) << "the updater holds the image open, unshared";
  EXPECT_EQ(32u, del[0]->error);
  EXPECT_TRUE(dev.OnCard("Kestrel.exe"));
  EXPECT_TRUE(dev.OnCard("EBOOT.NB0"));
}

}  // namespace
}  // namespace e2e
