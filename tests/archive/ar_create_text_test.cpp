// The text helpers of archive creation: separator rewriting and the date and
// time text.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "archive/ar_create.h"

namespace {

TEST(ArConvertSeparators, RebuildsThePathFromItsParts) {
  struct Case {
    const char* in;
    int mode;
    const char* out;
  } cases[] = {
      {"\\dir\\sub\\file", 3, "dir/sub/file"},
      {"dir\\\\sub\\", 3, "dir/sub"},
      {"C:\\", 3, "C:/"},
      {"C:\\dir", 3, "C:/dir"},
      {"\\", 3, ""},
      {"", 3, ""},
      {"a/b//c/", 2, "a\\b\\c"},
      {"/a", 2, "a"},
      {"\\\\server\\share\\\\dir\\", 4, "server\\share\\dir"},
      {"a\\b", 4, "a\\b"},
      {"a\\b/c", 1, "a\\b/c"},  // other modes change nothing
  };
  for (const Case& c : cases) {
    char text[64];
    std::strcpy(text, c.in);
    arConvertSeparators(text, c.mode);
    EXPECT_STREQ(text, c.out) << c.in << " mode " << c.mode;
  }
}

TEST(VskGetDateTimeString, FourteenCharactersWithBlanksBeforeOneDigitParts) {
  char text[16];
  std::memset(text, 'x', sizeof text);
  vskGetDateTimeString(0, text);
  ASSERT_EQ(std::strlen(text), 14u) << text;
  EXPECT_EQ(text[15], 'x');
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i]))) << text;
  for (int part = 0; part < 5; ++part) {
    const char tens = text[4 + 2 * part], ones = text[5 + 2 * part];
    EXPECT_TRUE(tens == ' ' || (tens >= '1' && tens <= '9')) << text;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(ones))) << text;
  }
  // Days move the date on.
  char later[16];
  vskGetDateTimeString(400, later);
  EXPECT_GT(std::string(later, 4), std::string(text, 4));
}

}  // namespace
