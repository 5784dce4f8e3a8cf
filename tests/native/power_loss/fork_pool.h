// Worker processes for the sweeps of the native target: each point of a
// sweep runs in a child forked from the harness, which shares the flash
// before the update copy-on-write, and writes its outcome into memory shared
// with the harness.
#ifndef TESTS_NATIVE_POWER_LOSS_FORK_POOL_H
#define TESTS_NATIVE_POWER_LOSS_FORK_POOL_H

#include <sys/mman.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace powerloss {

// n records in memory that the harness and its children share (zeroed).
template <class T>
T* SharedArray(size_t n) {
  void* p = mmap(NULL, sizeof(T) * (n ? n : 1), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<T*>(p);
}
template <class T>
void FreeSharedArray(T* p, size_t n) {
  if (p) munmap(p, sizeof(T) * (n ? n : 1));
}

// A child ends with _exit (its updater threads stay parked), which skips the
// gcov runtime's writing of the counters in a coverage build
// (scripts/coverage.sh): EndChild writes them first.
[[noreturn]] void EndChild(int code);

// Runs work(i) for i in [0, count) in child processes, `jobs` at a time. A
// child that does not end normally (exit code 0 or `okExit`) is described in
// (*ended)[i]; the last child's wait status goes to *lastStatus.
void RunInChildren(size_t count, int jobs, const std::function<void(size_t)>& work,
                   std::map<size_t, std::string>* ended, int* lastStatus = nullptr, int okExit = 0);

}  // namespace powerloss

#endif
