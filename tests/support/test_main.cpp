// The test program's entry: either one scenario run for a parent test in
// another process, or the GoogleTest suite.
#include <gtest/gtest.h>

#include "support/test_machine.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (zyvisa::test::RunScenarioFromCommandLine(argc, argv, &exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
