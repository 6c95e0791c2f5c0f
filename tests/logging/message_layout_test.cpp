// Labels, texts and line cutting of coded messages and user-log messages.
#include "logging/message_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using bk::log::MainLogForm;

std::vector<std::string> MainLines(MainLogForm form, const std::string& m, const char* category = "BKRV") {
  std::vector<std::string> lines;
  bk::log::ForEachMainLogLine(
      form, "Install ", category, m.data(), m.size(), bk::log::IsJapaneseLeadByte,
      [](void* context, const char* text, int number) {
        auto* out = static_cast<std::vector<std::string>*>(context);
        EXPECT_EQ(number, static_cast<int>(out->size()) + 1);
        out->push_back(text);
      },
      &lines);
  return lines;
}

std::vector<std::string> UserRecords(const std::string& x, std::size_t width) {
  std::vector<std::string> records;
  bk::log::ForEachUserLogRecord(
      x.data(), x.size(), width,
      [](void* context, const char* text, int) { static_cast<std::vector<std::string>*>(context)->push_back(text); },
      &records);
  return records;
}

std::string Indent(const std::string& text) { return std::string(28, ' ') + text; }

TEST(MessageLabels, SeverityAndEventLevel) {
  struct Case {
    std::uint32_t code;
    const char* label;
    unsigned bit;
  } const cases[] = {
      {0x00001B69, "Success      ", 4},
      {0x40001B67, "Informational", 4},
      {0x80001B68, "Warning      ", 2},
      {0xC0001B65, "Error        ", 1},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(bk::log::SeverityLabel(c.code), c.label) << std::hex << c.code;
    EXPECT_EQ(bk::log::EventLevelBit(c.code), c.bit) << std::hex << c.code;
  }
}

TEST(MessageLabels, FacilityByMessageNumber) {
  struct Case {
    unsigned number;
    const char* label;
  } const cases[] = {
      {0, "System  "},      {999, "System  "},    {1000, "TCP/IP  "},   {1999, "TCP/IP  "},
      {2000, "********"},   {4999, "********"},   {5000, "Setup   "},    {5999, "Setup   "},
      {6000, "Package "},   {6999, "Package "},   {7013, "Install "},   {8000, "Server  "},
      {9000, "********"},   {10000, "Server  "},  {19999, "Server  "},  {20000, "Share   "},
      {29999, "Share   "},  {30000, "********"},  {59999, "********"},  {60000, "User    "},
      {65535, "User    "},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(bk::log::FacilityLabel(0xC0000000u | c.number), c.label) << c.number;
}

TEST(EventText, SourcePositionOnlyForItsCodes) {
  char t[bk::log::kEventTextSize];
  bk::log::BuildEventText(t, 0xC0001B65, "xyz", "..\\..\\client\\bkrv\\rstore", 72);
  EXPECT_STREQ(t, "xyz [rstore:72]");
  for (std::uint32_t code : {0xC0000002u, 0xC0000003u, 0xC00003EBu, 0xC0001394u, 0xC0001771u, 0xC0001B66u,
                             0xC0004E20u}) {
    bk::log::BuildEventText(t, code, "m", "a\\b", 1);
    EXPECT_STREQ(t, "m [b:1]") << std::hex << code;
  }
  bk::log::BuildEventText(t, 0xC0001B6A, "xyz", "client\\tcp\\tcpsock", 5);
  EXPECT_STREQ(t, "xyz");
  bk::log::BuildEventText(t, 0xC0001B65, "xyz", "rstore", 5);  // no backslash
  EXPECT_STREQ(t, "xyz");
  bk::log::BuildEventText(t, 0xC0001B65, "xyz", nullptr, 5);
  EXPECT_STREQ(t, "xyz");
  bk::log::BuildEventText(t, 0xC0001B65, nullptr, "client\\bkrv\\rstore", 5);
  EXPECT_STREQ(t, "");
}

TEST(EventText, CallerTextIsCutAt767Bytes) {
  char t[bk::log::kEventTextSize];
  const std::string text(900, 'q');
  bk::log::BuildEventText(t, 0xC0001B65, text.c_str(), "client\\bkrv\\rstore", 8);
  EXPECT_EQ(std::string(t), std::string(767, 'q') + " [rstore:8]");
}

TEST(MainLogLines, SelfManagedPiecesOf104Bytes) {
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, ""), std::vector<std::string>{"Install  BKRV     "});
  const std::string a104(104, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, a104), std::vector<std::string>{"Install  BKRV     " + a104});
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, a104 + "b"),
            (std::vector<std::string>{"Install  BKRV     " + a104, "Install  BKRV     b"}));
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, "x", "multisrv9"),
            std::vector<std::string>{"Install  multisrv9 x"});
}

TEST(MainLogLines, DoubleByteCharactersStayWhole) {
  // A character starting at the 104th byte moves to the next piece.
  const std::string a103(103, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, a103 + "\x82\xa0" + "b"),
            (std::vector<std::string>{"Install  BKRV     " + a103, "Install  BKRV     \x82\xa0" "b"}));
  // A trail byte with a lead-byte value at the 104th byte ends its character.
  const std::string a102(102, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kSelfManaged, a102 + "\x82\x82" + "c"),
            (std::vector<std::string>{"Install  BKRV     " + a102 + "\x82\x82", "Install  BKRV     c"}));
  // The same in the managed form: 114 bytes fit the first line with "BKRV".
  const std::string a113(113, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kClassic, a113 + "\x82\xa0"),
            (std::vector<std::string>{"Install \t(BKRV) " + a113, "        \t     \t\x82\xa0"}));
}

TEST(MainLogLines, ManagedFormsWrapAtTheirWidth) {
  const std::string a114(114, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kClassic, a114), std::vector<std::string>{"Install \t(BKRV) " + a114});
  EXPECT_EQ(MainLines(MainLogForm::kClassic, a114 + "b"),
            (std::vector<std::string>{"Install \t(BKRV) " + a114, "        \t     \tb"}));
  const std::string b120(120, 'b');
  EXPECT_EQ(MainLines(MainLogForm::kClassic, a114 + b120 + "c"),
            (std::vector<std::string>{"Install \t(BKRV) " + a114, "        \t     \t" + b120,
                                      "        \t     \tc"}));
  const std::string a104(104, 'a');
  EXPECT_EQ(MainLines(MainLogForm::kSiteServer, a104), std::vector<std::string>{"Install \t(BKRV) " + a104});
  EXPECT_EQ(MainLines(MainLogForm::kSiteServer, a104 + "b"),
            (std::vector<std::string>{"Install \t(BKRV) " + a104, "      \t     \tb"}));
  EXPECT_EQ(MainLines(MainLogForm::kClassic, ""), std::vector<std::string>{"Install \t(BKRV) "});
}

TEST(MainLogLines, CategoryWiderThanTheLineLeavesTheFirstLineEmpty) {
  const std::string category(130, 'k');
  const auto lines = MainLines(MainLogForm::kClassic, std::string(121, 'z'), category.c_str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Install \t(" + category + ") ");
  EXPECT_EQ(lines[1], "        \t     \t" + std::string(120, 'z'));
  EXPECT_EQ(lines[2], "        \t     \tz");
}

TEST(CutRules, CharacterBoundaries) {
  const std::string lead = "\x82\xa0\x82\xa0";
  EXPECT_EQ(bk::log::CutAtCharacter(lead.data(), lead.size(), 0, 3, bk::log::IsJapaneseLeadByte), 2u);
  EXPECT_EQ(bk::log::CutAtCharacter(lead.data(), lead.size(), 2, 3, bk::log::IsJapaneseLeadByte), 2u);
  // A width of one byte still moves forward.
  EXPECT_EQ(bk::log::CutAtCharacter(lead.data(), lead.size(), 0, 1, bk::log::IsJapaneseLeadByte), 1u);
  EXPECT_EQ(bk::log::CutAtCharacter(lead.data(), lead.size(), 4, 3, bk::log::IsJapaneseLeadByte), 0u);
}

TEST(CutRules, UserLogCut) {
  struct Case {
    std::string bytes;
    std::size_t n, piece;
  } const cases[] = {
      {"abc", 5, 3},                    // fewer than n bytes remain: the rest
      {"abcdef", 4, 4},                 // last byte not a lead byte
      {"ab\x82\xa0", 3, 2},             // a character starts at the last byte
      {"a\x82\x82" "b", 3, 3},          // the last byte ends a character
      {"\x82\xa0\x82\xa0\x82", 4, 4},   // characters fill the piece exactly
      {"\x82\xa0" "a\x82\xa0", 4, 3},
      {"\x82\xa0", 1, 1},               // never an empty piece
  };
  for (const Case& c : cases)
    EXPECT_EQ(bk::log::UserLogCut(c.bytes.data(), c.bytes.size(), c.n), c.piece) << c.bytes << " n=" << c.n;
}

TEST(UserLogRecords, ShortMessageIsOneRecord) {
  EXPECT_EQ(UserRecords("An unexpected error stopped x.\r\n", 127),
            std::vector<std::string>{"An unexpected error stopped x."});
}

TEST(UserLogRecords, LongLinesContinueIndented) {
  const std::string x(300, 'x');
  EXPECT_EQ(UserRecords(x + "\r\n", 127), (std::vector<std::string>{std::string(127, 'x'),
                                                                     Indent(std::string(99, 'x')),
                                                                     Indent(std::string(74, 'x'))}));
  // Further lines: short ones whole, long ones cut at width - 28.
  EXPECT_EQ(UserRecords(x + "\r\nsecond\r\n" + std::string(100, 'y') + "\r\n", 127),
            (std::vector<std::string>{std::string(127, 'x'), Indent(std::string(99, 'x')),
                                      Indent(std::string(74, 'x')), Indent("second"),
                                      Indent(std::string(99, 'y')), Indent("y")}));
}

TEST(UserLogRecords, ShortMessageKeepsItsFurtherLines) {
  EXPECT_EQ(UserRecords("first\r\nsecond\r\n", 127), (std::vector<std::string>{"first", Indent("second")}));
}

TEST(UserLogRecords, DoubleByteCharacterMovesToTheNextRecord) {
  const std::string x = std::string(126, 'x') + "\x82\xa0" + "tail\r\n";
  EXPECT_EQ(UserRecords(x, 127),
            (std::vector<std::string>{std::string(126, 'x'), Indent("\x82\xa0" "tail")}));
}

TEST(UserLogRecords, TinyWidthsStillEnd) {
  const auto records = UserRecords(std::string(40, 'x') + "\r\n", 0);
  EXPECT_EQ(records.size(), 40u);
  EXPECT_EQ(records[1], Indent("x"));
}

}  // namespace
