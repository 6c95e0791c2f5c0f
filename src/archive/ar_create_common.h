#pragma once
// What the two ways of archive creation (ar_create_plain.cpp, the step by
// step reference; ar_create_stream.cpp, planned and streamed) have in common:
// the creation's messages, the setup of base directory and work list, the
// progress display, and the checks of a file's times and size. Windows only.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/ar_create.h"
#include "archive/ar_sums.h"
#include "logging/log.h"
#include "platform/wapi.h"

namespace bk::arc {

inline constexpr char kCategory[] = "ar";
inline constexpr char kSource[] = "client\\ar\\newback";
inline constexpr std::size_t kPiece = 256 * 1024;  // file content is read in pieces this large
inline constexpr std::uint64_t kPartPiece = 4096;  // the pieces by which a short read is judged
inline constexpr std::uint64_t kMaxSize = 0xFFFFFFFFu;

// The messages of one creation. Given at once, or kept (while a tree is
// planned) and given later, when the creation reaches the point where the
// step by step way would have met them.
class Reporter {
 public:
  explicit Reporter(VskLogHandle log) : log_(log) {}
  void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
  // A failed call: kind kVskApiWindows or kVskApiCLibrary with its error.
  void ApiError(int kind, std::int32_t error, int line, const char* format, ...)
      __attribute__((format(gnu_printf, 5, 6)));
  // A coded message (install error) for the operator.
  void Event(int line, const char* format, ...) __attribute__((format(gnu_printf, 3, 4)));
  void Keep(bool keep) { keep_ = keep; }
  // Gives the kept messages in their order and forgets them.
  void GiveKept();

 private:
  enum class Kind { kLine, kApi, kEvent };
  struct Message {
    Kind what;
    int kind;
    std::int32_t error;
    int line;
    std::string text;
  };
  void Give(const Message& m);
  VskLogHandle log_;
  bool keep_ = false;
  std::vector<Message> kept_;
};

// One creation's use of the client log.
class CreationLog {
 public:
  CreationLog() : handle_(vskLogOpen("CLIENT.log")) {}
  ~CreationLog() { vskLogClose(handle_); }
  CreationLog(const CreationLog&) = delete;
  CreationLog& operator=(const CreationLog&) = delete;
  VskLogHandle handle() const { return handle_; }

 private:
  VskLogHandle handle_;
};

using bk::win::RedirectionOff;

// The packaging progress of an archive named R plus seven characters.
class Progress {
 public:
  explicit Progress(const char* archivePath);
  bool shown() const { return shown_; }
  void Start();            // opens the display, range 100
  void Set(int position);
  void BeginIterations(int iterations);  // 20, and the step per iteration
  void IterationDone();

 private:
  bool shown_;
  double value_ = 20, step_ = 0;
};

// Base directory, recorded names and work list of one creation.
struct Setup {
  std::string base;          // entries' relative paths start after it
  std::size_t baseLength = 2;
  std::string driveName, basePathName;
  bool withList = false;     // names below the base, else one single name
  std::vector<std::string> names;
  std::string single;
  int iterations = 1;
};
// Steps 2 and 3 of the creation: 0, or 1 when the source does not exist.
int CheckSource(Reporter& r, const char* source);
void SplitSource(const char* source, const char* nameList, int listCount, const char* baseOverride, Setup& s);
// The enumeration of a drive or share root (when the setup asks for it):
// 0, 6 for no file, 7 for no memory.
int EnumerateRootIfAsked(Reporter& r, const char* source, const char* nameList, int listCount, Setup& s);
// The target of an iteration and the directories on its way, outermost first.
void IterationPaths(const Setup& s, int iteration, std::vector<std::string>& onTheWay, std::string& target);

// Relative path of an entry: without the first baseLength + 1 characters,
// "." when nothing is left, "/" separators.
std::string RelativePath(const Setup& s, const std::string& path);
unsigned char KindFromAttributes(DWORD attributes);
// C-library time value of a file time, as the runtime's status call gives it
// (-1 before 1970 or past the year 3000).
std::int64_t TimeValueOf(const FILETIME& t);
// Checks of a file's status: times (25) and size (27); fills the codes.
int CheckTimesAndSize(Reporter& r, const std::string& path, std::uint64_t size, std::int64_t mtime,
                      std::int64_t atime, std::uint32_t codes[4]);
// "%s is too large..." and friends.
void ReportTooManyNames(Reporter& r, const std::string& path);
void ReportArchiveTooLarge(Reporter& r, const std::string& path);

// The Windows-API and log messages of a short read of a file's content at
// offset `missing` (the first byte not read) of a file of `size` bytes;
// returns the result of that situation (4 within the full pieces, 6 in the
// last short piece).
int ReportShortRead(Reporter& r, const std::string& path, std::uint64_t size, std::uint64_t missing, DWORD error);
// A failed write of content at `offset` of a file of `size` bytes: 3.
int ReportContentWriteFailed(Reporter& r, const std::string& path, std::uint64_t size, std::uint64_t offset,
                             DWORD error);

// Writes all n bytes to the archive file at its position, taking up short
// writes; false with the failed write's error, or ERROR_DISK_FULL when a
// write made no progress (a full disk that reported no error of its own).
bool WriteAll(HANDLE file, const void* data, std::size_t n, DWORD& error);

// Directory entries of one directory, read at once (the search is closed
// before any is archived); ".", ".." and reparse points left out. The search
// goes by wide names: a name without an exact ANSI form (bk::win::
// ExactAnsiName) cannot be archived under any name that puts the same file
// back, so it fails the creation with a log line and a coded message naming
// the path, rather than being saved under the best-fit name of another file
// or left out. 0, 1 when the search cannot be opened or breaks off, 6 when it
// cannot be closed, 28 for such a name.
int ReadDirectory(Reporter& r, const std::string& path, std::vector<WIN32_FIND_DATAA>& entries);

// The test settings.
bool PlainWayForTest();
void ResetStats();  // and the sums
VskArCreateStats& Stats();
// The sums of an archive written whole (what vskarLastCreateSums gives).
void KeepSums(const bk::ar::SumTally& tally);
void ForgetSums();

}  // namespace bk::arc
