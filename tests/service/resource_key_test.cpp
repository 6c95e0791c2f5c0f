#include "service/resource_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ResourceKey, ArgumentLengths) {
  EXPECT_TRUE(vskIsValidKey(std::string(44, 'n').c_str(), std::string(8, 'v').c_str(), std::string(4, 'g').c_str()));
  EXPECT_FALSE(vskIsValidKey(std::string(45, 'n').c_str(), "v", "g"));
  EXPECT_FALSE(vskIsValidKey("n", std::string(9, 'v').c_str(), "g"));
  EXPECT_FALSE(vskIsValidKey("n", "v", std::string(5, 'g').c_str()));
  EXPECT_FALSE(vskIsValidKey("", "v", "g"));
  EXPECT_FALSE(vskIsValidKey(nullptr, "v", "g"));
  EXPECT_TRUE(vskIsValidArgument(std::string(260, 'p').c_str(), kVskMaxPathArgument));
  EXPECT_FALSE(vskIsValidArgument(std::string(261, 'p').c_str(), kVskMaxPathArgument));
}

TEST(ResourceKey, FieldComparison) {
  unsigned char stored[44] = {};
  std::memcpy(stored, "ABCD", 4);
  EXPECT_TRUE(vskKeyFieldMatches(stored, 44, "abcd"));
  EXPECT_FALSE(vskKeyFieldMatches(stored, 44, "ABC"));  // the terminator is compared too
  EXPECT_FALSE(vskKeyFieldMatches(stored, 44, "ABCDE"));

  unsigned char full[44];
  std::memset(full, 'x', sizeof full);  // no terminator
  EXPECT_TRUE(vskKeyFieldMatches(full, 44, std::string(44, 'X').c_str()));
  EXPECT_FALSE(vskKeyFieldMatches(full, 44, std::string(43, 'X').c_str()));
}

TEST(ResourceKey, WholeKey) {
  unsigned char record[56] = {};
  std::memcpy(record, "MixedCase", 9);
  std::memcpy(record + 44, "01", 2);
  std::memcpy(record + 52, "0001", 4);
  EXPECT_TRUE(vskKeyMatches(record, "MIXEDCASE", "01", "0001"));
  EXPECT_FALSE(vskKeyMatches(record, "MIXEDCASE", "01", "001"));
  EXPECT_FALSE(vskKeyMatches(record, "MIXEDCASE", "1", "0001"));
}

}  // namespace
