// The shared object exports exactly the flat C interface and nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/test_machine.h"

namespace {

std::set<std::string> KnownNames() {
  std::ifstream in(ZYVISA_EXPORTED_NAMES);
  std::set<std::string> names;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') names.insert(line);
  }
  return names;
}

TEST(Exports, OnlyLibraryFunctionsAreVisible) {
  const std::set<std::string> known = KnownNames();
  ASSERT_GT(known.size(), 90u);
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
    EXPECT_EQ(known.count(name), 1u) << "exported but not part of the interface: " << line;
    ++exported;
  }
  EXPECT_GT(exported, 0);
}

}  // namespace
