// bkrtool log NAME [--dir DIR] [--json] [--tail N]: the records of one of the
// client's logs, oldest first across its generations (NAME<g> ... NAME1,
// NAME), one line per record with its continuation records joined. It only
// reads: every file is opened with read, write and delete sharing, so that the
// client can go on writing and rotating while it runs.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "command.h"
#include "logging/log_reader.h"
#include "logging/log_stream.h"

#if defined(_WIN32)
#include <windows.h>

#include "environment/env.h"
#include "platform/unique_handle.h"
#endif

namespace {

using bk::log::LogEntry;
using bk::log::LogFile;
using bk::log::LogRecord;

constexpr int kMaxGenerations = 999;  // the writer keeps no more

bool Exists(const std::string& path) {
#if defined(_WIN32)
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe != nullptr) std::fclose(probe);
  return probe != nullptr;
#endif
}

enum class Opened { kRead, kMissing, kFailed };

// One log file, read in pieces. It is opened with read, write and delete
// sharing; its length is taken once, when it is opened.
class SharedFile : public bk::log::LogSource {
 public:
  Opened Open(const std::string& path) {
#if defined(_WIN32)
    file_.reset(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
      const DWORD error = ::GetLastError();
      return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? Opened::kMissing : Opened::kFailed;
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file_.get(), &size)) return Opened::kFailed;
    size_ = static_cast<std::uint64_t>(size.QuadPart);
#else
    if (!Exists(path)) return Opened::kMissing;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr || std::fseek(file_, 0, SEEK_END) != 0) return Opened::kFailed;
    const long size = std::ftell(file_);
    if (size < 0) return Opened::kFailed;
    size_ = static_cast<std::uint64_t>(size);
#endif
    return Opened::kRead;
  }
#if !defined(_WIN32)
  ~SharedFile() override {
    if (file_ != nullptr) std::fclose(file_);
  }
#endif
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t n, std::string& out) override {
    out.resize(n);
#if defined(_WIN32)
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN)) return false;
    std::size_t done = 0;
    while (done < n) {
      DWORD got = 0;
      const DWORD piece = n - done > (1u << 20) ? (1u << 20) : static_cast<DWORD>(n - done);
      if (!::ReadFile(file_.get(), &out[done], piece, &got, nullptr) || got == 0) return false;
      done += got;
    }
    return true;
#else
    return std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(out.data(), 1, n, file_) == n;
#endif
  }

 private:
#if defined(_WIN32)
  bk::win::unique_hfile file_;
#else
  std::FILE* file_ = nullptr;
#endif
  std::uint64_t size_ = 0;
};

std::string DefaultLogDir() {
#if defined(_WIN32)
  vskEnvLoad();
  VskPath dir;
  vskEnvGetLogPath(dir);
  vskEnvRelease();
  return dir;
#else
  return ".";
#endif
}

std::string Join(const std::string& dir, const std::string& name) {
#if defined(_WIN32)
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  if (dir.empty()) return name;
  const char last = dir.back();
  return (last == '\\' || last == '/') ? dir + name : dir + separator + name;
}

const char* StateName(LogRecord::State state) {
  switch (state) {
    case LogRecord::State::kRecord: return "record";
    case LogRecord::State::kContinuation: return "continuation";
    case LogRecord::State::kTorn: return "torn";
    case LogRecord::State::kUnmatched: return "unmatched";
  }
  return "unmatched";
}

bool Damaged(const LogRecord& r) { return r.state != LogRecord::State::kRecord; }

std::string Number(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*u", width, value);
  return text;
}

// Control bytes of a text (a NUL, a terminal's escape sequence; a tab stays)
// as \xNN, so that a line shows every byte of its record and nothing acts on
// the terminal.
std::string Visible(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 0x20 && c != 0x7F) || c == '\t') {
      out += ch;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    out += escaped;
  }
  return out;
}

std::string TextLine(const LogEntry& e) {
  const LogRecord& r = e.record;
  std::string line = e.file + " #" + Number(r.state == LogRecord::State::kRecord ? r.number : r.slot, 4) + " ";
  switch (r.state) {
    case LogRecord::State::kRecord:
      line += r.date + " " + r.time + " ";
      if (r.layout == bk::log::RecordLayout::kLong)
        line += Number(r.process, 5) + ":" + Number(r.thread, 5) + ":" + Number(r.session, 3) + " " +
                (r.program.empty() ? "-" : r.program) + " ";
      else
        line += "[" + Number(r.thread, 10) + "] ";
      line += (r.category.empty() ? "-" : r.category) + " | " + r.text;
      break;
    case LogRecord::State::kContinuation:
      line += "CONTINUATION WITHOUT ITS FIRST LINE | " + r.text;
      break;
    case LogRecord::State::kTorn:
      line += "TORN RECORD (" + r.problem + ")" + (r.text.empty() ? "" : " | " + r.text);
      break;
    case LogRecord::State::kUnmatched:
      line += "NOT A RECORD (" + r.problem + ") | " + r.text;
      break;
  }
  return line;
}

std::string JsonLine(const LogEntry& e) {
  using bkrtool::JsonString;
  const LogRecord& r = e.record;
  std::string json = "{\"file\": " + JsonString(e.file) + ", \"slot\": " + std::to_string(r.slot) +
                     ", \"offset\": " + std::to_string(r.offset) + ", \"state\": \"" + StateName(r.state) + "\"";
  if (r.state == LogRecord::State::kRecord) {
    json += ", \"layout\": \"";
    json += r.layout == bk::log::RecordLayout::kLong ? "long" : "classic";
    json += "\", \"number\": " + std::to_string(r.number) + ", \"date\": " + JsonString(r.date) +
            ", \"time\": " + JsonString(r.time);
    if (r.layout == bk::log::RecordLayout::kLong)
      json += ", \"process\": " + std::to_string(r.process) + ", \"thread\": " + std::to_string(r.thread) +
              ", \"session\": " + std::to_string(r.session) + ", \"program\": " + JsonString(r.program);
    else
      json += ", \"thread\": " + std::to_string(r.thread);
    json += ", \"category\": " + JsonString(r.category);
  }
  if (!r.problem.empty()) json += ", \"problem\": " + JsonString(r.problem);
  json += ", \"text\": " + JsonString(r.text) + ", \"joined\": " + std::to_string(e.joined) + "}";
  return json;
}

struct FileSummary {
  std::string name;
  LogFile log;
};

std::string FileJson(const FileSummary& f) {
  using bkrtool::JsonString;
  std::string json = "{\"name\": " + JsonString(f.name) + ", \"selfManaged\": " +
                     (f.log.selfManaged ? "true" : "false");
  if (f.log.selfManaged && f.log.headerValid) json += ", \"count\": " + std::to_string(f.log.count);
  json += ", \"recordLength\": " + std::to_string(f.log.recordLength) + ", \"layout\": \"" +
          (f.log.layout == bk::log::RecordLayout::kLong ? "long" : "classic") +
          "\", \"staleRecords\": " + std::to_string(f.log.staleRecords);
  if (!f.log.problem.empty()) json += ", \"problem\": " + JsonString(f.log.problem);
  return json + "}";
}

void PrintLine(const LogEntry& e) {
  const std::string line = Visible(TextLine(e));
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// The files of the log, oldest first: the highest generation, down to 1,
// then the current file.
std::vector<std::string> Generations(const std::string& dir, const std::string& name) {
  std::vector<std::string> names;
  for (int g = kMaxGenerations; g >= 1; --g) {
    const std::string generation = name + std::to_string(g);
    if (Exists(Join(dir, generation))) names.push_back(generation);
  }
  names.push_back(name);
  return names;
}

// What the files gave: the entries kept for printing at the end (the text
// view prints each entry once it is complete; --tail keeps the last N; the
// JSON view, which names the files first, keeps them all).
struct Reading {
  std::vector<FileSummary> files;
  std::deque<LogEntry> entries;
  bool damaged = false;
};

// Reads every file in pieces; empty when all could be read, else the reason.
std::string ReadAll(const std::string& dir, const std::string& name, std::size_t tail, bool json, Reading& out) {
  auto take = [&](LogEntry&& e) {
    out.damaged = out.damaged || Damaged(e.record);
    if (!json && tail == 0) return PrintLine(e);
    out.entries.push_back(std::move(e));
    if (tail > 0 && out.entries.size() > tail) out.entries.pop_front();
  };
  for (const std::string& file : Generations(dir, name)) {
    SharedFile source;
    const Opened opened = source.Open(Join(dir, file));
    if (opened == Opened::kMissing) {
      if (file == name && out.files.empty()) return "no log " + Join(dir, name);
      continue;  // a generation rotated away while we read
    }
    if (opened == Opened::kFailed) return "cannot read " + Join(dir, file);
    FileSummary summary{file, {}};
    bk::log::EntryJoiner joiner(file, take);
    if (!bk::log::StreamLogFile(source, [&](const LogRecord& r) { joiner.Add(r); }, summary.log))
      return "cannot read " + Join(dir, file);
    joiner.Finish();
    out.damaged = out.damaged || !summary.log.problem.empty();
    out.files.push_back(std::move(summary));
  }
  return std::string();
}

void PrintJson(const std::string& name, const std::string& dir, const Reading& r) {
  std::printf("{\"log\": %s, \"dir\": %s, \"files\": [", bkrtool::JsonString(name).c_str(),
              bkrtool::JsonString(dir).c_str());
  for (std::size_t i = 0; i < r.files.size(); ++i) std::printf("%s\n  %s", i ? "," : "", FileJson(r.files[i]).c_str());
  std::printf("],\n \"records\": [");
  for (std::size_t i = 0; i < r.entries.size(); ++i)
    std::printf("%s\n  %s", i > 0 ? "," : "", JsonLine(r.entries[i]).c_str());
  std::printf("]%s\n", bkrtool::JsonEnd(r.damaged ? 1 : 0, "the log holds damaged records").c_str());
}

// The entries still kept, then what the files themselves lack.
void PrintText(const Reading& r) {
  for (const LogEntry& e : r.entries) PrintLine(e);
  for (const FileSummary& f : r.files) {
    if (!f.log.problem.empty()) std::fprintf(stderr, "bkrtool: %s: %s\n", f.name.c_str(), f.log.problem.c_str());
    if (f.log.staleRecords > 0)
      std::fprintf(stderr,
                   "bkrtool: %s: not shown: %zu record(s) after record %u, left from the cycle before "
                   "the last wrap (the newest generation holds them)\n",
                   f.name.c_str(), f.log.staleRecords, f.log.count);
  }
}

int RunLog(const bkrtool::Args& args) {
  bkrtool::Parsed parsed;
  std::string error;
  const char* usage = "usage: bkrtool log NAME [--dir DIR] [--json] [--tail N]";
  if (!bkrtool::Parse(args, {"dir", "tail"}, {"json"}, parsed, error)) return bkrtool::Fail(error);
  if (parsed.positional.size() != 1) return bkrtool::Fail(usage);
  const std::string name = parsed.positional[0];
  if (name.find_first_of("\\/") != std::string::npos) return bkrtool::Fail("NAME is a file name; give the folder with --dir");
  std::size_t tail = 0;
  if (parsed.Has("tail")) {
    const std::string t = parsed.Value("tail");
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos || std::stoul(t) == 0)
      return bkrtool::Fail("--tail needs a positive number");
    tail = std::stoul(t);
  }
  const std::string dir = parsed.Has("dir") ? parsed.Value("dir") : DefaultLogDir();
  const bool json = parsed.Has("json");

  Reading reading;
  const std::string failure = ReadAll(dir, name, tail, json, reading);
  if (!failure.empty()) return bkrtool::Fail(failure);
  if (json)
    PrintJson(name, dir, reading);
  else
    PrintText(reading);
  return reading.damaged ? 1 : 0;
}

}  // namespace

BKR_COMMAND("log", "NAME [--dir DIR] [--json] [--tail N]",
            "records of a log, oldest first across its generations (exit 1 when damaged records are shown)",
            RunLog);
