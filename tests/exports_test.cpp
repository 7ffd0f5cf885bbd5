// The shared object exports exactly the flat C interface and nothing else.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/test_machine.h"

namespace {

TEST(Exports, OnlyLibraryFunctionsAreVisible) {
  std::string out;
  ASSERT_EQ(zyvisa::test::RunProgram(std::string("nm -D --defined-only ") + ZYVISA_SO_PATH, &out), 0)
      << out;
  std::istringstream lines(out);
  std::string line;
  int exported = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string addr, type, name;
    fields >> addr >> type >> name;
    if (name.empty()) continue;
    // Version nodes and the like are absolute symbols, not functions.
    if (type == "A") continue;
    EXPECT_TRUE(name.rfind("visa", 0) == 0 || name.rfind("zyvisa", 0) == 0) << line;
    ++exported;
  }
  EXPECT_GT(exported, 0);
}

}  // namespace
