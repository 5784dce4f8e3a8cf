// devsim: the host tool for simulated devices and raw NAND images.
#include <string>
#include <vector>

#include "tools/devsim/tool.h"

int main(int argc, char** argv) { return devsim::Tool().Main(std::vector<std::string>(argv + 1, argv + argc)); }
