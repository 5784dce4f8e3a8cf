// devsim campaign: the reliability campaign (tools/campaign) as a subcommand.
#include <vector>

#include "tools/campaign/campaign.h"
#include "tools/devsim/command.h"

namespace devsim {
namespace {

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"campaign"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  return CampaignMain((int)words.size(), argv.data());
}

}  // namespace

extern const Command kCampaignCommand = {"campaign", "run the reliability scenarios and print their table",
                                         CampaignUsage(), Run};

}  // namespace devsim
