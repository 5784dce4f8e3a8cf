// devsim's version line: the project's version (CMakeLists.txt's project())
// and the commit the tool was built from, both taken at build time
// (cmake/git-version.cmake).
#ifndef TOOLS_DEVSIM_VERSION_H
#define TOOLS_DEVSIM_VERSION_H

#include <string>

namespace devsim {

// "devsim 1.0 (commit abc1234)", "... (commit abc1234, modified)" for a tree
// with changes, "... (commit unknown)" for one that is no git checkout.
std::string VersionLine();

}  // namespace devsim

#endif
