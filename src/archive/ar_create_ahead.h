#pragma once
// The contents of a planned archive's files, read on a thread of its own in
// the order the stream needs them, a few 256 KiB pieces ahead of the encoder
// (Windows). The reading thread logs nothing: each piece carries what its
// read met, and the caller reports it exactly where the one-thread stream
// reports it.
//
//   ContentAhead ahead(paths and sizes);     // starts reading
//   const ContentPiece& p = ahead.Next();    // pieces in order, file by file
//   ... use p.data, p.length ...
//   ahead.Release();                         // gives the piece back
//
// The destructor stops the thread and joins it, on every path.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bk::arc {

// True unless a test asked for the one-thread stream.
bool PipelinedStream();

struct ContentFile {
  const std::string* path;
  std::uint64_t size;  // 0: nothing is read (no open either)
};

struct ContentPiece {
  std::unique_ptr<char[]> data;
  std::size_t file = 0;    // index into the files given
  DWORD asked = 0;         // bytes asked for
  DWORD got = 0;           // bytes read
  bool ok = false;         // the read call succeeded (the seam did not refuse it)
  DWORD error = 0;         // why not (the open's error when the file could not be opened)
  bool last = false;       // the file's last piece, or a failed one
  bool closeOk = true;     // last piece: the file's close
  DWORD closeError = 0;
};

class ContentAhead {
 public:
  static constexpr std::size_t kPieces = 4;

  explicit ContentAhead(std::vector<ContentFile> files);
  ~ContentAhead();
  ContentAhead(const ContentAhead&) = delete;
  ContentAhead& operator=(const ContentAhead&) = delete;

  bool Ok() const { return ok_; }
  // The next piece (waits for it); valid until Release.
  const ContentPiece& Next();
  void Release();

 private:
  void Run();
  bool ReadFile(std::size_t index);
  ContentPiece* TakeFree();
  void Post(ContentPiece* piece);

  std::vector<ContentFile> files_;
  std::vector<ContentPiece> pieces_;
  std::mutex lock_;
  std::condition_variable filled_, freed_;
  std::deque<ContentPiece*> free_, full_;
  ContentPiece* current_ = nullptr;
  bool stop_ = false;
  bool ok_ = false;
  std::thread thread_;
};

}  // namespace bk::arc
