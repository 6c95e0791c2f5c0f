// Reading log files back: records made by the writer's own builders, files
// laid out as the writer lays them out, and files damaged in the ways a crash
// or a stray write leaves them.
#include "logging/log_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/log_record.h"
#include "logging/log_stream.h"
#include "logging/message_layout.h"

namespace {

using bk::log::LogEntry;
using bk::log::LogFile;
using bk::log::LogRecord;
using bk::log::RecordLayout;
using bk::log::Stamp;
using State = LogRecord::State;

Stamp At(unsigned hour, unsigned minute, unsigned second, unsigned ms = 0) {
  Stamp s{};
  s.year = 2026;
  s.month = 12;
  s.day = 10;
  s.hour = hour;
  s.minute = minute;
  s.second = second;
  s.millisecond = ms;
  s.threadId = 7654321;
  s.processId = 4321;
  s.sessionId = 2;
  s.program = "clienta";
  return s;
}

std::string Long(std::size_t length, unsigned number, const Stamp& s, const char* category, const char* text) {
  std::string out(length, '?');
  bk::log::BuildLongRecord(out.data(), length, number, s, category, text);
  return out;
}

std::string Classic(std::size_t length, unsigned number, const Stamp& s, const char* category, const char* text) {
  std::string out(length, '?');
  bk::log::BuildClassicRecord(out.data(), length, number, s, category, text);
  return out;
}

std::string Header(unsigned count) {
  char h[18];
  std::snprintf(h, sizeof h, "DATA COUNT %04u\r\n", count);
  return h;
}

std::vector<LogEntry> Entries(const LogFile& log) {
  std::vector<LogEntry> out;
  bk::log::AppendEntries("T.LOG", log, out);
  return out;
}

TEST(LogReader, DecodesEveryFieldOfBothLayouts) {
  struct Case {
    const char* category;
    const char* text;
    const char* expectCategory;
    const char* expectText;
  };
  const std::string longText(400, 'x');
  const Case cases[] = {
      {"BKRV", "hello world", "BKRV", "hello world"},
      {"", "no category", "", "no category"},
      {"multisrv9", "a label longer than its column", "multisrv9", "a label longer than its column"},
      {"Error        ", "Install  BKRV     piece", "Error", "Install  BKRV     piece"},
      {"Informational", "text", "Informational", "text"},
      {"ar", "", "ar", ""},
      {"ar", "  leading blanks kept", "ar", "  leading blanks kept"},
  };
  for (const Case& c : cases) {
    for (std::size_t length : {bk::log::kMinLongRecord + 20, std::size_t{192}, std::size_t{1024}}) {
      const LogRecord r = bk::log::DecodeRecord(Long(length, 12, At(9, 5, 4, 21), c.category, c.text),
                                                RecordLayout::kLong);
      ASSERT_EQ(r.state, State::kRecord) << c.category << " " << length << " " << r.problem;
      EXPECT_EQ(r.number, 12u);
      EXPECT_EQ(r.date, "2026/12/10");
      EXPECT_EQ(r.time, "09:05:04:021");
      EXPECT_EQ(r.process, 4321u);
      EXPECT_EQ(r.thread, 54321u);  // the long layout keeps the id modulo 100000
      EXPECT_EQ(r.session, 2u);
      EXPECT_EQ(r.program, "clienta");
      EXPECT_EQ(r.category, c.expectCategory);
      // The shortest record holds only the start of the text.
      const std::string expected = c.expectText;
      if (length >= 192) {
        EXPECT_EQ(r.text, expected) << length;
      } else {
        EXPECT_EQ(r.text, expected.substr(0, r.text.size())) << length;
      }
    }
    const LogRecord k = bk::log::DecodeRecord(Classic(192, 3, At(23, 59, 58, 999), c.category, c.text),
                                              RecordLayout::kClassic);
    ASSERT_EQ(k.state, State::kRecord) << c.category << " " << k.problem;
    EXPECT_EQ(k.number, 3u);
    EXPECT_EQ(k.date, "2026/12/10");
    EXPECT_EQ(k.time, "23:59:58:999");
    EXPECT_EQ(k.thread, 7654321u);
    EXPECT_EQ(k.category, c.expectCategory);
    EXPECT_EQ(k.text, c.expectText);
  }
  // A message longer than the record comes back cut where the writer cut it.
  const LogRecord cut = bk::log::DecodeRecord(Long(192, 1, At(1, 2, 3), "BKRV", longText.c_str()),
                                              RecordLayout::kLong);
  EXPECT_EQ(cut.text, std::string(192 - 65, 'x'));
}

TEST(LogReader, FindsTheRecordLengthAndLayout) {
  for (std::size_t length : {bk::log::kMinLongRecord, std::size_t{192}, std::size_t{300}, bk::log::kMaxRecord}) {
    std::string area;
    for (unsigned n = 1; n <= 3; ++n) area += Long(length, n, At(1, 2, 3), "BKRV", "text\r\nwith a line end");
    EXPECT_EQ(bk::log::DetectRecordLength(area), length);
    EXPECT_EQ(bk::log::DetectLayout(area, length), RecordLayout::kLong);
    // A torn last record does not hide the length of the others.
    EXPECT_EQ(bk::log::DetectRecordLength(area.substr(0, area.size() - 10)), length);
  }
  std::string classic = Classic(192, 1, At(1, 2, 3), "BKRV", "x") + Classic(192, 2, At(1, 2, 3), "BKRV", "y");
  EXPECT_EQ(bk::log::DetectLayout(classic, 192), RecordLayout::kClassic);
}

TEST(LogReader, SelfManagedFileShowsTheCountedRecordsInOrder) {
  // After a wrap: records 1-2 are new, 3-5 are left from the previous cycle.
  std::string file = Header(2);
  file += Long(192, 1, At(10, 0, 0), "BKRV", "new one");
  file += Long(192, 2, At(10, 0, 1), "BKRV", "new two");
  for (unsigned n = 3; n <= 5; ++n) file += Long(192, n, At(9, 0, 0), "BKRV", "old");
  const LogFile log = bk::log::ReadLogFile(file);
  EXPECT_TRUE(log.selfManaged);
  EXPECT_TRUE(log.headerValid);
  EXPECT_EQ(log.count, 2u);
  EXPECT_EQ(log.recordLength, 192u);
  EXPECT_EQ(log.staleRecords, 3u);
  EXPECT_TRUE(log.problem.empty());
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].text, "new one");
  EXPECT_EQ(log.records[0].offset, 17u);
  EXPECT_EQ(log.records[1].text, "new two");
  EXPECT_EQ(log.records[1].offset, 17u + 192u);

  // A header alone (a log whose first record was never written) holds nothing.
  EXPECT_TRUE(bk::log::ReadLogFile(Header(0)).records.empty());
}

TEST(LogReader, ManagedRingIsOrderedByTimeAndJoinsFurtherLines) {
  // The log manager's ring wrapped: place 1 holds the newest message, whose
  // second line went to place 2; places 3 and 4 are older.
  const std::string m(300, 'm');
  std::vector<std::string> lines;
  bk::log::ForEachMainLogLine(
      bk::log::MainLogForm::kClassic, "Install ", "BKRV", m.c_str(), m.size(), bk::log::IsJapaneseLeadByte,
      [](void* context, const char* text, int) { static_cast<std::vector<std::string>*>(context)->push_back(text); },
      &lines);
  ASSERT_EQ(lines.size(), 3u);
  std::string ring;
  for (int i = 0; i < 3; ++i) {
    std::string line(192, '?');
    bk::log::BuildMainLine(line.data(), 192, false, static_cast<std::uint32_t>(i + 1), At(12, 0, 0),
                           "Error        ", lines[static_cast<std::size_t>(i)].c_str(), i + 1);
    ring += line;
  }
  ring += Classic(192, 4, At(11, 0, 0), "BKRV", "older");
  ring += Classic(192, 5, At(11, 30, 0), "BKRV", "old");

  const LogFile log = bk::log::ReadLogFile(ring);
  EXPECT_FALSE(log.selfManaged);
  EXPECT_EQ(log.layout, RecordLayout::kClassic);
  ASSERT_EQ(log.records.size(), 5u);
  EXPECT_EQ(log.records[0].text, "older");
  EXPECT_EQ(log.records[1].text, "old");
  EXPECT_EQ(log.records[3].state, State::kContinuation);

  const std::vector<LogEntry> entries = Entries(log);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].record.category, "Error");
  EXPECT_EQ(entries[2].joined, 2u);
  EXPECT_EQ(entries[2].record.text, "Install \t(BKRV) " + m);
}

TEST(LogReader, JoinsUserLogPiecesOfOneWriterOnly) {
  const std::string message = std::string(150, 'u') + "\r\nsecond line\r\n";
  struct Pieces {
    std::vector<std::string> texts;
  } pieces;
  bk::log::ForEachUserLogRecord(
      message.c_str(), message.size(), 192 - 65,
      [](void* context, const char* text, int) { static_cast<Pieces*>(context)->texts.push_back(text); }, &pieces);
  ASSERT_GE(pieces.texts.size(), 3u);
  std::string file = Header(static_cast<unsigned>(pieces.texts.size() + 1));
  unsigned n = 1;
  for (const std::string& p : pieces.texts) file += Long(192, n++, At(8, 0, 0), "BKRV", p.c_str());
  // The same indent from another category stays a record of its own.
  file += Long(192, n, At(8, 0, 0), "ar", (std::string(28, ' ') + "other").c_str());

  const std::vector<LogEntry> entries = Entries(bk::log::ReadLogFile(file));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].joined, pieces.texts.size() - 1);
  EXPECT_EQ(entries[0].record.text, std::string(150, 'u') + "second line");
  EXPECT_EQ(entries[1].record.category, "ar");
}

TEST(LogReader, DamagedFilesShowWhatIsWrong) {
  const std::string one = Long(192, 1, At(1, 0, 0), "BKRV", "first");
  const std::string two = Long(192, 2, At(1, 0, 1), "BKRV", "second");
  const std::string three = Long(192, 3, At(1, 0, 2), "BKRV", "third");
  std::string noLineEnd = two;
  noLineEnd[190] = noLineEnd[191] = ' ';
  std::string garbage = two;
  garbage.replace(5, 10, "XXXXXXXXXX");
  struct Case {
    const char* what;
    std::string file;
    std::vector<State> states;  // records in order
    const char* problem;        // of the damaged record, or of the file
  };
  const Case cases[] = {
      {"torn last record", Header(3) + one + two + three.substr(0, 40), {State::kRecord, State::kRecord, State::kTorn},
       "the file ends after 40 of 192 bytes"},
      {"line end overwritten", Header(3) + one + noLineEnd + three, {State::kRecord, State::kTorn, State::kRecord},
       "no line end"},
      {"record never written", Header(3) + one + std::string(192, '\0') + three,
       {State::kRecord, State::kTorn, State::kRecord}, "never written (zero bytes)"},
      {"fields do not match", Header(3) + one + garbage + three, {State::kRecord, State::kUnmatched, State::kRecord},
       "no date"},
      {"count beyond the file", Header(9) + one + two, {State::kRecord, State::kRecord, State::kTorn},
       "records 3 to 9 are counted in the header but the file ends before them"},
      {"one record beyond a torn one", Header(3) + one + two.substr(0, 100), {State::kRecord, State::kTorn, State::kTorn},
       "the file ends after 100 of 192 bytes"},
      {"count beyond an empty file", Header(4), {State::kTorn},
       "records 1 to 4 are counted in the header but the file ends before them"},
      {"damaged count", "DATA COUNT 0x02\r\n" + one + two, {State::kRecord, State::kRecord},
       "damaged header: every record is shown in file order"},
      {"not a log", std::string("just some text without line ends"), {State::kTorn}, "not a fixed-record log"},
  };
  for (const Case& c : cases) {
    const LogFile log = bk::log::ReadLogFile(c.file);
    ASSERT_EQ(log.records.size(), c.states.size()) << c.what;
    std::string problem = log.problem;
    for (std::size_t i = 0; i < c.states.size(); ++i) {
      EXPECT_EQ(log.records[i].state, c.states[i]) << c.what << " record " << i;
      if (log.records[i].state != State::kRecord && problem.empty()) problem = log.records[i].problem;
    }
    EXPECT_EQ(problem, c.problem) << c.what;
    // Every record lies inside the file; missing ones are placed at its end.
    for (const LogRecord& r : log.records) EXPECT_LE(r.offset, c.file.size()) << c.what;
    if (log.records.back().problem.find("counted in the header") != std::string::npos) {
      EXPECT_EQ(log.records.back().offset, c.file.size()) << c.what;
    }
    // The good records around a damaged one keep their text.
    if (c.states.front() == State::kRecord) {
      EXPECT_EQ(log.records.front().text, "first") << c.what;
    }
    if (c.states.size() == 3 && c.states.back() == State::kRecord) {
      EXPECT_EQ(log.records.back().text, "third") << c.what;
    }
  }
}

}  // namespace

namespace {

// Every field of a LogFile and its records, as one text.
std::string Describe(const LogFile& log, const std::vector<LogRecord>& records) {
  std::string out = std::to_string(log.selfManaged) + std::to_string(log.headerValid) + " " +
                    std::to_string(log.count) + " " + std::to_string(log.recordLength) + " " +
                    std::to_string(static_cast<int>(log.layout)) + " " + std::to_string(log.staleRecords) + " " +
                    log.problem + "\n";
  for (const LogRecord& r : records)
    out += std::to_string(static_cast<int>(r.state)) + std::to_string(static_cast<int>(r.layout)) + " " +
           std::to_string(r.offset) + " " + std::to_string(r.slot) + " " + std::to_string(r.number) + " " + r.date +
           " " + r.time + " " + std::to_string(r.process) + ":" + std::to_string(r.thread) + ":" +
           std::to_string(r.session) + " " + r.program + " " + r.category + " [" + r.text + "] " + r.problem + "\n";
  return out;
}

}  // namespace

TEST(LogReader, StreamedReadingGivesWhatTheWholeFileGives) {
  const std::string one = Long(192, 1, At(1, 0, 0), "BKRV", "first");
  const std::string two = Long(192, 2, At(1, 0, 1), "BKRV", "second");
  const std::string three = Long(192, 3, At(0, 59, 59), "BKRV", "third");
  std::string further = Long(192, 4, At(1, 0, 0), "BKRV", "x");
  further.replace(4, 186, std::string(186, ' '));
  further.replace(60, 5, "piece");
  std::string nul = two;
  nul[60] = '\0';
  const std::string files[] = {
      "",
      Header(0),
      Header(4),
      Header(3) + one + two + three.substr(0, 40),
      Header(2) + one + two + three,  // a stale record
      Header(9) + one + two,
      "DATA COUNT 0x02\r\n" + one + two,
      "DATA COU",
      one + three + further + two,  // a managed ring: ordered by time, the further line behind its record
      Classic(120, 7, At(2, 0, 0), "ar", "classic") + Classic(120, 8, At(1, 0, 0), "ar", "older"),
      Header(2) + one + nul,
      "just some text without line ends",
      std::string(5000, '\r') + "\n",
  };
  for (const std::string& file : files) {
    const LogFile whole = bk::log::ReadLogFile(file);
    const std::string expected = Describe(whole, whole.records);
    for (std::size_t window : {std::size_t{0}, bk::log::kMaxRecord + 1, std::size_t{1} << 20}) {
      bk::log::MemorySource source(file);
      LogFile summary;
      std::vector<LogRecord> records;
      ASSERT_TRUE(bk::log::StreamLogFile(source, [&](const LogRecord& r) { records.push_back(r); }, summary, window));
      EXPECT_EQ(Describe(summary, records), expected) << file.size() << " bytes, window " << window;
    }
  }
}
