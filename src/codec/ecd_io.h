#pragma once
// C-library file helpers shared by the two file codecs (portable: Linux and
// the Windows runtime alike).
#include <cstdint>
#include <cstdio>
#include <memory>

#include "logging/log.h"

namespace bk::ecd {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
// Closed on every path; Close() reports a failed close of a written file.
class File {
 public:
  File() = default;
  explicit File(std::FILE* f) : file_(f) {}
  explicit operator bool() const { return file_ != nullptr; }
  std::FILE* get() const { return file_.get(); }
  bool Close() {
    std::FILE* f = file_.release();
    return f == nullptr || std::fclose(f) == 0;
  }

 private:
  std::unique_ptr<std::FILE, FileCloser> file_;
};

File OpenForReading(const char* path);
File OpenForWriting(const char* path);
// The descriptor number, for traces.
int Descriptor(std::FILE* f);
// Size of an open file; false when it cannot be taken.
bool FileSize(std::FILE* f, std::uint64_t& size);
bool SeekTo(std::FILE* f, std::uint64_t offset);
// True when both paths name one existing file, so that opening the second for
// writing would destroy the first.
bool SameFile(const char* a, const char* b);
// Reads up to n bytes; returns the count, or -1 on a read error.
long long ReadSome(std::FILE* f, void* buffer, std::size_t n);
// Reads up to n bytes and returns how many came; fewer than n at the end of
// the file or, with `failed` set, at a read error.
std::size_t ReadUpTo(std::FILE* f, void* buffer, std::size_t n, bool& failed);
// Gives a stream a buffer of its own of kStreamBufferSize bytes (before its
// first read or write; `buffer` must outlive it): the codecs' many small
// reads and writes then cost one system call per buffer.
inline constexpr std::size_t kStreamBufferSize = 256 * 1024;
void UseStreamBuffer(std::FILE* f, unsigned char* buffer);
bool WriteAll(std::FILE* f, const void* data, std::size_t n);
// Null when the memory is not there (the codecs report that themselves).
std::unique_ptr<unsigned char[]> Allocate(std::size_t size);
// Opens outPath for writing unless it names the same file as inPath (errno is
// then EEXIST), so that no codec ever truncates its own input.
File OpenDistinctOutput(const char* inPath, const char* outPath);

class OperationLog;

// The head of an encoded file as bytes: a new magic number for `time` (0 =
// now) and the six option words of WriteEncodedHead.
void EncodedHeadBytes(int kind, std::int64_t time, unsigned char out[28]);

// Writes the head of an encoded file: a new magic number and the six option
// words (kind, three fixed words that decoders skip, pass-through off, end).
// `function` names the encoder in the log lines; 0, or kEcdIoError after
// the trace.
int WriteEncodedHead(OperationLog& log, std::FILE* output, int kind, const char* function,
                     const char* sourceFile);

// One operation's use of the client log: open at the start, closed on return.
class OperationLog {
 public:
  OperationLog() : handle_(vskLogOpen("CLIENT.log")) {}
  ~OperationLog() { vskLogClose(handle_); }
  OperationLog(const OperationLog&) = delete;
  OperationLog& operator=(const OperationLog&) = delete;

  void Line(const char* format, ...)
#if defined(__MINGW32__)
      __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  // A failed C-library call: kind 2, category "ecd", the current errno.
  void ApiError(const char* sourceFile, int line, const char* format, ...)
#if defined(__MINGW32__)
      __attribute__((format(gnu_printf, 4, 5)))
#elif defined(__GNUC__)
      __attribute__((format(printf, 4, 5)))
#endif
      ;

 private:
  VskLogHandle handle_;
};

}  // namespace bk::ecd
