#include "progress.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

#include "json.h"
#include "platform/progress_block.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace bkrtool {

namespace {

constexpr unsigned long long kRedrawMs = 250;

unsigned long long NowMs() {
  return static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
}

double D(std::uint64_t n) { return static_cast<double>(n); }

bool ErrorIsConsole() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string Bytes(std::uint64_t n) {
  char text[32];
  if (n < 1024)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(n));
  else if (n < 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", D(n) / 1024.0);
  else if (n < 1024ull * 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f MiB", D(n) / (1024.0 * 1024));
  else
    std::snprintf(text, sizeof text, "%.2f GiB", D(n) / (1024.0 * 1024 * 1024));
  return text;
}

std::string Duration(double seconds) {
  const unsigned long long s = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
  return text;
}

}  // namespace

bool ProgressShown() { return !JsonOutput() && ErrorIsConsole(); }

ConsoleProgress::ConsoleProgress(const char* what, std::uint64_t filesTotal, std::uint64_t bytesTotal)
    : what_(what), shown_(ProgressShown()), filesTotal_(filesTotal), bytesTotal_(bytesTotal),
      start_(NowMs()) {}

ConsoleProgress::~ConsoleProgress() { Finish(); }

void ConsoleProgress::SetTotals(std::uint64_t filesTotal, std::uint64_t bytesTotal) {
  filesTotal_ = filesTotal;
  bytesTotal_ = bytesTotal;
}

std::string ConsoleProgress::Line(const char* what, std::uint64_t filesDone, std::uint64_t filesTotal,
                                  std::uint64_t bytesDone, std::uint64_t bytesTotal, double seconds) {
  std::string line = std::string(what) + ": " + std::to_string(filesDone);
  if (filesTotal != 0) line += "/" + std::to_string(filesTotal);
  line += " files";
  if (bytesDone == 0 && bytesTotal == 0) return line;
  line += ", " + Bytes(bytesDone);
  if (bytesTotal != 0) line += " of " + Bytes(bytesTotal);
  if (seconds > 0.2 && bytesDone > 0) {
    const double rate = D(bytesDone) / seconds;
    line += ", " + Bytes(static_cast<std::uint64_t>(rate)) + "/s";
    if (bytesTotal > bytesDone) line += ", " + Duration(D(bytesTotal - bytesDone) / rate) + " left";
  }
  return line;
}

void ConsoleProgress::Update(std::uint64_t filesDone, std::uint64_t bytesDone) {
  if (!shown_) return;
  const unsigned long long now = NowMs();
  if (last_ != 0 && now - last_ < kRedrawMs) return;
  last_ = now;
  Draw(Line(what_, filesDone, filesTotal_, bytesDone, bytesTotal_, D(now - start_) / 1000.0));
}

void ConsoleProgress::Draw(const std::string& text) {
  std::string line = "\r" + text;
  if (text.size() < width_) line += std::string(width_ - text.size(), ' ') + "\r" + text;
  width_ = text.size();
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void ConsoleProgress::Finish() {
  if (!shown_ || width_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(stderr);
  width_ = 0;
}

LibraryProgress::LibraryProgress(const char* what, unsigned kind) : what_(what), kind_(kind) {
  if (ProgressShown()) watcher_ = std::thread([this] { Watch(); });
}

LibraryProgress::~LibraryProgress() {
  stop_ = true;
  if (watcher_.joinable()) watcher_.join();
}

void LibraryProgress::Watch() {
  const unsigned long long start = NowMs();
  std::size_t width = 0;
  for (bool first = true; !stop_; first = false) {
    if (!first) ::Sleep(100);
    if (stop_) break;
    const double seconds = D(NowMs() - start) / 1000.0;
    std::string text = std::string(what_) + ": working, " + Duration(seconds);
    bk::win::unique_handle mapping(vskWapiOpenFileMapping(FILE_MAP_READ, FALSE, bk::progress::BlockName(kind_), 0));
    if (mapping) {
      bk::win::unique_mapview view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, bk::progress::kBlockSize));
      if (view) {
        const std::uint16_t range = bk::progress::LoadField(view.get(), bk::progress::kRangeOffset);
        const std::uint16_t position = bk::progress::LoadField(view.get(), bk::progress::kPositionOffset);
        if (range != 0) {
          text += ", " + std::to_string(position * 100u / range) + "%";
          if (position > 0 && position < range)
            text += ", " + Duration(seconds * (range - position) / D(position)) + " left";
        }
      }
    }
    std::string line = "\r" + text;
    if (text.size() < width) line += std::string(width - text.size(), ' ') + "\r" + text;
    width = text.size();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  if (width != 0) {
    std::fprintf(stderr, "\r%s\r", std::string(width, ' ').c_str());
    std::fflush(stderr);
  }
}

}  // namespace bkrtool
