#include "tools/devsim/version.h"

#include "tools/devsim/build_info.h"

namespace devsim {

std::string VersionLine() { return std::string("devsim ") + DEVSIM_VERSION + " (commit " + DEVSIM_COMMIT + ")"; }

}  // namespace devsim
