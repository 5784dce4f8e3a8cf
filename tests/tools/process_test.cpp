// The host side's one way to start a program: argument vectors taken as they
// are, a working folder per child with no chdir of the caller (two children
// started at once from two threads each get their own), captured output, and
// a time-out that ends the child and what it started.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

#include "tests/tools/tool_test_support.h"
#include "tools/run/process.h"

namespace {

using tooltest::TempDir;

hostproc::Result Sh(const std::string& script, hostproc::Spec spec = hostproc::Spec()) {
  spec.argv = {"/bin/sh", "-c", script, "sh"};
  return hostproc::Run(spec);
}

std::string RealPath(const std::string& p) {
  char buf[4096];
  return realpath(p.c_str(), buf) ? buf : p;
}

std::string Cwd() {
  char buf[4096];
  return getcwd(buf, sizeof(buf)) ? buf : "";
}

TEST(HostProcess, ArgumentsReachTheChildAsGivenAndItsStreamsComeBackApart) {
  hostproc::Spec spec;
  // A blank, a quote, a dollar and a semicolon are not the shell's: each is one argument.
  spec.argv = {"printf", "[%s]\\n", "a b", "it's", "$HOME;ls", ""};
  hostproc::Result r = hostproc::Run(spec);
  ASSERT_TRUE(r.Exited(0)) << r.Describe() << r.err;
  EXPECT_EQ("[a b]\n[it's]\n[$HOME;ls]\n[]\n", r.out);

  r = Sh("echo out; echo err >&2; exit 3");
  EXPECT_TRUE(r.Exited(3)) << r.Describe();
  EXPECT_EQ("out\n", r.out);
  EXPECT_EQ("err\n", r.err);

  spec = hostproc::Spec();
  spec.mergeErr = true;
  r = Sh("echo one; echo two >&2; echo three", spec);
  EXPECT_EQ("one\ntwo\nthree\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(HostProcess, InputAndEnvironmentAreTheChildsOwn) {
  TempDir t;
  std::ofstream(t / "in") << "from the file\n";
  hostproc::Spec spec;
  spec.input = t / "in";
  spec.env = std::vector<std::string>{"ONLY=this"};
  hostproc::Result r = Sh("cat; echo \"$ONLY ${HOME:-no home}\"", spec);
  ASSERT_TRUE(r.Exited(0)) << r.Describe() << r.err;
  EXPECT_EQ("from the file\nthis no home\n", r.out);

  // By default the input is empty and the environment the caller's.
  setenv("HOSTPROC_TEST_VALUE", "inherited", 1);
  r = Sh("cat; echo \"$HOSTPROC_TEST_VALUE\"");
  EXPECT_EQ("inherited\n", r.out);
}

TEST(HostProcess, EachChildStartsInItsOwnFolderAndTheCallersStaysPut) {
  TempDir a, b;
  const std::string before = Cwd();
  std::string outA, outB;
  // Started side by side: a chdir around the start would let one child take
  // the other's folder now and then; a folder set in the child cannot.
  auto run = [](const std::string& dir, std::string* out) {
    for (int i = 0; i < 20; ++i) {
      hostproc::Spec spec;
      spec.argv = {"pwd", "-P"};
      spec.workDir = dir;
      hostproc::Result r = hostproc::Run(spec);
      *out += r.out;
    }
  };
  std::thread ta(run, a.Path(), &outA), tb(run, b.Path(), &outB);
  ta.join();
  tb.join();
  std::string wantA, wantB;
  for (int i = 0; i < 20; ++i) {
    wantA += RealPath(a.Path()) + "\n";
    wantB += RealPath(b.Path()) + "\n";
  }
  EXPECT_EQ(wantA, outA);
  EXPECT_EQ(wantB, outB);
  EXPECT_EQ(before, Cwd());

  hostproc::Spec spec;
  spec.argv = {"pwd"};
  spec.workDir = a / "no such folder";
  hostproc::Result r = hostproc::Run(spec);
  EXPECT_FALSE(r.started);
  EXPECT_NE(std::string::npos, r.error.find("No such file")) << r.error;
}

TEST(HostProcess, AProgramThatIsNotThereIsNotStarted) {
  hostproc::Spec spec;
  spec.argv = {"/no/such/program", "x"};
  hostproc::Result r = hostproc::Run(spec);
  EXPECT_FALSE(r.started);
  EXPECT_EQ("not started: /no/such/program: No such file or directory", r.Describe());
  EXPECT_FALSE(r.Ended());
  spec.argv.clear();
  EXPECT_FALSE(hostproc::Run(spec).started);
}

// A process gone, or left as a zombie for its new parent to collect.
bool Gone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && text.compare(close + 2, 1, "Z") == 0;
}

TEST(HostProcess, ATimeOutEndsTheChildAndWhatItStarted) {
  // The child never ends by itself, so the time-out is the only way out.
  hostproc::Spec spec;
  spec.timeoutSeconds = 0.3;
  int ticks = 0;
  spec.onTick = [&ticks] { ++ticks; };
  spec.tickMs = 5;
  hostproc::Result r = Sh("sleep infinity & echo $!; wait", spec);
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.timedOut);
  EXPECT_FALSE(r.Ended());
  EXPECT_EQ("timed out", r.Describe());
  EXPECT_GT(ticks, 0) << "the caller is called while it waits";
  pid_t grandchild = pid_t(atol(r.out.c_str()));
  ASSERT_GT(grandchild, 0) << r.out;
  bool gone = false;
  for (int i = 0; i < 500 && !(gone = Gone(grandchild)); ++i) usleep(10000);
  EXPECT_TRUE(gone) << "the child's own child " << grandchild << " still runs";

  // A child that dies of a signal says which.
  r = Sh("kill -SEGV $$");
  EXPECT_EQ(SIGSEGV, r.signal);
  EXPECT_FALSE(r.Ended());
  EXPECT_EQ(0u, r.Describe().find("signal 11")) << r.Describe();
}

}  // namespace
