// The library exports exactly the flat C interface: every name of the one
// list and nothing else, read from the shared object's dynamic symbols or
// the DLL's export directory.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/test_machine.h"

namespace {

std::set<std::string> KnownNames() {
  std::ifstream in(ZYVISA_EXPORTED_NAMES);
  std::set<std::string> names;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') names.insert(line);
  }
  return names;
}

TEST(Exports, TheLibraryExportsExactlyTheListedNames) {
  const std::set<std::string> known = KnownNames();
  ASSERT_GT(known.size(), 90u);
  std::vector<std::string> exported;
  ASSERT_TRUE(zyvisa::test::ExportedNames(ZYVISA_SO_PATH, &exported)) << ZYVISA_SO_PATH;
  std::set<std::string> seen;
  for (const std::string& name : exported) {
    EXPECT_EQ(known.count(name), 1u) << "exported but not part of the interface: " << name;
    seen.insert(name);
  }
  for (const std::string& name : known) {
    EXPECT_EQ(seen.count(name), 1u) << "listed but not exported: " << name;
  }
}

}  // namespace
