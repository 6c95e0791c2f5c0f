#pragma once
// Where archive bytes come from and go to. Readers and the writer see only
// these interfaces, so the same code serves files, memory (an encoded archive
// decoded for listing) and, later, Win32 handles.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bk::ar {

class ArSource {
 public:
  virtual ~ArSource() = default;
  // Reads up to n bytes at the current position; fewer only at the end or on
  // a failure.
  virtual std::size_t Read(void* buffer, std::size_t n) = 0;
  virtual bool Seek(std::uint64_t offset) = 0;
  // Total length of the source.
  virtual std::uint64_t Size() const = 0;
};

class ArMemorySource : public ArSource {
 public:
  ArMemorySource(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Read(void* buffer, std::size_t n) override;
  bool Seek(std::uint64_t offset) override;
  std::uint64_t Size() const override { return size_; }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A C-library file opened for binary reading; the caller keeps ownership.
class ArFileSource : public ArSource {
 public:
  explicit ArFileSource(std::FILE* file);
  std::size_t Read(void* buffer, std::size_t n) override;
  bool Seek(std::uint64_t offset) override;
  std::uint64_t Size() const override { return size_; }

 private:
  std::FILE* file_;
  std::uint64_t size_ = 0;
};

class ArSink {
 public:
  virtual ~ArSink() = default;
  // Appends all n bytes or fails.
  virtual bool Write(const void* data, std::size_t n) = 0;
  // Overwrites bytes already written (the final header).
  virtual bool WriteAt(std::uint64_t offset, const void* data, std::size_t n) = 0;
};

class ArMemorySink : public ArSink {
 public:
  bool Write(const void* data, std::size_t n) override;
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t n) override;
  const std::vector<unsigned char>& Bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

// A C-library file opened for binary writing and reading ("w+b"); the caller
// keeps ownership and closes it (checking the close).
class ArFileSink : public ArSink {
 public:
  explicit ArFileSink(std::FILE* file) : file_(file) {}
  bool Write(const void* data, std::size_t n) override;
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t n) override;

 private:
  std::FILE* file_;
};

}  // namespace bk::ar
