#include "environment/password_scramble.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PasswordScramble, RoundTripsEveryLengthAndSeed) {
  for (unsigned seed : {0u, 1u, 77u, 255u}) {
    for (std::size_t length = 1; length <= bk::kMaxPasswordLength; ++length) {
      std::string plain;
      for (std::size_t i = 0; i < length; ++i) plain.push_back(static_cast<char>(' ' + (i * 7 + seed) % 95));
      char stored[64];
      ASSERT_TRUE(bk::ScramblePassword(plain.c_str(), static_cast<unsigned char>(seed), stored, sizeof stored));
      EXPECT_EQ(std::string(stored).size(), 2 * length + 4);
      EXPECT_EQ(std::string(stored).find(plain), std::string::npos);
      char out[30];
      ASSERT_EQ(bk::UnscramblePassword(stored, out, sizeof out), 1);
      EXPECT_EQ(plain, out);
    }
  }
}

TEST(PasswordScramble, RejectsWhatIsNotAStoredForm) {
  char stored[64];
  ASSERT_TRUE(bk::ScramblePassword("secret", 9, stored, sizeof stored));
  std::string corrupted = stored;
  corrupted[4] = corrupted[4] == '0' ? '1' : '0';
  const std::string cases[] = {
      "", "ABC", "ABCDE", std::string(64, 'A'), "ZZZZZZ", corrupted, std::string(stored) + "0",
  };
  for (const std::string& text : cases) {
    char out[30] = "untouched";
    EXPECT_EQ(bk::UnscramblePassword(text.c_str(), out, sizeof out), 0) << text;
    EXPECT_STREQ(out, "untouched");
  }
}

TEST(PasswordScramble, RefusesPasswordsThatDoNotFit) {
  char stored[128];
  EXPECT_FALSE(bk::ScramblePassword("", 1, stored, sizeof stored));
  EXPECT_FALSE(bk::ScramblePassword(std::string(30, 'p').c_str(), 1, stored, sizeof stored));
  EXPECT_TRUE(bk::ScramblePassword(std::string(29, 'p').c_str(), 1, stored, sizeof stored));
}

}  // namespace
