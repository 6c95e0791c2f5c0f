// bkrtool's JSON writer: string escaping, the conversion of the client's
// ANSI text to UTF-8 (code page 1252 under Wine; natively, invalid UTF-8
// becomes U+FFFD byte by byte), and the closing members of every object.
#include <gtest/gtest.h>

#include <string>

#include "json.h"

namespace {

struct Case {
  const char* what;
  std::string in, json;
};

TEST(JsonWriter, EscapesAndConverts) {
  const Case cases[] = {
      {"plain", "C:\\App", "\"C:\\\\App\""},
      {"quote and controls", "a\"b\r\n\t\x01\x1f\x7f", "\"a\\\"b\\r\\n\\t\\u0001\\u001f\x7f\""},
      {"empty", "", "\"\""},
#if defined(_WIN32)
      {"code page 1252", "Caf\xe9 \x80", "\"Caf\xc3\xa9 \xe2\x82\xac\""},
#else
      {"valid UTF-8 stands", "Caf\xc3\xa9 \xf0\x9f\x98\x80", "\"Caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"a lone byte", "Caf\xe9", "\"Caf\xef\xbf\xbd\""},
      {"a cut sequence", "a\xc3", "\"a\xef\xbf\xbd\""},
      {"an overlong form", "\xe0\x80\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"a surrogate", "\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
#endif
  };
  for (const Case& c : cases) EXPECT_EQ(bkrtool::JsonString(c.in), c.json) << c.what;
}

TEST(JsonWriter, ObjectsEndWithTheExitCode) {
  bkrtool::JsonObject o;
  EXPECT_EQ(o.Str(), "{}");
  o.Text("file", "a").Unsigned("size", 3).Bool("encoded", false).Null("kind").TextOrNull("none", "");
  EXPECT_EQ(o.Str(), "{\"file\":\"a\",\"size\":3,\"encoded\":false,\"kind\":null,\"none\":null}");
  EXPECT_EQ(o.Open() + bkrtool::JsonEnd(0, "ignored"), o.Open() + ",\"exitCode\":0}");
  EXPECT_EQ(bkrtool::JsonEnd(2, "no \"file\""), ",\"exitCode\":2,\"error\":\"no \\\"file\\\"\"}");
}

}  // namespace
