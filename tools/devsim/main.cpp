// devsim: the host tool for simulated devices and raw NAND images.
#include <string>
#include <vector>

#include "tools/devsim/tool.h"
#include "tools/devsim/version.h"

int main(int argc, char** argv) {
  return devsim::Tool(devsim::Commands(), devsim::VersionLine()).Main(std::vector<std::string>(argv + 1, argv + argc));
}
