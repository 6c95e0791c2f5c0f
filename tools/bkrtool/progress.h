#pragma once
// Progress of a long command on the console: files and bytes done of the
// total where known, the rate and the time left, redrawn in place on
// standard error at most a few times a second and cleared at the end. Shown
// only when standard error is a console and the output is not JSON: a pipe,
// a file or --json gets nothing extra.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace bkrtool {

// Whether progress is shown in this run (a console, no --json).
bool ProgressShown();

class ConsoleProgress {
 public:
  // `what`: the command's name, shown first. Totals of 0 are unknown.
  ConsoleProgress(const char* what, std::uint64_t filesTotal, std::uint64_t bytesTotal);
  ~ConsoleProgress();
  ConsoleProgress(const ConsoleProgress&) = delete;
  ConsoleProgress& operator=(const ConsoleProgress&) = delete;

  void SetTotals(std::uint64_t filesTotal, std::uint64_t bytesTotal);
  // Redraws when enough time has passed since the last line.
  void Update(std::uint64_t filesDone, std::uint64_t bytesDone);
  // Clears the line (also done by the destructor).
  void Finish();

  // The text of one line, for a given moment (seconds since the start).
  static std::string Line(const char* what, std::uint64_t filesDone, std::uint64_t filesTotal,
                          std::uint64_t bytesDone, std::uint64_t bytesTotal, double seconds);

 private:
  void Draw(const std::string& text);

  const char* what_;
  bool shown_;
  std::uint64_t filesTotal_, bytesTotal_;
  unsigned long long start_, last_ = 0;
  std::size_t width_ = 0;  // of the line on the console
};

// Progress of a call into the library that runs on this thread: a watcher
// shows the time passed and, while the client's progress dialog has its
// block of `kind` (2 install, 4 packaging), the position the library writes
// into it. Nothing is written to the block.
class LibraryProgress {
 public:
  LibraryProgress(const char* what, unsigned kind);
  ~LibraryProgress();
  LibraryProgress(const LibraryProgress&) = delete;
  LibraryProgress& operator=(const LibraryProgress&) = delete;

 private:
  void Watch();

  const char* what_;
  unsigned kind_;
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

}  // namespace bkrtool
