#pragma once
// The two helpers that let an extraction use a second core (Windows):
//
// - FileCloser: a written file's flush, times, attributes and close run on
//   threads of their own while the next file is written (a flush waits for
//   the disk, so a few of them run at once). Every file is still
//   flushed before it is closed. The closer logs nothing: what it met comes
//   back as an outcome, which the extracting thread logs in the order the
//   one-thread extraction logs it, and a failed flush or close fails the
//   extraction there.
// - DecodeAhead: the archive inside an encoded file is decoded on a thread
//   of its own into a few buffers, ahead of the writes.
//
// Both join their thread on every path (destructor). With the one-thread
// test switch on, the closer does its work at once on the caller's thread and
// no decoding runs ahead, so the same extraction can be compared both ways.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/ar_extract_internal.h"
#include "platform/unique_handle.h"

namespace bk::ar::ex {

// True unless a test asked for the one-thread extraction.
bool PipelinedExtraction();
// A path as the file system compares it: letter case does not count.
std::string FoldedPath(const std::string& path);

// A written file, handed over for the rest of its steps.
struct CloseJob {
  UniqueFile file;
  std::string path;
  std::string folded;  // the path as FoldedPath gives it (made by Submit)
  bool failFlush = false;  // the fault seam's answer, asked on the writing thread
  bool timesOk = false;
  FILETIME access{}, modification{};
  DWORD attributes = 0;  // of the entry (AttributesOf)
};

// What the steps after the content met, for the log and the result.
struct CloseOutcome {
  std::string path;
  DWORD attributes = 0;
  bool timesFailed = false;  // "_utime_ERROR" with timesError
  DWORD timesError = 0;
  const char* failedCall = nullptr;  // "FlushFileBuffers" or "CloseHandle": the extraction fails
  DWORD failedError = 0;
  bool attributesFailed = false;  // traced, extraction goes on
  DWORD attributesError = 0;
};

// Runs the steps of a CloseJob: flush, times and attributes on the handle
// (or one by one where that call is missing or refused), close.
CloseOutcome RunCloseJob(CloseJob& job);

class FileCloser {
 public:
  // `threaded` false: each job runs at once in Submit.
  explicit FileCloser(bool threaded);
  ~FileCloser();  // waits for every job handed over, then joins
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

  // Hands a job over; waits while kMaxPending are not done yet.
  void Submit(CloseJob job);
  // The outcomes of the jobs done so far, in the order they were handed over
  // (an outcome waits for those of the jobs handed over before it).
  void TakeDone(std::vector<CloseOutcome>& out);
  // Waits until every job handed over is done.
  void Drain();
  // Whether a job for this path (letter case folded) is not done yet.
  bool Holds(const std::string& foldedPath);
  // True when an outcome could not be kept (no memory): the extraction fails.
  bool Broken();

  static constexpr std::size_t kMaxPending = 32;
  static constexpr std::size_t kThreads = 4;

 private:
  void Run();

  bool threaded_;
  std::mutex lock_;
  std::condition_variable wake_, done_;
  std::deque<std::pair<std::uint64_t, CloseJob>> jobs_;  // with their numbers in handing-over order
  std::map<std::uint64_t, CloseOutcome> outcomes_;
  std::uint64_t nextJob_ = 0, nextOutcome_ = 0;
  std::unordered_multiset<std::string> held_;
  std::size_t busy_ = 0;  // jobs taken by a thread and not yet done
  bool stop_ = false;
  bool broken_ = false;
  std::vector<std::thread> threads_;
};

// The plain archive of an encoded file, decoded ahead on a thread of its own.
// Read, Error and the once-only decoding failure line are those of
// DecodedInput. Stop() (also run by the destructor) ends and joins the thread;
// after it the decoder may be finished on the caller's thread.
class DecodeAhead : public ArchiveInput {
 public:
  DecodeAhead(bk::ecd::StreamDecoder& decoder, HandleReader& reader, const char* archivePath);
  ~DecodeAhead() override;
  DecodeAhead(const DecodeAhead&) = delete;
  DecodeAhead& operator=(const DecodeAhead&) = delete;

  bool Ok() const { return ok_; }
  std::size_t Read(void* out, std::size_t n) override;
  DWORD Error() const override { return error_; }
  void Stop();
  // Whether the decoding thread met a failure (after Stop).
  bool DecodeFailed() const { return decodeFailed_; }

  static constexpr std::size_t kBlocks = 4;

 private:
  struct Block {
    std::unique_ptr<unsigned char[]> data;
    std::size_t length = 0;
    bool last = false;
    DWORD error = ERROR_HANDLE_EOF;
    int status = 0;
  };
  void Run();
  bool NextBlock();

  bk::ecd::StreamDecoder& decoder_;
  HandleReader& reader_;
  const char* archivePath_;
  bool ok_ = false;
  std::vector<Block> blocks_;
  std::mutex lock_;
  std::condition_variable filled_, freed_;
  std::deque<std::size_t> free_, full_;
  bool stop_ = false;
  // The caller's side.
  std::size_t current_ = 0;
  bool haveCurrent_ = false, ended_ = false, reported_ = false;
  std::size_t offset_ = 0;
  DWORD error_ = ERROR_HANDLE_EOF;
  bool decodeFailed_ = false;
  std::thread thread_;
};

}  // namespace bk::ar::ex
