// Named block allocation in the shared region: the chain walk, rounding, the
// exact-fit tail and the statuses a caller can get wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/shared_region.h"

namespace zyvisa::runtime {
namespace {

class SharedRegionTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kSize = kMinRegionSize;
  SharedRegionTest() : region_(kSize, 0xA5) { FormatRegion(region_.data(), kSize); }

  ViStatus Alloc(const char* name, ViUInt32 size) {
    address_ = reinterpret_cast<void*>(1);
    return AllocBlock(region_.data(), kSize, name, size, &address_, &created_);
  }
  uint32_t Offset(const void* p) const {
    return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - region_.data());
  }
  const BlockHeader& HeaderAt(uint32_t offset) const {
    return *reinterpret_cast<const BlockHeader*>(region_.data() + offset);
  }

  std::vector<uint8_t> region_;
  void* address_ = nullptr;
  ViUInt16 created_ = 7;
};

TEST_F(SharedRegionTest, BlocksFollowEachOtherAndTheTailShrinks) {
  // A fresh region is one free tail; clearing covers every byte, not just the header.
  EXPECT_EQ(HeaderAt(0).size, static_cast<int32_t>(kSize - 84));
  EXPECT_EQ(region_[kSize - 1], 0);
  ASSERT_EQ(Alloc("first", 16), VI_SUCCESS);
  EXPECT_EQ(created_, 1);
  EXPECT_EQ(Offset(address_), 84u);
  EXPECT_EQ(HeaderAt(0).size, -16);
  EXPECT_STREQ(HeaderAt(0).name, "first");
  EXPECT_EQ(HeaderAt(100).size, static_cast<int32_t>(kSize - 84 - 16 - 84));
  ASSERT_EQ(Alloc("second", 24), VI_SUCCESS);
  EXPECT_EQ(Offset(address_), 100u + 84u);
}

TEST_F(SharedRegionTest, SizesRoundUpAndMustMatchOnReuse) {
  ASSERT_EQ(Alloc("block", 1), VI_SUCCESS);
  EXPECT_EQ(HeaderAt(0).size, -8);
  void* first = address_;
  ASSERT_EQ(Alloc("block", 5), VI_SUCCESS);
  EXPECT_EQ(created_, 0);
  EXPECT_EQ(address_, first);
  EXPECT_EQ(Alloc("block", 9), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(address_, nullptr);
  // Names compare with case.
  ASSERT_EQ(Alloc("BLOCK", 8), VI_SUCCESS);
  EXPECT_EQ(created_, 1);
}

TEST_F(SharedRegionTest, ExactFitLeavesAZeroTailThatRefusesNewNames) {
  const uint32_t free_bytes = kSize - 84;
  ASSERT_EQ(Alloc(std::string(79, 'n').c_str(), free_bytes - 84), VI_SUCCESS);  // longest name
  EXPECT_EQ(HeaderAt(kSize - 84).size, 0);
  EXPECT_EQ(Alloc("more", 8), VI_ERROR_ALLOC);
  EXPECT_EQ(Alloc(std::string(79, 'n').c_str(), free_bytes - 84), VI_SUCCESS);
  EXPECT_EQ(created_, 0);
}

// Each refusal sets the address to null and leaves the free tail whole.
TEST_F(SharedRegionTest, RefusalsLeaveTheRegionAsItWas) {
  const struct { std::string name; uint32_t size; ViStatus status; } rows[] = {
      {"big", kSize - 84 - 84 + 8, VI_ERROR_ALLOC},
      {"", 8, VI_ERROR_SYSTEM_ERROR},  // an empty name meets the free tail
      {std::string(80, 'n'), 8, VI_ERROR_INV_PARAMETER},
      {"x", 0, VI_ERROR_INV_PARAMETER},
      // Rounding happens in 32 bits: these wrap to 0 or turn negative.
      {"x", 0xFFFFFFFFu, VI_ERROR_INV_PARAMETER},
      {"x", 0x80000000u, VI_ERROR_INV_PARAMETER},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Alloc(row.name.c_str(), row.size), row.status) << row.name << " " << row.size;
    EXPECT_EQ(address_, nullptr);
  }
  EXPECT_EQ(HeaderAt(0).size, static_cast<int32_t>(kSize - 84));
  void* address = nullptr;
  ViUInt16 created = 0;
  EXPECT_EQ(AllocBlock(region_.data(), kSize, nullptr, 8, &address, &created), VI_ERROR_USER_BUF);
  EXPECT_EQ(AllocBlock(region_.data(), kSize, "x", 8, nullptr, &created), VI_ERROR_USER_BUF);
  EXPECT_EQ(AllocBlock(region_.data(), kSize, "x", 8, &address, nullptr), VI_ERROR_USER_BUF);
  // The size test comes before the mapping test.
  EXPECT_EQ(AllocBlock(nullptr, 0, "x", 0, &address, &created), VI_ERROR_INV_PARAMETER);
  address = &created;
  EXPECT_EQ(AllocBlock(nullptr, 0, "x", 8, &address, &created), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(address, nullptr);
}

TEST_F(SharedRegionTest, SmallerViewNeverCarvesPastItsEnd) {
  // The region was formatted by a process with a larger view: this process
  // maps only the first half and must not write beyond it.
  reinterpret_cast<BlockHeader*>(region_.data())->size = static_cast<int32_t>(2 * kSize);
  void* address = nullptr;
  ViUInt16 created = 0;
  EXPECT_EQ(AllocBlock(region_.data(), kSize, "x", kSize, &address, &created), VI_ERROR_ALLOC);
  ASSERT_EQ(AllocBlock(region_.data(), kSize, "x", 8, &address, &created), VI_SUCCESS);
  EXPECT_EQ(HeaderAt(92).size, static_cast<int32_t>(2 * kSize - 92));
}

TEST_F(SharedRegionTest, WalkVisitsEveryBlockAndRefusesGarbageAndCorruptChains) {
  ASSERT_EQ(Alloc("a", 8), VI_SUCCESS);
  ASSERT_EQ(Alloc("b", 16), VI_SUCCESS);
  std::vector<std::string> names;
  EXPECT_TRUE(WalkBlocks(region_.data(), kSize,
                         [&](uint32_t, const BlockHeader& h) { names.emplace_back(h.name); }));
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", ""}));
  std::vector<uint8_t> garbage(kSize, 0xFF);
  EXPECT_FALSE(WalkBlocks(garbage.data(), kSize, [](uint32_t, const BlockHeader&) {}));
  // A corrupt chain is refused, not followed: sizes that send the walk past
  // the mapped bytes.
  for (const int32_t size : {-static_cast<int32_t>(kSize), INT32_MIN}) {
    reinterpret_cast<BlockHeader*>(region_.data())->size = size;
    EXPECT_EQ(Alloc("c", 8), VI_ERROR_SYSTEM_ERROR) << size;
  }
}

}  // namespace
}  // namespace zyvisa::runtime
