// The subcommands of devsim. A new subcommand is a file of its own defining
// its Command, and one line here.
#include "tools/devsim/command.h"

namespace devsim {

extern const Command kCreateCommand;
extern const Command kInspectCommand;
extern const Command kExtractCommand;
extern const Command kVerifyCommand;
extern const Command kFaultCommand;
extern const Command kCardCommand;
extern const Command kRunCommand;
extern const Command kCampaignCommand;

const std::vector<const Command*>& Commands() {
  static const std::vector<const Command*> table = {
      &kCreateCommand, &kInspectCommand, &kExtractCommand, &kVerifyCommand,
      &kFaultCommand,  &kCardCommand,    &kRunCommand,     &kCampaignCommand,
  };
  return table;
}

}  // namespace devsim
