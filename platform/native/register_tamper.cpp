// A test's change to one register write of the device code (native_soc.h):
// every write the driver makes through WRITE_REGISTER_ULONG passes here on its
// way to the device models, and the armed change turns it into none, one or
// two writes. The writes themselves are made outside the lock, since a write
// may end the calling process (a power loss, a kill).
#include <atomic>
#include <mutex>

#include "platform/native/kernel_internal.h"
#include "platform/native/native_soc.h"
#include "sim/soc.h"

namespace native {
namespace {

std::mutex g_tamperLock;
RegisterTamper g_tamper;  // kind kNone: nothing armed
bool g_held = false;      // a write (held back or inserted) waits for its moment
// Whether anything is armed, read without the lock: a run with nothing armed
// (every run but a register-rule test's) pays no lock for it.
std::atomic<bool> g_armed(false);

struct Write {
  int window;
  unsigned offset;
  unsigned value;
};

void Disarm() {
  g_tamper = RegisterTamper();
  g_held = false;
  g_armed = false;
}

// The writes one write of the device code becomes; returns how many (0-2).
int Apply(const Write& w, Write out[2]) {
  RegisterTamper& t = g_tamper;
  bool changes =
      t.kind == RegisterTamper::kDrop || t.kind == RegisterTamper::kValue || t.kind == RegisterTamper::kAfter;
  if (changes && !g_held && w.window == t.window && w.offset == t.offset) {
    if (t.kind == RegisterTamper::kDrop) {
      Disarm();
      return 0;
    }
    if (t.kind == RegisterTamper::kValue) {
      out[0] = Write{w.window, w.offset, t.value};
      Disarm();
      return 1;
    }
    t.value = w.value;  // kAfter: held back until the later write
    g_held = true;
    return 0;
  }
  out[0] = w;
  if (!g_held || w.window != t.afterWindow || w.offset != t.afterOffset) return 1;
  out[1] = Write{t.window, t.offset, t.value};
  Disarm();
  return 2;
}

}  // namespace

void TamperNextWrite(const RegisterTamper& t) {
  std::lock_guard<std::mutex> g(g_tamperLock);
  Disarm();
  g_tamper = t;
  g_held = t.kind == RegisterTamper::kInsert;
  g_armed = t.kind != RegisterTamper::kNone;
}

bool TamperPending() {
  std::lock_guard<std::mutex> g(g_tamperLock);
  return g_tamper.kind != RegisterTamper::kNone;
}

namespace internal {

void WriteRegister(int window, unsigned offset, unsigned value) {
  if (!g_armed) {
    sim::SocWrite32(window, offset, value);
    return;
  }
  Write out[2];
  int n;
  {
    std::lock_guard<std::mutex> g(g_tamperLock);
    n = Apply(Write{window, offset, value}, out);
  }
  for (int i = 0; i < n; ++i) sim::SocWrite32(out[i].window, out[i].offset, out[i].value);
}

}  // namespace internal
}  // namespace native
