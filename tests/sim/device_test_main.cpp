// The device-build tests of the simulator: GoogleTest, or one of the child
// roles (another process on the same device) when started with --child.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/win32_support.h"

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"--child") return simtest::ChildMain(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
