// The commands of devsim, in the order devsim --help lists them. A new command
// is a file of its own defining its Command (listed in CMakeLists.txt with
// the others), and one line here.
#include "tools/devsim/command.h"

#define DEVSIM_COMMANDS(X) \
  X(kCreateCommand)        \
  X(kInspectCommand)       \
  X(kExtractCommand)       \
  X(kVerifyCommand)        \
  X(kDiffCommand)          \
  X(kFaultCommand)         \
  X(kCardCommand)          \
  X(kRunCommand)           \
  X(kCampaignCommand)

namespace devsim {

#define DEVSIM_DECLARE(command) extern const Command command;
DEVSIM_COMMANDS(DEVSIM_DECLARE)

const std::vector<const Command*>& Commands() {
#define DEVSIM_LIST(command) &command,
  static const std::vector<const Command*> table = {DEVSIM_COMMANDS(DEVSIM_LIST)};
  return table;
}

}  // namespace devsim
