// The SoC's front end: what every process on the device does alike when it
// touches the simulated SoC, over whichever back end its platform has.
//
// Two back ends keep the device a process has attached: the Win32 one maps
// nand.img and soc.state shared by every process of the device under Wine and
// locks the models with a word in soc.state (soc_win32.cpp); the one-process
// one maps them (or memory) into one Linux process whose device processes are
// threads, under a mutex (platform/native/soc_native.cpp). They differ in how
// a device is attached, in the lock, in who makes an access (a process or a
// thread) and in what a power loss or a kill ends. Everything else, the
// register access itself, the raw pages, the record, the clock, the counting
// of a long run of polls, is this one front end.
#ifndef SIM_SOC_FRONT_H
#define SIM_SOC_FRONT_H

#include <cstdint>

#include "sim/soc_model.h"
#include "sim/soc_state.h"

namespace sim {

// The device the calling process has attached.
struct AttachedDevice {
  SocState* state = nullptr;
  SocModel* model = nullptr;
  uint8_t* image = nullptr;
  uint64_t imageBytes = 0;
};

// A platform's back end. Lock and Unlock bracket every use of the models and
// of the raw image; Who is asked outside the lock (it may look at the calling
// thread's mutexes).
class SocBackEnd {
 public:
  // The attached device, attaching on first use when `attach`; nullptr when
  // there is none.
  virtual AttachedDevice* Device(bool attach) = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual Accessor Who(int window, unsigned int offset, bool read) = 0;
  // Every register access, counted into the caller's run of status polls
  // (PollRun): a stand-in told to stop (SocStopInLongWaits) ends in a long
  // one.
  virtual void CountPoll(int window, unsigned int offset, bool read) = 0;
  // The power is gone, or the program under test is killed, at this access:
  // neither returns to the caller.
  virtual void PowerLost() = 0;
  virtual void Killed() = 0;

 protected:
  ~SocBackEnd() {}
};

// Each platform's one back end.
SocBackEnd& BackEnd();

// A run of reads of one status register: a wait on hardware that does not
// answer. Count says when the run has become long, then again every
// kLongWaitPolls polls, which is when a stand-in looks at its stop event.
struct PollRun {
  int window = -1;
  unsigned int offset = 0;
  unsigned int run = 0;
  bool Count(int id, unsigned int at, bool read);
};

}  // namespace sim

#endif
